#include "control/control_server.h"

#include <civetweb.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>
#include <vector>

#include "control/control_request.h"
#include "control/control_settings.h"
#include "control/control_token.h"
#include "control/instance_snapshot.h"
#include "control/loudness_json.h"
#include "control/metrics.h"
#include "control/status_page.h"
#include "platform/registry_api/registry_access.h"
#include "platform/system/debug_trace.h"

namespace quellvox {

namespace {

using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}

const char* ReasonPhrase(int status) {
  switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 409: return "Conflict";
    case 411: return "Length Required";
    case 413: return "Content Too Large";
    case 415: return "Unsupported Media Type";
    case 422: return "Unprocessable Content";
    case 426: return "Upgrade Required";
    case 503: return "Service Unavailable";
    default: return "Error";
  }
}

std::optional<std::string_view> Header(const mg_connection* conn, const char* name) {
  const char* value = mg_get_header(conn, name);
  if (value == nullptr) return std::nullopt;
  return std::string_view(value);
}

// One command's way to the instance's thread and back. The waiter and the
// task agree under `mutex` whether the task starts: a task that finds the
// waiter gone (timed out, server stopping) changes nothing.
struct PendingAnswer {
  std::mutex mutex;
  std::condition_variable done;
  bool started = false;
  bool cancelled = false;
  bool finished = false;
  ControlAnswer answer;
};

struct EventStream {
  mg_connection* Conn = nullptr;
  bool Authorised = false;
  bool Closing = false;
  int64_t OpenedMs = 0;
};

void InitialiseCivetweb() {
  static std::once_flag once;
  std::call_once(once, [] { mg_init_library(MG_FEATURES_WEBSOCKET | MG_FEATURES_IPV6); });
}

Json FullnessJson(const FullnessRecord& r) {
  const int32_t min = r.Min.load(std::memory_order_relaxed);
  const int32_t max = r.Max.load(std::memory_order_relaxed);
  return Json{{"mean", r.MeanWhole.load(std::memory_order_relaxed) + r.MeanTenth.load(std::memory_order_relaxed) / 10.0},
              {"min", min > max ? 0 : min},
              {"max", max}};
}

}  // namespace

ControlSettings ReadControlSettings(const std::string& keyPath) {
  ControlSettings settings;
  ComPtr<IKTRegistryAccess> reg;
  if (CreateInstance(kClsidRegistryAccess, reg) != S_OK || !reg) return settings;
  if (reg->OpenKey(ComText(keyPath), KEY_READ) != S_OK) return settings;
  uint32_t port = 0;
  if (reg->ReadDword(ComText("ControlPort"), &port) == S_OK) settings.Port = port;
  ComStringHolder address;
  if (reg->ReadString(ComText("ControlAddress"), address.Put()) == S_OK) {
    const std::string text = ComStringToUtf8(address.Get());
    if (!text.empty()) settings.Address = text;
  }
  reg->CloseKey();
  return settings;
}

struct ControlServer::Impl : std::enable_shared_from_this<ControlServer::Impl> {
  explicit Impl(ControlHost& h) : host(h) {}

  ControlHost& host;
  mg_context* context = nullptr;
  std::string state = "off";
  int port = 0;
  std::string address;  // as the settings give it, without brackets

  // Written on the instance thread, read by the server threads.
  mutable std::mutex snapshotMutex;
  InstanceSnapshot snapshot;
  std::thread::id lastPumpThread;
  uint64_t restarts = 0;  // instance thread
  std::atomic<bool> refreshQueued{false};

  std::mutex pendingMutex;
  bool stopping = false;
  std::vector<std::shared_ptr<PendingAnswer>> pending;

  // Health, kept by the event thread.
  std::mutex healthMutex;
  bool healthRunning = false;
  bool passedSinceStart = false;
  uint32_t lastPasses = 0;
  int64_t lastPassMs = 0;
  int64_t runningSinceMs = 0;
  int64_t lastSkipTotal = 0;
  int64_t lastSkipMs = -1;
  uint64_t sampledStarts = 0;  // the run the figures above belong to

  std::mutex streamsMutex;
  std::map<const mg_connection*, EventStream> streams;

  std::mutex eventMutex;
  std::condition_variable eventWake;
  bool eventStop = false;
  std::thread eventThread;

  MetricsExporter metrics;

  PipelineStats& Stats() { return host.Core().Stats; }  // the atomics only, on server threads
  // The meters' published figures: relaxed atomic loads, any thread.
  LoudnessSnapshot Loudness() const { return host.Core().LoudnessFigures(); }

