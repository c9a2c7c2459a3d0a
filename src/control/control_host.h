// What the remote interface needs of the program that hosts it (the tray
// program, the service): the instance, a queue onto the instance's own
// thread, and the program's rules for its commands.
#pragma once

#include <functional>
#include <string>

#include "app/instance_core.h"

namespace quellvox {

enum class ControlCommand { Start, Stop, Restart, ResetSkips, ChangeSettings };

// An answer as the interface sends it: an HTTP status and, unless it is
// 200, the text that says why (the program's own message where it has one).
struct ControlAnswer {
  int HttpStatus = 200;
  std::string Message;
};

class ControlHost {
 public:
  virtual ~ControlHost() = default;

  // Any thread. Queues `task` to run on the instance's thread, in order;
  // never runs it inline. Tasks queued after the host's loop ended may
  // never run: the interface waits for them with a bound.
  virtual void Post(std::function<void()> task) = 0;

  // Instance thread only, from here on.
  virtual InstanceCore& Core() = 0;
  virtual bool PipelineRunning() const = 0;
  // The state as the program shows it ("Running", "Stopped" ...).
  virtual std::string StateText() const = 0;
  // The program's reason not to run `command` now (its enabling rule, a
  // modal dialog that blocks it), as an answer of 409 with the message the
  // program would show; 200 when it may run.
  virtual ControlAnswer CheckCommand(ControlCommand command) const = 0;
  // Runs an allowed Start, Stop or Restart as the menu does, but without
  // message boxes: a failure comes back as the answer.
  virtual ControlAnswer RunCommand(ControlCommand command) = 0;
};

}  // namespace quellvox
