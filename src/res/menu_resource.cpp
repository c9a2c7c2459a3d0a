#include "res/menu_resource.h"

#include "res/resource_ids.h"

namespace quellvox {

namespace {

constexpr MenuItemResource kFileMenu[] = {
    {ID_FILE_START, "Start"},
    {ID_FILE_STOP, "Stop"},
    {ID_FILE_RESTART, "Restart"},
    {ID_FILE_LOG, "Log..."},
    {0, ""},
    {ID_FILE_SETTINGS, "Settings..."},
    {0, ""},
    {ID_APP_ABOUT, "&About..."},
    {ID_APP_EXIT, "E&xit"},
};

}  // namespace

std::span<const MenuItemResource> LoadMenuPopup(uint32_t menuId) {
  if (menuId != IDR_MAINFRAME) return {};
  return kFileMenu;
}

}  // namespace quellvox
