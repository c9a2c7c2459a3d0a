// A registry component for tests: forwards every call to the real component
// (the SQLite store under the test's own $XDG_CONFIG_HOME), records the
// calls, and fails the ones a test asks to fail.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "platform/registry_api/registry_access.h"
#include "platform/com/com.h"

namespace quellvox::test {

struct RegistryFaults {
  bool FailCreation = false;        // the class factory fails
  bool NoRootInterface = false;     // query for IKTRegRoot fails
  HResult SetRootResult = S_OK;     // returned by SetRoot instead of forwarding when not 0
  std::set<std::string> FailOpen;   // key paths (as passed) whose OpenKey fails
  std::set<std::string> FailCreate; // key paths whose CreateKey fails
  std::set<std::string> FailWrite;  // value names whose WriteDword or WriteString fails (E_REG_CANTWRITE)
};

// Replaces the registered registry component by the recording one; the
// real one stays reachable behind it. Resets faults and the call log.
void InstallRecordingRegistry();
// Registers the real component again.
void RemoveRecordingRegistry();

RegistryFaults& Faults();
// "CreateInstance", "OpenKey <path> <mask hex>", "CreateKey <path>",
// "CloseKey", "ReadDword <name>", "ReadString <name>", "WriteDword <name>",
// "WriteString <name>", "DeleteValue <name>", "SetRoot <path>",
// "QueryRoot", "Release" (the instance went).
std::vector<std::string>& Calls();

}  // namespace quellvox::test
