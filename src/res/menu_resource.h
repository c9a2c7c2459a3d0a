// Menu 128: one popup, "&File", which is also the notification-area icon's
// context menu. Position 0 (Start) is its default item.
#pragma once

#include <cstdint>
#include <span>

namespace quellvox {

struct MenuItemResource {
  uint32_t Id;       // 0: a separator
  const char* Text;  // "&" marks the mnemonic
};

inline constexpr const char* kFileMenuTitle = "&File";

// The items of the first popup of menu `menuId`; empty when the program has
// no such menu.
std::span<const MenuItemResource> LoadMenuPopup(uint32_t menuId);

}  // namespace quellvox