  InstanceSnapshot Snapshot() const {
    std::lock_guard<std::mutex> lock(snapshotMutex);
    return snapshot;
  }

  // Instance thread.
  void Refresh() {
    InstanceCore& core = host.Core();
    InstanceSnapshot next;
    next.InstanceId = core.InstanceId;
    next.StateText = host.StateText();
    next.Running = host.PipelineRunning();
    next.TargetCount = core.Pipeline.TargetCount;
    for (int32_t i = 0; i < core.TitleEngines.Count() && i < kMaxTargets; ++i) {
      if (core.Settings.TitleEngineMask & (1u << i)) next.EngineNames.push_back(core.TitleEngines.NameAt(i));
    }
    for (size_t n = 0; n < core.Settings.Lines.size(); ++n) next.LineInUse[n] = core.Settings.Lines[n].Use;
    next.UseCommon = core.Settings.UseCommon;
    if (next.Running) next.StatisticsText = core.BuildStatisticsText();
    next.SettingsJson =
        SettingsToJson(RemoteSettings{core.Settings, core.AutoStart, core.RunOnLogon}, core.TitleEngines, core.CaptureSources);
    const CatalogueNames names = NamesOf(core.TitleEngines, core.CaptureSources);
    next.CaptureSourceNames = names.Sources;
    next.TitleEngineNames = names.Engines;
    const std::thread::id pump = core.Pipeline.AudioThread.get_id();
    std::lock_guard<std::mutex> lock(snapshotMutex);
    next.Starts = snapshot.Starts + (pump != std::thread::id() && pump != lastPumpThread ? 1 : 0);
    lastPumpThread = pump;
    next.Restarts = restarts;
    snapshot = std::move(next);
  }

  // Any thread but the instance's: queues `work` and waits for its answer.
  ControlAnswer Ask(std::function<ControlAnswer()> work) {
    auto answer = std::make_shared<PendingAnswer>();
    {
      std::lock_guard<std::mutex> lock(pendingMutex);
      if (stopping) return {503, "The instance is ending."};
      pending.push_back(answer);
    }
    std::weak_ptr<Impl> weak = weak_from_this();
    host.Post([weak, answer, work = std::move(work)] {
      {
        std::lock_guard<std::mutex> lock(answer->mutex);
        if (answer->cancelled) return;
        answer->started = true;
      }
      ControlAnswer result{503, "The instance is ending."};
      if (std::shared_ptr<Impl> self = weak.lock()) result = work();
      std::lock_guard<std::mutex> lock(answer->mutex);
      answer->answer = std::move(result);
      answer->finished = true;
      answer->done.notify_all();
    });
    ControlAnswer result;
    {
      std::unique_lock<std::mutex> lock(answer->mutex);
      answer->done.wait_for(lock, std::chrono::milliseconds(kCommandWaitMs),
                            [&] { return answer->finished || answer->cancelled; });
      if (!answer->finished && !answer->started) answer->cancelled = true;
      // Once started, the command runs to its end on the instance's thread:
      // its answer is waited for, so that the caller learns what it did.
      answer->done.wait(lock, [&] { return answer->finished || answer->cancelled; });
      result = answer->finished ? answer->answer
                                : ControlAnswer{503, "The instance did not take the command in time; nothing changed."};
    }
    std::lock_guard<std::mutex> lock(pendingMutex);
    pending.erase(std::remove(pending.begin(), pending.end(), answer), pending.end());
    return result;
  }

  // Instance thread.
  ControlAnswer RunCommand(ControlCommand command) {
    ControlAnswer check = host.CheckCommand(command);
    if (check.HttpStatus != 200) return check;
    if (command == ControlCommand::ResetSkips) {
      // Release: pairs with the pump's acquire exchange, as the statistics dialog's Reset.
      host.Core().Stats.ResetRequested.store(1, std::memory_order_release);
      return {};
    }
    ControlAnswer answer = host.RunCommand(command);
    if (command == ControlCommand::Restart && answer.HttpStatus == 200) ++restarts;
    Refresh();
    return answer;
  }

