// The live strip of the statistics window: for each voice-over row in use,
// its floor gain in dB over the last 30 seconds and the spans in which voice
// was detected. It samples what the pump publishes once per pass
// (PipelineStats: FloorGainCentiDB, VoiceDetected, PassCount) on the
// user-interface thread; the pump does nothing for it beyond those stores.
#pragma once

#include <QElapsedTimer>
#include <QWidget>
#include <array>
#include <cstdint>

#include "audio/pipeline_stats.h"
#include "config/settings.h"

namespace quellvox {

struct StripSample {
  int64_t TimeMs = 0;      // when it was taken, on the strip's own clock
  bool Live = false;       // the pump made a pass within the last kStallMs
  uint8_t VoiceMask = 0;   // bit i: voice on row i
  std::array<int32_t, kVoiceOverLines> CentiDb{};  // floor gain of each row, hundredths of a dB
};

// The samples of the last seconds, newest last, in a ring sized once.
class FloorGainHistory {
 public:
  static constexpr int64_t kSpanMs = 30'000;
  static constexpr int32_t kCapacity = 1024;  // > 30 s at the strip's 40 ms period
  // The pump passes once per capture frame (40 ms at 25 frames/s), so two
  // samples may fall into one pass; only this long without a pass is a gap.
  static constexpr int64_t kStallMs = 250;

  // Takes one sample of every row at `nowMs` (never earlier than the last).
  void Take(const PipelineStats& stats, int64_t nowMs);
  int32_t Count() const { return count_; }
  // age 0 is the newest sample; REQUIRES: 0 <= age < Count().
  const StripSample& At(int32_t age) const;

 private:
  std::array<StripSample, kCapacity> ring_{};
  int32_t next_ = 0;
  int32_t count_ = 0;
  uint32_t lastPass_ = 0;
  int64_t lastPassMs_ = 0;  // when PassCount last moved
};

class CFloorGainStrip : public QWidget {
 public:
  // `stats` and `settings` are the frame's; both outlive the strip.
  CFloorGainStrip(const PipelineStats& stats, const DuckerSettings& settings, QWidget* parent = nullptr);

  // One sample now (the strip's timer calls it every 40 ms).
  void Sample();
  const FloorGainHistory& History() const { return history_; }
  // The rows drawn: those whose Use is set.
  int32_t RowsShown() const;
  // The gain scale runs from 0 dB at the top to this at the bottom, the
  // largest attenuation the settings allow.
  static constexpr int32_t kScaleBottomDb = -24;

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  int RowHeight() const;

  const PipelineStats& stats_;
  const DuckerSettings& settings_;
  QElapsedTimer clock_;
  FloorGainHistory history_;
  int32_t rowsShown_ = -1;
};

}  // namespace quellvox
