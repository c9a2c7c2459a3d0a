#include "app/instance_core.h"

#include <utility>

namespace quellvox {

InstanceCore::InstanceCore(std::string instanceId, std::string programPath, UserMessages& messages)
    : InstanceId(std::move(instanceId)),
      InstanceKeyPath(std::string(kProgramName) + "\\" + InstanceId),
      RunValueName(std::string(kProgramName) + InstanceId),
      RunCommand("\"" + programPath + "\" " + InstanceId),
      Messages(messages) {}

InstanceCore::~InstanceCore() { StopPipeline(); }

}  // namespace quellvox
