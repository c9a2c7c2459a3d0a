// The audio of a capture device, per stereo pair: silence, a tone, a
// music-like floor, speech-like bursts or a looped audio file. Every sample
// is a pure function of its absolute sample index, so any frame's audio can
// be produced at any time, by any thread, in any order.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace quellvox::studio {

// A multichannel audio file held in memory as interleaved floats.
struct LoadedAudioFile {
  std::string Path;
  int32_t Channels = 0;
  int32_t SampleRate = 0;
  int64_t Frames = 0;
  std::vector<float> Samples;
};

// What the file sources of one description may hold in memory together, in
// samples (floats): 64 Mi samples, 256 MiB, about 11 minutes of a stereo
// pair at 48 kHz. A file is looped, so a short one serves as well.
inline constexpr int64_t kMaxFileSourceSamples = int64_t{64} << 20;

// Loads a regular file with libsndfile, reading it piece by piece up to
// `maxSamples` (a file that holds more is refused, whatever length it
// declares). Never blocks on a FIFO or a device: those are refused. nullptr and `error` on any failure, including
// a lack of memory.
std::shared_ptr<const LoadedAudioFile> LoadAudioFile(const std::string& path, int64_t maxSamples,
                                                     std::string& error);

enum class PairSourceKind { Silence, Tone, Floor, Speech, File };

struct PairSource {
  PairSourceKind Kind = PairSourceKind::Silence;
  double LevelDb = -20.0;
  int32_t Frequency = 1000;  // Tone, whole Hz
  uint32_t Seed = 1;         // Floor, Speech
  std::string Path;          // File
  int32_t FileLeft = 0;      // File channels taken for the pair
  int32_t FileRight = 1;
  std::shared_ptr<const LoadedAudioFile> File;
};

class PairGenerator {
 public:
  virtual ~PairGenerator() = default;
  // Writes `count` sample frames starting at absolute sample s0 into out,
  // left at out[i x stride + left], right at out[i x stride + right];
  // a negative channel offset is not written. Any thread; no allocation.
  virtual void Render(int64_t s0, int32_t count, float* out, int32_t stride, int32_t left, int32_t right) const = 0;
};

std::unique_ptr<PairGenerator> MakePairGenerator(const PairSource& source, int32_t sampleRate);

}  // namespace quellvox::studio
