// The remote interface in the tray program: the host side of ControlHost
// over the main frame. Commands run on the user-interface thread (a queued
// call on the frame), under the menu's enabling rules and with the menu's
// and the dialog's messages, but never open a message box of their own.
// User-interface thread only, but Post.
#pragma once

#include <functional>
#include <string>

#include "control/control_host.h"
#include "control/control_server.h"

namespace quellvox {

class CMainFrame;

class TrayControl final : public ControlHost {
 public:
  explicit TrayControl(CMainFrame& frame);
  ~TrayControl() override;

  // Reads "ControlPort" and "ControlAddress" of the instance and listens.
  void Start();
  ControlServer& Server() { return server_; }

  void Post(std::function<void()> task) override;
  InstanceCore& Core() override;
  bool PipelineRunning() const override;
  std::string StateText() const override;
  ControlAnswer CheckCommand(ControlCommand command) const override;
  ControlAnswer RunCommand(ControlCommand command) override;

 private:
  CMainFrame& frame_;
  ControlServer server_;
};

}  // namespace quellvox
