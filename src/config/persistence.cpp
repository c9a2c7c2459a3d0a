#include "config/persistence.h"

#include <cstdio>
#include <string>

#include "config/line_text.h"
#include "platform/registry_api/registry_access.h"

namespace quellvox {

namespace {

// A value name as a component string, formatted with the 1-based row or
// engine number where the name has one.
class ValueName {
 public:
  explicit ValueName(const char* name) : s_(ComStringFromUtf8(name)) {}
  ValueName(const char* format, int n) : s_(Format(format, n)) {}
  operator const char16_t*() const { return s_.Get(); }  // NOLINT: passed straight to the component

 private:
  static ComString Format(const char* format, int n) {
    char text[48];
    std::snprintf(text, sizeof text, format, n);
    return ComStringFromUtf8(text);
  }

  ComStringHolder s_;
};

bool ReadDword(IKTRegistryAccess* reg, const char16_t* name, uint32_t& value) {
  return reg->ReadDword(name, &value) == S_OK;
}

bool ReadString(IKTRegistryAccess* reg, const char16_t* name, std::string& text) {
  ComStringHolder s;
  if (reg->ReadString(name, s.Put()) != S_OK) return false;
  text = ComStringToUtf8(s.Get());
  return true;
}

void WriteDword(IKTRegistryAccess* reg, const char16_t* name, uint32_t value) { reg->WriteDword(name, value); }

void WriteString(IKTRegistryAccess* reg, const char16_t* name, std::string_view text) {
  reg->WriteString(name, ComText(text), REG_SZ);
}

}  // namespace

bool ReadSettings(DuckerSettings& settings, const TitleEngineCatalogue& engines, const CaptureSourceCatalogue& sources,
                  std::string_view keyPath) {
  // Every early return below is a stop: no message, the key closed by the
  // release of the component.
  ComPtr<IKTRegistryAccess> reg;
  if (CreateInstance(kClsidRegistryAccess, reg) != S_OK || !reg) return false;
  if (reg->OpenKey(ComText(keyPath), KEY_READ) != S_OK) return false;

  uint32_t v = 0;
  std::string text;
  if (ReadDword(reg.Get(), ValueName("CpuPriority"), v)) settings.CpuPriority = static_cast<int32_t>(v);

  if (!ReadString(reg.Get(), ValueName("CaptureSource"), text)) return false;
  settings.CaptureSource = sources.FindByName(text);

  if (!ReadDword(reg.Get(), ValueName("DelayInFrames"), v)) return false;
  settings.DelayInFrames = static_cast<int32_t>(v);

  if (!ReadString(reg.Get(), ValueName("RegionName"), text)) return false;
  settings.RegionName = text;

  if (ReadDword(reg.Get(), ValueName("ShowOnStartType"), v)) settings.ShowOnStartType = static_cast<int32_t>(v);

  uint32_t engineCount = 0;
  if (!ReadDword(reg.Get(), ValueName("TitleEngineCnt"), engineCount)) return false;
  settings.TitleEngineMask = 0;
  for (uint32_t n = 1; n <= engineCount; ++n) {
    if (!ReadString(reg.Get(), ValueName("TitleEngine%d", static_cast<int>(n)), text)) return false;
    const int32_t position = engines.FindByName(text);
    if (position >= 0 && position < kMaxTargets) settings.TitleEngineMask |= 1u << position;
  }

  for (int n = 1; n <= kVoiceOverLines; ++n) {
    uint32_t use = 0;
    std::string from;
    std::string to;
    if (!ReadDword(reg.Get(), ValueName("UseLine%d", n), use)) return false;
    if (!ReadString(reg.Get(), ValueName("From4Line%d", n), from)) return false;
    if (!ReadString(reg.Get(), ValueName("To4Line%d", n), to)) return false;
    uint32_t volume = 0;
    if (!ReadDword(reg.Get(), ValueName("VolumeDB4Line%d", n), volume)) volume = 0;
    VoiceOverLine& line = settings.Lines[static_cast<size_t>(n - 1)];
    line.Use = use != 0;
    line.From = ParseLineRef(from);
    line.To = ParseLineRef(to);
    line.VolumeDB = static_cast<int32_t>(volume);  // two's complement: negative gains
  }

  if (!ReadDword(reg.Get(), ValueName("UseCommon"), v)) return false;
  settings.UseCommon = v != 0;
  if (!ReadString(reg.Get(), ValueName("CommonLine"), text)) return false;
  settings.CommonLine = ParseLineRef(text);
  if (!ReadDword(reg.Get(), ValueName("DecreaseDB"), v)) return false;
  settings.DecreaseDB = static_cast<int32_t>(v);
  if (!ReadDword(reg.Get(), ValueName("NoiseLevelDB"), v)) return false;
  settings.NoiseLevelDB = static_cast<int32_t>(v);
  if (!ReadDword(reg.Get(), ValueName("TimeoutInFrames"), v)) return false;
  settings.TimeoutInFrames = static_cast<int32_t>(v);

  reg->CloseKey();
  return IsComplete(settings);
}

bool WriteSettings(const DuckerSettings& settings, const TitleEngineCatalogue& engines,
                   const CaptureSourceCatalogue& sources, std::string_view keyPath) {
  ComPtr<IKTRegistryAccess> reg;
  if (CreateInstance(kClsidRegistryAccess, reg) != S_OK || !reg) return false;
  const ComText key(keyPath);
  if (reg->OpenKey(key, KEY_WRITE) != S_OK && reg->CreateKey(key) != S_OK) return false;
  IKTRegistryAccess* r = reg.Get();

  WriteDword(r, ValueName("CpuPriority"), static_cast<uint32_t>(settings.CpuPriority.Load()));
  WriteString(r, ValueName("CaptureSource"), sources.NameAt(settings.CaptureSource));
  WriteDword(r, ValueName("DelayInFrames"), static_cast<uint32_t>(settings.DelayInFrames));
  WriteString(r, ValueName("RegionName"), settings.RegionName);
  WriteDword(r, ValueName("ShowOnStartType"), static_cast<uint32_t>(settings.ShowOnStartType));

  int count = 0;
  for (int32_t i = 0; i < engines.Count() && i < kMaxTargets; ++i) {
    if (settings.TitleEngineMask & (1u << i)) {
      ++count;
      WriteString(r, ValueName("TitleEngine%d", count), engines.NameAt(i));
    }
  }
  WriteDword(r, ValueName("TitleEngineCnt"), static_cast<uint32_t>(count));

  for (int n = 1; n <= kVoiceOverLines; ++n) {
    const VoiceOverLine& line = settings.Lines[static_cast<size_t>(n - 1)];
    WriteDword(r, ValueName("UseLine%d", n), line.Use ? 1 : 0);
    WriteString(r, ValueName("From4Line%d", n), FormatLineRef(line.From));
    WriteString(r, ValueName("To4Line%d", n), FormatLineRef(line.To));
    WriteDword(r, ValueName("VolumeDB4Line%d", n), static_cast<uint32_t>(line.VolumeDB));
  }

  WriteDword(r, ValueName("UseCommon"), settings.UseCommon ? 1 : 0);
  WriteString(r, ValueName("CommonLine"), FormatLineRef(settings.CommonLine));
  WriteDword(r, ValueName("DecreaseDB"), static_cast<uint32_t>(settings.DecreaseDB));
  WriteDword(r, ValueName("NoiseLevelDB"), static_cast<uint32_t>(settings.NoiseLevelDB));
  WriteDword(r, ValueName("TimeoutInFrames"), static_cast<uint32_t>(settings.TimeoutInFrames));

  reg->CloseKey();
  return true;
}

}  // namespace quellvox
