#include "control/control_request.h"

#include <array>

namespace quellvox {

namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

struct PathRule {
  std::string_view Path;
  const char* Allow;
};

RouteMatch Found(ControlRoute route, bool needsToken) {
  RouteMatch m;
  m.HttpStatus = 200;
  m.Route = route;
  m.NeedsToken = needsToken;
  return m;
}

RouteMatch NotAllowed(const char* allow) {
  RouteMatch m;
  m.HttpStatus = 405;
  m.Allow = allow;
  return m;
}

}  // namespace

RouteMatch MatchRoute(std::string_view method, std::string_view path) {
  const bool get = method == "GET" || method == "HEAD";
  if (path == "/" || path == "/index.html") return get ? Found(ControlRoute::Page, false) : NotAllowed("GET, HEAD");
  if (path == "/metrics") return get ? Found(ControlRoute::Metrics, false) : NotAllowed("GET, HEAD");
  if (path == "/health") return get ? Found(ControlRoute::Health, false) : NotAllowed("GET, HEAD");
  if (path == "/api/v1/status") return get ? Found(ControlRoute::Status, false) : NotAllowed("GET, HEAD");
  if (path == "/api/v1/events") return method == "GET" ? Found(ControlRoute::Events, true) : NotAllowed("GET");
  static constexpr std::array<std::pair<std::string_view, ControlRoute>, 4> kCommands = {{
      {"/api/v1/start", ControlRoute::Start},
      {"/api/v1/stop", ControlRoute::Stop},
      {"/api/v1/restart", ControlRoute::Restart},
      {"/api/v1/reset-skips", ControlRoute::ResetSkips},
  }};
  for (const auto& [commandPath, route] : kCommands) {
    if (path == commandPath) return method == "POST" ? Found(route, true) : NotAllowed("POST");
  }
  if (path == "/api/v1/settings") {
    if (method == "GET") return Found(ControlRoute::GetSettings, true);
    if (method == "PUT") return Found(ControlRoute::PutSettings, true);
    if (method == "PATCH") return Found(ControlRoute::PatchSettings, true);
    return NotAllowed("GET, PUT, PATCH");
  }
  return RouteMatch{};
}

std::optional<std::string_view> BearerToken(std::string_view authorization) {
  constexpr std::string_view kScheme = "bearer";
  if (authorization.size() <= kScheme.size() || !EqualsNoCase(authorization.substr(0, kScheme.size()), kScheme)) {
    return std::nullopt;
  }
  std::string_view rest = authorization.substr(kScheme.size());
  if (rest.front() != ' ') return std::nullopt;
  while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
  while (!rest.empty() && rest.back() == ' ') rest.remove_suffix(1);
  if (rest.empty()) return std::nullopt;
  for (char c : rest) {
    if (c == ' ' || static_cast<unsigned char>(c) < 0x21 || static_cast<unsigned char>(c) > 0x7E) return std::nullopt;
  }
  return rest;
}

bool OriginAllowed(std::optional<std::string_view> origin, std::string_view host) {
  if (!origin) return true;
  constexpr std::string_view kScheme = "http://";
  if (host.empty() || origin->size() != kScheme.size() + host.size()) return false;
  return origin->substr(0, kScheme.size()) == kScheme && EqualsNoCase(origin->substr(kScheme.size()), host);
}

bool ParseRestartQuery(std::string_view query, bool& restart) {
  restart = false;
  if (query.empty()) return true;
  if (query == "restart=1" || query == "restart=true") {
    restart = true;
    return true;
  }
  return query == "restart=0" || query == "restart=false";
}

bool IsLoopbackAddress(std::string_view address) {
  if (address == "::1" || address == "[::1]" || EqualsNoCase(address, "localhost")) return true;
  if (address.substr(0, 4) != "127.") return false;
  int dots = 0;
  for (char c : address) {
    if (c == '.') ++dots;
    else if (c < '0' || c > '9') return false;
  }
  return dots == 3;
}

}  // namespace quellvox
