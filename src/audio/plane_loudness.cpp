#include "audio/plane_loudness.h"

#include <ebur128.h>

#include <cmath>
#include <limits>

namespace quellvox {

namespace {

constexpr double kMinusInfinity = -std::numeric_limits<double>::infinity();

// One reading of the library: its value, or -inf where it has none. The
// call is made before the value is looked at (as two arguments of one call
// the order would be unspecified).
template <typename Call>
double Reading(Call call) {
  double value = 0.0;
  const int rc = call(&value);
  return rc == EBUR128_SUCCESS ? value : kMinusInfinity;
}

ebur128_state* State(void* state) { return static_cast<ebur128_state*>(state); }

}  // namespace

double PeakToDb(double linear) { return linear > 0.0 ? 20.0 * std::log10(linear) : kMinusInfinity; }

PlaneLoudness::PlaneLoudness(int64_t sampleRate, Gating gating) : sampleRate_(sampleRate) {
  if (sampleRate <= 0) return;
  int mode = EBUR128_MODE_M | EBUR128_MODE_S | EBUR128_MODE_I | EBUR128_MODE_LRA;
  if (gating == Gating::Histogram) mode |= EBUR128_MODE_HISTOGRAM;
  state_ = ebur128_init(2, static_cast<unsigned long>(sampleRate), mode);
}

PlaneLoudness::~PlaneLoudness() {
  ebur128_state* state = State(state_);
  if (state != nullptr) ebur128_destroy(&state);
}

void PlaneLoudness::Add(const float* interleaved, int64_t frames) {
  if (state_ == nullptr || frames <= 0) return;
  if (ebur128_add_frames_float(State(state_), interleaved, static_cast<size_t>(frames)) != EBUR128_SUCCESS) return;
  added_ += frames;
  truePeak_.Add(interleaved, frames);
}

double PlaneLoudness::MomentaryLufs() const {
  // The library reads a window it has not filled yet as if padded with
  // silence; such a reading is not the loudness of 400 ms of programme.
  if (state_ == nullptr || added_ * 10 < sampleRate_ * 4) return kMinusInfinity;
  return Reading([&](double* out) { return ebur128_loudness_momentary(State(state_), out); });
}

LoudnessFigures PlaneLoudness::Read(bool slow) const {
  LoudnessFigures f;
  f.MomentaryLufs = MomentaryLufs();
  f.ShortTermLufs = kMinusInfinity;
  f.IntegratedLufs = kMinusInfinity;
  f.RangeLu = 0.0;
  f.TruePeakDbtp = PeakToDb(truePeak_.Peak());
  if (state_ == nullptr) return f;
  if (!slow) return f;
  if (added_ >= sampleRate_ * 3) f.ShortTermLufs = Reading([&](double* out) { return ebur128_loudness_shortterm(State(state_), out); });
  f.IntegratedLufs = Reading([&](double* out) { return ebur128_loudness_global(State(state_), out); });
  const double range = Reading([&](double* out) { return ebur128_loudness_range(State(state_), out); });
  if (std::isfinite(range)) f.RangeLu = range;
  return f;
}

}  // namespace quellvox
