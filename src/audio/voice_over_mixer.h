// The voice-over mixer and ducker: per line, voice detection on its source,
// the floor gain (ducked while voice is seen, held, faded back) ramped within
// the block, and the adds of floor and voice into the line's target plane.
#pragma once

#include <cstdint>

#include "audio/audio_layout.h"
#include "config/settings.h"

namespace quellvox {

// Gains derived from the settings and the state each line carries from
// block to block. Owned by the audio pump; only the audio thread touches it.
// LastVoicePos of a line that has seen no voice since the pump started: so
// far before any capture position that the floor is open from the first
// block, whatever the capture's positions (a capture that started moments
// ago has positions below the timeout). Shown as no voice.
inline constexpr int64_t kNoVoiceYet = INT64_MIN;

struct MixerState {
  float VoiceThreshold = 0.0f;  // DbToGain(-NoiseLevelDB)
  float DuckGain = 0.0f;        // DbToGain(-DecreaseDB)
  float LineGain[kVoiceOverLines] = {};
  float FloorGain[kVoiceOverLines] = {};       // floor gain at the end of the previous block
  int64_t LastVoicePos[kVoiceOverLines] = {};  // capture position of the last voice seen
};

// Recomputes VoiceThreshold, DuckGain and the eight LineGain values from the
// settings; the line state is left as it is.
void DeriveMixerGains(const DuckerSettings& settings, MixerState& state);

// The state of every line as the pump starts: gain 1.0, no voice yet.
void ResetMixerLines(MixerState& state);

// The block being mixed and where it goes.
struct MixInput {
  const float* Block = nullptr;  // C interleaved channels
  int32_t Channels = 0;          // C
  int32_t Frames = 0;            // sample frames in the block
  float* Mix = nullptr;          // the mix area, planes of Frames * 2 floats
  int32_t Planes = 0;            // planes cleared for this block; lines add only below it
  // Capacities of the two buffers in floats. Nothing is read beyond the
  // first, nothing cleared or written beyond the second.
  int32_t BlockFloats = kBlockFloats;
  int32_t MixFloats = kBlockFloats;
};

// Audio thread only. Allocates nothing, takes no lock.
// Mixes line `line` (0..7) of the block into its To plane with pos the
// newest capture position of this pass. A line whose From pair the block
// lacks, or whose To plane is not among the cleared planes (in.Planes, and
// never beyond the mix area), changes nothing; a floor pair the block lacks
// contributes no floor audio.
void MixVoiceOverLine(const DuckerSettings& settings, MixerState& state, int32_t line, const MixInput& in,
                      int64_t pos);

// Audio thread only. Allocates nothing, takes no lock.
// How many planes to clear and send for a block: at least the capture's
// C / 2 and `planesSent`, at most what the mix area holds.
int32_t PlanesForBlock(int32_t channels, int32_t frames, int32_t planesSent);

// Audio thread only. Allocates nothing, takes no lock.
// Clears the first in.Planes planes of the mix area (as many as fit in it)
// and mixes the eight lines in order. The result is that of calling
// MixVoiceOverLine for lines 0 to 7, to the bit; the adds walk the block in
// pieces that stay in the cache.
void MixBlock(const DuckerSettings& settings, MixerState& state, const MixInput& in, int64_t pos);

}  // namespace quellvox
