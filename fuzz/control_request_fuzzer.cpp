// Requests to the remote interface: the first line is a method and a path,
// the second an Authorization header, the third a query, the rest a
// settings body. Whatever comes, the rules answer without crashing, a
// refused body leaves the record exactly as it was and an accepted one
// reads back as a record the dialog's checks pass.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "control/control_request.h"
#include "control/control_settings.h"

namespace {

std::string_view NextLine(std::string_view& rest) {
  const size_t end = rest.find('\n');
  const std::string_view line = rest.substr(0, end);
  rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
  return line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quellvox;
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  const std::string_view request = NextLine(rest);
  const size_t space = request.find(' ');
  const RouteMatch m = MatchRoute(request.substr(0, space), space == std::string_view::npos ? "" : request.substr(space + 1));
  if (m.HttpStatus != 200 && m.HttpStatus != 404 && m.HttpStatus != 405) std::abort();
  const std::string_view authorization = NextLine(rest);
  if (const auto token = BearerToken(authorization)) {
    if (token->empty() || token->find(' ') != std::string_view::npos) std::abort();
  }
  bool restart = false;
  ParseRestartQuery(NextLine(rest), restart);
  OriginAllowed(authorization, request);
  IsLoopbackAddress(authorization);

  static const CatalogueNames names{{"Engine 1", "Engine 2"}, {"Capture A", "Capture B"}};
  RemoteSettings record;
  record.Settings.CaptureSource = 0;
  record.Settings.TitleEngineMask = 1;
  record.Settings.RegionName = "Lower";
  record.Settings.Lines[0].Use = true;
  const std::string before = SettingsToJson(record, names);
  for (const bool whole : {false, true}) {
    RemoteSettings copy = record;
    const SettingsParseResult result = ApplySettingsJson(rest, whole, copy, names);
    if (result.HttpStatus != 200) {
      if (SettingsToJson(copy, names) != before || result.Message.empty()) std::abort();
    } else if (FirstSettingsProblem(copy.Settings) != SettingsProblem::None) {
      std::abort();
    } else {
      RemoteSettings again = record;
      if (ApplySettingsJson(SettingsToJson(copy, names), true, again, names).HttpStatus != 200) std::abort();
    }
  }
  return 0;
}
