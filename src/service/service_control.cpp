#include "service/service_control.h"

namespace quellvox {

ServiceControl::ServiceControl(ServiceLoop& loop, ServiceInstance& instance)
    : loop_(loop), instance_(instance), server_(*this) {}

ServiceControl::~ServiceControl() { server_.Stop(); }

void ServiceControl::Start() { server_.Start(ReadControlSettings(instance_.Core().InstanceKeyPath)); }

void ServiceControl::Post(std::function<void()> task) {
  // A full queue drops the task; the server's bounded wait then answers 503.
  loop_.Post(std::move(task));
}

bool ServiceControl::PipelineRunning() const { return instance_.State().Phase == InstancePhase::Running; }

std::string ServiceControl::StateText() const {
  const InstanceState state = instance_.State();
  switch (state.Phase) {
    case InstancePhase::Running: return "Running";
    case InstancePhase::Waiting: return "Waiting: " + state.Reason;
    case InstancePhase::Stopped: break;
  }
  return "Stopped";
}

ControlAnswer ServiceControl::CheckCommand(ControlCommand command) const {
  const InstancePhase phase = instance_.State().Phase;
  switch (command) {
    case ControlCommand::Start:
      if (phase == InstancePhase::Running) return {409, "Start is not enabled: the relay runs."};
      return {};
    case ControlCommand::Stop:
      if (phase == InstancePhase::Stopped) return {409, "Stop is not enabled: the relay is stopped."};
      return {};
    case ControlCommand::Restart:
      if (phase == InstancePhase::Stopped) return {409, "Restart is not enabled: the relay is stopped."};
      return {};
    case ControlCommand::ResetSkips:
      if (phase != InstancePhase::Running) return {409, "Reset is not enabled: the relay is stopped."};
      return {};
    case ControlCommand::ChangeSettings: return {};
  }
  return {409, "Unknown command."};
}

ControlAnswer ServiceControl::RunCommand(ControlCommand command) {
  switch (command) {
    case ControlCommand::Start:
    case ControlCommand::Restart: {
      const Status resumed = instance_.Resume(ServiceInstance::Clock::now());
      if (!resumed.IsOk()) return {409, resumed.Message() + " (the service tries again by itself)"};
      break;
    }
    case ControlCommand::Stop: instance_.Hold(); break;
    case ControlCommand::ResetSkips:
    case ControlCommand::ChangeSettings: break;
  }
  server_.Refresh();
  return {};
}

}  // namespace quellvox
