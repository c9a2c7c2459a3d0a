// The formats a provider's capture devices and title engines report, made
// in one place from what the provider knows of the picture and its sound.
#pragma once

#include <cstdint>

#include "platform/media_api/media_components.h"

namespace quellvox {

// A picture of `width` x `height` at `rate` frames/s: a progressive
// picture's fields both at phase 0, an interlaced one's second field half a
// frame after the first; the field order only when interlaced.
inline VideoFormat PictureFormat(int32_t width, int32_t height, double rate, bool interlaced, int32_t fieldOrder) {
  VideoFormat f;
  f.Width = width;
  f.Height = height;
  f.Rate = rate;
  f.FieldPhase1 = 0.0;
  f.FieldPhase2 = interlaced ? 0.5 : 0.0;
  f.FieldOrder = interlaced ? fieldOrder : 0;
  return f;
}

// `channels` channels at `sampleRate`, delivered per frame of `rate` frames/s.
inline AudioFormat SoundFormat(int32_t sampleRate, int32_t channels, double rate) {
  AudioFormat f;
  f.SampleRate = sampleRate;
  f.Channels = channels;
  f.Rate = rate;
  return f;
}

// The words of a position or clock answer that carry nothing: zero.
inline void ClearWords(uint32_t* word1, uint32_t* word2, uint32_t* word3 = nullptr) {
  if (word1) *word1 = 0;
  if (word2) *word2 = 0;
  if (word3) *word3 = 0;
}

}  // namespace quellvox
