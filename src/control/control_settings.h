// The settings record as the remote interface shows and takes it: one JSON
// object whose members are the values' stored names ("CaptureSource",
// "UseLine1", "From4Line1" ...), with the capture source and the title
// engines by name ("TitleEngines": a list of names in place of the numbered
// "TitleEngine%d" values and their count), line references in their stored
// text ("Stereo#1") and the start-up flags "AutoStart" and "RunOnLogon".
// Pure functions of their arguments: any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "config/catalogues.h"
#include "config/settings.h"

namespace quellvox {

// The record and the two flags that a settings request reads and writes.
struct RemoteSettings {
  DuckerSettings Settings;
  bool AutoStart = false;
  bool RunOnLogon = false;
};

// What a request body did to a record.
struct SettingsParseResult {
  int HttpStatus = 200;  // 200, or 400 (malformed), 422 (refused by the dialog's checks)
  std::string Message;   // why it was refused; for 422 the dialog's own warning
  // The change touches what the running pipeline was assembled from
  // (capture source, engines, layer name, show-on-start, delay): it takes
  // effect only through a restart.
  bool NeedsRestart = false;
  // The mixer part or the priority changed: a running pump takes it.
  bool MixerChanged = false;
};

// The JSON text of `record`: every member, in stored order.
std::string SettingsToJson(const RemoteSettings& record, const TitleEngineCatalogue& engines,
                           const CaptureSourceCatalogue& sources);

// Applies `body` to `record`. `whole` (PUT) requires every member, otherwise
// (PATCH) any non-empty subset. Unknown members, wrong types, numbers
// outside the dialog's ranges, names the catalogues do not list and line
// texts other than "Stereo#1".."Right#8" are malformed (400); a record that
// then fails one of the dialog's four checks is refused (422). On any
// failure `record` is left exactly as it was.
SettingsParseResult ApplySettingsJson(std::string_view body, bool whole, RemoteSettings& record,
                                      const TitleEngineCatalogue& engines, const CaptureSourceCatalogue& sources);

// The same rules over name lists instead of catalogues (the fuzz target and
// the tests use these; the catalogue forms call them).
struct CatalogueNames {
  std::vector<std::string> Engines;  // catalogue order
  std::vector<std::string> Sources;  // stored names, catalogue order
};
CatalogueNames NamesOf(const TitleEngineCatalogue& engines, const CaptureSourceCatalogue& sources);
std::string SettingsToJson(const RemoteSettings& record, const CatalogueNames& names);
SettingsParseResult ApplySettingsJson(std::string_view body, bool whole, RemoteSettings& record,
                                      const CatalogueNames& names);

}  // namespace quellvox
