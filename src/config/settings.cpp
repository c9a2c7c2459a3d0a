#include "config/settings.h"

namespace quellvox {

bool IsComplete(const DuckerSettings& s) {
  if (s.TitleEngineMask == 0 || s.RegionName.empty() || s.CaptureSource < 0) return false;
  for (const auto& line : s.Lines) {
    if (line.Use) return true;
  }
  return false;
}

SettingsProblem FirstSettingsProblem(bool captureSelected, bool engineSelected, bool layerNamed, bool lineInUse) {
  if (!captureSelected) return SettingsProblem::NoCaptureSource;
  if (!engineSelected) return SettingsProblem::NoTitleEngine;
  if (!layerNamed) return SettingsProblem::NoLayerName;
  if (!lineInUse) return SettingsProblem::NoAudioLine;
  return SettingsProblem::None;
}

SettingsProblem FirstSettingsProblem(const DuckerSettings& s) {
  bool lineInUse = false;
  for (const auto& line : s.Lines) lineInUse = lineInUse || line.Use;
  // As the dialog with its name field open: a name of blanks names nothing.
  const bool named = s.RegionName.find_first_not_of(" \t") != std::string::npos;
  return FirstSettingsProblem(s.CaptureSource >= 0, s.TitleEngineMask != 0, named, lineInUse);
}

const char* SettingsProblemText(SettingsProblem problem) {
  switch (problem) {
    case SettingsProblem::NoCaptureSource: return "Select capture source first!";
    case SettingsProblem::NoTitleEngine: return "Select title engine first!";
    case SettingsProblem::NoLayerName: return "Select name for output layer!";
    case SettingsProblem::NoAudioLine: return "Select at least one audio line!";
    case SettingsProblem::None: break;
  }
  return nullptr;
}

const char* CpuPriorityName(int32_t cpuPriority) {
  switch (cpuPriority) {
    case 0:
      return "Normal";
    case 1:
      return "Above Normal";
    case 3:
      return "Realtime";
    default:
      return "Highest";
  }
}

bool SameStoredFields(const DuckerSettings& a, const DuckerSettings& b) {
  return a.CpuPriority.Load(std::memory_order_relaxed) == b.CpuPriority.Load(std::memory_order_relaxed) &&
         a.TitleEngineMask == b.TitleEngineMask && a.RegionName == b.RegionName &&
         a.ShowOnStartType == b.ShowOnStartType && a.CaptureSource == b.CaptureSource &&
         a.DelayInFrames == b.DelayInFrames && a.Lines == b.Lines && a.UseCommon == b.UseCommon &&
         a.CommonLine == b.CommonLine && a.DecreaseDB == b.DecreaseDB && a.NoiseLevelDB == b.NoiseLevelDB &&
         a.TimeoutInFrames == b.TimeoutInFrames;
}

}  // namespace quellvox