  // Instance thread.
  ControlAnswer ChangeSettings(const std::string& body, bool whole, bool restart) {
    ControlAnswer check = host.CheckCommand(ControlCommand::ChangeSettings);
    if (check.HttpStatus != 200) return check;
    InstanceCore& core = host.Core();
    RemoteSettings record{core.Settings, core.AutoStart, core.RunOnLogon};
    const SettingsParseResult parsed = ApplySettingsJson(body, whole, record, core.TitleEngines, core.CaptureSources);
    if (parsed.HttpStatus != 200) return {parsed.HttpStatus, parsed.Message};
    const bool running = host.PipelineRunning();
    if (running && parsed.NeedsRestart && !restart) {
      return {409,
              "The relay runs: a change of capture source, title engines, layer, show-on-start or delay takes a "
              "restart. Send it again with ?restart=1."};
    }
    core.Settings = record.Settings;
    core.AutoStart = record.AutoStart;
    core.RunOnLogon = record.RunOnLogon;
    // As the dialog's OK: save, then hand the mixer part to a running pump.
    core.SaveSettings();
    core.PublishMixerSettings();
    bool restarted = false;
    if (running && restart) {
      const ControlAnswer answer = host.RunCommand(ControlCommand::Restart);
      if (answer.HttpStatus != 200) {
        Refresh();
        return answer;
      }
      ++restarts;
      restarted = true;
    }
    Refresh();
    Json reply = Json::parse(SettingsToJson(record, core.TitleEngines, core.CaptureSources));
    return {200, Json{{"settings", reply}, {"restarted", restarted}, {"mixerChanged", parsed.MixerChanged}}.dump()};
  }

  Json StatisticsJson(const InstanceSnapshot& snap) {
    const PipelineStats& s = Stats();
    Json engines = Json::array();
    const int32_t targets = snap.Running ? std::min<int32_t>(snap.TargetCount, kMaxTargets) : 0;
    for (int32_t i = 0; i < targets; ++i) {
      const size_t t = static_cast<size_t>(i);
      engines.push_back({{"engine", t < snap.EngineNames.size() ? snap.EngineNames[t] : std::to_string(i + 1)},
                         {"skipped", s.SkipVideo[i].load(std::memory_order_relaxed)},
                         {"videoFullness", FullnessJson(s.VideoFullness[i])},
                         {"audioFullness", FullnessJson(s.AudioFullness[i])}});
    }
    Json lines = Json::array();
    for (int n = 0; n < kVoiceOverLines; ++n) {
      if (!snap.LineInUse[static_cast<size_t>(n)]) continue;
      lines.push_back({{"line", n + 1},
                       {"floorGainDb", s.FloorGainCentiDB[n].load(std::memory_order_relaxed) / 100.0},
                       {"voiceDetected", s.VoiceDetected[n].load(std::memory_order_relaxed) != 0},
                       {"voiceLevelDb", s.VoiceLevelDB[n].load(std::memory_order_relaxed)}});
    }
    return Json{{"processingSeconds", snap.Running ? s.ProcessingSeconds.load(std::memory_order_relaxed) : 0},
                {"audioSkips", s.SkipAudio.load(std::memory_order_relaxed)},
                {"pumpPasses", s.PassCount.load(std::memory_order_relaxed)},
                {"interNoiseDb", s.InterNoiseDB.load(std::memory_order_relaxed)},
                {"engines", engines},
                {"lines", lines},
                {"loudness", LoudnessJson(Loudness(), snap.Running)}};
  }

  // ---- health, sampled by the event thread
  void SampleHealth(const InstanceSnapshot& snap, int64_t now) {
    const PipelineStats& s = Stats();
    const uint32_t passes = s.PassCount.load(std::memory_order_relaxed);
    int64_t skips = s.SkipAudio.load(std::memory_order_relaxed);
    for (const auto& counter : s.SkipVideo) skips += counter.load(std::memory_order_relaxed);
    std::lock_guard<std::mutex> lock(healthMutex);
    // A run the sampler has not seen yet, also one a restart began between two samples.
    if (snap.Running && (!healthRunning || snap.Starts != sampledStarts)) {
      sampledStarts = snap.Starts;
      lastSkipMs = -1;
      lastSkipTotal = skips;
      runningSinceMs = now;
      passedSinceStart = false;
      lastPassMs = now;
      lastPasses = passes;
    }
    healthRunning = snap.Running;
    if (passes != lastPasses) {
      lastPasses = passes;
      lastPassMs = now;
      passedSinceStart = true;
    }
    if (skips > lastSkipTotal) lastSkipMs = now;
    lastSkipTotal = skips;
  }

