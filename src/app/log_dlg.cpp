#include "app/log_dlg.h"

#include <QFontMetrics>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>

#include "app/floor_gain_strip.h"
#include "app/instance_core.h"

namespace quellvox {

namespace {

// Sizes given in dialog units of the window's font: a horizontal unit is a
// quarter of the average character width, a vertical one an eighth of the
// character height.
QSize DialogUnits(const QFontMetrics& fm, int x, int y) {
  return {(x * fm.averageCharWidth() + 2) / 4, (y * fm.height() + 4) / 8};
}

}  // namespace

bool SharesAPixel(const ScreenRect& w, const QRect& m) {
  const int64_t mLeft = m.x();
  const int64_t mTop = m.y();
  const int64_t mRight = mLeft + m.width();
  const int64_t mBottom = mTop + m.height();
  return mRight > w.Left && w.Right > mLeft && mBottom > w.Top && w.Bottom > mTop;
}

CLogDlg::CLogDlg(InstanceCore& core, std::function<void()> onRestart, QWidget* parent)
    : QDialog(parent), core_(core), onRestart_(std::move(onRestart)) {
  setObjectName("322");
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
  setWindowTitle(QString("%1 %2 Statistics").arg(kProgramName, QString::fromStdString(core_.InstanceId)));

  const QFontMetrics fm = fontMetrics();
  text_ = new QPlainTextEdit;
  text_->setObjectName(QString::number(IDC_STATS_TEXT));
  text_->setReadOnly(true);
  text_->setLineWrapMode(QPlainTextEdit::NoWrap);
  // At least the template's 181 x 161 units; as wide as the strip below.
  text_->setMinimumSize(DialogUnits(fm, 181, 161));
  text_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  text_->setTabStopDistance(DialogUnits(fm, 32, 0).width());  // a tab stop every 32 horizontal units

  strip_ = new CFloorGainStrip(core_.StripHistory, core_.Settings, [this] { return core_.RelayRunning(); });

  loudness_ = new QLabel;
  loudness_->setObjectName(QString::number(IDC_LOUDNESS));
  loudness_->setTextFormat(Qt::PlainText);
  loudness_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);

  auto* reset = new QPushButton("Reset skips");
  reset->setObjectName(QString::number(IDC_RESET_SKIPS));
  auto* restart = new QPushButton("Restart");
  restart->setObjectName(QString::number(IDC_RESTART));
  for (QPushButton* b : {reset, restart}) {
    b->setAutoDefault(false);
    b->setMinimumSize(DialogUnits(fm, 63, 14));
  }
  connect(reset, &QPushButton::clicked, this, [this] {
    // Release: pairs with the pump's acquire exchange, which clears the
    // skip counters on its next pass.
    core_.Stats.ResetRequested.store(1, std::memory_order_release);
  });
  connect(restart, &QPushButton::clicked, this, [this] {
    if (onRestart_) onRestart_();
  });

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(reset);
  buttons->addStretch(1);
  buttons->addWidget(restart);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(text_);
  layout->addWidget(strip_, 1);  // what the operator's stretching goes to
  layout->addWidget(loudness_);
  layout->addLayout(buttons);
  layout->setSizeConstraint(QLayout::SetMinimumSize);
  setSizeGripEnabled(true);

  refresh_ = new QTimer(this);
  connect(refresh_, &QTimer::timeout, this, [this] { OnTimer(kStatsRefreshTimer); });
  placement_ = new QTimer(this);
  placement_->setSingleShot(true);
  connect(placement_, &QTimer::timeout, this, [this] { OnTimer(kPlacementTimer); });
}

void CLogDlg::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (initialised_) return;
  initialised_ = true;
  refresh_->start(500);
  placement_->start(10);
}

void CLogDlg::OnTimer(int id) {
  if (id == kPlacementTimer) PlaceAtSavedPosition();
  // The whole text each time; the display takes "\n" for the text's "\r\n".
  QString text = QString::fromStdString(core_.BuildStatisticsText());
  text.replace("\r\n", "\n");
  text_->setPlainText(text);
  // Tabs as runs of blanks: a label has no tab stops.
  QString loudness = QString::fromStdString(core_.BuildLoudnessText());
  loudness.replace("\t", "   ");
  loudness_->setText(loudness);
  loudness_->setVisible(!loudness.isEmpty());
}

void CLogDlg::PlaceAtSavedPosition() {
  int32_t x = 0;
  int32_t y = 0;
  if (!core_.LoadStatsWindowPosition(x, y)) return;
  const QRect frame = frameGeometry();
  const ScreenRect target{x, y, int64_t{x} + frame.width(), int64_t{y} + frame.height()};
  for (const QScreen* screen : QGuiApplication::screens()) {
    if (SharesAPixel(target, screen->geometry())) {
      move(x, y);  // the frame's top-left corner, size unchanged
      return;
    }
  }
}

void CLogDlg::done(int result) {
  refresh_->stop();
  placement_->stop();
  const QPoint corner = frameGeometry().topLeft();
  // A position that cannot be saved leaves the one before; the window closes as ever.
  (void)core_.SaveStatsWindowPosition(corner.x(), corner.y());
  QDialog::done(result);
}

}  // namespace quellvox
