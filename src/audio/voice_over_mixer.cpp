#include "audio/voice_over_mixer.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "audio/gain.h"

namespace quellvox {

namespace {

// Sample frames per piece when MixBlock walks the block: 256 frames of 16
// channels (16 KiB) and their eight planes (16 KiB) stay in the L1 cache
// between the adds of the eight lines.
constexpr int32_t kPieceFrames = 256;

// DbToGain(-db), with the sign changed in double precision so that every
// stored value works, the most negative 32-bit one included; for every
// other value the bits are those of DbToGain(-db), since negation is exact.
float AttenuationToGain(int32_t db) {
  return static_cast<float>(std::pow(10.0, -static_cast<double>(db) / 20.0));
}

// Whether the channels a line kind reads of its pair lie inside a block of
// `channels` channels.
bool PairInBlock(const AudioLineRef& ref, int32_t channels) {
  if (ref.Pair < 0 || ref.Pair > (INT32_MAX - 1) / 2) return false;
  const int64_t leftChannel = 2 * static_cast<int64_t>(ref.Pair);
  const int64_t lastChannel = ref.Kind == 1 ? leftChannel : leftChannel + 1;
  return lastChannel < channels;
}

// Planes of this block that are cleared and that lines may add into: the
// caller's count, cut to what the mix area holds.
int32_t UsablePlanes(const MixInput& in) {
  if (in.Frames < 1 || in.MixFloats < 1) return 0;
  const int64_t fit = in.MixFloats / (2 * static_cast<int64_t>(in.Frames));
  return static_cast<int32_t>(std::clamp<int64_t>(in.Planes, 0, fit));
}

// Whether the block's samples lie inside its buffer.
bool BlockFits(const MixInput& in) {
  return in.Channels >= 1 && in.Frames >= 1 &&
         static_cast<int64_t>(in.Channels) * in.Frames <= static_cast<int64_t>(in.BlockFloats);
}

// What one line adds in this block, decided before any sample is added.
struct LineAdds {
  bool Active = false;
  bool HasFloor = false;
  RoutedAdd Floor;
  RoutedAdd Voice;
};

// The line's source view and plane, or false when the line takes no part in
// this block.
bool LineViews(const DuckerSettings& settings, int32_t line, const MixInput& in, int32_t planes,
               const float*& lineSource, float*& plane) {
  if (line < 0 || line >= kVoiceOverLines) return false;
  const VoiceOverLine& row = settings.Lines[line];
  if (!row.Use || in.Frames < 1) return false;
  // A stored line text can name any pair; a line that would read or write
  // outside the block or the cleared planes is left out.
  if (!BlockFits(in) || !PairInBlock(row.From, in.Channels)) return false;
  if (row.To.Pair < 0 || row.To.Pair >= planes) return false;
  lineSource = in.Block + 2 * static_cast<int64_t>(row.From.Pair);
  plane = in.Mix + static_cast<int64_t>(row.To.Pair) * in.Frames * 2;
  return true;
}

// The rest of a line's block: the new floor gain from the voice decision, and
// the two adds with the ramp from the old floor gain to the new one.
LineAdds UpdateLine(const DuckerSettings& settings, MixerState& state, int32_t line, const MixInput& in,
                    const float* lineSource, float* plane, bool voice, int64_t pos) {
  const VoiceOverLine& row = settings.Lines[line];
  const int32_t frames = in.Frames;

  const float old = state.FloorGain[line];
  if (voice) {
    state.LastVoicePos[line] = pos;
    state.FloorGain[line] = state.DuckGain;
  } else {
    // Wrapping subtraction: a position far before the last voice reads as
    // negative and opens the floor, as a backwards position does; so does
    // every position while no voice was seen (kNoVoiceYet).
    const int64_t d =
        static_cast<int64_t>(static_cast<uint64_t>(pos) - static_cast<uint64_t>(state.LastVoicePos[line]));
    const int64_t t = settings.TimeoutInFrames;
    if (d > t || d < 0) {
      state.FloorGain[line] = 1.0f;
    } else {
      const int64_t r = t - d;
      const int64_t half = t / 2;  // r < half only when half > 0
      if (r >= half) {
        state.FloorGain[line] = state.DuckGain;  // hold
      } else {
        // Fade: the attenuation in dB falls linearly to 0 at d = T.
        const double x = (static_cast<double>(r) / static_cast<double>(half)) * settings.DecreaseDB / -20.0;
        const float g = static_cast<float>(std::pow(10.0, x));
        state.FloorGain[line] = std::max(g, state.DuckGain);
      }
    }
  }

  const float now = state.FloorGain[line];
  const float lineGain = state.LineGain[line];
  float step = 0.0f;
  if (std::fabs(static_cast<double>(old - now)) > 0.001) step = (now - old) / static_cast<float>(frames) * lineGain;

  LineAdds adds;
  adds.Active = true;
  if (settings.UseCommon && PairInBlock(settings.CommonLine, in.Channels)) {
    const float* floorSource = in.Block + 2 * static_cast<int64_t>(settings.CommonLine.Pair);
    adds.HasFloor = true;
    adds.Floor = RoutedAdd(floorSource, in.Channels, settings.CommonLine.Kind, plane, row.To.Kind, old * lineGain, step);
  }
  adds.Voice = RoutedAdd(lineSource, in.Channels, row.From.Kind, plane, row.To.Kind, lineGain, 0.0f);
  return adds;
}

}  // namespace

void DeriveMixerGains(const DuckerSettings& settings, MixerState& state) {
  state.VoiceThreshold = AttenuationToGain(settings.NoiseLevelDB);
  state.DuckGain = AttenuationToGain(settings.DecreaseDB);
  for (int32_t i = 0; i < kVoiceOverLines; ++i) state.LineGain[i] = DbToGain(settings.Lines[i].VolumeDB);
}

void ResetMixerLines(MixerState& state) {
  for (int32_t i = 0; i < kVoiceOverLines; ++i) {
    state.FloorGain[i] = 1.0f;
    state.LastVoicePos[i] = kNoVoiceYet;
  }
}

void MixVoiceOverLine(const DuckerSettings& settings, MixerState& state, int32_t line, const MixInput& in,
                      int64_t pos) {
  const float* lineSource = nullptr;
  float* plane = nullptr;
  if (!LineViews(settings, line, in, UsablePlanes(in), lineSource, plane)) return;
  const bool voice =
      settings.UseCommon
          ? PeakExceeds(lineSource, in.Channels, settings.Lines[line].From.Kind, in.Frames, state.VoiceThreshold)
          : true;
  LineAdds adds = UpdateLine(settings, state, line, in, lineSource, plane, voice, pos);
  if (adds.HasFloor) adds.Floor.AddFrames(0, in.Frames);
  adds.Voice.AddFrames(0, in.Frames);
}

int32_t PlanesForBlock(int32_t channels, int32_t frames, int32_t planesSent) {
  const int32_t wanted = std::max(channels > 0 ? channels / 2 : 0, planesSent);
  return std::clamp(wanted, 0, MixPlaneCapacity(frames));
}

void MixBlock(const DuckerSettings& settings, MixerState& state, const MixInput& in, int64_t pos) {
  const int32_t planes = UsablePlanes(in);
  if (planes < 1) return;
  const int32_t frames = in.Frames;
  std::memset(in.Mix, 0, sizeof(float) * static_cast<size_t>(planes) * static_cast<size_t>(frames) * 2);

  const float* lineSource[kVoiceOverLines] = {};
  float* plane[kVoiceOverLines] = {};
  bool active[kVoiceOverLines] = {};
  bool voice[kVoiceOverLines] = {};
  for (int32_t i = 0; i < kVoiceOverLines; ++i) {
    active[i] = LineViews(settings, i, in, planes, lineSource[i], plane[i]);
    voice[i] = active[i] && !settings.UseCommon;
  }

  // Voice tests piece by piece, every line on the same piece of the block:
  // a line is voiced when any piece exceeds its threshold.
  if (settings.UseCommon) {
    for (int32_t begin = 0; begin < frames; begin += kPieceFrames) {
      const int32_t n = std::min(kPieceFrames, frames - begin);
      const int64_t offset = static_cast<int64_t>(begin) * in.Channels;
      for (int32_t i = 0; i < kVoiceOverLines; ++i) {
        if (!active[i] || voice[i]) continue;
        voice[i] = PeakExceeds(lineSource[i] + offset, in.Channels, settings.Lines[i].From.Kind, n,
                               state.VoiceThreshold);
      }
    }
  }

  LineAdds adds[kVoiceOverLines];
  for (int32_t i = 0; i < kVoiceOverLines; ++i) {
    if (active[i]) adds[i] = UpdateLine(settings, state, i, in, lineSource[i], plane[i], voice[i], pos);
  }

  // The adds piece by piece. Within a piece the lines keep their order, and
  // each line adds its floor before its voice, so every mixed sample gets its
  // adds in the same order as from the lines mixed one after the other.
  for (int32_t begin = 0; begin < frames; begin += kPieceFrames) {
    const int32_t end = std::min(frames, begin + kPieceFrames);
    for (int32_t i = 0; i < kVoiceOverLines; ++i) {
      if (!adds[i].Active) continue;
      if (adds[i].HasFloor) adds[i].Floor.AddFrames(begin, end);
      adds[i].Voice.AddFrames(begin, end);
    }
  }
}

}  // namespace quellvox