  // 200 and "ok", or 503 and the reason. Whether the relay runs, and which run it is, come from the
  // instance as it is now; the figures of the run from the event thread's samples, so that a stop or
  // restart answered a moment ago never reads as the run before it.
  std::pair<int, std::string> Health(const InstanceSnapshot& snap, int64_t now) {
    std::lock_guard<std::mutex> lock(healthMutex);
    if (!snap.Running) return {503, "stopped"};
    if (!healthRunning || snap.Starts != sampledStarts || !passedSinceStart) return {503, "waiting for a device"};
    if (now - lastPassMs > kHealthStallMs) return {503, "stalled"};
    if (lastSkipMs >= 0 && now - lastSkipMs < kHealthSkipWindowMs) return {503, "skipping"};
    return {200, "ok"};
  }

  // ---- events
  void Broadcast(const std::string& text) {
    std::lock_guard<std::mutex> lock(streamsMutex);
    for (auto& [key, stream] : streams) {
      if (stream.Authorised && !stream.Closing) {
        mg_websocket_write(stream.Conn, MG_WEBSOCKET_OPCODE_TEXT, text.data(), text.size());
      }
    }
  }

  void CloseLateStreams(int64_t now) {
    std::lock_guard<std::mutex> lock(streamsMutex);
    for (auto& [key, stream] : streams) {
      if (!stream.Authorised && !stream.Closing && now - stream.OpenedMs > kEventAuthWaitMs) {
        stream.Closing = true;
        mg_websocket_write(stream.Conn, MG_WEBSOCKET_OPCODE_CONNECTION_CLOSE, "\x0f\xa0", 2);  // 4000
      }
    }
  }

  static std::string StateEvent(const InstanceSnapshot& snap) {
    return Json{{"type", "state"}, {"instance", snap.InstanceId}, {"state", snap.StateText}, {"running", snap.Running}}
        .dump();
  }

  std::string FloorEvent(const InstanceSnapshot& snap) {
    const PipelineStats& s = Stats();
    Json lines = Json::array();
    if (snap.Running) {
      for (int n = 0; n < kVoiceOverLines; ++n) {
        if (!snap.LineInUse[static_cast<size_t>(n)]) continue;
        lines.push_back({{"line", n + 1},
                         {"floorGainDb", s.FloorGainCentiDB[n].load(std::memory_order_relaxed) / 100.0},
                         {"voice", s.VoiceDetected[n].load(std::memory_order_relaxed) != 0}});
      }
    }
    // The loudness figures change ten times a second at most: they ride
    // with the statistics event (StatisticsJson), not with this one.
    return Json{{"type", "floor"}, {"passes", s.PassCount.load(std::memory_order_relaxed)}, {"lines", lines}}.dump();
  }

