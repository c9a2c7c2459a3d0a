// Reloading the settings while the instance runs, and telling what the
// running relay has to do about the difference.
#include "app/instance_core.h"
#include "config/mixer_handoff.h"

namespace quellvox {

namespace {

bool SameRelay(const DuckerSettings& a, const DuckerSettings& b) {
  return a.TitleEngineMask == b.TitleEngineMask && a.RegionName == b.RegionName &&
         a.ShowOnStartType == b.ShowOnStartType && a.CaptureSource == b.CaptureSource &&
         a.DelayInFrames == b.DelayInFrames;
}

}  // namespace

InstanceCore::SettingsChange InstanceCore::ReloadSettings() {
  const DuckerSettings before = Settings;
  LoadSettings();
  if (!SameRelay(before, Settings)) return SettingsChange::Relay;
  if (!(MixerPartOf(before) == MixerPartOf(Settings))) return SettingsChange::Mixer;
  return SettingsChange::None;
}

}  // namespace quellvox
