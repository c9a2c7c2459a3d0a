#include "app/floor_gain_strip.h"

#include <QPainter>
#include <QPainterPath>
#include <QTimer>
#include <algorithm>

namespace quellvox {

namespace {

const QColor kVoiceColour(255, 166, 0, 120);
const QColor kGainColour(0, 110, 200);

}  // namespace

CFloorGainStrip::CFloorGainStrip(const FloorGainHistory& history, const DuckerSettings& settings,
                                 std::function<bool()> running, QWidget* parent)
    : QWidget(parent), history_(history), settings_(settings), running_(std::move(running)) {
  setObjectName("FloorGainStrip");
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
  rowsShown_ = RowsShown();
  auto* timer = new QTimer(this);
  connect(timer, &QTimer::timeout, this, [this] { Refresh(); });
  timer->start(static_cast<int>(FloorGainHistory::kPeriodMs));
}

int32_t CFloorGainStrip::RowsShown() const {
  int32_t n = 0;
  for (const VoiceOverLine& line : settings_.Lines) n += line.Use ? 1 : 0;
  return n;
}

void CFloorGainStrip::Refresh() {
  const int32_t rows = RowsShown();
  if (rows != rowsShown_) {  // the settings were applied meanwhile
    rowsShown_ = rows;
    updateGeometry();
  }
  update();
}

int CFloorGainStrip::MinimumRowHeight() const { return fontMetrics().height() * 2 + 4; }

int CFloorGainStrip::RowHeight() const {
  // The rows share what the operator gave the strip above its axis line.
  const int rows = std::max(1, rowsShown_);
  return std::max(MinimumRowHeight(), (height() - fontMetrics().height() - 2) / rows);
}

QSize CFloorGainStrip::sizeHint() const {
  const int rows = std::max(1, rowsShown_);
  const QFontMetrics fm = fontMetrics();
  // Room for the row names, 30 seconds at about 12 pixels a second and the value.
  const int width = fm.horizontalAdvance("VoiceOver #8") + 8 + 360 + fm.horizontalAdvance("-24.0 dB") + 8;
  // Twice the least height a row needs: room to read the curve.
  return {width, rows * MinimumRowHeight() * 2 + fm.height() + 2};
}

QSize CFloorGainStrip::minimumSizeHint() const {
  const QSize hint = sizeHint();
  return {hint.width(), std::max(1, rowsShown_) * MinimumRowHeight() + fontMetrics().height() + 2};
}

// Where the parts of the strip lie: the labels on the left, the values on
// the right, the graphs of the last 30 s between them.
struct CFloorGainStrip::Layout {
  int LabelWidth = 0;
  int ValueWidth = 0;
  int GraphLeft = 0;
  int GraphRight = 0;
  int GraphWidth = 0;
  int64_t Now = 0;  // time of the newest sample, ms
  // The x of a sample taken at t ms.
  double XOf(int64_t t) const {
    const int64_t age = std::clamp<int64_t>(Now - t, 0, FloorGainHistory::kSpanMs);
    return GraphRight - static_cast<double>(age) * GraphWidth / FloorGainHistory::kSpanMs;
  }
};

void CFloorGainStrip::paintEvent(QPaintEvent*) {
  QPainter p(this);
  const QFontMetrics fm = fontMetrics();
  Layout l;
  l.LabelWidth = fm.horizontalAdvance("VoiceOver #8") + 8;
  l.ValueWidth = fm.horizontalAdvance("-24.0 dB") + 8;
  l.GraphLeft = l.LabelWidth;
  l.GraphRight = rect().width() - l.ValueWidth;
  l.GraphWidth = std::max(1, l.GraphRight - l.GraphLeft);
  l.Now = history_.Count() > 0 ? history_.At(0).TimeMs : 0;

  int drawn = 0;
  for (int32_t i = 0; i < kVoiceOverLines; ++i) {
    if (!settings_.Lines[static_cast<size_t>(i)].Use) continue;
    DrawRow(p, l, i, drawn);
    ++drawn;
  }
  if (!running_() && drawn > 0) {
    // Over the rows: what the strip shows is not live.
    QFont big = font();
    big.setBold(true);
    big.setPointSizeF(big.pointSizeF() * 1.5);
    p.setFont(big);
    p.setPen(palette().color(QPalette::WindowText));
    p.drawText(QRect(l.GraphLeft, 0, l.GraphWidth, drawn * RowHeight()), Qt::AlignCenter, "stopped");
    p.setFont(font());
  }
  p.setPen(palette().color(QPalette::WindowText));
  if (drawn == 0) {
    p.drawText(QRect(0, 0, rect().width(), RowHeight()), Qt::AlignCenter, "No voice-over line in use");
  } else {
    DrawAxis(p, l, drawn * RowHeight());
  }
}

void CFloorGainStrip::DrawRow(QPainter& p, const Layout& l, int32_t i, int drawn) {
  const int top = drawn * RowHeight();
  const QRect graph(l.GraphLeft, top + 2, l.GraphWidth, RowHeight() - 4);
  p.setPen(palette().color(QPalette::WindowText));
  p.drawText(QRect(0, graph.top(), l.LabelWidth - 6, graph.height()), Qt::AlignLeft | Qt::AlignVCenter,
             QString("VoiceOver #%1").arg(i + 1));
  p.fillRect(graph, palette().color(QPalette::Base));
  const auto yOf = [&](int32_t centiDb) {
    const double db = std::clamp(centiDb / 100.0, double{kScaleBottomDb}, 0.0);
    return graph.top() + (db / kScaleBottomDb) * (graph.height() - 1);
  };
  // Voice spans first, the gain over them.
  for (int32_t age = 0; age + 1 < history_.Count(); ++age) {
    const StripSample& newer = history_.At(age);
    const StripSample& older = history_.At(age + 1);
    if (l.Now - older.TimeMs > FloorGainHistory::kSpanMs) break;
    if (newer.Live && (newer.VoiceMask >> i) & 1u) {
      const double x0 = l.XOf(older.TimeMs);
      const double x1 = l.XOf(newer.TimeMs);
      p.fillRect(QRectF(x0, graph.top(), std::max(1.0, x1 - x0), graph.height()), kVoiceColour);
    }
  }
  p.setPen(QPen(palette().color(QPalette::Mid), 1, Qt::DotLine));
  for (const int db : {-6, -12, -18}) {
    const double y = yOf(db * 100);
    p.drawLine(QPointF(graph.left(), y), QPointF(graph.right(), y));
  }
  QPainterPath path;
  bool open = false;
  for (int32_t age = history_.Count() - 1; age >= 0; --age) {
    const StripSample& s = history_.At(age);
    if (l.Now - s.TimeMs > FloorGainHistory::kSpanMs || !s.Live) {
      open = false;
      continue;
    }
    const QPointF point(l.XOf(s.TimeMs), yOf(s.CentiDb[static_cast<size_t>(i)]));
    if (open) {
      path.lineTo(point);
    } else {
      path.moveTo(point);
      open = true;
    }
  }
  p.setRenderHint(QPainter::Antialiasing, true);
  p.setPen(QPen(kGainColour, 2));
  p.drawPath(path);
  p.setRenderHint(QPainter::Antialiasing, false);
  p.setPen(palette().color(QPalette::Mid));
  p.drawRect(graph.adjusted(0, 0, -1, -1));
  p.setPen(palette().color(QPalette::WindowText));
  const bool live = running_() && history_.Count() > 0 && history_.At(0).Live;
  const QString value =
      live ? QString("%1 dB").arg(history_.At(0).CentiDb[static_cast<size_t>(i)] / 100.0, 0, 'f', 1) : "--";
  p.drawText(QRect(l.GraphRight + 4, graph.top(), l.ValueWidth - 4, graph.height()), Qt::AlignRight | Qt::AlignVCenter,
             value);
}

void CFloorGainStrip::DrawAxis(QPainter& p, const Layout& l, int axisTop) {
  const QFontMetrics fm = fontMetrics();
  const QRect axis(l.GraphLeft, axisTop, l.GraphWidth, fm.height() + 2);
  p.drawText(axis, Qt::AlignLeft | Qt::AlignTop, "-30 s");
  p.drawText(axis, Qt::AlignRight | Qt::AlignTop, running_() ? "now" : "stopped");
  // The legend between the two ends, when it fits: a voice swatch and the
  // gain line with its scale.
  const QString voice = "voice";
  const QString gain = "floor gain, 0 to -24 dB";
  const int swatch = fm.height() - 4;
  const int legendWidth = swatch + 4 + fm.horizontalAdvance(voice) + 16 + swatch + 4 + fm.horizontalAdvance(gain);
  const int ends = fm.horizontalAdvance("-30 s") + fm.horizontalAdvance("now") + 24;
  if (legendWidth + ends > l.GraphWidth) return;
  int x = l.GraphLeft + (l.GraphWidth - legendWidth) / 2;
  const int y = axisTop + 2;
  p.fillRect(QRect(x, y, swatch, swatch), kVoiceColour);
  x += swatch + 4;
  p.drawText(QRect(x, axisTop, fm.horizontalAdvance(voice), fm.height() + 2), Qt::AlignLeft | Qt::AlignTop, voice);
  x += fm.horizontalAdvance(voice) + 16;
  p.setPen(QPen(kGainColour, 2));
  p.drawLine(x, y + swatch / 2, x + swatch, y + swatch / 2);
  p.setPen(palette().color(QPalette::WindowText));
  x += swatch + 4;
  p.drawText(QRect(x, axisTop, fm.horizontalAdvance(gain), fm.height() + 2), Qt::AlignLeft | Qt::AlignTop, gain);
}

}  // namespace quellvox