  void RunEvents() {
    int64_t nextStatistics = 0;
    int64_t nextRefresh = 0;
    std::string lastState;
    bool lastRunning = false;
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(eventMutex);
        if (eventWake.wait_for(lock, std::chrono::milliseconds(kFloorEventPeriodMs), [this] { return eventStop; })) {
          return;
        }
      }
      const int64_t now = NowMs();
      if (now >= nextRefresh && !refreshQueued.exchange(true)) {
        nextRefresh = now + 100;
        std::weak_ptr<Impl> weak = weak_from_this();
        host.Post([weak] {
          if (std::shared_ptr<Impl> self = weak.lock()) {
            self->refreshQueued.store(false);
            self->Refresh();
          }
        });
      }
      const InstanceSnapshot snap = Snapshot();
      SampleHealth(snap, now);
      CloseLateStreams(now);
      if (snap.StateText != lastState || snap.Running != lastRunning) {
        lastState = snap.StateText;
        lastRunning = snap.Running;
        Broadcast(StateEvent(snap));
      }
      Broadcast(FloorEvent(snap));
      if (now >= nextStatistics) {
        nextStatistics = now + kStatisticsEventPeriodMs;
        Broadcast(Json{{"type", "statistics"}, {"statistics", StatisticsJson(snap)}, {"text", snap.StatisticsText}}
                      .dump());
      }
    }
  }

  // ---- HTTP
  static void Respond(mg_connection* conn, int status, const char* type, const std::string& body,
                      const std::vector<std::pair<std::string, std::string>>& headers = {}) {
    mg_response_header_start(conn, status);
    mg_response_header_add(conn, "Content-Type", type, -1);
    mg_response_header_add(conn, "Content-Length", std::to_string(body.size()).c_str(), -1);
    mg_response_header_add(conn, "Cache-Control", "no-store", -1);
    mg_response_header_add(conn, "X-Content-Type-Options", "nosniff", -1);
    for (const auto& [name, value] : headers) mg_response_header_add(conn, name.c_str(), value.c_str(), -1);
    mg_response_header_send(conn);
    const mg_request_info* info = mg_get_request_info(conn);
    if (std::strcmp(info->request_method, "HEAD") != 0) mg_write(conn, body.data(), body.size());
  }

  static int RespondJson(mg_connection* conn, int status, const Json& body,
                         const std::vector<std::pair<std::string, std::string>>& headers = {}) {
    Respond(conn, status, "application/json", body.dump() + "\n", headers);
    return status;
  }

  static int RespondError(mg_connection* conn, int status, const std::string& message,
                          std::vector<std::pair<std::string, std::string>> headers = {}) {
    return RespondJson(conn, status, Json{{"error", ReasonPhrase(status)}, {"message", message}}, headers);
  }

  // The token check of a request; 0 when it passes.
  int CheckToken(mg_connection* conn) {
    std::string token;
    if (!LoadOrCreateControlToken(host.Core().InstanceId, token).IsOk()) {
      return RespondError(conn, 403, "The instance has no control token; see quellvox-reg token.");
    }
    const std::optional<std::string_view> header = Header(conn, "Authorization");
    const std::optional<std::string_view> given = header ? BearerToken(*header) : std::nullopt;
    if (!given || !TokensEqual(*given, token)) {
      return RespondError(conn, 401, "This request needs the instance's token: Authorization: Bearer <token>.",
                          {{"WWW-Authenticate", "Bearer"}});
    }
    return 0;
  }

  // Reads the body into `body`; 0, or the error status already sent.
  static int ReadBody(mg_connection* conn, std::string& body) {
    const mg_request_info* info = mg_get_request_info(conn);
    if (info->content_length > static_cast<long long>(kMaxControlBodyBytes)) {
      return RespondError(conn, 413, "The body is larger than 64 KiB.", {{"Connection", "close"}});
    }
    char buffer[4096];
    for (;;) {
      const int n = mg_read(conn, buffer, sizeof buffer);
      if (n <= 0) break;
      body.append(buffer, static_cast<size_t>(n));
      if (body.size() > kMaxControlBodyBytes) {
        return RespondError(conn, 413, "The body is larger than 64 KiB.", {{"Connection", "close"}});
      }
    }
    return 0;
  }

  // The checks every request passes before its route answers: a known route
  // and method, a body within the limit, the token where one is needed, and
  // a query or body only where the route takes one. 0 when all pass, else
  // the status already sent.
  int AdmitRequest(mg_connection* conn, const RouteMatch& match, std::string_view query, std::string& body) {
    if (match.HttpStatus == 404) return RespondError(conn, 404, "No such resource.");
    if (match.HttpStatus == 405) return RespondError(conn, 405, "Method not allowed here.", {{"Allow", match.Allow}});
    if (const int sent = ReadBody(conn, body)) return sent;
    if (match.Route == ControlRoute::Events) {
      return RespondError(conn, 426, "The event stream is a WebSocket.", {{"Upgrade", "websocket"}});
    }
    if (match.NeedsToken) {
      const std::optional<std::string_view> hostHeader = Header(conn, "Host");
      if (!OriginAllowed(Header(conn, "Origin"), hostHeader.value_or(""))) {
        return RespondError(conn, 403, "Requests from another site's page are refused.");
      }
      if (const int sent = CheckToken(conn)) return sent;
    }
    const bool takesBody = match.Route == ControlRoute::PutSettings || match.Route == ControlRoute::PatchSettings;
    if (!takesBody && !query.empty()) return RespondError(conn, 400, "This resource takes no query.");
    if (!takesBody && !body.empty() && match.Route != ControlRoute::Start && match.Route != ControlRoute::Stop &&
        match.Route != ControlRoute::Restart && match.Route != ControlRoute::ResetSkips) {
      return RespondError(conn, 400, "This resource takes no body.");
    }
    return 0;
  }

  int RespondStatus(mg_connection* conn) {
    const InstanceSnapshot snap = Snapshot();
    return RespondJson(conn, 200,
                       Json{{"instance", snap.InstanceId},
                            {"state", snap.StateText},
                            {"running", snap.Running},
                            {"statistics", StatisticsJson(snap)},
                            {"statisticsText", snap.StatisticsText},
                            {"settings", Json::parse(snap.SettingsJson.empty() ? "{}" : snap.SettingsJson)},
                            {"available", Json{{"CaptureSources", snap.CaptureSourceNames},
                                               {"TitleEngines", snap.TitleEngineNames}}},
                            {"control", state}});
  }

  // The menu's commands, run on the instance's thread.
  int RespondCommand(mg_connection* conn, ControlRoute route) {
    const ControlCommand command = route == ControlRoute::Start     ? ControlCommand::Start
                                   : route == ControlRoute::Stop    ? ControlCommand::Stop
                                   : route == ControlRoute::Restart ? ControlCommand::Restart
                                                                    : ControlCommand::ResetSkips;
    const ControlAnswer answer = Ask([this, command] { return RunCommand(command); });
    if (answer.HttpStatus != 200) return RespondError(conn, answer.HttpStatus, answer.Message);
    const InstanceSnapshot snap = Snapshot();
    return RespondJson(conn, 200, Json{{"state", snap.StateText}, {"running", snap.Running}});
  }

  // PUT (the whole record) or PATCH (some values) of the settings.
  int RespondSettingsChange(mg_connection* conn, bool whole, std::string_view query, std::string body) {
    bool restart = false;
    if (!ParseRestartQuery(query, restart)) return RespondError(conn, 400, "The query may only be restart=1 or 0.");
    const std::optional<std::string_view> type = Header(conn, "Content-Type");
    if (type && type->substr(0, type->find(';')) != "application/json") {
      return RespondError(conn, 415, "Settings are sent as application/json.");
    }
    const ControlAnswer answer =
        Ask([this, body = std::move(body), whole, restart] { return ChangeSettings(body, whole, restart); });
    if (answer.HttpStatus != 200) return RespondError(conn, answer.HttpStatus, answer.Message);
    Respond(conn, 200, "application/json", answer.Message + "\n");
    return 200;
  }

  int HandleRequest(mg_connection* conn) {
    const mg_request_info* info = mg_get_request_info(conn);
    const std::string_view method = info->request_method != nullptr ? info->request_method : "";
    const std::string_view path = info->local_uri != nullptr ? info->local_uri : "";
    const std::string_view query = info->query_string != nullptr ? info->query_string : "";
    const RouteMatch match = MatchRoute(method, path);
    std::string body;
    if (const int sent = AdmitRequest(conn, match, query, body)) return sent;

    switch (match.Route) {
      case ControlRoute::Page:
        Respond(conn, 200, "text/html; charset=utf-8", StatusPageHtml(),
                {{"Content-Security-Policy", "default-src 'self'; script-src 'unsafe-inline'; "
                                             "style-src 'unsafe-inline'; connect-src 'self'; img-src data:"}});
        return 200;
      case ControlRoute::Metrics:
        Respond(conn, 200, "text/plain; version=0.0.4; charset=utf-8", metrics.Render(Stats(), Snapshot(), Loudness()));
        return 200;
      case ControlRoute::Health: {
        const auto [status, reason] = Health(Snapshot(), NowMs());
        return RespondJson(conn, status, Json{{"status", status == 200 ? "ok" : "unhealthy"}, {"reason", reason}});
      }
      case ControlRoute::Status:
        return RespondStatus(conn);
      case ControlRoute::GetSettings:
        Respond(conn, 200, "application/json", Snapshot().SettingsJson + "\n");
        return 200;
      case ControlRoute::Start:
      case ControlRoute::Stop:
      case ControlRoute::Restart:
      case ControlRoute::ResetSkips:
        return RespondCommand(conn, match.Route);
      case ControlRoute::PutSettings:
      case ControlRoute::PatchSettings:
        return RespondSettingsChange(conn, match.Route == ControlRoute::PutSettings, query, std::move(body));
      case ControlRoute::Events: break;
    }
    return RespondError(conn, 404, "No such resource.");
  }

  // ---- WebSocket
  int OnStreamConnect(const mg_connection* conn) {
    const std::optional<std::string_view> hostHeader = Header(conn, "Host");
    if (!OriginAllowed(Header(conn, "Origin"), hostHeader.value_or(""))) return 1;
    bool authorised = false;
    if (const std::optional<std::string_view> header = Header(conn, "Authorization")) {
      std::string token;
      const std::optional<std::string_view> given = BearerToken(*header);
      if (!given || !LoadOrCreateControlToken(host.Core().InstanceId, token).IsOk() || !TokensEqual(*given, token)) {
        return 1;
      }
      authorised = true;
    }
    std::lock_guard<std::mutex> lock(streamsMutex);
    if (static_cast<int>(streams.size()) >= kMaxEventStreams) return 1;
    EventStream stream;
    stream.Conn = const_cast<mg_connection*>(conn);  // civetweb hands the connection const to this callback only
    stream.Authorised = authorised;
    stream.OpenedMs = NowMs();
    streams[conn] = stream;
    return 0;
  }

  void OnStreamReady(mg_connection* conn) {
    const InstanceSnapshot snap = Snapshot();
    std::lock_guard<std::mutex> lock(streamsMutex);
    auto it = streams.find(conn);
    if (it == streams.end()) return;
    it->second.Conn = conn;
    if (it->second.Authorised) {
      const std::string text = StateEvent(snap);
      mg_websocket_write(conn, MG_WEBSOCKET_OPCODE_TEXT, text.data(), text.size());
    }
  }

  int OnStreamData(mg_connection* conn, int bits, const char* data, size_t size) {
    const int opcode = bits & 0x0F;
    if (opcode == MG_WEBSOCKET_OPCODE_CONNECTION_CLOSE) return 0;
    if (opcode != MG_WEBSOCKET_OPCODE_TEXT) return 1;
    const InstanceSnapshot snap = Snapshot();
    std::string token;
    const bool haveToken = LoadOrCreateControlToken(host.Core().InstanceId, token).IsOk();
    std::lock_guard<std::mutex> lock(streamsMutex);
    auto it = streams.find(conn);
    if (it == streams.end()) return 0;
    if (it->second.Authorised) return 1;  // the stream only talks; what a client says is not read
    // The first message of a browser, which cannot set headers: {"token": "..."}.
    const Json message = Json::parse(std::string_view(data, size), nullptr, false);
    const bool good = haveToken && message.is_object() && message.contains("token") && message["token"].is_string() &&
                      TokensEqual(message["token"].get<std::string>(), token);
    if (!good) {
      it->second.Closing = true;
      mg_websocket_write(conn, MG_WEBSOCKET_OPCODE_CONNECTION_CLOSE, "\x0f\xa1", 2);  // 4001
      return 0;
    }
    it->second.Authorised = true;
    const std::string text = StateEvent(snap);
    mg_websocket_write(conn, MG_WEBSOCKET_OPCODE_TEXT, text.data(), text.size());
    return 1;
  }

  void OnStreamClose(const mg_connection* conn) {
    std::lock_guard<std::mutex> lock(streamsMutex);
    streams.erase(conn);
  }
};

