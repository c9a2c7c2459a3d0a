#include "platform/media_loader/real_media_loader.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>

#include "platform/system/module_path.h"

namespace quellvox {

namespace {

using Entry = void (*)();

struct LoadedModule {
  std::mutex Mutex;
  bool Tried = false;
  Entry Shutdown = nullptr;
};

LoadedModule& Loaded() {
  static LoadedModule loaded;
  return loaded;
}

bool AnyHas(const nlohmann::json& root, const char* list, const char* member) {
  if (!root.contains(list) || !root.at(list).is_array()) return false;
  for (const nlohmann::json& entry : root.at(list)) {
    if (entry.is_object() && entry.contains(member)) return true;
  }
  return false;
}

}  // namespace

bool DescriptionNamesRealMedia(std::string_view text) {
  const nlohmann::json root = nlohmann::json::parse(text.begin(), text.end(), nullptr, false);
  if (root.is_discarded() || !root.is_object()) return true;
  return AnyHas(root, "devices", "input") || AnyHas(root, "engines", "output");
}

std::string RealMediaModulePath() {
  const std::filesystem::path program = ModulePath();
  return (program.parent_path().parent_path() / "lib" / "quellvox" / "quellvox-real-media.so").string();
}

void LoadRealMediaWhereDescribed() {
  LoadedModule& loaded = Loaded();
  std::lock_guard<std::mutex> lock(loaded.Mutex);
  if (loaded.Tried) return;
  const char* description = std::getenv("QUELLVOX_STUDIO");
  if (description == nullptr || *description == '\0') return;  // the studio's own description names none
  std::ifstream file(description, std::ios::binary);
  if (file) {
    std::stringstream text;
    text << file.rdbuf();
    if (!file.bad() && !DescriptionNamesRealMedia(text.str())) return;
  }
  loaded.Tried = true;
  const std::string path = RealMediaModulePath();
  void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  const Entry registerProviders = module ? reinterpret_cast<Entry>(::dlsym(module, "QuellvoxRegisterRealMedia")) : nullptr;
  const Entry shutdown = module ? reinterpret_cast<Entry>(::dlsym(module, "QuellvoxShutdownRealMedia")) : nullptr;
  if (registerProviders == nullptr || shutdown == nullptr) {
    const char* why = ::dlerror();
    std::fprintf(stderr, "Real media: cannot load \"%s\": %s; the description's inputs and outputs are not played\n",
                 path.c_str(), why ? why : "no entry points");
    return;
  }
  registerProviders();
  loaded.Shutdown = shutdown;
}

void ShutdownLoadedRealMedia() {
  LoadedModule& loaded = Loaded();
  std::lock_guard<std::mutex> lock(loaded.Mutex);
  if (loaded.Shutdown) loaded.Shutdown();
}

}  // namespace quellvox
