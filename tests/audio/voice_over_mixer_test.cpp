#include "audio/voice_over_mixer.h"

#include <gtest/gtest.h>

namespace quellvox {
namespace {

TEST(MixVoiceOverLine, LineNotInUseChangesNothing) {
  DuckerSettings s;
  MixerState st;
  DeriveMixerGains(s, st);
  ResetMixerLines(st);
  CaptureBlock block{};
  MixArea mix{};
  MixInput in{block.Samples, 4, 10, mix.Samples, 2};
  MixVoiceOverLine(s, st, 0, in, 5);
  EXPECT_EQ(st.FloorGain[0], 1.0f);
  EXPECT_EQ(st.LastVoicePos[0], 0);
}

}  // namespace
}  // namespace quellvox
