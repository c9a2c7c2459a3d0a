#include <gtest/gtest.h>

#include <chrono>
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
TEST(FramePacer, SleepsUntilTheNextFrameIsDueThenBacksOffUpToHalfAFrameOrTwoWhenStanding) {
  FramePacer pacer(25.0);
  const Clock::time_point t0{};
  pacer.Observe(1000, t0 + microseconds(3'000));  // seen 3 ms after it arrived
  pacer.Observe(1001, t0 + microseconds(40'500));  // seen 0.5 ms late: the better phase
  EXPECT_EQ(pacer.NextLook(false, t0 + microseconds(41'000)), t0 + microseconds(80'500));
  // Not there when due: looked for after 0.5 ms, 1 ms, 2 ms; it turns up.
  Clock::time_point now = t0 + microseconds(80'500);
  for (const int64_t w : {500, 1'000, 2'000}) {
    const Clock::time_point next = pacer.NextLook(false, now);
    EXPECT_EQ(next - now, microseconds(w));
    now = next;
  }
  pacer.Observe(1002, now);
  // The next look is due by the phase again (crept by a thousandth of a
  // frame), not by the late sighting.
  now = pacer.NextLook(false, now);
  EXPECT_EQ(now, t0 + microseconds(120'540));
  // A capture that stands still: the looks back off to half a frame, and
  // once it is more than four frames overdue (280.54 ms) to two frames.
  for (const int64_t w : {500, 1'000, 2'000, 4'000, 8'000, 16'000, 20'000, 20'000, 20'000, 20'000, 20'000, 20'000,
                          20'000, 80'000, 80'000}) {
    const Clock::time_point next = pacer.NextLook(false, now);
    EXPECT_EQ(next - now, microseconds(w)) << "after " << (now - t0).count();
    now = next;
  }
}

TEST(FramePacer, AFrameWaitingToBeTakenIsLookedForSoon) {
  FramePacer pacer(50.0);
  const Clock::time_point t0{};
  pacer.Observe(7, t0);
  EXPECT_EQ(pacer.NextLook(true, t0) - t0, microseconds(250));
  EXPECT_EQ(pacer.NextLook(true, t0) - t0, microseconds(500));
}

TEST(FramePacer, ACaptureClockSlowerThanOursIsFollowed) {
  // Frames arrive 40.02 ms apart (500 ppm slow) while the format says 40 ms:
  // without the creep every wake-up would come earlier before its frame,
  // 40 ms early after 2000 frames.
  FramePacer pacer(25.0);
  const Clock::time_point t0{};
  for (int64_t n = 0; n < 2000; ++n) pacer.Observe(n, t0 + microseconds(40'020 * n));
  const Clock::time_point seen = t0 + microseconds(40'020 * 1999);
  const auto early = seen + microseconds(40'020) - pacer.NextLook(false, seen);
  EXPECT_LT(early, microseconds(3'000));
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
