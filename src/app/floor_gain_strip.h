// The live strip of the statistics window: for each voice-over row in use,
// its floor gain in dB over the last 30 seconds and the spans in which voice
// was detected. It draws the instance's history (FloorGainHistory, sampled
// by the instance from the start of the relay), so that it shows the last
// 30 seconds at once when the window opens; while the relay is not running
// it says "stopped". The operator may stretch it: the rows share its height.
#pragma once

#include <QWidget>
#include <cstdint>
#include <functional>

#include "app/floor_gain_history.h"
#include "config/settings.h"

class QPainter;

namespace quellvox {

class CFloorGainStrip : public QWidget {
 public:
  // `history` and `settings` are the instance's; both outlive the strip.
  // `running` says whether the relay runs now.
  CFloorGainStrip(const FloorGainHistory& history, const DuckerSettings& settings, std::function<bool()> running,
                  QWidget* parent = nullptr);

  // Follows the history (the strip's timer calls it every 40 ms).
  void Refresh();
  const FloorGainHistory& History() const { return history_; }
  // The rows drawn: those whose Use is set.
  int32_t RowsShown() const;
  bool ShowsStopped() const { return !running_(); }
  // The gain scale runs from 0 dB at the top to this at the bottom, the
  // largest attenuation the settings allow.
  static constexpr int32_t kScaleBottomDb = -24;

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  struct Layout;
  void DrawRow(QPainter& p, const Layout& l, int32_t line, int drawn);
  void DrawAxis(QPainter& p, const Layout& l, int axisTop);
  int MinimumRowHeight() const;
  int RowHeight() const;

  const FloorGainHistory& history_;
  const DuckerSettings& settings_;
  std::function<bool()> running_;
  int32_t rowsShown_ = -1;
};

}  // namespace quellvox
