// quellvox-example [--seconds N] [--rate R] [--seed S] OUTPUT
//
// Writes an example recording for the ducking engine: a 4-channel 32-bit
// float WAV with programme-like floor audio on channels 1-2 (a slowly
// changing chord with a beat and some noise) and speech-like voice-over on
// channels 3-4 (voiced phrases of syllables at about 4-6 per second,
// separated by pauses of a few seconds). The same seed gives the same file
// on every machine: the generator uses its own random sequence.
#include <sndfile.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr double kTwoPi = 6.283185307179586;

// xorshift64*: a fixed sequence, unlike the standard distributions.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 1) {}
  uint64_t Next() {
    state_ ^= state_ >> 12;
    state_ ^= state_ << 25;
    state_ ^= state_ >> 27;
    return state_ * 2685821657736338717ull;
  }
  double Uniform() { return static_cast<double>(Next() >> 11) * (1.0 / 9007199254740992.0); }  // [0, 1)
  double Between(double lo, double hi) { return lo + (hi - lo) * Uniform(); }

 private:
  uint64_t state_;
};

// The floor: three chord tones that change every few seconds, a slow
// tremolo and a little noise, at about -14 dBFS.
class Floor {
 public:
  explicit Floor(double rate) : rate_(rate) {}
  void Next(Random& random, float& left, float& right) {
    if (untilChange_ <= 0) {
      static constexpr double kRoots[] = {110.0, 130.81, 146.83, 98.0, 123.47};
      const double root = kRoots[random.Next() % 5];
      freq_[0] = root;
      freq_[1] = root * 1.2599;  // a major third
      freq_[2] = root * 1.4983;  // a fifth
      untilChange_ = static_cast<int64_t>(rate_ * random.Between(2.0, 4.0));
    }
    --untilChange_;
    double v = 0.0;
    for (int k = 0; k < 3; ++k) {
      phase_[k] += freq_[k] / rate_;
      if (phase_[k] >= 1.0) phase_[k] -= 1.0;
      v += std::sin(kTwoPi * phase_[k]) / 3.0;
    }
    tremolo_ += 0.3 / rate_;
    if (tremolo_ >= 1.0) tremolo_ -= 1.0;
    const double level = 0.2 * (0.8 + 0.2 * std::sin(kTwoPi * tremolo_));
    left = static_cast<float>(level * v + 0.01 * (random.Uniform() - 0.5));
    right = static_cast<float>(level * v * 0.9 + 0.01 * (random.Uniform() - 0.5));
  }

 private:
  double rate_;
  double freq_[3] = {110.0, 138.6, 164.8};
  double phase_[3] = {0.0, 0.3, 0.6};
  double tremolo_ = 0.0;
  int64_t untilChange_ = 0;
};

// The voice: phrases of 1.5-4 s made of syllables (a raised-cosine
// envelope per syllable), a gliding pitch with a few harmonics, then a
// pause of 2-5 s of silence.
class Voice {
 public:
  explicit Voice(double rate) : rate_(rate) {}
  void Next(Random& random, float& left, float& right) {
    if (remaining_ <= 0) {
      speaking_ = !speaking_;
      remaining_ = static_cast<int64_t>(rate_ * (speaking_ ? random.Between(1.5, 4.0) : random.Between(2.0, 5.0)));
      pitch_ = random.Between(110.0, 200.0);
    }
    --remaining_;
    if (!speaking_) {
      left = right = 0.0f;
      return;
    }
    if (syllableLeft_ <= 0) {
      syllableLength_ = static_cast<int64_t>(rate_ / random.Between(4.0, 6.0));
      syllableLeft_ = syllableLength_;
      syllableLevel_ = random.Between(0.35, 0.6);
    }
    const double x = 1.0 - static_cast<double>(syllableLeft_) / static_cast<double>(syllableLength_);
    --syllableLeft_;
    const double envelope = syllableLevel_ * 0.5 * (1.0 - std::cos(kTwoPi * x));
    pitch_ += (random.Uniform() - 0.5) * 0.02;
    phase_ += pitch_ / rate_;
    if (phase_ >= 1.0) phase_ -= 1.0;
    const double p = kTwoPi * phase_;
    const double v = 0.6 * std::sin(p) + 0.25 * std::sin(2.0 * p) + 0.1 * std::sin(3.0 * p) + 0.05 * std::sin(5.0 * p);
    left = right = static_cast<float>(envelope * v);
  }

