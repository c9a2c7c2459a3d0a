// The notification-area icon: the program's only permanent presence. Its
// picture and tooltip show the pipeline's state, its right-button menu
// carries every command of the main frame and its double-click runs the
// menu's default command (Start).
//
// User-interface thread only.
#pragma once

#include <QIcon>
#include <QString>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class QMenu;
class QSystemTrayIcon;

namespace quellvox {

// Mouse notifications of the icon, by the numbers the shell uses.
inline constexpr uint32_t WM_LBUTTONDOWN = 0x201;
inline constexpr uint32_t WM_LBUTTONUP = 0x202;
inline constexpr uint32_t WM_LBUTTONDBLCLK = 0x203;
inline constexpr uint32_t WM_RBUTTONDOWN = 0x204;
inline constexpr uint32_t WM_RBUTTONUP = 0x205;
inline constexpr uint32_t WM_MBUTTONDOWN = 0x207;
inline constexpr uint32_t WM_MBUTTONUP = 0x208;

// The icon's id, also the id of the menu it shows.
inline constexpr uint32_t kTrayIconId = 128;

// The desktop's notification area, where the icon is registered. Adding
// fails while there is none.
class NotificationArea {
 public:
  // Receives (icon id, mouse notification) for every click on the icon.
  using Handler = std::function<void(uint32_t id, uint32_t mouseMessage)>;

  virtual ~NotificationArea() = default;
  virtual bool Add(const QIcon& icon, const QString& tip, Handler handler) = 0;
  virtual bool SetTip(const QString& tip) = 0;
  virtual bool SetIcon(const QIcon& icon) = 0;
  virtual void Delete() = 0;
};

// The notification area through QSystemTrayIcon. Where the tray restarts
// while the icon is shown, Qt registers the icon again by itself.
class QtNotificationArea final : public NotificationArea {
 public:
  QtNotificationArea();
  ~QtNotificationArea() override;
  bool Add(const QIcon& icon, const QString& tip, Handler handler) override;
  bool SetTip(const QString& tip) override;
  bool SetIcon(const QIcon& icon) override;
  void Delete() override;

 private:
  std::unique_ptr<QSystemTrayIcon> icon_;
  Handler handler_;
};

// What the icon asks of the window that owns it (the main frame).
class TrayOwner {
 public:
  // The command's enabling rule at this moment.
  virtual bool IsCommandEnabled(uint32_t id) const = 0;
  // Carries out a command (the owner applies the enabling rule again).
  virtual void OnCommand(uint32_t id) = 0;
  // Brings what the owner shows (an open message box) to the front.
  virtual void BringToFront() = 0;
  // Around every notification: the owner is not taken down while one runs.
  virtual void EnterHandler() = 0;
  virtual void LeaveHandler() = 0;

 protected:
  ~TrayOwner() = default;
};

class CSystemTray {
 public:
  // Loads the six state icons; nothing is added yet.
  explicit CSystemTray(NotificationArea& area);
  ~CSystemTray();
  CSystemTray(const CSystemTray&) = delete;
  CSystemTray& operator=(const CSystemTray&) = delete;

  void SetOwner(TrayOwner* owner) { owner_ = owner; }

  // Adds the icon with the Stopped picture and `tooltip`; false while the
  // desktop has no notification area.
  bool AddIcon(const std::string& tooltip);
  // Replaces the tooltip; nothing while the icon is not added.
  void SetTipText(const std::string& text);
  // Shows the picture of PipelineState `state` (0..5); false for another
  // state or while the icon is not added.
  bool SetStateIcon(int32_t state);
  // Chooses the menu's default item (shown bold): a position in the popup
  // when `byPosition`, else a command id.
  bool SetDefaultItem(uint32_t item, bool byPosition);
  // Deletes the icon from the notification area and frees the state icons;
  // a repeated call does nothing.
  void RemoveIcon();
  // Reacts to one mouse notification of the icon: the menu at the cursor on
  // a right-button release, the default command on a double-click. Returns
  // 1 when handled.
  int32_t HandleNotification(uint32_t id, uint32_t mouseMessage);

  // The popup of menu 128 as it opens now: the owner's enabling rules
  // applied, the default item bold; null when the menu cannot be loaded.
  // Each action carries its command id as data.
  std::unique_ptr<QMenu> CreatePopup() const;

  bool IsAdded() const { return added_; }
  uint32_t DefaultItem() const { return defaultItem_; }
  bool DefaultByPosition() const { return defaultByPosition_; }

  // Written by the main frame: false while Start, Stop or Restart runs.
  bool ClicksEnabled = true;

 private:
  NotificationArea& area_;
  bool added_ = false;
  std::array<QIcon, 6> stateIcons_;
  bool iconsHeld_ = false;
  uint32_t defaultItem_ = 0;
  bool defaultByPosition_ = true;
  TrayOwner* owner_ = nullptr;
};

// The tooltip "%s %s\n%s" of the program name, the instance identifier and
// the state's text. A tooltip holds at most 127 UTF-16 characters: a longer
// one keeps the program name and the whole state line and shortens the
// identifier, ending it with "…", so the state is always readable.
std::string FormatTooltip(const std::string& program, const std::string& instanceId, const std::string& stateText);

inline constexpr int kTooltipMaxChars = 127;

}  // namespace quellvox
