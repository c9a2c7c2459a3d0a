// The remote interface of one instance: HTTP and a WebSocket on civetweb,
// bound to 127.0.0.1 by default, with the status page, the metrics, the
// health, the status, the commands and the settings (see README, "Remote
// control and monitoring").
//
// Threads: civetweb's workers (at most kControlThreads) and one event
// thread. None of them touches the pipeline or the host's widgets: they
// read the atomic statistics and the snapshot, and queue every command and
// settings change to the instance's thread through ControlHost::Post,
// waiting for the answer at most kCommandWaitMs.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "control/control_host.h"

namespace quellvox {

inline constexpr int kControlThreads = 8;        // civetweb workers: one per open connection
inline constexpr int kMaxEventStreams = 4;       // WebSockets at once; the other workers stay for HTTP
inline constexpr int kControlQueueLength = 16;   // accepted connections waiting for a worker
inline constexpr int kCommandWaitMs = 10'000;    // longest wait for the instance's thread
inline constexpr int kEventAuthWaitMs = 5'000;   // a stream without its token by then is closed
inline constexpr int kFloorEventPeriodMs = 40;   // 25 a second
inline constexpr int kStatisticsEventPeriodMs = 500;
inline constexpr int kHealthSkipWindowMs = 10'000;
inline constexpr int kHealthStallMs = 2'000;     // no pump pass for this long: stalled

// The values under the instance's key that set the interface up.
struct ControlSettings {
  uint32_t Port = 0;                    // "ControlPort": 0 or missing is off
  std::string Address = "127.0.0.1";    // "ControlAddress": missing or empty is loopback
};

// Reads "ControlPort" and "ControlAddress" under `keyPath` through the
// registry component; missing values keep their defaults. Instance thread.
ControlSettings ReadControlSettings(const std::string& keyPath);

class ControlServer {
 public:
  // Instance thread; `host` outlives the server.
  explicit ControlServer(ControlHost& host);
  ~ControlServer();  // Stop()
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

  // Instance thread. Listens as `settings` say (nothing for port 0). A port
  // that is taken, an address that cannot be bound, or an address other
  // than loopback without a token is one trace line and a state that
  // StateText() says; the instance runs on. True while listening.
  bool Start(const ControlSettings& settings);
  // Instance thread. Answers every waiting request with 503, closes every
  // connection, joins every thread.
  void Stop();

  // Instance thread: takes a new snapshot now (the host calls it after a
  // change of its own, e.g. a menu command, so that events follow at once;
  // the server also takes one ten times a second).
  void Refresh();

  // Instance thread. "off", "listening on http://127.0.0.1:8480" or why not.
  std::string StateText() const;
  // The port bound (for port 0 given to Start in tests: never; see Start).
  int BoundPort() const;

  struct Impl;

 private:
  std::shared_ptr<Impl> impl_;
};

}  // namespace quellvox
