// Message boxes on the desktop: QMessageBox with the caption, icon, buttons
// and stay-on-top flag of the box style.
#pragma once

#include <QPointer>
#include <cstdint>
#include <string_view>

#include "app/user_messages.h"

namespace quellvox {

class CMainFrame;

class MessageBoxes final : public UserMessages {
 public:
  // Boxes shown while a frame is set are owned by it (modal to it only, so
  // that the icon stays reachable); before, they have no owner.
  void SetOwner(CMainFrame* frame) { owner_ = frame; }

  // A box closed without an answer (an exit closes it) answers No when it
  // asks, OK otherwise.
  int32_t Show(std::string_view text, std::string_view caption, uint32_t style) override;
  void BringToFront() override;

 private:
  CMainFrame* owner_ = nullptr;
};

}  // namespace quellvox
