// The remote interface in the service: the host side of ControlHost over
// the service's loop and instance. Commands run on the loop's thread, with
// the service's own rules: Stop holds the relay off until a Start, Start
// and Restart try at once and keep retrying as the service does.
#pragma once

#include <functional>
#include <string>

#include "control/control_host.h"
#include "control/control_server.h"
#include "service/service_instance.h"
#include "service/service_loop.h"

namespace quellvox {

class ServiceControl final : public ControlHost {
 public:
  ServiceControl(ServiceLoop& loop, ServiceInstance& instance);
  ~ServiceControl() override;

  // Loop thread. Reads "ControlPort" and "ControlAddress" of the instance
  // and listens; a port that is taken is traced and the service runs on.
  void Start();
  // Loop thread. Answers what waits with 503 and joins the server's threads.
  void Stop() { server_.Stop(); }

  void Post(std::function<void()> task) override;
  InstanceCore& Core() override { return instance_.Core(); }
  bool PipelineRunning() const override;
  std::string StateText() const override;
  ControlAnswer CheckCommand(ControlCommand command) const override;
  ControlAnswer RunCommand(ControlCommand command) override;

 private:
  ServiceLoop& loop_;
  ServiceInstance& instance_;
  ControlServer server_;
};

}  // namespace quellvox
