#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <cstdint>
#include <limits>

#include "pipeline/frame_math.h"
#include "pipeline/frame_pacer.h"

namespace quellvox {
namespace {

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();

struct SkipCase {
  const char* Name;
  int64_t Newest;
  int64_t Next;
  int32_t MaxLag;
  int64_t Jump;  // -1: no jump
};

// Worked by hand from the rule: trailing by more than MaxLag resumes two
// frames behind newest; a lag below 2 never jumps.
TEST(FrameMath, Skip1JumpsToTwoBehindNewestOnlyBeyondMaxLag) {
  const SkipCase cases[] = {
      {"level", 100, 100, 5, -1},
      {"behind newest is no lag", 99, 100, 5, -1},
      {"within MaxLag", 105, 100, 5, -1},
      {"one beyond MaxLag", 106, 100, 5, 4},
      {"lag 2 beyond MaxLag 1 jumps nothing", 102, 100, 1, 0},
      {"lag 1 beyond MaxLag 0 has no step back", 101, 100, 0, -1},
      {"negative MaxLag exceeded by lag 3", 103, 100, -4, 1},
      {"across the 64-bit wrap", kMin + 7, kMax - 2, 5, 8},
      {"largest lag saturates", -1, 0, 5, kMax},
  };
  for (const SkipCase& c : cases) {
    EXPECT_EQ(Skip1Frames(LagBeyond(c.Newest, c.Next), c.MaxLag), c.Jump) << c.Name;
  }
}

TEST(FrameMath, FrameNumbersAreTheLow32BitsOfTheWrappedDistance) {
  EXPECT_EQ(FramesSince(1'000'010, 1'000'000), 10);
  EXPECT_EQ(FramesSince(0x1'0000'0005LL, 0xFFFF'FFFELL), 7);        // across a 32-bit carry
  EXPECT_EQ(FramesSince(kMin + 1, kMax), 2);                        // across the 64-bit wrap
  EXPECT_EQ(FramesSince(0x1'8000'0000LL, 0), std::numeric_limits<int32_t>::min());
  EXPECT_EQ(WrapSub(kMin, 1), kMax);
  EXPECT_EQ(Saturate32(int64_t{1} << 40), std::numeric_limits<int32_t>::max());
  EXPECT_EQ(TruncateSaturated(-1e300), kMin);
}

using Clock = FramePacer::Clock;
using std::chrono::microseconds;

// 25 frames/s: a frame every 40 ms.
TEST(FramePacer, LooksForALateFrameAfterGrowingWaitsAndAtAStandingCaptureEveryTwoFrames) {
  FramePacer pacer(25.0);
  const Clock::time_point t0{};
  pacer.Observe(1000, t0 + microseconds(3'000));   // seen 3 ms after it arrived
  pacer.Observe(1001, t0 + microseconds(40'500));  // seen 0.5 ms late: the better phase
  Clock::time_point now = pacer.NextLook(false, t0 + microseconds(41'000));
  EXPECT_EQ(now, t0 + microseconds(80'500));
  // Not there when due, nor after 0.5, 1, 2, ... ms: the looks back off to
  // half a frame, and once it is more than four frames overdue to two frames.
  for (const int64_t w : {500, 1'000, 2'000, 4'000, 8'000, 16'000, 20'000, 20'000, 20'000, 20'000, 20'000, 20'000,
                          20'000, 80'000, 80'000}) {
    const Clock::time_point next = pacer.NextLook(false, now);
    EXPECT_EQ(next - now, microseconds(w)) << "after " << (now - t0).count();
    now = next;
  }
}

// A capture simulated on a clock of its own: its frames arrive every
// 1 / (rate x (1 + ppm)) seconds from a phase of its own; the thread that
// the pacer drives looks when the pacer says, woken by a scheduler that
// adds a random delay (mostly tens of microseconds, now and then a spike of
// up to a quarter of a frame), and spends 150 us on each pass that copies,
// as the pump does: one frame per pass, the next pass at once. A million
// frames per row, no sleeping. After the first hundred frames (the thread
// starts at an unknown point of a frame), every frame must be seen within a
// tenth of a frame of its arrival, unless a spike delayed the looks for it.
struct PacerCase {
  const char* Name;
  double Rate;
  double Ppm;  // the capture's clock against ours: positive is faster
};

class PacerSimulation : public ::testing::TestWithParam<PacerCase> {};

TEST_P(PacerSimulation, WakesJustAfterEachArrivalAndNeverPastTheNextFrameUnlessTheSchedulerWasLate) {
  const PacerCase c = GetParam();
  constexpr int64_t kFrames = 1'000'000;
  const double periodNs = 1e9 / c.Rate;               // what the format says
  const double trueNs = periodNs / (1.0 + c.Ppm * 1e-6);  // what the capture does
  const double phaseNs = 0.37 * periodNs;
  const int64_t firstPos = 5000;
  const auto arrival = [&](int64_t newest) {  // when position newest became the newest
    return phaseNs + static_cast<double>(newest - firstPos) * trueNs;
  };
  const auto newestAt = [&](double t) {
    return firstPos + static_cast<int64_t>(std::floor((t - phaseNs) / trueNs));
  };
  const auto at = [](double ns) { return Clock::time_point{} + std::chrono::nanoseconds(static_cast<int64_t>(ns)); };
  const auto ns = [](Clock::time_point t) { return static_cast<double>(t.time_since_epoch().count()); };
  std::mt19937_64 random(20261209);
  std::exponential_distribution<double> usual(1.0 / 40'000.0);  // mean 40 us
  std::uniform_real_distribution<double> unit(0.0, 1.0);

  FramePacer pacer(c.Rate);
  double t = phaseNs + 0.6 * trueNs;  // the thread starts mid-frame
  int64_t next = newestAt(t);
  int64_t lastSeen = next;
  int64_t late = 0;          // passes that copied a block with newest at block + 2 or later
  // Of them, those the pacer asked for: the look was asked for more than
  // half a frame after the block arrived, leaving the scheduler less than
  // half a frame before the next one.
  int64_t unforced = 0;
  int64_t looks = 0;
  int64_t farSightings = 0;  // a new frame first seen more than a tenth of a frame after it arrived, undisturbed
  double worstSighting = 0.0;
  double requested = t;
  bool disturbed = false;  // a spike since the last new frame
  while (next < firstPos + kFrames) {
    const int64_t newest = newestAt(t);
    pacer.Observe(newest, at(t));
    if (newest > lastSeen) {
      const double sighting = requested - arrival(lastSeen + 1);
      // The first hundred frames find the lock: the thread starts at an
      // unknown point of a frame.
      if (!disturbed && newest > firstPos + 100) {
        worstSighting = std::max(worstSighting, sighting);
        if (sighting > periodNs / 10.0) ++farSightings;
      }
      lastSeen = newest;
      disturbed = false;
    }
    if (newest > next) {
      if (newest >= next + 2) {
        ++late;
        if (requested > arrival(next + 1) + trueNs / 2.0) ++unforced;
      }
      ++next;
      t += 150'000.0;
      requested = t;
      continue;
    }
    requested = ns(pacer.NextLook(false, at(t)));
    ++looks;
    double jitter = usual(random);
    if (unit(random) < 0.001) {
      jitter += unit(random) * periodNs / 4.0;
      disturbed = true;
    }
    t = std::max(t, requested) + jitter;
  }
  EXPECT_EQ(unforced, 0) << "late passes the pacer asked for: " << unforced << " of " << late;
  EXPECT_EQ(farSightings, 0) << "worst sighting " << worstSighting / periodNs << " frames after the arrival";
  EXPECT_LT(worstSighting, periodNs / 10.0);
  // What the locking costs: a look now and then that comes too early.
  EXPECT_LT(static_cast<double>(looks) / kFrames, 1.5);
  std::printf("%s: %lld late passes, %lld of them asked for; worst sighting %.4f frames; %.3f looks a frame\n",
              c.Name, static_cast<long long>(late), static_cast<long long>(unforced), worstSighting / periodNs,
              static_cast<double>(looks) / kFrames);
}

INSTANTIATE_TEST_SUITE_P(
    RatesAndDrifts, PacerSimulation,
    ::testing::Values(PacerCase{"Film_23_976", 24000.0 / 1001.0, 0.0}, PacerCase{"Film_23_976_Fast", 24000.0 / 1001.0, 1000.0},
                      PacerCase{"Film_23_976_Slow", 24000.0 / 1001.0, -1000.0}, PacerCase{"Pal_25", 25.0, 0.0},
                      PacerCase{"Pal_25_Fast", 25.0, 1000.0}, PacerCase{"Pal_25_Slow", 25.0, -1000.0},
                      PacerCase{"Ntsc_29_97", 30000.0 / 1001.0, 0.0}, PacerCase{"Ntsc_29_97_Fast", 30000.0 / 1001.0, 1000.0},
                      PacerCase{"Ntsc_29_97_Slow", 30000.0 / 1001.0, -1000.0}, PacerCase{"Hd_50", 50.0, 0.0},
                      PacerCase{"Hd_50_Fast", 50.0, 1000.0}, PacerCase{"Hd_50_Slow", 50.0, -1000.0},
                      PacerCase{"Hd_59_94", 60000.0 / 1001.0, 0.0}, PacerCase{"Hd_59_94_Fast", 60000.0 / 1001.0, 1000.0},
                      PacerCase{"Hd_59_94_Slow", 60000.0 / 1001.0, -1000.0}),
    [](const ::testing::TestParamInfo<PacerCase>& row) { return std::string(row.param.Name); });

TEST(FramePacer, AFrameWaitingToBeTakenIsLookedForSoon) {
  FramePacer pacer(50.0);
  const Clock::time_point t0{};
  pacer.Observe(7, t0);
  EXPECT_EQ(pacer.NextLook(true, t0) - t0, microseconds(250));
  EXPECT_EQ(pacer.NextLook(true, t0) - t0, microseconds(500));
}

TEST(FramePacer, WithoutARatePollsEveryMillisecond) {
  FramePacer pacer(0.0);
  const Clock::time_point t0{};
  pacer.Observe(1, t0);
  EXPECT_EQ(pacer.NextLook(false, t0) - t0, microseconds(1'000));
  EXPECT_EQ(pacer.NextLook(false, t0) - t0, microseconds(1'000));
}

}  // namespace
}  // namespace quellvox
