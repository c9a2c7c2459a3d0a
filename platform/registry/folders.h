// Folder creation for the store and the autostart entries.
#pragma once

#include <string>

namespace quellvox {

// Creates every missing folder of the absolute path `dir` with mode 0700, as
// the XDG base-directory rules ask; folders that exist keep their mode.
// True when `dir` is a folder afterwards.
bool MakeFolders(const std::string& dir);

}  // namespace quellvox
