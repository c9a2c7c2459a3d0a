// The exit codes of quellvoxd, as the README and the systemd unit list them.
#pragma once

namespace quellvox {

inline constexpr int kServiceExitOk = 0;              // stopped by SIGTERM or SIGINT, every output finished
inline constexpr int kServiceExitBadCommandLine = 2;  // the command line does not begin with "#"
inline constexpr int kServiceExitAlreadyRuns = 3;     // the identifier runs already (tray program or service)
inline constexpr int kServiceExitNoLoop = 4;          // the event loop could not be set up (signals, event descriptor)

}  // namespace quellvox
