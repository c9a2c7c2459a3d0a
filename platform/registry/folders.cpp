#include "platform/registry/folders.h"

#include <sys/stat.h>

#include <cerrno>

namespace quellvox {

bool MakeFolders(const std::string& dir) {
  if (dir.empty() || dir[0] != '/') return false;
  for (size_t pos = 1; pos <= dir.size(); ++pos) {
    if (pos != dir.size() && dir[pos] != '/') continue;
    const std::string part = dir.substr(0, pos);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  struct stat st {};
  return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace quellvox
