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

}  // namespace quellvox