namespace {

ControlServer::Impl* ImplOf(void* data) { return static_cast<ControlServer::Impl*>(data); }

int OnRequest(mg_connection* conn, void* data) { return ImplOf(data)->HandleRequest(conn); }
int OnConnect(const mg_connection* conn, void* data) { return ImplOf(data)->OnStreamConnect(conn); }
void OnReady(mg_connection* conn, void* data) { ImplOf(data)->OnStreamReady(conn); }
int OnData(mg_connection* conn, int bits, char* text, size_t size, void* data) {
  return ImplOf(data)->OnStreamData(conn, bits, text, size);
}
void OnClose(const mg_connection* conn, void* data) { ImplOf(data)->OnStreamClose(conn); }
// civetweb's own messages (a refused connection and the like) are not the program's traces.
int OnLog(const mg_connection*, const char*) { return 1; }

}  // namespace

ControlServer::ControlServer(ControlHost& host) : impl_(std::make_shared<Impl>(host)) {}

ControlServer::~ControlServer() { Stop(); }

bool ControlServer::Start(const ControlSettings& settings) {
  Stop();
  Impl& impl = *impl_;
  const char* id = impl.host.Core().InstanceId.c_str();
  {
    std::lock_guard<std::mutex> lock(impl.pendingMutex);
    impl.stopping = false;
  }
  if (settings.Port == 0) {
    impl.state = "off";
    return false;
  }
  if (settings.Port > 65535) {
    impl.state = "off: ControlPort " + std::to_string(settings.Port) + " is not a port";
    DebugTrace("Quellvox%s::Control ERROR - %s.\n", id, impl.state.c_str());
    return false;
  }
  const bool v6 = settings.Address.find(':') != std::string::npos;
  const std::string where =
      (v6 && settings.Address.front() != '[' ? "[" + settings.Address + "]" : settings.Address) + ":" +
      std::to_string(settings.Port);
  std::string token;
  const Status tokenRead = LoadOrCreateControlToken(impl.host.Core().InstanceId, token);
  const bool haveToken = tokenRead.IsOk();
  if (!haveToken && !IsLoopbackAddress(settings.Address)) {
    impl.state = "off: " + where + " is not loopback and there is no token (" + tokenRead.Message() + ")";
    DebugTrace("Quellvox%s::Control ERROR - %s.\n", id, impl.state.c_str());
    return false;
  }

  InitialiseCivetweb();
  const std::string threads = std::to_string(kControlThreads);
  const std::string queue = std::to_string(kControlQueueLength);
  const char* options[] = {"listening_ports", where.c_str(),
                           "num_threads", threads.c_str(),
                           "connection_queue", queue.c_str(),
                           "listen_backlog", queue.c_str(),
                           "request_timeout_ms", "10000",
                           "websocket_timeout_ms", "30000",
                           "enable_websocket_ping_pong", "yes",
                           "enable_keep_alive", "yes",
                           "tcp_nodelay", "1",  // headers and body go out as two writes: no 40 ms wait for an ACK
                           "max_request_size", "16384",
                           nullptr};
  mg_callbacks callbacks{};
  callbacks.log_message = OnLog;
  mg_init_data init{};
  init.callbacks = &callbacks;
  init.user_data = &impl;
  init.configuration_options = options;
  char text[256] = {};
  unsigned code = 0;
  mg_error_data failure{&code, text, sizeof text};
  impl.Refresh();
  // Set before the workers exist: they read it without a lock.
  impl.state = "listening on http://" + where;
  impl.context = mg_start2(&init, &failure);
  if (impl.context == nullptr) {
    impl.state = "off: cannot listen on " + where + " (" + text + ")";
    DebugTrace("Quellvox%s::Control ERROR - cannot listen on %s (%s).\n", id, where.c_str(), text);
    return false;
  }
  mg_set_request_handler(impl.context, "/", OnRequest, &impl);
  mg_set_websocket_handler(impl.context, "/api/v1/events", OnConnect, OnReady, OnData, OnClose, &impl);
  mg_server_port ports[1] = {};
  if (mg_get_server_ports(impl.context, 1, ports) > 0) impl.port = ports[0].port;
  impl.address = settings.Address;
  {
    std::lock_guard<std::mutex> lock(impl.eventMutex);
    impl.eventStop = false;
  }
  impl.eventThread = std::thread([&impl] { impl.RunEvents(); });
  DebugTrace("Quellvox%s::Control %s.\n", id, impl.state.c_str());
  return true;
}

