#include "audio/voice_over_mixer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "audio/gain.h"
#include "float_bits.h"

namespace quellvox {
namespace {

// A block of C channels whose buffers are exactly as large as the block and
// the planes need, so that the address sanitizer catches any access outside.
// Pair 0 carries a constant floor of 0.25; the voice pair is silent unless a
// test puts voice on it.
class Mixer : public ::testing::Test {
 protected:
  void SetUp() override { Configure(4, 100, 2); }

  void Configure(int32_t channels, int32_t frames, int32_t planes) {
    channels_ = channels;
    frames_ = frames;
    planes_ = planes;
    block_.assign(static_cast<size_t>(channels) * frames, 0.0f);
    mix_.assign(static_cast<size_t>(planes) * frames * 2, 0.0f);
    for (int32_t s = 0; s < frames; ++s) {
      block_[s * channels] = 0.25f;
      block_[s * channels + 1] = 0.25f;
    }
    DeriveMixerGains(settings_, state_);
    ResetMixerLines(state_);
  }

  void UseLine(int32_t line, AudioLineRef from, AudioLineRef to, int32_t volumeDb = 0) {
    settings_.Lines[line] = {true, from, to, volumeDb};
    DeriveMixerGains(settings_, state_);
  }

  void SetVoice(int32_t pair, float level) {
    for (int32_t s = 0; s < frames_; ++s) {
      block_[s * channels_ + 2 * pair] = level;
      block_[s * channels_ + 2 * pair + 1] = level;
    }
  }

  MixInput Input() {
    return {block_.data(), channels_,   frames_, mix_.data(), planes_, static_cast<int32_t>(block_.size()),
            static_cast<int32_t>(mix_.size())};
  }

  void Mix(int64_t pos) { MixBlock(settings_, state_, Input(), pos); }

  // One pass with voice on line 0 at pos, then passes without voice.
  float FloorGainAfter(int64_t voicePos, int64_t pos) {
    SetVoice(1, 0.5f);
    Mix(voicePos);
    SetVoice(1, 0.0f);
    Mix(pos);
    return state_.FloorGain[0];
  }

  float LeftOf(int32_t plane, int32_t frame) const { return mix_[(plane * frames_ + frame) * 2]; }
  float RightOf(int32_t plane, int32_t frame) const { return mix_[(plane * frames_ + frame) * 2 + 1]; }

