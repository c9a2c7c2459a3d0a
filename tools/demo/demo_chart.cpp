#include "tools/demo/demo_chart.h"

#include <QFont>
#include <QPainter>
#include <QPainterPath>
#include <QPen>
#include <algorithm>
#include <cmath>
#include <cstdio>

namespace quellvox::demo {

namespace {

// Layout in pixels.
constexpr double kLeft = 96;
constexpr double kRight = 40;
constexpr double kHeader = 112;
constexpr double kLineTitle = 34;
constexpr double kFloorHeight = 210;
constexpr double kGap = 14;
constexpr double kLevelHeight = 110;
constexpr double kAxisLabels = 30;
constexpr double kFooter = 64;
constexpr double kPanelBlock = kLineTitle + kFloorHeight + kGap + kLevelHeight + kAxisLabels;
constexpr double kLevelTopDb = 0.0;
constexpr double kLevelBottomDb = -60.0;
constexpr double kFloorTopDb = 3.0;

const QColor kInk(33, 33, 33);
const QColor kGrid(226, 226, 226);
const QColor kVoiceBand(102, 187, 106, 70);
const QColor kVoiceLane(56, 142, 60);
const QColor kFloorCurve(21, 101, 192);
const QColor kTarget(198, 40, 40);
const QColor kLevelCurve(97, 97, 97);
const QColor kLevelFill(158, 158, 158, 60);

QFont Font(int pixels, bool bold = false) {
  QFont f;
  f.setPixelSize(pixels);
  f.setBold(bold);
  return f;
}

QString Q(const std::string& s) { return QString::fromStdString(s); }

double TickStep(double seconds) {
  for (double step : {1.0, 2.0, 5.0, 10.0, 30.0, 60.0, 120.0, 300.0}) {
    if (seconds / step <= 24.0) return step;
  }
  return 600.0;
}

// Stretches of consecutive frames in which `on` holds: [first, last] indexes.
template <class On>
std::vector<std::pair<size_t, size_t>> Stretches(const std::vector<OutputFrame>& frames, On on) {
  std::vector<std::pair<size_t, size_t>> out;
  for (size_t i = 0; i < frames.size(); ++i) {
    if (!on(frames[i])) continue;
    if (!out.empty() && out.back().second + 1 == i) {
      out.back().second = i;
    } else {
      out.push_back({i, i});
    }
  }
  return out;
}

}  // namespace

ChartGeometry::ChartGeometry(const EngineAnalysis& a, const DuckerSettings& s) {
  for (int i = 0; i < kVoiceOverLines; ++i) {
    if (s.Lines[i].Use) lines_.push_back(i);
  }
  if (!a.Frames.empty() && a.Rate > 0.0) seconds_ = std::max(1.0, a.Frames.back().Seconds + 1.0 / a.Rate);
  // Room below the duck gain, in whole 6 dB steps.
  floorBottomDb_ = -6.0 * std::ceil((std::max(0, s.DecreaseDB) + 6) / 6.0);
}

int ChartGeometry::Height() const {
  return static_cast<int>(kHeader + kPanelBlock * std::max<size_t>(1, lines_.size()) + kFooter);
}

QRectF ChartGeometry::FloorPanel(int panel) const {
  return QRectF(kLeft, kHeader + panel * kPanelBlock + kLineTitle, Width() - kLeft - kRight, kFloorHeight);
}

QRectF ChartGeometry::LevelPanel(int panel) const {
  const QRectF f = FloorPanel(panel);
  return QRectF(f.left(), f.bottom() + kGap, f.width(), kLevelHeight);
}

double ChartGeometry::X(double seconds) const {
  return kLeft + (Width() - kLeft - kRight) * std::clamp(seconds / seconds_, 0.0, 1.0);
}

double ChartGeometry::FloorY(int panel, double db) const {
  const QRectF r = FloorPanel(panel);
  const double t = (kFloorTopDb - std::clamp(db, floorBottomDb_, kFloorTopDb)) / (kFloorTopDb - floorBottomDb_);
  return r.top() + t * r.height();
}

double ChartGeometry::LevelY(int panel, double db) const {
  const QRectF r = LevelPanel(panel);
  const double t = (kLevelTopDb - std::clamp(db, kLevelBottomDb, kLevelTopDb)) / (kLevelTopDb - kLevelBottomDb);
  return r.top() + t * r.height();
}

QImage DrawEngineChart(const EngineAnalysis& a, const DuckerSettings& s, const ChartText& text) {
  const ChartGeometry g(a, s);
  QImage image(g.Width(), g.Height(), QImage::Format_RGB32);
  image.fill(Qt::white);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing, true);
  p.setRenderHint(QPainter::TextAntialiasing, true);

