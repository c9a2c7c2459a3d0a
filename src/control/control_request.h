// The request rules of the remote interface that need no server: which
// route a method and path name, the bearer token of a header, the Origin
// check, the query of a settings change. Pure functions: any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace quellvox {

// The largest request body taken (settings are a few kilobytes); larger
// bodies get 413 before any of them is read.
inline constexpr size_t kMaxControlBodyBytes = 64 * 1024;

enum class ControlRoute {
  Page,        // GET /: the status page
  Metrics,     // GET /metrics
  Health,      // GET /health
  Status,      // GET /api/v1/status
  Start,       // POST /api/v1/start
  Stop,        // POST /api/v1/stop
  Restart,     // POST /api/v1/restart
  ResetSkips,  // POST /api/v1/reset-skips
  GetSettings,
  PutSettings,
  PatchSettings,
  Events,      // GET /api/v1/events, the WebSocket
};

struct RouteMatch {
  int HttpStatus = 404;  // 200 when `Route` holds; 404 unknown path; 405 method not allowed here
  ControlRoute Route = ControlRoute::Page;
  const char* Allow = "";  // the methods the path takes, for a 405's Allow header
  bool NeedsToken = false;  // changes state, or reads the settings or the event stream
};

RouteMatch MatchRoute(std::string_view method, std::string_view path);

// The token of an "Authorization: Bearer <token>" header (scheme in any
// case, one or more spaces); nullopt for any other header.
std::optional<std::string_view> BearerToken(std::string_view authorization);

// A request that a browser sends from a page carries Origin; it is taken
// only from the interface's own page: "http://<Host>" exactly (host in any
// case). No Origin (curl, scrapers, control surfaces) passes.
bool OriginAllowed(std::optional<std::string_view> origin, std::string_view host);

// The query of a settings change: empty, or "restart=1"/"restart=true"
// (restart after the change) or "restart=0"/"restart=false". False for
// anything else.
bool ParseRestartQuery(std::string_view query, bool& restart);

// 127.0.0.0/8, ::1 and "localhost".
bool IsLoopbackAddress(std::string_view address);

}  // namespace quellvox
