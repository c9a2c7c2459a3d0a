#include "audio/voice_over_mixer.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "audio/gain.h"

namespace quellvox {

namespace {

// Whether the channels a line kind reads of pair `pair` lie inside a block
// of `channels` channels.
bool PairInBlock(const AudioLineRef& ref, int32_t channels) {
  if (ref.Pair < 0 || ref.Pair > (INT32_MAX - 1) / 2) return false;
  const int64_t leftChannel = 2 * static_cast<int64_t>(ref.Pair);
  const int64_t lastChannel = ref.Kind == 1 ? leftChannel : leftChannel + 1;
  return lastChannel < channels;
}

}  // namespace

void DeriveMixerGains(const DuckerSettings& settings, MixerState& state) {
  state.VoiceThreshold = DbToGain(-settings.NoiseLevelDB);
  state.DuckGain = DbToGain(-settings.DecreaseDB);
  for (int32_t i = 0; i < kVoiceOverLines; ++i) state.LineGain[i] = DbToGain(settings.Lines[i].VolumeDB);
}

void ResetMixerLines(MixerState& state) {
  for (int32_t i = 0; i < kVoiceOverLines; ++i) {
    state.FloorGain[i] = 1.0f;
    state.LastVoicePos[i] = 0;
  }
}

void MixVoiceOverLine(const DuckerSettings& settings, MixerState& state, int32_t line, const MixInput& in,
                      int64_t pos) {
  if (line < 0 || line >= kVoiceOverLines) return;
  const VoiceOverLine& row = settings.Lines[line];
  const int32_t frames = in.Frames;
  if (!row.Use || frames < 1) return;
  // A stored line text can name any pair; a line that would read or write
  // outside the block or the cleared planes is left out.
  if (!PairInBlock(row.From, in.Channels)) return;
  if (row.To.Pair < 0 || row.To.Pair >= in.Planes) return;

  const float* lineSource = in.Block + 2 * static_cast<int64_t>(row.From.Pair);
  float* plane = in.Mix + static_cast<int64_t>(row.To.Pair) * frames * 2;

  const bool voice =
      settings.UseCommon ? PeakExceeds(lineSource, in.Channels, row.From.Kind, frames, state.VoiceThreshold) : true;

  const float old = state.FloorGain[line];
  if (voice) {
    state.LastVoicePos[line] = pos;
    state.FloorGain[line] = state.DuckGain;
  } else {
    // Wrapping subtraction: a position far before the last voice reads as
    // negative and opens the floor, as a backwards position does.
    const int64_t d =
        static_cast<int64_t>(static_cast<uint64_t>(pos) - static_cast<uint64_t>(state.LastVoicePos[line]));
    const int64_t t = settings.TimeoutInFrames;
    if (d > t || d < 0) {
      state.FloorGain[line] = 1.0f;
    } else {
      const int64_t r = t - d;
      const int64_t half = t / 2;
      if (r >= half) {
        state.FloorGain[line] = state.DuckGain;
      } else {
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

  if (settings.UseCommon && PairInBlock(settings.CommonLine, in.Channels)) {
    const float* floorSource = in.Block + 2 * static_cast<int64_t>(settings.CommonLine.Pair);
    AddRouted(floorSource, in.Channels, settings.CommonLine.Kind, plane, row.To.Kind, frames, old * lineGain, step);
  }
  AddRouted(lineSource, in.Channels, row.From.Kind, plane, row.To.Kind, frames, lineGain, 0.0f);
}

int32_t PlanesForBlock(int32_t channels, int32_t frames, int32_t planesSent) {
  const int32_t wanted = std::max(channels > 0 ? channels / 2 : 0, planesSent);
  return std::clamp(wanted, 0, MixPlaneCapacity(frames));
}

void MixBlock(const DuckerSettings& settings, MixerState& state, const MixInput& in, int64_t pos) {
  if (in.Frames < 1) return;
  std::memset(in.Mix, 0, sizeof(float) * static_cast<size_t>(in.Planes) * static_cast<size_t>(in.Frames) * 2);
  for (int32_t i = 0; i < kVoiceOverLines; ++i) MixVoiceOverLine(settings, state, i, in, pos);
}

}  // namespace quellvox
