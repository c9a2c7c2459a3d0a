// The audio pump: the thread that, while the pipeline runs, reads the audio
// of every new capture frame, mixes and ducks it, appends the mixed stereo
// planes to every target's fifos, and owns the relay (it positions the
// layers and starts and joins the video threads).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "audio/audio_layout.h"
#include "audio/loudness_meter.h"
#include "audio/pipeline_stats.h"
#include "audio/voice_over_mixer.h"
#include "config/mixer_handoff.h"
#include "config/settings.h"
#include "platform/media_api/media_components.h"
#include "pipeline/clock_slip.h"
#include "pipeline/media_pipeline.h"

namespace quellvox {

// One target as the pump and its video thread see it. The references, the
// fifo range and the field flags are written before the threads start and
// only read after; FifoBase, FifoSamples and SamplesPerTargetFrame belong to
// the pump alone.
struct PumpRow {
  ComPtr<IZRCaptureVideoEx> RegionCapture;
  ComPtr<IZRLayerVideo> LayerVideo;
  ComPtr<IZRLayerAudio> LayerAudio;
  ComPtr<IZRTitleClock> Clock;
  int32_t FirstFifo = 0;
  int32_t FifoCount = 0;
  bool WeaveFields = false;
  bool TopFieldFirst = false;
  int32_t FifoBase = 0;  // target position of the first sample since the last re-base
  // Sample frames written since the last re-base. 64-bit: at 48 kHz a 32-bit
  // count wraps after about twelve hours without a skip.
  int64_t FifoSamples = 0;
  double SamplesPerTargetFrame = 0.0;  // doubled for a woven target
  // The target's clock slips (PackSlip). Written by the pump only, for a
  // target frame not yet captured (release); read by the target's video
  // thread on every copy (acquire).
  std::atomic<uint64_t> Slip{0};
};

// The pump's working record; the video threads read it while the pump runs.
// What they read (VideoStop, the identifier, the row references and flags,
// the frame layout, MaxLag, StartPosition and the settings copy's
// CpuPriority) is written before they start, except VideoStop, the rows'
// Slip and CpuPriority, which are atomic. The rest (mixer state, fifo
// positions, the settings copy's mixer fields) belongs to the pump alone.
struct PumpContext {
  // Cleared before the video threads start, set once after the pump's loop
  // (release); polled by every video thread before each pass (acquire).
  std::atomic<uint8_t> VideoStop{0};
  std::string InstanceId;  // fills the %s of every trace
  ComPtr<IZRCaptureVideoEx> MainVideo;
  ComPtr<IZRCaptureAudio> MainAudio;
  int32_t Channels = 0;      // C, capture channels
  uint32_t ChannelMask = 0;  // bit c for each channel c below C
  PumpRow Rows[kMaxTargets];
  int32_t TargetCount = 0;  // rows in use, from Rows[0] on
  MixerState Mixer;  // VoiceThreshold, DuckGain, LineGain, FloorGain, LastVoicePos
  // The pump's copy of the settings. A reload rewrites the mixer fields and
  // CpuPriority; the video threads read only CpuPriority (relaxed).
  DuckerSettings Settings;
  FrameDescriptor Descriptor;  // template: { 2, 0, Width, Height, BufferSize }
  int32_t LinePitch = 0;       // Width * 2 bytes
  int32_t BufferSize = 0;      // Width * Height * 2 bytes
  int32_t MaxLag = 0;          // DelayInFrames / 2
  int64_t StartPosition = 0;   // capture position where the relay starts
  std::unique_ptr<CaptureBlock> Block;  // 307,200 bytes, allocated with the context
  std::unique_ptr<MixArea> Mix;         // 307,200 bytes, allocated with the context

  // A block whose writing stopped at a refused WriteFifo: the pass that
  // redoes capture frame PartialBlock writes only the fifos from
  // (PartialTarget, PartialFifo) on, so that no fifo takes a block twice
  // and falls a block behind its neighbours. A re-base drops it.
  bool PartialPending = false;
  int64_t PartialBlock = 0;
  int32_t PartialTarget = 0;
  int32_t PartialFifo = 0;

  // The mixed planes of the block before, and its length, kept while a
  // woven target is to repeat the target frame that block begins.
  std::unique_ptr<MixArea> Previous;
  int32_t PreviousFrames = 0;
  int32_t PartialCopy = 0;  // with PartialTarget / PartialFifo: the copy of a repeated block under way