  DuckerSettings settings_;
  MixerState state_;
  std::vector<float> block_;
  std::vector<float> mix_;
  int32_t channels_ = 0;
  int32_t frames_ = 0;
  int32_t planes_ = 0;
};

float FadeGain(int32_t r, int32_t half, int32_t decreaseDb) {
  return static_cast<float>(std::pow(10.0, (static_cast<double>(r) / half) * decreaseDb / -20.0));
}

TEST(DeriveMixerGains, TurnsTheAttenuationsIntoGains) {
  DuckerSettings s;
  s.NoiseLevelDB = 40;
  s.DecreaseDB = 18;
  s.Lines[2].VolumeDB = -6;
  MixerState st;
  DeriveMixerGains(s, st);
  EXPECT_EQ(st.VoiceThreshold, 0.01f);
  EXPECT_EQ(st.DuckGain, DbToGain(-18));
  EXPECT_EQ(st.LineGain[2], 0.5011872f);
  EXPECT_EQ(st.LineGain[0], 1.0f);
  // Stored values at the ends of the 32-bit range stay defined.
  s.NoiseLevelDB = INT32_MIN;
  s.DecreaseDB = INT32_MAX;
  DeriveMixerGains(s, st);
  EXPECT_EQ(st.VoiceThreshold, INFINITY);
  EXPECT_EQ(st.DuckGain, 0.0f);
}

TEST_F(Mixer, LineNotInUseChangesNothing) {
  settings_.Lines[0].From = {Stereo, 1};
  SetVoice(1, 0.5f);
  MixVoiceOverLine(settings_, state_, 0, Input(), 5);
  EXPECT_EQ(state_.FloorGain[0], 1.0f);
  EXPECT_EQ(state_.LastVoicePos[0], kNoVoiceYet);
  for (float v : mix_) EXPECT_EQ(v, 0.0f);
}

TEST_F(Mixer, VoiceDucksAndRecordsThePosition) {
  UseLine(0, {Stereo, 1}, {Stereo, 0});
  SetVoice(1, 0.5f);
  Mix(1000);
  EXPECT_EQ(state_.FloorGain[0], DbToGain(-18));
  EXPECT_EQ(state_.LastVoicePos[0], 1000);
}

TEST_F(Mixer, TimeoutZeroDucksOnlyWhileVoiceIsSeen) {
  settings_.TimeoutInFrames = 0;
  UseLine(0, {Stereo, 1}, {Stereo, 0});
  EXPECT_EQ(FloorGainAfter(1000, 1001), 1.0f);
}

TEST_F(Mixer, TimeoutOneHoldsOneFrameAndHasNoFade) {
  settings_.TimeoutInFrames = 1;
  UseLine(0, {Stereo, 1}, {Stereo, 0});
  EXPECT_EQ(FloorGainAfter(1000, 1000), DbToGain(-18));
  EXPECT_EQ(FloorGainAfter(1000, 1001), DbToGain(-18));
  EXPECT_EQ(FloorGainAfter(1000, 1002), 1.0f);
}

TEST_F(Mixer, TimeoutFiftyHoldsTwentyFiveFramesThenFadesToZeroDecibels) {
  settings_.TimeoutInFrames = 50;
  UseLine(0, {Stereo, 1}, {Stereo, 0});
  EXPECT_EQ(FloorGainAfter(1000, 1025), DbToGain(-18));
  EXPECT_EQ(Bits(FloorGainAfter(1000, 1026)), Bits(FadeGain(24, 25, 18)));
  EXPECT_EQ(Bits(FloorGainAfter(1000, 1049)), Bits(FadeGain(1, 25, 18)));
  EXPECT_EQ(FloorGainAfter(1000, 1050), 1.0f);  // exactly 0 dB at T
  EXPECT_EQ(FloorGainAfter(1000, 1051), 1.0f);
}

TEST_F(Mixer, TimeoutFiftyOneHoldsTheLargerHalf) {
  settings_.TimeoutInFrames = 51;
  UseLine(0, {Stereo, 1}, {Stereo, 0});
  EXPECT_EQ(FloorGainAfter(1000, 1026), DbToGain(-18));
  EXPECT_EQ(Bits(FloorGainAfter(1000, 1027)), Bits(FadeGain(24, 25, 18)));
}

TEST_F(Mixer, FadeNeverGoesBelowTheDuckGain) {
  settings_.TimeoutInFrames = 50;
  settings_.DecreaseDB = 400;  // a stored value far beyond the dialog's range
  UseLine(0, {Stereo, 1}, {Stereo, 0});
  EXPECT_GE(FloorGainAfter(1000, 1026), state_.DuckGain);
}

// A capture that started moments before the pump: its positions lie below
// the timeout, and with no voice yet the floor stays open from the start.
TEST_F(Mixer, WithoutVoiceTheFloorIsOpenFromPositionZeroOn) {
  UseLine(0, {Stereo, 1}, {Stereo, 0});
  for (const int64_t pos : {0, 1, 15, 29, 30, 31}) {
    Mix(pos);
    EXPECT_EQ(state_.FloorGain[0], 1.0f) << "position " << pos;
  }
}

TEST_F(Mixer, PositionBeforeTheLastVoiceOpensTheFloor) {
  UseLine(0, {Stereo, 1}, {Stereo, 0});
  EXPECT_EQ(FloorGainAfter(1000, 999), 1.0f);
  // Far enough back that the difference leaves the 64-bit range: it wraps
  // (no undefined overflow) and still opens the floor.
  EXPECT_EQ(FloorGainAfter(1000, INT64_MIN + 5), 1.0f);
}

TEST_F(Mixer, DecreaseZeroDucksNothing) {
  settings_.DecreaseDB = 0;
  UseLine(0, {Stereo, 1}, {Stereo, 0});
  SetVoice(1, 0.5f);
  Mix(1000);
  EXPECT_EQ(state_.FloorGain[0], 1.0f);
  for (int32_t s = 0; s < frames_; ++s) ASSERT_EQ(LeftOf(0, s), 0.25f + 0.5f);
}

TEST_F(Mixer, FirstVoiceRampsTheFloorFromUnityToTheDuckGainWithinTheBlock) {
  UseLine(0, {Stereo, 1}, {Stereo, 0});
  SetVoice(1, 0.5f);
  Mix(1000);
  const float duck = DbToGain(-18);
  const float step = (duck - 1.0f) / static_cast<float>(frames_) * 1.0f;
  float g = 1.0f;
  for (int32_t s = 0; s < frames_; ++s) {
    ASSERT_EQ(Bits(LeftOf(0, s)), Bits(0.5f + (0.25f * g + 0.0f))) << s;
    g = g + step;
  }
}

// The floor of one block as the ramp defines it: gain old x LineGain on the
// first frame, then step = (new - old) / frames x LineGain per frame, in that
// order of single-precision operations; the voice follows at LineGain. The
// voice is on the right channel only, so the left side carries the floor alone.
TEST_F(Mixer, RampStepIsDividedByTheFramesBeforeTheLineGainScalesIt) {
  settings_.TimeoutInFrames = 4;  // hold d 0..2, fade at d 3
  UseLine(0, {Stereo, 1}, {Stereo, 0}, 6);
  const float g = DbToGain(6);
  const float duck = DbToGain(-18);
  const float fade = FadeGain(1, 2, 18);
  // DecreaseDB 18, VolumeDB 6 and 100 frames tell the two orders apart.
  ASSERT_NE((duck - 1.0f) / static_cast<float>(frames_) * g, (duck - 1.0f) * g / static_cast<float>(frames_));

  struct Block {
    int64_t Pos;
    float Voice;
    float Old;
    float New;
  };
  for (const Block& b : {Block{1000, 0.5f, 1.0f, duck}, Block{1003, 0.0f, duck, fade}}) {
    for (int32_t s = 0; s < frames_; ++s) block_[s * channels_ + 3] = b.Voice;
    Mix(b.Pos);
    ASSERT_EQ(Bits(state_.FloorGain[0]), Bits(b.New)) << b.Pos;
    const float step = (b.New - b.Old) / static_cast<float>(frames_) * g;
    float floorGain = b.Old * g;
    for (int32_t s = 0; s < frames_; ++s) {
      const float floor = 0.25f * floorGain + 0.0f;
      ASSERT_EQ(Bits(LeftOf(0, s)), Bits(floor)) << b.Pos << " frame " << s;
      ASSERT_EQ(Bits(RightOf(0, s)), Bits(b.Voice * g + floor)) << b.Pos << " frame " << s;
      floorGain = floorGain + step;
    }
  }
}

TEST_F(Mixer, RampEndsWhereTheNextBlockStarts) {
  // Attack, hold and every fade block: the floor gain one step past a
  // block's last frame is the next block's first gain, so the edge does
  // not click. The sums of float steps land within 1e-4 of it.
  settings_.TimeoutInFrames = 20;
  UseLine(0, {Stereo, 1}, {Stereo, 0}, -3);
  const float lineGain = DbToGain(-3);
  SetVoice(1, 0.0f);
  std::vector<float> floorOut;
  for (int64_t pos = 1000; pos < 1025; ++pos) {
    SetVoice(1, pos == 1001 ? 0.5f : 0.0f);
    const float old = state_.FloorGain[0];
    Mix(pos);
    const float now = state_.FloorGain[0];
    const float first = (LeftOf(0, 0) - (pos == 1001 ? 0.5f * lineGain : 0.0f)) / 0.25f;
    const float last = (LeftOf(0, frames_ - 1) - (pos == 1001 ? 0.5f * lineGain : 0.0f)) / 0.25f;
    EXPECT_NEAR(first, old * lineGain, 1e-4) << pos;
    const float step = std::fabs(old - now) > 0.001f ? (now - old) / frames_ * lineGain : 0.0f;
    EXPECT_NEAR(last + step, (std::fabs(old - now) > 0.001f ? now : old) * lineGain, 1e-4) << pos;
  }
  EXPECT_EQ(state_.FloorGain[0], 1.0f);
}

TEST_F(Mixer, FloorBackAtZeroDecibelsIsAddedBitForBit) {
  settings_.TimeoutInFrames = 4;
  UseLine(0, {Stereo, 1}, {Stereo, 0});
  for (int32_t s = 0; s < frames_; ++s) block_[s * channels_] = 0.1f + 0.001f * s;
  FloorGainAfter(1000, 1004);
  ASSERT_EQ(state_.FloorGain[0], 1.0f);
  Mix(1005);  // no change of gain: no ramp, no multiplication
  for (int32_t s = 0; s < frames_; ++s) ASSERT_EQ(Bits(LeftOf(0, s)), Bits(block_[s * channels_])) << s;
}

TEST_F(Mixer, WithoutFloorEveryLineInUseCountsAsVoice) {
  settings_.UseCommon = false;
  UseLine(0, {Stereo, 1}, {Stereo, 0});
  UseLine(3, {Left, 1}, {Right, 1});
  Mix(1234);
  EXPECT_EQ(state_.LastVoicePos[0], 1234);
  EXPECT_EQ(state_.LastVoicePos[3], 1234);
  EXPECT_EQ(state_.LastVoicePos[1], kNoVoiceYet);
  for (float v : mix_) EXPECT_EQ(v, 0.0f);  // silent voice, no floor
}

TEST_F(Mixer, FloorReachesNoPlaneWithoutALineInUse) {
  std::fill(mix_.begin(), mix_.end(), 9.0f);
  Mix(1000);
  for (float v : mix_) EXPECT_EQ(v, 0.0f);
}

TEST_F(Mixer, LinesSharingAPlaneEachAddTheFloorAtTheirOwnGain) {
  UseLine(0, {Stereo, 1}, {Stereo, 1});
  UseLine(1, {Left, 1}, {Stereo, 1});
  state_.FloorGain[1] = 0.5f;  // line 1 fading, line 0 open
  state_.LastVoicePos[1] = 2000;
  settings_.TimeoutInFrames = 0;
  Mix(1000);  // both open: position before line 1's voice
  EXPECT_EQ(LeftOf(1, 0), 0.25f + 0.25f * 0.5f);
  EXPECT_EQ(LeftOf(0, 0), 0.0f);
}

TEST_F(Mixer, FloorOnALaterPairIsReadFromThatPair) {
  Configure(6, 100, 2);
  for (int32_t s = 0; s < frames_; ++s) {
    block_[s * 6] = block_[s * 6 + 1] = 0.0f;           // pair 0: the silent voice
    block_[s * 6 + 4] = 0.125f;                          // pair 2: the floor
    block_[s * 6 + 5] = -0.125f;
  }
  settings_.CommonLine = {Stereo, 2};
  UseLine(0, {Stereo, 0}, {Stereo, 1});
  Mix(1000);
  for (int32_t s = 0; s < frames_; ++s) {
    ASSERT_EQ(mix_[static_cast<size_t>((frames_ + s) * 2)], 0.125f) << s;
    ASSERT_EQ(mix_[static_cast<size_t>((frames_ + s) * 2 + 1)], -0.125f) << s;
  }
}

TEST_F(Mixer, StereoFloorIntoALeftLineIsFoldedToItsHalfSum) {
  for (int32_t s = 0; s < frames_; ++s) block_[s * channels_ + 1] = 0.75f;
  UseLine(0, {Left, 1}, {Left, 0});
  Mix(1000);
  EXPECT_EQ(LeftOf(0, 0), 0.75f * 0.5f + (0.25f * 0.5f + 0.0f));
  EXPECT_EQ(RightOf(0, 0), 0.0f);
}

TEST_F(Mixer, LineVolumeLowersVoiceAndFloorAlike) {
  settings_.TimeoutInFrames = 0;
  UseLine(0, {Stereo, 1}, {Stereo, 0}, -6);
  SetVoice(1, 0.5f);
  Mix(1000);  // attack
  Mix(1001);  // ducked, steady
  const float g = DbToGain(-6);
  EXPECT_EQ(LeftOf(0, 7), 0.5f * g + (0.25f * (DbToGain(-18) * g) + 0.0f));
}

TEST_F(Mixer, MixBlockClearsEveryPlaneItIsGiven) {
  Configure(2, 50, 3);  // one capture pair, three planes sent
  std::fill(mix_.begin(), mix_.end(), 9.0f);
  UseLine(0, {Stereo, 0}, {Stereo, 2});
  Mix(1000);
  for (int32_t s = 0; s < frames_; ++s) {
    EXPECT_EQ(LeftOf(0, s), 0.0f);
    EXPECT_EQ(LeftOf(1, s), 0.0f);
    EXPECT_NE(LeftOf(2, s), 0.0f);
  }
}

TEST(PlanesForBlock, CoversTheCapturePairsAndThePlanesSentWithinTheMixArea) {
  EXPECT_EQ(PlanesForBlock(8, 1920, 2), 4);
  EXPECT_EQ(PlanesForBlock(2, 1920, 6), 6);
  EXPECT_EQ(PlanesForBlock(5, 1920, 0), 2);
  EXPECT_EQ(PlanesForBlock(16, 1920, 64), kBlockFloats / (1920 * 2));
  EXPECT_EQ(PlanesForBlock(2, 76800, 1), 0);  // not one plane of that length fits
}

// Pairs a stored line text can give (-49 to 65486) and the 32-bit extremes, for From, To and the floor, with
// every kind: nothing outside the block or the cleared planes is touched
// (the buffers are exactly sized), and a line whose source or plane lies
// outside changes neither the mix nor its state.
TEST_F(Mixer, PairsOutsideTheBlockOrThePlanesTouchNothing) {
  Configure(5, 40, 2);  // an odd channel count: pair 2 has only its left channel
  SetVoice(1, 0.5f);
  std::vector<int32_t> pairs = {INT32_MIN, INT32_MIN + 1, 65486, INT32_MAX / 2, INT32_MAX / 2 + 1, INT32_MAX};
  for (int32_t pair = -50; pair <= 210; ++pair) pairs.push_back(pair);
  for (const int32_t pair : pairs) {
    for (int32_t kind = 0; kind <= 3; ++kind) {
      for (int32_t role = 0; role < 3; ++role) {
        settings_ = DuckerSettings{};
        settings_.Lines[0] = {true, {Stereo, 1}, {Stereo, 0}, 0};
        if (role == 0) settings_.Lines[0].From = {kind, pair};
        if (role == 1) settings_.Lines[0].To = {kind, pair};
        if (role == 2) settings_.CommonLine = {kind, pair};
        DeriveMixerGains(settings_, state_);
        ResetMixerLines(state_);
        std::fill(mix_.begin(), mix_.end(), 0.0f);
        Mix(1000);
        const bool fromInside = pair >= 0 && (2 * int64_t{pair} + (kind == 1 ? 0 : 1)) < channels_;
        const bool toInside = pair >= 0 && pair < planes_;
        if ((role == 0 && !fromInside) || (role == 1 && !toInside)) {
          EXPECT_EQ(state_.FloorGain[0], 1.0f) << role << " " << kind << " " << pair;
          for (float v : mix_) ASSERT_EQ(v, 0.0f) << role << " " << kind << " " << pair;
        }
        if (role == 2 && !fromInside) {
          EXPECT_EQ(LeftOf(0, 0), 0.5f) << kind << " " << pair;  // the voice alone
        }
      }
    }
  }
}

TEST_F(Mixer, PlanesBeyondTheMixAreaAreNeitherClearedNorMixed) {
  Configure(4, 100, 2);
  UseLine(0, {Stereo, 1}, {Stereo, 1});
  SetVoice(1, 0.5f);
  MixInput in = Input();
  in.Planes = 40;  // more than the 2 planes the buffer holds
  MixBlock(settings_, state_, in, 1000);
  EXPECT_EQ(LeftOf(1, 0), 0.5f + 0.25f);
  in.MixFloats = 2 * frames_;  // only plane 0 fits: line 0 is left out
  std::fill(mix_.begin(), mix_.end(), 9.0f);
  MixBlock(settings_, state_, in, 1001);
  EXPECT_EQ(LeftOf(0, 0), 0.0f);
  EXPECT_EQ(LeftOf(1, 0), 9.0f);
}

TEST_F(Mixer, BlockLargerThanItsBufferIsNotRead) {
  UseLine(0, {Stereo, 1}, {Stereo, 0});
  MixInput in = Input();
  in.BlockFloats = channels_ * frames_ - 1;
  std::fill(mix_.begin(), mix_.end(), 9.0f);
  MixBlock(settings_, state_, in, 1000);
  for (float v : mix_) EXPECT_EQ(v, 0.0f);
  EXPECT_EQ(state_.LastVoicePos[0], kNoVoiceYet);
}

// MixBlock walks the block in pieces; its result must be that of the lines
// mixed one after the other, to the bit, through attack, hold and fade.
TEST(MixBlock, GivesTheBitsOfTheLinesMixedOneAfterTheOther) {
  const int32_t channels = 6;
  const int32_t frames = 1001;  // not a whole number of pieces
  std::mt19937 gen(11);
  std::uniform_real_distribution<float> noise(-0.3f, 0.3f);
  std::vector<float> block(static_cast<size_t>(channels) * frames);
  DuckerSettings settings;
  settings.TimeoutInFrames = 6;
  settings.CommonLine = {Left, 0};
  settings.Lines[0] = {true, {Stereo, 1}, {Stereo, 0}, 0};
  settings.Lines[2] = {true, {Right, 2}, {Left, 0}, -4};
  settings.Lines[5] = {true, {Stereo, 2}, {Stereo, 1}, 3};
  settings.Lines[7] = {true, {Left, 1}, {Right, 0}, -12};
  MixerState one;
  MixerState pieces;
  DeriveMixerGains(settings, one);
  ResetMixerLines(one);
  pieces = one;
  std::vector<float> mixOne(static_cast<size_t>(3) * frames * 2);
  std::vector<float> mixPieces(mixOne.size());
  for (int64_t b = 0; b < 30; ++b) {
    for (size_t i = 0; i < block.size(); ++i) {
      const bool voice = (i % channels) >= 2 && (b / 3 + static_cast<int64_t>(i % channels)) % 4 == 0;
      block[i] = noise(gen) * (voice ? 3.0f : 0.01f);
    }
    const int64_t pos = 1000000 + b + 1;
    MixInput in{block.data(), channels, frames, mixOne.data(), 3, static_cast<int32_t>(block.size()),
                static_cast<int32_t>(mixOne.size())};
    std::fill(mixOne.begin(), mixOne.end(), 0.0f);
    for (int32_t line = 0; line < kVoiceOverLines; ++line) MixVoiceOverLine(settings, one, line, in, pos);
    in.Mix = mixPieces.data();
    MixBlock(settings, pieces, in, pos);
    for (size_t i = 0; i < mixOne.size(); ++i) ASSERT_EQ(Bits(mixPieces[i]), Bits(mixOne[i])) << b << " " << i;
    for (int32_t line = 0; line < kVoiceOverLines; ++line) {
      ASSERT_EQ(Bits(pieces.FloorGain[line]), Bits(one.FloorGain[line]));
      ASSERT_EQ(pieces.LastVoicePos[line], one.LastVoicePos[line]);
    }
  }
}

}  // namespace
}  // namespace quellvox
