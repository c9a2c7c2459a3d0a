#include "app/message_boxes.h"

#include <QApplication>
#include <QMessageBox>
#include <QScreen>

#include "app/main_frame.h"

namespace quellvox {

namespace {

constexpr uint32_t kButtonMask = 0xF;
constexpr uint32_t kIconMask = 0xF0;
constexpr uint32_t MB_ICONQUESTION = 0x20;
constexpr uint32_t MB_ICONINFORMATION = 0x40;

QMessageBox::Icon IconOf(uint32_t style) {
  switch (style & kIconMask) {
    case MB_ICONERROR: return QMessageBox::Critical;
    case MB_ICONQUESTION: return QMessageBox::Question;
    case MB_ICONEXCLAMATION: return QMessageBox::Warning;
    case MB_ICONINFORMATION: return QMessageBox::Information;
    default: return QMessageBox::NoIcon;
  }
}

}  // namespace

int32_t MessageBoxes::Show(std::string_view text, std::string_view caption, uint32_t style) {
  // The texts break lines with "\r\n" or "\n"; Qt wants "\n".
  QString body = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
  body.replace(QLatin1String("\r\n"), QLatin1String("\n"));
  QMessageBox box;
  box.setWindowTitle(QString::fromUtf8(caption.data(), static_cast<qsizetype>(caption.size())));
  box.setTextFormat(Qt::PlainText);
  box.setText(body);
  box.setIcon(IconOf(style));
  const bool yesNo = (style & kButtonMask) == MB_YESNO;
  if (yesNo) {
    box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    box.setDefaultButton(QMessageBox::Yes);
    box.setEscapeButton(QMessageBox::No);
  } else {
    box.setStandardButtons(QMessageBox::Ok);
  }
  if (style & MB_TOPMOST) box.setWindowFlag(Qt::WindowStaysOnTopHint, true);
  if (owner_ != nullptr) {
    MakeModalToFrame(box, *owner_);
  } else {
    box.setWindowModality(Qt::ApplicationModal);
  }
  box.exec();
  const QAbstractButton* clicked = box.clickedButton();
  if (yesNo) return clicked != nullptr && clicked == box.button(QMessageBox::Yes) ? IDYES : IDNO;
  return IDOK;
}

void MessageBoxes::BringToFront() {
  if (QWidget* modal = QApplication::activeModalWidget()) {
    modal->raise();
    modal->activateWindow();
  }
}

}  // namespace quellvox
