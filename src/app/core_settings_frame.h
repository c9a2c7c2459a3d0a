// The settings dialog's view of an instance: its identifier, its save and
// the handoff of the mixer part to a running pump.
#pragma once

#include <string>

#include "app/instance_core.h"
#include "config/dialog/settings_dlg.h"

namespace quellvox {

class CoreSettingsFrame final : public SettingsDlgFrame {
 public:
  explicit CoreSettingsFrame(InstanceCore& core) : core_(core) {}
  std::string InstanceId() const override { return core_.InstanceId; }
  bool SaveSettings() override { return core_.SaveSettings().IsOk(); }
  void PublishMixerSettings() override { core_.PublishMixerSettings(); }

 private:
  InstanceCore& core_;
};

}  // namespace quellvox
