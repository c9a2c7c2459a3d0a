// The settings record under the instance's registry key: catalogue entries
// and line references stored by name and text, turned back into positions
// when read. Each call creates its own registry-access instance and releases
// it at the end. User-interface thread only.
#pragma once

#include <string_view>

#include "config/catalogues.h"
#include "config/settings.h"

namespace quellvox {

// Fills `settings` from the values under `keyPath`, both catalogues already
// filled. False when the component cannot be created, the key cannot be
// opened or a required value is missing; otherwise IsComplete of the record.
//
// Reading stops at the first required value that is missing: the fields
// read before keep their new values, the rest keep theirs. "CpuPriority"
// and "ShowOnStartType" are optional (field unchanged), each row's
// "VolumeDB4Line%d" is optional (gain 0). A stored name that a catalogue no
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
bool ReadSettings(DuckerSettings& settings, const TitleEngineCatalogue& engines, const CaptureSourceCatalogue& sources,
                  std::string_view keyPath);

// Writes every persisted field under `keyPath` (opened, or created when it
// cannot be opened). False only when the component cannot be created or the
// key can neither be opened nor created; single write failures are ignored.
// Engine values numbered above the new "TitleEngineCnt" that an earlier
// save left are not deleted; the count makes them irrelevant.
bool WriteSettings(const DuckerSettings& settings, const TitleEngineCatalogue& engines,
                   const CaptureSourceCatalogue& sources, std::string_view keyPath);

}  // namespace quellvox
