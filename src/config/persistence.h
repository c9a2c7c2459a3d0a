// The settings record under the instance's registry key: catalogue entries
// and line references stored by name and text, turned back into positions
// when read. Each call creates its own registry-access instance and releases
// it at the end. User-interface thread only.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "config/catalogues.h"
#include "config/settings.h"
#include "platform/com/status.h"

namespace quellvox {

// What a read of the settings met beside its result.
struct SettingsReport {
  // One line per value read past or set into range ("DelayInFrames has the
  // wrong type and is ignored"), for the trace.
  std::vector<std::string> Notes;
};

// Fills `settings` from the values under `keyPath`, both catalogues already
// filled. Ok when every value was read and the record IsComplete; otherwise
// the first reason it is not, for the caller's trace: the component cannot
// be created, the key cannot be opened (with their codes), "<value> is
// missing" (E_NOTFOUND), "<value> has the wrong type" (the first such), or
// "The settings are incomplete".
//
// Reading stops at the first required value that is missing: the fields
// read before keep their new values, the rest keep theirs. "CpuPriority"
// and "ShowOnStartType" are optional (field unchanged), each row's
// "VolumeDB4Line%d" is optional (gain 0). A value stored with another type
// than the record's (a text where a number belongs) counts as missing on its
// own: its field keeps its value, the read goes on past it (so that the
// dialog shows, and a save keeps, every value after it) and the result is
// a failure; `report` names it.
//
// Numbers outside the range the dialog offers (kDelayRange and the others
// in settings.h) are set to the nearest bound, and `report` says so: a gain
// of 1000 dB or a delay of 4294967295 frames is nothing an engine can play.
// CpuPriority and ShowOnStartType keep any value (every other value has a
// meaning: Highest, Hide). A stored name that a catalogue no
// longer lists selects nothing (CaptureSource -1, no engine bit); engines
// at catalogue position 32 and above cannot be held in the mask and select
// nothing either.
//
// Line references keep whatever pair their stored text gives, also outside
// the pairs 0..7 the dialog offers (a digit "9" gives pair 8, other
// characters give pairs from -49 up): the record does not reject them, the
// pipeline refuses negative pairs, the mixer leaves out lines outside its
// buffers and the dialog shows such a line as its first entry. Clamping
// here would silently route audio to another line.
Status ReadSettings(DuckerSettings& settings, const TitleEngineCatalogue& engines,
                    const CaptureSourceCatalogue& sources, std::string_view keyPath, SettingsReport* report = nullptr);

// Writes every persisted field under `keyPath` (opened, or created when it
// cannot be opened) and ends the save, which is kept whole or not at all.
// Fails when the component cannot be created, the key can neither be opened
// nor created, a write fails (the writes after it are not tried) or the
// save does not reach the store: the code of the call that failed, and as
// the message the store's reason (its path and why; may be empty). Engine
// values numbered above the new "TitleEngineCnt" that an earlier save left
// are not deleted; the count makes them irrelevant.
Status WriteSettings(const DuckerSettings& settings, const TitleEngineCatalogue& engines,
                     const CaptureSourceCatalogue& sources, std::string_view keyPath);

}  // namespace quellvox
