#include "platform/system/module_path.h"

#include <unistd.h>

#include <vector>

namespace quellvox {

std::string ModulePath() {
  // readlink does not say when it cut the path: grow until it fits.
  for (size_t size = 256; size <= 65536; size *= 4) {
    std::vector<char> buffer(size);
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return {};
    if (static_cast<size_t>(n) < buffer.size()) return std::string(buffer.data(), static_cast<size_t>(n));
  }
  return {};
}

}  // namespace quellvox
