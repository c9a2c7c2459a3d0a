// The settings record of one instance: capture source, title engines, layer,
// relay delay, thread priority, the eight voice-over rows and the floor
// (ducking) parameters.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

namespace quellvox {

inline constexpr int kVoiceOverLines = 8;
inline constexpr int kMaxTargets = 32;
inline constexpr int kLinePairsOffered = 8;  // pairs 0..7 offered by the dialog

// A value that several threads read while one writes, and that still copies
// with the record it belongs to. Each access names its memory order.
template <class T>
class SharedValue {
 public:
  SharedValue() = default;
  SharedValue(T v) : v_(v) {}  // NOLINT: the record's defaults read as plain values
  SharedValue(const SharedValue& o) : v_(o.v_.load(std::memory_order_relaxed)) {}
  SharedValue& operator=(const SharedValue& o) {
    v_.store(o.v_.load(std::memory_order_relaxed), std::memory_order_relaxed);
    return *this;
  }
  SharedValue& operator=(T v) {
    v_.store(v, std::memory_order_relaxed);
    return *this;
  }
  T Load(std::memory_order order = std::memory_order_relaxed) const { return v_.load(order); }
  void Store(T v, std::memory_order order = std::memory_order_relaxed) { v_.store(v, order); }
  T Exchange(T v, std::memory_order order) { return v_.exchange(v, order); }
  operator T() const { return v_.load(std::memory_order_relaxed); }  // NOLINT

 private:
  std::atomic<T> v_{};
};

enum LineKind : int32_t { Stereo = 0, Left = 1, Right = 2 };

// One audio line of a multichannel source or target: pair k is channels 2k
// (left) and 2k + 1 (right). Any Kind other than Left and Right means Stereo.
struct AudioLineRef {
  int32_t Kind = Stereo;
  int32_t Pair = 0;
  friend bool operator==(const AudioLineRef&, const AudioLineRef&) = default;
};

struct VoiceOverLine {
  bool Use = false;
  AudioLineRef From;
  AudioLineRef To;
  int32_t VolumeDB = 0;  // signed gain, dB
  friend bool operator==(const VoiceOverLine&, const VoiceOverLine&) = default;
};

struct DuckerSettings {
  // Priority of the processing threads: 0 Normal, 1 Above Normal, 2 Highest,
  // 3 Realtime. Video threads read the pump's copy while the pump may
  // rewrite it, hence atomic.
  SharedValue<int32_t> CpuPriority{0};
  uint32_t TitleEngineMask = 0;  // bit i: title-engine catalogue position i
  std::string RegionName;        // layer created on every selected engine (UTF-8)
  int32_t ShowOnStartType = 0;   // 0 Auto, 1 Show, anything else Hide
  int32_t CaptureSource = -1;    // capture catalogue position, -1 none
  int32_t DelayInFrames = 10;
  std::array<VoiceOverLine, kVoiceOverLines> Lines{};
  bool UseCommon = true;
  AudioLineRef CommonLine;
  int32_t DecreaseDB = 18;
  int32_t NoiseLevelDB = 32;
  int32_t TimeoutInFrames = 30;
};

// True when an engine, a layer name, a capture source and a row in use are set.
bool IsComplete(const DuckerSettings& s);

// What the operator can set each number to, in the dialog's units: the
// dialog offers exactly these, and values read from the store are set into
// them (a hand-edited 1000 dB gain would put NaN into the engines' audio).
struct NumberRange {
  int32_t Min;
  int32_t Max;
  int32_t Clamp(int64_t v) const { return static_cast<int32_t>(v < Min ? Min : v > Max ? Max : v); }
};
inline constexpr NumberRange kDelayRange{5, 250};     // DelayInFrames, frames
inline constexpr NumberRange kVolumeRange{-24, 24};   // VoiceOverLine::VolumeDB, dB
inline constexpr NumberRange kDecreaseRange{0, 24};   // DecreaseDB, dB of attenuation
inline constexpr NumberRange kNoiseLevelRange{0, 48}; // NoiseLevelDB, dB below full scale
inline constexpr NumberRange kTimeoutRange{0, 99};    // TimeoutInFrames, frames

// True when both records hold the same values in every persisted field
// (everything but MixerChanged).
bool SameStoredFields(const DuckerSettings& a, const DuckerSettings& b);

// The checks the settings dialog makes before it applies, in its order: the
// warning of the first that fails ("Select capture source first!" and so
// on), or nullptr when all four pass. The remote interface answers with the
// same texts.
enum class SettingsProblem : int32_t { None, NoCaptureSource, NoTitleEngine, NoLayerName, NoAudioLine };
SettingsProblem FirstSettingsProblem(bool captureSelected, bool engineSelected, bool layerNamed, bool lineInUse);
SettingsProblem FirstSettingsProblem(const DuckerSettings& s);
const char* SettingsProblemText(SettingsProblem problem);

// The names shown for CpuPriority values 0..3.
const char* CpuPriorityName(int32_t cpuPriority);

}  // namespace quellvox
