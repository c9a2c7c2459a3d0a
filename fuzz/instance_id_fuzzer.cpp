// The instance identifier: any command line is refused or gives an
// identifier that begins with "#", is UTF-8, has no white space left at
// either end, no empty key name in its settings key path and no control
// character a logon entry cannot carry; its guard name holds it unchanged.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "config/instance_id.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quellvox;
  const std::vector<std::string> args = fuzz::Arguments(data, size);
  std::vector<const char*> argv{"quellvox"};
  for (const std::string& a : args) argv.push_back(a.c_str());
  const std::string commandLine = CommandLineFromArguments(static_cast<int>(argv.size()), argv.data());
  const std::optional<std::string> id = InstanceIdFromCommandLine(commandLine);
  if (!id) return 0;
  if (id->empty() || (*id)[0] != '#') std::abort();
  if (WithReplacementCharacters(*id) != *id) std::abort();
  if (TrimWideSpace(*id) != *id) std::abort();
  if (InstanceIdFromCommandLine(*id) != id) std::abort();
  if (id->back() == '\\' || id->find("\\\\") != std::string::npos) std::abort();
  for (const char ch : *id) {
    const auto c = static_cast<unsigned char>(ch);
    if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7F) std::abort();
  }
  const std::string guard = InstanceGuardName("Quellvox", *id);
  if (guard.size() < id->size() || guard.compare(guard.size() - id->size(), id->size(), *id) != 0) std::abort();
  return 0;
}
