// What the demo reads back from a title engine's recording, and what it
// measures there: per output frame the floor gain each voice-over line
// applied, whether the program saw voice on it, and the output level; then
// the frames relayed and missing and the floor attenuation under speech.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "audio/plane_loudness.h"
#include "config/settings.h"
#include "platform/com/status.h"

namespace quellvox::demo {

// One engine's files as the virtual studio writes them (engine-N.json and
// engine-N.wav), reduced to the layer the run made.
struct EngineRecording {
  int32_t Engine = 0;
  std::string Name;
  // The WAV: interleaved floats, one stereo pair per audio line of the engine.
  int32_t SampleRate = 0;
  int32_t Channels = 0;
  std::vector<float> Audio;
  // Where the WAV lies on the output (the report's "recorded" spans).
  struct Span {
    int64_t FromPosition = 0;
    int64_t Positions = 0;
    int64_t FromSample = 0;
    int64_t SampleFrames = 0;
  };
  std::vector<Span> Spans;
  // The layer: frame f was due at output position Base + f.
  int32_t Base = 0;
  int64_t OnTime = 0;
  int64_t Missing = 0;
  int64_t Late = 0;
  std::vector<int32_t> Fifos;  // fifo numbers, ascending: mix plane j went to Fifos[j]
  struct Presented {
    int64_t Position = 0;
    int32_t FrameNumber = 0;
    int64_t CaptureFrame = -1;
  };
  std::vector<Presented> Log;
};

// Reads the report and the program audio. The layer taken is the last one
// whose name is `layerName`. Fails with a sentence for the user.
Status ReadEngineRecording(const std::string& jsonPath, const std::string& wavPath, const std::string& layerName,
                           EngineRecording& out);

// The program's voice state over the run: for a capture position P (the
// newest the capture reported when the statistics were sampled), the
// VoiceDetected bits of the eight lines (bit i: line i). A later sample for
// the same position replaces an earlier one.
using VoiceTimeline = std::map<int64_t, uint8_t>;

// The audio of one capture frame, all channels interleaved; false when unknown.
using CaptureAudioSource = std::function<bool(int64_t captureFrame, std::vector<float>& audio)>;

struct AnalysisInput {
  DuckerSettings Settings;  // Lines, UseCommon, CommonLine, DecreaseDB
  int32_t CaptureChannels = 0;
  CaptureAudioSource CaptureAudio;
  VoiceTimeline Voice;
};

// One output frame of the recording.
struct OutputFrame {
  int64_t Position = 0;
  double Seconds = 0.0;       // from the first recorded frame
  int64_t CaptureFrame = -1;  // whose audio the output carried
  std::array<float, kVoiceOverLines> FloorDb;  // NaN where not measurable
  std::array<bool, kVoiceOverLines> Voice{};
  std::array<float, kVoiceOverLines> LevelDb;  // RMS of the line's output channels, dBFS (>= -96)
};

// A stretch in which a line's floor stayed down by more than 0.5 dB.
struct DuckEpisode {
  double StartSeconds = 0.0;
  double EndSeconds = 0.0;
  float DepthDb = 0.0f;  // the lowest floor gain reached
};

struct LineResult {
  bool Used = false;
  bool Measurable = false;            // its output channels carry no other line
  int64_t SpeechFrames = 0;           // frames measured under speech
  double FloorUnderSpeechDb = NAN;    // median floor gain under speech
  std::vector<DuckEpisode> Episodes;
};

struct EngineAnalysis {
  int32_t Engine = 0;
  std::string Name;
  double Rate = 0.0;  // output frames per second
  std::vector<OutputFrame> Frames;
  std::array<LineResult, kVoiceOverLines> Lines;
  int64_t Relayed = 0;                // frames the layer presented
  int64_t MissingAfterFirstSecond = 0;
  int64_t RepeatedAfterFirstSecond = 0;
  std::string Problem;                // why nothing could be measured, or empty
  // Per stereo pair of the engine's program audio: its loudness over the
  // whole recording (MeasureOutputLoudness).
  std::vector<LoudnessFigures> OutputLoudness;
};

// The loudness of each stereo pair of the recorded program audio: the
// integrated loudness, range and true-peak maximum over the whole file.
std::vector<LoudnessFigures> MeasureOutputLoudness(const EngineRecording& recording);

// "Stereo#1 -23.0 LUFS, true peak -1.0 dBTP; Stereo#2 ..." for the pairs
// that carried sound (an integrated loudness above the absolute gate).
std::string FormatOutputLoudness(const std::vector<LoudnessFigures>& pairs);

// Lines up the recording with the capture (through the log of presented
// frames) and measures it.
EngineAnalysis AnalyseEngine(const EngineRecording& recording, const AnalysisInput& input);

struct Verdict {
  bool Good = false;
  std::string Text;  // one line
};

// Good when every engine relayed frames and missed none after its first
// second, every line's floor can be told apart in the output, at least one
// line spoke, and every line measured under speech sits within 0.5 dB of
// -DecreaseDB on every engine. Skips and repeats are reported, not judged.
Verdict Judge(const std::vector<EngineAnalysis>& engines, const std::vector<int32_t>& skipVideo, int32_t skipAudio,
              const DuckerSettings& settings);

}  // namespace quellvox::demo
