// Test media made and read with the libraries themselves: the studio's
// numbered test pattern with its floor and speech audio written as FFV1
// and PCM in Matroska (or MPEG-TS), and a decoded output read back as frame
// numbers and interleaved float audio.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quellvox::media_files {

struct MadeInput {
  int32_t Width = 256;
  int32_t Height = 64;
  int32_t Rate = 25;
  int32_t SampleRate = 48000;
  int32_t Channels = 6;  // floor on pair 1, speech on pairs 2 and 3
  int32_t Frames = 0;
  int32_t GapAfter = -1;    // pictures after this one are stamped GapFrames later
  int32_t GapFrames = 0;
  int32_t AudioFrames = -1;  // frames that carry sound; -1: all
  std::vector<float> Audio;  // interleaved, what the file holds (silence where it has none)
};

// Writes `frames` frames starting with pattern frame `firstFrame`; the
// container follows the file name (or `format`). False with `error`.
bool WriteInput(const std::string& path, int32_t frames, MadeInput& made, std::string& error,
                const std::string& format = "", const std::string& videoCodec = "ffv1", int64_t firstFrame = 0);

struct ReadOutput {
  std::vector<int64_t> VideoPts;      // in frames
  std::vector<int64_t> FrameNumbers;  // the pattern's stamp, -1 when unreadable
  int32_t Channels = 0;
  int64_t AudioStart = 0;    // sample frame of the first audio sample
  std::vector<float> Audio;  // interleaved
};

bool ReadMedia(const std::string& path, ReadOutput& out, std::string& error);

}  // namespace quellvox::media_files

namespace quellvox::media_files {

// Sends pattern frames firstFrame .. firstFrame + frames - 1 as MPEG-2
// video in MPEG-TS to `url` (udp://127.0.0.1:port), one frame per 1/rate s
// of real time. Returns the frames sent.
int32_t SendStream(const std::string& url, int64_t firstFrame, int32_t frames, int32_t width, int32_t height,
                   int32_t rate, std::string& error);

}  // namespace quellvox::media_files