namespace {

// Opens and closes a connection to the server at `address`:`port` (the
// loopback address for a server on every address).
void KnockOn(std::string address, int port) {
  if (address.empty() || address == "0.0.0.0") address = "127.0.0.1";
  if (address == "::" || address == "[::]") address = "::1";
  if (address.front() == '[' && address.back() == ']') address = address.substr(1, address.size() - 2);
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (::getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return;
  const int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0) {
    ::connect(fd, found->ai_addr, found->ai_addrlen);
    ::close(fd);
  }
  ::freeaddrinfo(found);
}

}  // namespace

void ControlServer::Stop() {
  Impl& impl = *impl_;
  {
    std::lock_guard<std::mutex> lock(impl.pendingMutex);
    impl.stopping = true;
    for (const auto& answer : impl.pending) {
      std::lock_guard<std::mutex> answerLock(answer->mutex);
      if (!answer->started) answer->cancelled = true;
      answer->done.notify_all();
    }
  }
  if (impl.eventThread.joinable()) {
    {
      std::lock_guard<std::mutex> lock(impl.eventMutex);
      impl.eventStop = true;
    }
    impl.eventWake.notify_all();
    impl.eventThread.join();
  }
  if (impl.context != nullptr) {
    // The server's listening thread looks at its stop flag only between
    // waits of some two seconds, or when a connection comes: connections
    // of our own, until it has stopped, end the wait at once.
    std::atomic<bool> stopped{false};
    std::thread waker([&] {
      while (!stopped.load(std::memory_order_acquire)) {
        KnockOn(impl.address, impl.port);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    });
    mg_stop(impl.context);
    stopped.store(true, std::memory_order_release);
    waker.join();
    impl.context = nullptr;
  }
  impl.port = 0;
  if (impl.state.rfind("listening", 0) == 0) impl.state = "off";
}

void ControlServer::Refresh() { impl_->Refresh(); }

std::string ControlServer::StateText() const { return impl_->state; }

int ControlServer::BoundPort() const { return impl_->port; }

}  // namespace quellvox