  // Header: what this is, the settings, and a legend.
  p.setPen(kInk);
  p.setFont(Font(24, true));
  p.drawText(QPointF(kLeft, 36), Q(text.Title));
  p.setFont(Font(15));
  p.drawText(QPointF(kLeft, 62), Q(text.Subtitle));
  double lx = kLeft;
  const double ly = 92;
  auto legend = [&](const QColor& c, bool band, const QString& label) {
    if (band) {
      p.fillRect(QRectF(lx, ly - 11, 26, 14), c);
    } else {
      p.setPen(QPen(c, 3));
      p.drawLine(QPointF(lx, ly - 4), QPointF(lx + 26, ly - 4));
    }
    p.setPen(kInk);
    p.drawText(QPointF(lx + 34, ly), label);
    lx += 34 + p.fontMetrics().horizontalAdvance(label) + 36;
  };
  legend(kFloorCurve, false, "floor gain (measured in the output)");
  legend(kVoiceLane, true, "voice detected (the program's statistics)");
  legend(kTarget, false, "the set attenuation");
  legend(kLevelCurve, false, "output level (RMS per frame)");

  const double tick = TickStep(g.Seconds());
  for (size_t panel = 0; panel < g.Lines().size(); ++panel) {
    const int line = g.Lines()[panel];
    const int pi = static_cast<int>(panel);
    const QRectF fr = g.FloorPanel(pi);
    const QRectF lr = g.LevelPanel(pi);
    const std::string name = line < static_cast<int>(text.LineNames.size()) ? text.LineNames[line] : "";
    p.setPen(kInk);
    p.setFont(Font(17, true));
    p.drawText(QPointF(kLeft, fr.top() - 10), QString("Voice-over line %1").arg(line + 1) +
                                                  (name.empty() ? QString() : QString(": ") + Q(name)));

    // Grid and scales.
    p.setFont(Font(13));
    // The set attenuation's mark on the scale is drawn in its own colour.
    const double target = -static_cast<double>(s.DecreaseDB);
    for (double db = kFloorTopDb - 3.0; db >= g.FloorBottomDb() - 1e-9; db -= 6.0) {
      const double y = g.FloorY(pi, db);
      p.setPen(QPen(kGrid, 1));
      p.drawLine(QPointF(fr.left(), y), QPointF(fr.right(), y));
      p.setPen(kInk);
      if (std::fabs(db - target) < 1e-9) continue;
      p.drawText(QRectF(0, y - 9, kLeft - 10, 18), Qt::AlignRight | Qt::AlignVCenter,
                 QString::number(db, 'f', 0).replace('-', QChar(0x2212)));
    }
    p.setPen(kTarget);
    p.setFont(Font(13, true));
    p.drawText(QRectF(0, g.FloorY(pi, target) - 9, kLeft - 10, 18), Qt::AlignRight | Qt::AlignVCenter,
               QString::number(target, 'f', 0).replace('-', QChar(0x2212)));
    p.setFont(Font(13));
    for (double db = kLevelTopDb; db >= kLevelBottomDb - 1e-9; db -= 20.0) {
      const double y = g.LevelY(pi, db);
      p.setPen(QPen(kGrid, 1));
      p.drawLine(QPointF(lr.left(), y), QPointF(lr.right(), y));
      p.setPen(kInk);
      p.drawText(QRectF(0, y - 9, kLeft - 10, 18), Qt::AlignRight | Qt::AlignVCenter,
                 QString::number(db, 'f', 0).replace('-', QChar(0x2212)));
    }
    for (double t = 0.0; t <= g.Seconds() + 1e-9; t += tick) {
      const double x = g.X(t);
      p.setPen(QPen(kGrid, 1));
      p.drawLine(QPointF(x, fr.top()), QPointF(x, fr.bottom()));
      p.drawLine(QPointF(x, lr.top()), QPointF(x, lr.bottom()));
      p.setPen(kInk);
      p.drawText(QRectF(x - 40, lr.bottom() + 4, 80, 18), Qt::AlignHCenter | Qt::AlignTop,
                 QString::number(t, 'f', 0) + (t == 0.0 ? " s" : ""));
    }
    p.save();
    p.translate(18, fr.center().y());
    p.rotate(-90);
    p.drawText(QRectF(-fr.height() / 2, -10, fr.height(), 20), Qt::AlignCenter, "floor gain, dB");
    p.restore();
    p.save();
    p.translate(18, lr.center().y());
    p.rotate(-90);
    p.drawText(QRectF(-lr.height() / 2, -10, lr.height(), 20), Qt::AlignCenter, "level, dBFS");
    p.restore();

    // Voice: a band through both panels and a solid lane on top.
    const double frameSeconds = a.Rate > 0.0 ? 1.0 / a.Rate : 0.04;
    for (const auto& [first, last] :
         Stretches(a.Frames, [line](const OutputFrame& f) { return f.Voice[static_cast<size_t>(line)]; })) {
      const double x0 = g.X(a.Frames[first].Seconds);
      const double x1 = g.X(a.Frames[last].Seconds + frameSeconds);
      p.fillRect(QRectF(x0, fr.top(), x1 - x0, fr.height()), kVoiceBand);
      p.fillRect(QRectF(x0, lr.top(), x1 - x0, lr.height()), kVoiceBand);
      p.fillRect(QRectF(x0, fr.top(), x1 - x0, 8), kVoiceLane);
    }

    // The set attenuation.
    p.setPen(QPen(kTarget, 1.5, Qt::DashLine));
    p.drawLine(QPointF(fr.left(), g.FloorY(pi, target)), QPointF(fr.right(), g.FloorY(pi, target)));

    // Output level, filled down to the scale's bottom.
    QPainterPath level;
    QPainterPath levelFill;
    bool started = false;
    for (const OutputFrame& f : a.Frames) {
      const QPointF pt(g.X(f.Seconds + frameSeconds / 2), g.LevelY(pi, f.LevelDb[static_cast<size_t>(line)]));
      if (!started) {
        level.moveTo(pt);
        levelFill.moveTo(pt.x(), lr.bottom());
        started = true;
      } else {
        level.lineTo(pt);
      }
      levelFill.lineTo(pt);
    }
    if (started) {
      levelFill.lineTo(levelFill.currentPosition().x(), lr.bottom());
      levelFill.closeSubpath();
      p.fillPath(levelFill, kLevelFill);
      p.setPen(QPen(kLevelCurve, 1.2));
      p.drawPath(level);
    }

    // Floor gain: a curve through the frame centres, broken where a frame
    // could not be measured.
    QPainterPath floor;
    bool open = false;
    for (const OutputFrame& f : a.Frames) {
      const float db = f.FloorDb[static_cast<size_t>(line)];
      if (!std::isfinite(db)) {
        open = false;
        continue;
      }
      const QPointF pt(g.X(f.Seconds + frameSeconds / 2), g.FloorY(pi, db));
      if (open) {
        floor.lineTo(pt);
      } else {
        floor.moveTo(pt);
        open = true;
      }
    }
    p.setPen(QPen(kFloorCurve, 2.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPath(floor);

    // How deep and how long each dip went, written under it.
    p.setFont(Font(13, true));
    p.setPen(kFloorCurve);
    const LineResult& result = a.Lines[static_cast<size_t>(line)];
    for (const DuckEpisode& e : result.Episodes) {
      char label[64];
      std::snprintf(label, sizeof label, "%.1f dB, %.1f s", e.DepthDb, e.EndSeconds - e.StartSeconds);
      const QString q = QString::fromUtf8(label).replace('-', QChar(0x2212));
      const double x0 = g.X(e.StartSeconds);
      const double x1 = g.X(e.EndSeconds);
      const double w = p.fontMetrics().horizontalAdvance(q);
      if (x1 - x0 < w * 0.6) continue;
      const double y = std::min(g.FloorY(pi, e.DepthDb) + 8, fr.bottom() - 20);
      p.drawText(QRectF((x0 + x1) / 2 - w / 2 - 4, y, w + 8, 18), Qt::AlignCenter, q);
    }
    if (!result.Measurable) {
      p.setPen(kInk);
      p.setFont(Font(14));
      p.drawText(fr, Qt::AlignCenter, "floor gain not measurable: another line shares these output channels");
    }

    p.setPen(QPen(kInk, 1));
    p.setBrush(Qt::NoBrush);
    p.drawRect(fr);
    p.drawRect(lr);
  }

  p.setPen(kInk);
  p.setFont(Font(15));
  p.drawText(QRectF(kLeft, g.Height() - kFooter + 8, g.Width() - kLeft - kRight, kFooter - 16),
             Qt::AlignLeft | Qt::AlignVCenter | Qt::TextWordWrap, Q(text.Footer));
  p.end();
  return image;
}

}  // namespace quellvox::demo
