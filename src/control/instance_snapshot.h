// What the server threads know of the instance beyond its atomic
// statistics: copied whole on the instance's thread and read under the
// interface's own lock (never a lock the pipeline takes).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "config/settings.h"

namespace quellvox {

struct InstanceSnapshot {
  std::string InstanceId;
  std::string StateText;  // as the program shows it
  bool Running = false;
  int32_t TargetCount = 0;
  std::vector<std::string> EngineNames;  // per target, in the pipeline's order
  std::array<bool, kVoiceOverLines> LineInUse{};
  bool UseCommon = false;
  std::string StatisticsText;
  std::string SettingsJson;
  std::vector<std::string> CaptureSourceNames;  // what the settings may name
  std::vector<std::string> TitleEngineNames;
  uint64_t Starts = 0;    // pipeline starts seen
  uint64_t Restarts = 0;  // restarts run through the interface
};

}  // namespace quellvox
