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
  return FirstSettingsProblem(s.CaptureSource >= 0, s.TitleEngineMask != 0, !s.RegionName.empty(), lineInUse);
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

}  // namespace quellvox