  // Beyond the record: the capture's frame rate from its video format, the
  // most planes any target takes (FifoCount), and whether every target had
  // its four references when the context was made.
  double Rate = 0.0;
  int32_t PlanesSent = 0;
  bool Complete = false;
  // Where every block that went out to all fifos is offered for metering;
  // none when null. Set before the pump starts; outlives the pump.
  LoudnessMeter* Meter = nullptr;
};

// State of the pump kept outside the context.
struct PumpLoopState {
  int64_t NextPos = 0;
  int64_t Newest = 0;  // the capture's newest position at the last pass
  FullnessAccumulator Audio[kMaxTargets];
  bool LastVerdictGood = true;
  SlipWatch Slips[kMaxTargets];
};

// Target frame of capture position `position` for target i: frames since
// StartPosition, halved for a woven target (before any slip).
int32_t TargetFrameOf(const PumpContext& ctx, int32_t target, int64_t position);

// Audio thread. Folds one lead sample of target i (target frames of the
// capture written ahead of the layer's output, slips included) into its
// watch; once a window shows the lead a whole frame off the first window's,
// schedules a slip for a target frame not yet captured, counts it in
// clockSlips and traces it. True when it scheduled one.
bool WatchClockSlip(PumpContext& ctx, PumpLoopState& loop, int32_t target, int64_t pos, int32_t outputFrame,
                    std::atomic<int32_t>& clockSlips);

// Steps taken before the pump's thread runs its loop, on the thread that
// starts the pipeline: references, counts and flags of every row, the
// settings copy with its gains, the two block buffers. Complete is false
// when a row lacks its capture object, layer video, fifos or clock.
std::unique_ptr<PumpContext> CreatePumpContext(const std::string& instanceId, const MediaPipeline& pipeline,
                                               const DuckerSettings& settings);

// Relay preparation: frame layout, MaxLag, StartPosition and the output
// position of every target's layer. False (nothing done) when the main
// capture's video or audio reference is missing.
bool PrepareRelay(PumpContext& ctx);

// Output position given to a layer so that submitted frame f is presented
// DelayInFrames capture frames after capture frame StartPosition + f was
// captured. clockPos/clockTime: the target's clock (target frames, 100 ns);
// startTime: the time of StartPosition (100 ns).
int64_t LayerStartPosition(int64_t clockPos, int64_t clockTime, int64_t startTime, double captureRate,
                           int32_t delayInFrames, bool weaveFields);

// Audio thread. Allocates nothing, takes no lock.
// Copies the audio of capture frame nextPos when pos lies beyond it: skips
// ahead when trailing by more than MaxLag, reads, mixes the eight lines and
// writes plane j to fifo FirstFifo + j of every target. True when a block
// went out to every fifo; skipped receives the frames jumped over (less the
// frames a source that delivered an earlier frame went back). A refused
// write ends the pass; the next pass redoes the block for the fifos that
// have not taken it.
bool CopyAudio(PumpContext& ctx, int64_t pos, int64_t& nextPos, int64_t& skipped);

// Audio thread. Moves every fifo's write position to capture position
// `position` (half its distance from StartPosition for a woven target).
void RebaseAudioFifos(PumpContext& ctx, int64_t position);

// Audio thread. Allocates nothing, takes no lock. When a mixer part was
// published since the last pass, takes the newest into the copy (the mixer
// fields and CpuPriority; FloorGain and LastVoicePos continue), recomputes
// the gains and applies the priority again. True when it reloaded.
bool ReloadMixerSettings(PumpContext& ctx, MixerHandoff& mixer);

// Seconds of capture processed: (pos - start) / rate + 0.499, truncated,
// saturated to the 32-bit range; 0 when the rate is not a positive number.
int32_t ProcessingSecondsFor(int64_t pos, int64_t start, double rate);

// Target frames of audio queued ahead of the layer's output for target i,
// never below 0.
int32_t AudioFullnessSample(const PumpContext& ctx, int32_t target, int32_t outputFrame);

// Audio thread. One pass of the pump's loop after the settings reload:
// position, copy, counters, voice flags, processing time, fullness and its
// verdict. True when a block was copied.
bool RunPumpPass(PumpContext& ctx, PumpLoopState& loop, PipelineStats& stats);

// The pump's thread body. Ends at once when the context is incomplete or a
// main capture reference is missing; otherwise prepares the relay, starts
// one video thread per target, loops until stopRequested is set, then stops
// and joins the video threads and releases the context.
// stopRequested: written by the user-interface thread (release), read here
// before every pass (acquire). mixer: where the user-interface thread
// publishes applied mixer changes; taken at the top of every pass.
void RunAudioPump(std::unique_ptr<PumpContext> ctx, const std::atomic<uint8_t>& stopRequested,
                  MixerHandoff& mixer, PipelineStats& stats);

}  // namespace quellvox
