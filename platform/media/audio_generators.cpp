#include "platform/media/audio_generators.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <mutex>
#include <numbers>

#include "platform/media/regular_file.h"

namespace quellvox::studio {

namespace {

uint64_t Mix64(uint64_t z) {
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// Deterministic white noise in [-1, 1).
inline float Noise(int64_t s, uint64_t seed) {
  const uint64_t z = Mix64(static_cast<uint64_t>(s) * 0x9E3779B97F4A7C15ull + seed);
  return static_cast<float>(static_cast<int32_t>(z >> 32)) * (1.0f / 2147483648.0f);
}

// Uniform in [0, 1) from a few integers.
inline double Uniform(uint64_t a, uint64_t b, uint64_t c = 0) {
  return static_cast<double>(Mix64(Mix64(a * 0x9E3779B97F4A7C15ull + b) + c) >> 11) * (1.0 / 9007199254740992.0);
}

struct SndfileCloser {
  void operator()(SNDFILE* f) const { sf_close(f); }
};
using Sndfile = std::unique_ptr<SNDFILE, SndfileCloser>;

inline int64_t Wrap(int64_t s, int64_t period) {
  const int64_t m = s % period;
  return m < 0 ? m + period : m;
}

// One period of a sine over `sampleRate` entries: entry (s x f) mod R is
// sin(2 pi f s / R) for whole frequencies f. Shared per sample rate.
std::shared_ptr<const std::vector<float>> SineTable(int32_t sampleRate) {
  static std::mutex mu;
  static std::map<int32_t, std::weak_ptr<const std::vector<float>>> cache;
  std::lock_guard lock(mu);
  if (auto hit = cache[sampleRate].lock()) return hit;
  auto table = std::make_shared<std::vector<float>>(static_cast<size_t>(sampleRate));
  for (int32_t i = 0; i < sampleRate; ++i) {
    (*table)[i] = static_cast<float>(std::sin(2.0 * std::numbers::pi * i / sampleRate));
  }
  cache[sampleRate] = table;
  return table;
}

float DbToAmplitude(double db) { return static_cast<float>(std::pow(10.0, db / 20.0)); }

inline void Put(float* out, int32_t i, int32_t stride, int32_t left, int32_t right, float l, float r) {
  float* frame = out + static_cast<size_t>(i) * stride;
  if (left >= 0) frame[left] = l;
  if (right >= 0) frame[right] = r;
}

class SilenceGenerator final : public PairGenerator {
 public:
  void Render(int64_t, int32_t count, float* out, int32_t stride, int32_t left, int32_t right) const override {
    for (int32_t i = 0; i < count; ++i) Put(out, i, stride, left, right, 0.0f, 0.0f);
  }
};

class ToneGenerator final : public PairGenerator {
 public:
  ToneGenerator(const PairSource& src, int32_t rate)
      : sine_(SineTable(rate)), rate_(rate), freq_(src.Frequency), amp_(DbToAmplitude(src.LevelDb)) {}
  void Render(int64_t s0, int32_t count, float* out, int32_t stride, int32_t left, int32_t right) const override {
    const float* sine = sine_->data();
    int64_t phase = Wrap(s0, rate_) * freq_ % rate_;
    for (int32_t i = 0; i < count; ++i) {
      const float v = amp_ * sine[phase];
      Put(out, i, stride, left, right, v, v);
      phase += freq_;
      if (phase >= rate_) phase -= rate_;
    }
  }

 private:
  std::shared_ptr<const std::vector<float>> sine_;
  int64_t rate_;
  int64_t freq_;
  float amp_;
};

// Programme-like floor: a three-note chord changing every two seconds with
// soft edges, a slow swell and a little noise; left and right weight the
// notes differently.
class FloorGenerator final : public PairGenerator {
 public:
  FloorGenerator(const PairSource& src, int32_t rate)
      : sine_(SineTable(rate)), rate_(rate), seed_(src.Seed), amp_(DbToAmplitude(src.LevelDb)) {}

  void Render(int64_t s0, int32_t count, float* out, int32_t stride, int32_t left, int32_t right) const override {
    static const int64_t kChords[4][3] = {{220, 277, 330}, {196, 247, 294}, {175, 220, 262}, {247, 311, 370}};
    const float* sine = sine_->data();
    const int64_t chordLen = 2 * rate_;
    const int64_t fade = rate_ / 50;  // 20 ms
    for (int32_t i = 0; i < count; ++i) {
      const int64_t s = s0 + i;
      const int64_t chord = s >= 0 ? s / chordLen : (s - chordLen + 1) / chordLen;
      const int64_t* f = kChords[Wrap(chord + seed_, 4)];
      const int64_t off = Wrap(s, chordLen);
      const int64_t edge = std::min(off, chordLen - 1 - off);
      const float env = edge >= fade ? 1.0f : static_cast<float>(edge) / static_cast<float>(fade);
      const int64_t ph = Wrap(s, rate_);
      const float a = sine[ph * f[0] % rate_];
      const float b = sine[ph * f[1] % rate_];
      const float c = sine[ph * f[2] % rate_];
      const float swell = 0.75f + 0.25f * sine[Wrap(s, 4 * rate_) / 4];  // 0.25 Hz
      const float n = 0.04f * Noise(s, seed_);
      const float g = amp_ * env * swell;
      Put(out, i, stride, left, right, g * (0.40f * a + 0.33f * b + 0.27f * c) + amp_ * n,
          g * (0.27f * a + 0.33f * b + 0.40f * c) + amp_ * n);
    }
  }

 private:
  std::shared_ptr<const std::vector<float>> sine_;
  int64_t rate_;
  int64_t seed_;
  float amp_;
};

// Speech-like bursts: phrases of 2.5 to 5 s in slots of 7 s (so pauses of 2
// to 4.5 s), made of 220 ms syllables (about 4.5 per second) with a sin^2
// envelope and random strength, some left out as gaps between words; the
// carrier is a buzz at a whole-Hz voice pitch with a little breath noise.
class SpeechGenerator final : public PairGenerator {
 public:
  SpeechGenerator(const PairSource& src, int32_t rate)
      : rate_(rate), seed_(src.Seed), amp_(DbToAmplitude(src.LevelDb)) {
    slotLen_ = 7 * static_cast<int64_t>(rate);
    sylLen_ = std::max<int64_t>(1, static_cast<int64_t>(rate) * 11 / 50);
    pitch_ = 110 + static_cast<int64_t>(Mix64(seed_) % 120);
    env_.resize(static_cast<size_t>(sylLen_));
    for (int64_t i = 0; i < sylLen_; ++i) {
      const double x = std::sin(std::numbers::pi * static_cast<double>(i) / static_cast<double>(sylLen_));
      env_[i] = static_cast<float>(x * x);
    }
    buzz_.resize(static_cast<size_t>(rate));
    float peak = 0.0f;
    for (int32_t i = 0; i < rate; ++i) {
      double v = 0.0;
      for (int h = 1; h <= 16 && h * pitch_ < rate / 2; ++h) {
        v += std::sin(2.0 * std::numbers::pi * h * static_cast<double>(i) / rate) / h;
      }
      buzz_[i] = static_cast<float>(v);
      peak = std::max(peak, std::fabs(buzz_[i]));
    }
    for (float& v : buzz_) v /= peak;
  }

  void Render(int64_t s0, int32_t count, float* out, int32_t stride, int32_t left, int32_t right) const override {
    int32_t i = 0;
    while (i < count) {
      const int64_t s = s0 + i;
      const int64_t slot = s >= 0 ? s / slotLen_ : (s - slotLen_ + 1) / slotLen_;
      const int64_t off = s - slot * slotLen_;
      const int64_t talk = static_cast<int64_t>((2.5 + 2.5 * Uniform(seed_, static_cast<uint64_t>(slot))) * rate_);
      if (off >= talk) {
        const int32_t n = static_cast<int32_t>(std::min<int64_t>(count - i, slotLen_ - off));
        for (int32_t k = 0; k < n; ++k) Put(out, i + k, stride, left, right, 0.0f, 0.0f);
        i += n;
        continue;
      }
      const int64_t syl = off / sylLen_;
      const int64_t sylOff = off - syl * sylLen_;
      const int32_t n = static_cast<int32_t>(std::min<int64_t>({count - i, sylLen_ - sylOff, talk - off}));
      const double u = Uniform(seed_, static_cast<uint64_t>(slot), static_cast<uint64_t>(syl) + 1);
      const float strength = u < 0.12 ? 0.0f : amp_ * static_cast<float>(0.5 + 0.5 * u);
      int64_t phase = Wrap(s, rate_) * pitch_ % rate_;
      for (int32_t k = 0; k < n; ++k) {
        const float v = strength * env_[sylOff + k] * (buzz_[phase] + 0.15f * Noise(s + k, seed_));
        Put(out, i + k, stride, left, right, v, 0.95f * v);
        phase += pitch_;
        if (phase >= rate_) phase -= rate_;
      }
      i += n;
    }
  }

 private:
  int64_t rate_;
  uint64_t seed_;
  float amp_;
  int64_t slotLen_;
  int64_t sylLen_;
  int64_t pitch_;
  std::vector<float> env_;
  std::vector<float> buzz_;
};

class FileGenerator final : public PairGenerator {
 public:
  explicit FileGenerator(const PairSource& src)
      : file_(src.File), left_(src.FileLeft), right_(src.FileRight), amp_(DbToAmplitude(src.LevelDb)) {}
  void Render(int64_t s0, int32_t count, float* out, int32_t stride, int32_t left, int32_t right) const override {
    const int64_t frames = file_->Frames;
    const int32_t ch = file_->Channels;
    const float* data = file_->Samples.data();
    int64_t idx = Wrap(s0, frames);
    for (int32_t i = 0; i < count; ++i) {
      const float* f = data + idx * ch;
      Put(out, i, stride, left, right, amp_ * f[left_], amp_ * f[right_]);
      if (++idx == frames) idx = 0;
    }
  }

 private:
  std::shared_ptr<const LoadedAudioFile> file_;
  int32_t left_;
  int32_t right_;
  float amp_;
};

}  // namespace

std::shared_ptr<const LoadedAudioFile> LoadAudioFile(const std::string& path, int64_t maxSamples,
                                                     std::string& error) {
  const FileDescriptor fd = OpenRegularFile(path, error);
  if (!fd) {
    error = "cannot read audio file \"" + path + "\": it " + error;
    return nullptr;
  }
  SF_INFO info{};
  // The descriptor stays ours (SF_FALSE): closed by its holder whatever
  // libsndfile does on a failed open.
  const Sndfile f(sf_open_fd(fd.Get(), SFM_READ, &info, SF_FALSE));
  if (!f) {
    error = "cannot read audio file \"" + path + "\": " + sf_strerror(nullptr);
    return nullptr;
  }
  if (info.channels <= 0 || info.frames <= 0) {
    error = "audio file \"" + path + "\" holds no audio";
    return nullptr;
  }
  const int64_t channels = info.channels;
  const int64_t capFrames = maxSamples / channels;
  // The count libsndfile reports is a hint only: a stream of unknown length
  // reports a huge one, so memory is reserved for at most the cap and the
  // file is read until it ends or passes the cap.
  const int64_t expected = std::min<int64_t>(info.frames, capFrames);
  const std::string tooLong = "audio file \"" + path + "\" holds more than the " + std::to_string(maxSamples) +
                              " samples the file sources of a description may still load";
  try {
    auto file = std::make_shared<LoadedAudioFile>();
    file->Path = path;
    file->Channels = info.channels;
    file->SampleRate = info.samplerate;
    // One frame more than expected: how a file that ends where it says is
    // told from one that goes on.
    file->Samples.reserve(static_cast<size_t>((expected + 1) * channels));
    const int64_t chunkFrames = std::max<int64_t>(1, (int64_t{1} << 16) / channels);
    int64_t frames = 0;
    for (;;) {
      // At most one frame beyond the cap (and, while the file keeps to its
      // count, beyond that count) is asked for.
      int64_t want = std::min(chunkFrames, capFrames - frames + 1);
      if (frames <= expected) want = std::min(want, expected - frames + 1);
      file->Samples.resize(static_cast<size_t>((frames + want) * channels));
      const sf_count_t got = sf_readf_float(f.get(), file->Samples.data() + frames * channels, want);
      if (got < 0 || sf_error(f.get()) != SF_ERR_NO_ERROR) {
        error = "cannot read audio file \"" + path + "\": " + sf_strerror(f.get());
        return nullptr;
      }
      frames += got;
      if (frames > capFrames) {
        error = tooLong;
        return nullptr;
      }
      if (got < want) break;
    }
    if (frames == 0) {
      error = "audio file \"" + path + "\" holds no audio";
      return nullptr;
    }
    file->Frames = frames;
    file->Samples.resize(static_cast<size_t>(frames * channels));
    return file;
  } catch (const std::exception& e) {  // std::bad_alloc, std::length_error
    error = "cannot load audio file \"" + path + "\": " + e.what();
    return nullptr;
  }
}

std::unique_ptr<PairGenerator> MakePairGenerator(const PairSource& source, int32_t sampleRate) {
  switch (source.Kind) {
    case PairSourceKind::Tone:
      return std::make_unique<ToneGenerator>(source, sampleRate);
    case PairSourceKind::Floor:
      return std::make_unique<FloorGenerator>(source, sampleRate);
    case PairSourceKind::Speech:
      return std::make_unique<SpeechGenerator>(source, sampleRate);
    case PairSourceKind::File:
      if (source.File) return std::make_unique<FileGenerator>(source);
      break;
    case PairSourceKind::Silence:
      break;
  }
  return std::make_unique<SilenceGenerator>();
}

}  // namespace quellvox::studio
