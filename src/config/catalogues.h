// The capture sources and title engines the components report, by position
// and name. Filled once by the owner before the settings are read; the
// settings store names and hold positions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/media_api/media_components.h"
#include "platform/com/com.h"

namespace quellvox {

struct TitleEngineEntry {
  int32_t EngineIndex = 0;  // index within the title-engine list component
  std::string Name;         // UTF-8
};

class TitleEngineCatalogue {
 public:
  explicit TitleEngineCatalogue(const Guid& listClassId = kClsidTitleEngineList) : classId_(listClassId) {}

  // 0 when at least one usable engine was found, 1 when none, otherwise the
  // failure code of the list component's creation (the catalogue is then empty).
  HResult Refresh();
  // The entry's name, or "--- ERROR TE ---" outside the catalogue.
  std::string NameAt(int32_t position) const;
  // First position whose name equals `name` ignoring case (any letter), or -1.
  int32_t FindByName(std::string_view name) const;
  // Creates the title target of a catalogue position: the target's identity
  // interface in `target`, attached to the entry's engine. E_FAIL without a
  // list instance or for a position outside the catalogue.
  HResult CreateTitleTarget(int32_t position, ComPtr<Unknown>& target) const;

  int32_t Count() const { return static_cast<int32_t>(entries_.size()); }
  const std::vector<TitleEngineEntry>& Entries() const { return entries_; }
  const Guid& ClassId() const { return classId_; }
  IZRTitleEngineList* List() const { return list_.Get(); }

 private:
  Guid classId_;
  ComPtr<IZRTitleEngineList> list_;
  std::vector<TitleEngineEntry> entries_;
};

struct CaptureSourceEntry {
  int32_t DeviceIndex = 0;   // 0-based index for the device enumerator
  std::string StoredName;    // written to the "CaptureSource" value
  std::string DisplayName;   // shown in the dialog
  bool PrimaryKind = false;  // kind 2 (true) or kind 9 (false)
};

class CaptureSourceCatalogue {
 public:
  // 0 when at least one source was found, 1 when none, otherwise the failure
  // code of the enumerator's creation. Lists every kind-2 device, then every
  // kind-9 device; holds the first auxiliary (kind 12) device found until the
  // catalogue goes.
  HResult Refresh();
  // The entry's stored name, or "--- ERROR INDEX ---" outside the catalogue.
  std::string NameAt(int32_t position) const;
  // First position whose stored or display name equals `name` ignoring case, or -1.
  int32_t FindByName(std::string_view name) const;

  int32_t Count() const { return static_cast<int32_t>(entries_.size()); }
  const std::vector<CaptureSourceEntry>& Entries() const { return entries_; }
  IZRDeviceEnumerator* Enumerator() const { return enumerator_.Get(); }
  bool HasAuxiliaryDevice() const { return static_cast<bool>(auxiliary_); }

 private:
  ComPtr<IZRDeviceEnumerator> enumerator_;
  std::vector<CaptureSourceEntry> entries_;
  ComPtr<Unknown> auxiliary_;
};

// Case-insensitive equality for any letter (Unicode simple case folding),
// independent of the process locale.
bool EqualsIgnoringCase(std::string_view a, std::string_view b);

}  // namespace quellvox
