#include "config/settings.h"

namespace quellvox {

bool IsComplete(const DuckerSettings& s) {
  if (s.TitleEngineMask == 0 || s.RegionName.empty() || s.CaptureSource < 0) return false;
  for (const auto& line : s.Lines) {
    if (line.Use) return true;
  }
  return false;
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
