// The demo's picture of one engine: per voice-over line in use, the floor
// gain it applied over time (with the spans where the program saw voice and
// the depth and length of every dip), and the level of the engine's output
// on that line's channels. Drawn with Qt's painter on an image; needs a
// QGuiApplication (any platform, offscreen included) for its fonts.
#pragma once

#include <QImage>
#include <QRectF>
#include <string>
#include <vector>

#include "tools/demo/demo_analysis.h"

namespace quellvox::demo {

struct ChartText {
  std::string Title;     // e.g. "Engine 1"
  std::string Subtitle;  // the settings in a sentence
  std::string Footer;    // this engine's part of the verdict
  std::vector<std::string> LineNames;  // per voice-over line, e.g. "Stereo#2 -> Left#1"
};

// Where things land on the picture, so that a reader (or a test) can find
// the curve of a line at a time and a gain.
class ChartGeometry {
 public:
  ChartGeometry(const EngineAnalysis& a, const DuckerSettings& s);
  int Width() const { return 1600; }
  int Height() const;
  // Panels of the lines in use, in line order.
  const std::vector<int>& Lines() const { return lines_; }
  QRectF FloorPanel(int panel) const;
  QRectF LevelPanel(int panel) const;
  double X(double seconds) const;
  double FloorY(int panel, double db) const;
  double LevelY(int panel, double db) const;
  double Seconds() const { return seconds_; }
  double FloorBottomDb() const { return floorBottomDb_; }

 private:
  std::vector<int> lines_;
  double seconds_ = 1.0;
  double floorBottomDb_ = -24.0;
};

QImage DrawEngineChart(const EngineAnalysis& a, const DuckerSettings& s, const ChartText& text);

}  // namespace quellvox::demo