 private:
  double rate_;
  bool speaking_ = true;  // the first pause comes first
  int64_t remaining_ = 0;
  int64_t syllableLength_ = 1;
  int64_t syllableLeft_ = 0;
  double syllableLevel_ = 0.5;
  double pitch_ = 150.0;
  double phase_ = 0.0;
};

int Usage(const char* message) {
  if (message != nullptr) std::fprintf(stderr, "quellvox-example: %s\n", message);
  std::fprintf(stderr, "usage: quellvox-example [--seconds N] [--rate R] [--seed S] OUTPUT\n");
  return 2;
}

bool ParseNumber(const char* text, double lo, double hi, double& value) {
  char* end = nullptr;
  value = std::strtod(text, &end);
  return end != text && *end == '\0' && value >= lo && value <= hi;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 60.0;
  double rate = 48000.0;
  double seed = 1.0;
  const char* output = nullptr;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](double lo, double hi, double& into) {
      if (i + 1 >= argc || !ParseNumber(argv[++i], lo, hi, into)) return false;
      return true;
    };
    if (arg == "--seconds") {
      if (!value(0.001, 86400.0, seconds)) return Usage("--seconds takes a length from 0.001 to 86400");
    } else if (arg == "--rate") {
      if (!value(8000.0, 384000.0, rate) || rate != std::floor(rate)) {
        return Usage("--rate takes a whole sample rate from 8000 to 384000");
      }
    } else if (arg == "--seed") {
      if (!value(0.0, 4294967295.0, seed)) return Usage("--seed takes a whole number");
    } else if (arg == "--help") {
      Usage(nullptr);
      return 0;
    } else if (output == nullptr && arg.rfind("--", 0) != 0) {
      output = argv[i];
    } else {
      return Usage(("unexpected argument " + arg).c_str());
    }
  }
  if (output == nullptr) return Usage("no OUTPUT given");

  SF_INFO info{};
  info.samplerate = static_cast<int>(rate);
  info.channels = 4;
  info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
  SNDFILE* file = sf_open(output, SFM_WRITE, &info);
  if (file == nullptr) {
    std::fprintf(stderr, "quellvox-example: cannot write %s: %s\n", output, sf_strerror(nullptr));
    return 2;
  }

  Random random(static_cast<uint64_t>(seed));
  Floor floor(rate);
  Voice voice(rate);
  const auto total = static_cast<int64_t>(std::llround(seconds * rate));
  constexpr int64_t kChunk = 48000;
  std::vector<float> chunk(static_cast<size_t>(kChunk) * 4);
  for (int64_t done = 0; done < total;) {
    const int64_t n = std::min(kChunk, total - done);
    for (int64_t s = 0; s < n; ++s) {
      float* frame = &chunk[static_cast<size_t>(s) * 4];
      floor.Next(random, frame[0], frame[1]);
      voice.Next(random, frame[2], frame[3]);
    }
    if (sf_writef_float(file, chunk.data(), n) != n) {
      std::fprintf(stderr, "quellvox-example: cannot write %s: %s\n", output, sf_strerror(file));
      sf_close(file);
      return 2;
    }
    done += n;
  }
  if (sf_close(file) != 0) {
    std::fprintf(stderr, "quellvox-example: cannot finish %s\n", output);
    return 2;
  }
  std::printf("quellvox-example: %s, %.1f s at %d Hz: floor on channels 1-2, voice-over on 3-4\n", output,
              static_cast<double>(total) / rate, info.samplerate);
  return 0;
}
