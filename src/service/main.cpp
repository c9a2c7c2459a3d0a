// quellvoxd [#id]: one instance with no display, for a service manager.
// The same identifier, settings and guard as the tray program; the life of
// the instance is ServiceInstance's, its thread the ServiceLoop's.
#include <csignal>
#include <filesystem>
#include <optional>
#include <string>

#include "app/user_messages.h"
#include "config/instance_id.h"
#include "platform/media_loader/real_media_loader.h"
#include "platform/media/virtual_studio.h"
#include "platform/registry/registry_component.h"
#include "platform/system/debug_trace.h"
#include "platform/system/instance_guard.h"
#include "platform/system/module_path.h"
#include "service/exit_codes.h"
#include "service/service_control.h"
#include "service/service_instance.h"
#include "service/service_loop.h"
#include "service/service_notifier.h"

namespace {

// How often the loop looks at the relay: the stall watch, the retries and
// the status line are this fine.
constexpr std::chrono::milliseconds kTickPeriod{250};

// The tray program beside this one: its path forms the logon command, which
// the settings compare with the stored entry.
std::string TrayProgramPath() {
  const std::string self = quellvox::ModulePath();
  if (self.empty()) return self;
  return (std::filesystem::path(self).parent_path() / "quellvox").string();
}

}  // namespace

int main(int argc, char** argv) {
  using namespace quellvox;
  // Before any other thread exists, so that every thread inherits the
  // blocked signals and only the loop receives them.
  ServiceLoop loop;

  const std::optional<std::string> instanceId = InstanceIdFromCommandLine(CommandLineFromArguments(argc, argv));
  if (!instanceId) {
    DebugTrace("%s\n", OneLine(kBadCommandLineMessage).c_str());
    return kServiceExitBadCommandLine;
  }
  const char* id = instanceId->c_str();
  if (!loop.Ready()) {
    DebugTrace("Quellvox%s::Service ERROR - no event loop.\n", id);
    return kServiceExitNoLoop;
  }
  InstanceGuard guard;
  if (CreateInstanceGuard(InstanceGuardName(kProgramName, *instanceId), guard) == GuardResult::AlreadyExists) {
    DebugTrace("Quellvox%s::Service refused - the identifier runs already.\n", id);
    return kServiceExitAlreadyRuns;
  }

  RegisterRegistryAccess();
  RegisterVirtualStudio();
  LoadRealMediaWhereDescribed();

  int code = kServiceExitOk;
  {
    SystemdNotifier notifier;
    ServiceInstance instance(*instanceId, TrayProgramPath(), notifier);
    loop.OnSignal([&](int signal) {
      if (signal == SIGHUP) {
        instance.Reload(ServiceInstance::Clock::now());
      } else {
        instance.Stop();
        loop.Quit(kServiceExitOk);
      }
    });
    loop.OnTick(kTickPeriod, [&] { instance.Tick(ServiceInstance::Clock::now()); });
    instance.Begin(ServiceInstance::Clock::now());
    // The remote interface, where the instance's key sets a port.
    ServiceControl control(loop, instance);
    control.Start();
    code = loop.Run();
    control.Stop();
    instance.Stop();
  }
  // Engines finish their outputs and write their recordings now.
  ShutdownLoadedRealMedia();
  ShutdownVirtualStudio();
  CloseInstanceGuard(guard);
  return code;
}
