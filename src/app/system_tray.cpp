#include "app/system_tray.h"

#include <QCursor>
#include <QFont>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTextDocument>

#include "res/icons.h"
#include "res/menu_resource.h"
#include "res/resource_ids.h"

namespace quellvox {

namespace {

constexpr uint32_t kStateIconIds[6] = {IDI_NOT_INITIALIZED, IDI_START_RECORDING, IDI_RUNNING,
                                       IDI_STOP_RECORDING,  IDI_STOPPED,         IDI_ERROR_STATE};
constexpr int32_t kStoppedState = 4;

// A tooltip that Qt would take for rich text (an identifier may hold "<")
// is handed over escaped, so that it shows as typed.
QString TipForQt(const QString& tip) {
  if (!Qt::mightBeRichText(tip)) return tip;
  return tip.toHtmlEscaped().replace(QLatin1Char('\n'), QLatin1String("<br>"));
}

}  // namespace

// ---------------------------------------------------------------------------

QtNotificationArea::QtNotificationArea() = default;
QtNotificationArea::~QtNotificationArea() = default;

bool QtNotificationArea::Add(const QIcon& icon, const QString& tip, Handler handler) {
  if (!QSystemTrayIcon::isSystemTrayAvailable()) return false;
  handler_ = std::move(handler);
  if (!icon_) {
    icon_ = std::make_unique<QSystemTrayIcon>();
    // Qt reports what happened, not the button events: a context request
    // is a right-button press and release, a single click a left-button
    // press and release, a double-click a double-click.
    QObject::connect(icon_.get(), &QSystemTrayIcon::activated, icon_.get(),
                     [this](QSystemTrayIcon::ActivationReason reason) {
                       if (!handler_) return;
                       // The handler may run a menu or a dialog; it must not
                       // outlive this object's copy of itself.
                       const Handler deliver = handler_;
                       switch (reason) {
                         case QSystemTrayIcon::Context:
                           deliver(kTrayIconId, WM_RBUTTONDOWN);
                           deliver(kTrayIconId, WM_RBUTTONUP);
                           break;
                         case QSystemTrayIcon::Trigger:
                           deliver(kTrayIconId, WM_LBUTTONDOWN);
                           deliver(kTrayIconId, WM_LBUTTONUP);
                           break;
                         case QSystemTrayIcon::DoubleClick:
                           deliver(kTrayIconId, WM_LBUTTONDBLCLK);
                           break;
                         case QSystemTrayIcon::MiddleClick:
                           deliver(kTrayIconId, WM_MBUTTONDOWN);
                           deliver(kTrayIconId, WM_MBUTTONUP);
                           break;
                         default:
                           break;
                       }
                     });
  }
  icon_->setIcon(icon);
  icon_->setToolTip(TipForQt(tip));
  icon_->show();
  return true;
}

bool QtNotificationArea::SetTip(const QString& tip) {
  if (!icon_) return false;
  icon_->setToolTip(TipForQt(tip));
  return true;
}

bool QtNotificationArea::SetIcon(const QIcon& icon) {
  if (!icon_) return false;
  icon_->setIcon(icon);
  return true;
}

void QtNotificationArea::Delete() {
  handler_ = nullptr;
  // Hidden at once, so that the icon leaves the panel now; the object goes
  // with this one (a notification may still be running on it).
  if (icon_) icon_->hide();
}

// ---------------------------------------------------------------------------

CSystemTray::CSystemTray(NotificationArea& area) : area_(area) {
  for (size_t i = 0; i < stateIcons_.size(); ++i) stateIcons_[i] = LoadIconResource(kStateIconIds[i]);
  iconsHeld_ = true;
}

CSystemTray::~CSystemTray() { RemoveIcon(); }

bool CSystemTray::AddIcon(const std::string& tooltip) {
  added_ = area_.Add(stateIcons_[kStoppedState], QString::fromStdString(tooltip),
                     [this](uint32_t id, uint32_t mouseMessage) { HandleNotification(id, mouseMessage); });
  return added_;
}

void CSystemTray::SetTipText(const std::string& text) {
  if (!added_) return;
  area_.SetTip(QString::fromStdString(text));
}

bool CSystemTray::SetStateIcon(int32_t state) {
  if (state < 0 || state > 5) return false;
  if (!added_) return false;
  return area_.SetIcon(stateIcons_[static_cast<size_t>(state)]);
}

bool CSystemTray::SetDefaultItem(uint32_t item, bool byPosition) {
  if (item == defaultItem_ && byPosition == defaultByPosition_) return true;
  defaultItem_ = item;
  defaultByPosition_ = byPosition;
  return !LoadMenuPopup(IDR_MAINFRAME).empty();
}

void CSystemTray::RemoveIcon() {
  if (added_) {
    area_.Delete();
    added_ = false;
  }
  if (iconsHeld_) {
    for (QIcon& icon : stateIcons_) icon = QIcon();
    iconsHeld_ = false;
  }
}

std::unique_ptr<QMenu> CSystemTray::CreatePopup() const {
  const auto items = LoadMenuPopup(IDR_MAINFRAME);
  if (items.empty()) return nullptr;
  auto menu = std::make_unique<QMenu>();
  menu->setTitle(QString::fromUtf8(kFileMenuTitle));
  for (size_t position = 0; position < items.size(); ++position) {
    const MenuItemResource& item = items[position];
    if (item.Id == 0) {
      menu->addSeparator();
      continue;
    }
    QAction* action = menu->addAction(QString::fromUtf8(item.Text));
    action->setData(item.Id);
    action->setEnabled(owner_ == nullptr || owner_->IsCommandEnabled(item.Id));
    const bool isDefault = defaultByPosition_ ? position == defaultItem_ : item.Id == defaultItem_;
    if (isDefault) {
      QFont font = action->font();
      font.setBold(true);
      action->setFont(font);
      menu->setDefaultAction(action);
    }
  }
  return menu;
}

int32_t CSystemTray::HandleNotification(uint32_t id, uint32_t mouseMessage) {
  if (id != kTrayIconId) return 0;
  struct Scope {
    TrayOwner* owner;
    explicit Scope(TrayOwner* o) : owner(o) {
      if (owner) owner->EnterHandler();
    }
    ~Scope() {
      if (owner) owner->LeaveHandler();
    }
  } scope(owner_);

  if (!ClicksEnabled) {
    // A Start, Stop or Restart is running, maybe with a message box open:
    // a press brings that box to the front, nothing else reacts.
    if ((mouseMessage == WM_LBUTTONDOWN || mouseMessage == WM_RBUTTONDOWN) && owner_) owner_->BringToFront();
    return 0;
  }
  switch (mouseMessage) {
    case WM_RBUTTONUP: {
      std::unique_ptr<QMenu> menu = CreatePopup();
      if (!menu) return 0;
      const QAction* chosen = menu->exec(QCursor::pos());
      const uint32_t command = chosen ? chosen->data().toUInt() : 0;
      menu.reset();
      // The command runs once the menu is gone, as a posted command would.
      if (command != 0 && owner_) owner_->OnCommand(command);
      return 1;
    }
    case WM_LBUTTONDBLCLK: {
      uint32_t command = defaultItem_;
      if (defaultByPosition_) {
        const auto items = LoadMenuPopup(IDR_MAINFRAME);
        if (items.empty()) return 0;
        command = defaultItem_ < items.size() ? items[defaultItem_].Id : 0;
      }
      if (owner_) {
        owner_->BringToFront();
        if (command != 0) owner_->OnCommand(command);
      }
      return 1;
    }
    default:
      return 1;
  }
}

// ---------------------------------------------------------------------------

std::string FormatTooltip(const std::string& program, const std::string& instanceId, const std::string& stateText) {
  const QString head = QString::fromStdString(program) + QLatin1Char(' ');
  const QString tail = QLatin1Char('\n') + QString::fromStdString(stateText);
  QString id = QString::fromStdString(instanceId);
  if (head.size() + id.size() + tail.size() > kTooltipMaxChars) {
    const QString ellipsis(QChar(0x2026));
    qsizetype keep = kTooltipMaxChars - head.size() - tail.size() - ellipsis.size();
    if (keep < 0) keep = 0;
    if (keep > 0 && keep < id.size() && id.at(keep - 1).isHighSurrogate()) --keep;  // never half a character
    id = id.left(keep) + ellipsis;
  }
  QString tip = head + id + tail;
  if (tip.size() > kTooltipMaxChars) tip.truncate(kTooltipMaxChars);  // only with a state text beyond any of ours
  return tip.toStdString();
}

}  // namespace quellvox
