// Test hooks of the virtual studio. The program itself reaches the studio
// only through the component interfaces; tests, the demo and the benchmarks
// may in addition load descriptions, drive a manual clock, inject faults and
// read back what every title engine presented.
//
// Every function here may be called from any thread. Loading a description
// replaces the whole studio: objects created before keep working on the
// studio they were created from, new objects see the new one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com/com.h"
#include "platform/com/status.h"
#include "platform/engine_core/counts.h"

namespace quellvox::studio_test {

// ---------------------------------------------------------------------------
// Description

// Replaces the studio with one built from a JSON description (format in
// README, "The virtual studio"). On a bad description the studio offers no
// devices and no engines and the failure names the problem. Nothing is
// written to standard error.
Status LoadDescriptionText(std::string_view json);
// The same from a file; relative audio-file paths are taken relative to the
// file's folder.
Status LoadDescriptionFile(const std::string& path);
// Replaces the studio with the built-in default.
void LoadDefaultDescription();
// The built-in default description as JSON text.
std::string DefaultDescriptionText();

// ---------------------------------------------------------------------------
// Clock: 100 ns units since the studio epoch. Every capture device has its
// `startPosition` as newest position at time 0; every engine its own start
// output position at time 0.

// Switches the whole process to the manual clock, set to `time100ns`. The
// clock then moves only through SetClock and AdvanceClock.
void UseManualClock(int64_t time100ns = 0);
// Back to the steady clock (the default for real runs).
void UseSteadyClock();
bool IsManualClock();
int64_t Now();
// Manual clock only; the clock never moves backwards.
void SetClock(int64_t time100ns);
void AdvanceClock(int64_t delta100ns);

// Clock time from which the capture frame at `position` of device
// `deviceIndex` is readable (its capture has completed).
int64_t CaptureReadableTime(int32_t deviceIndex, int64_t position);
// Newest position of the device at the current clock: frames below it are captured.
int64_t CaptureNewestPosition(int32_t deviceIndex);
// Manual clock only: moves the clock to the moment `position` becomes
// readable (never backwards).
void AdvanceToCaptureFrame(int32_t deviceIndex, int64_t position);
// GetPosition calls answered by one capture object of the device: the one
// made `beforeNewest` objects before the newest (0: the newest). A thread
// that polls its own object shows by this count that it has finished the
// pass before (its next pass starts with a position read).
int64_t CapturePositionReads(int32_t deviceIndex, int32_t beforeNewest);
// Clock time at which engine `engineIndex` starts presenting output position `position`.
int64_t EngineOutputTime(int32_t engineIndex, int64_t outputPosition);
// The engine's output position at the current clock.
int64_t EngineOutputPosition(int32_t engineIndex);
// Manual clock only: moves the clock to the start of the engine's output position.
void AdvanceToEngineOutput(int32_t engineIndex, int64_t outputPosition);
// Output sample index (the engine's sample clock, 0 at the engine's start
// position) at which output position `outputPosition` begins.
int64_t EngineSampleOfPosition(int32_t engineIndex, int64_t outputPosition);

// ---------------------------------------------------------------------------
// Faults

enum class FaultMode { Once, Every, Random };

// One fault rule. A rule matches calls of `Operation` (the operation's name
// as in the interfaces, e.g. "ReadFrame", "WriteFifo", "CreateLayer";
// "QueryInterface" with `Interface` naming the interface asked for; and
// "CreateDeviceEnumerator", "CreateTitleEngineList", "CreateTitleTarget" for
// the creation of the components) on `Target`: "any", "device N" (capture
// objects and CreateDevice of device N) or "engine N" (GetEngine of engine
// N, title targets attached to it and their layers).
//
// Counting: the matching calls are numbered from 1; the first `Skip` of
// them pass. Of the rest: Once fires on the first, Every on every
// `Every`-th, Random on each call with probability `Rate` (a fixed sequence
// per `Seed`). A firing rule makes the operation return `Code` and do
// nothing else, or, when `LaterFrames` is not 0 (capture reads only),
// deliver the frame that many positions later than asked (at most the
// newest), or for a negative count that many earlier (at least the oldest
// still held), as a source whose clock stepped back would.
struct FaultRule {
  std::string Target = "any";
  std::string Operation;
  std::string Interface;  // QueryInterface only, e.g. "IZRCaptureAudio"
  HResult Code = E_FAIL;
  FaultMode Mode = FaultMode::Once;
  int64_t Every = 1;
  double Rate = 0.0;
  uint64_t Seed = 1;
  int64_t Skip = 0;
  int64_t LaterFrames = 0;

  // Builders: FaultRule::On("ReadFrame").At("device 0").EveryNth(3).Returning(E_FAIL).
  static FaultRule On(std::string operation) {
    FaultRule r;
    r.Operation = std::move(operation);
    return r;
  }
  FaultRule& At(std::string target) { return Target = std::move(target), *this; }
  FaultRule& ForInterface(std::string name) { return Interface = std::move(name), *this; }
  FaultRule& Returning(HResult code) { return Code = code, *this; }
  FaultRule& EveryNth(int64_t n) { return Mode = FaultMode::Every, Every = n, *this; }
  FaultRule& Randomly(double rate, uint64_t seed) { return Mode = FaultMode::Random, Rate = rate, Seed = seed, *this; }
  FaultRule& Skipping(int64_t calls) { return Skip = calls, *this; }
  FaultRule& DeliveringLater(int64_t frames) { return LaterFrames = frames, *this; }
  FaultRule& DeliveringEarlier(int64_t frames) { return LaterFrames = -frames, *this; }
};

// Adds a rule to the current studio. Refused, with the reason, for an
// unknown operation, target or interface, or impossible numbers.
Status AddFault(const FaultRule& rule);
void ClearFaults();
// How many times rules have fired in the current studio.
int64_t FaultsFired();

// What an engine reports about itself instead of the truth. Unset values
// report the truth. Its real output (buffers, audio lines) is unchanged.
struct EngineReports {
  std::optional<int32_t> Width;
  std::optional<int32_t> Height;
  std::optional<double> Rate;
  std::optional<double> FieldPhase1;
  std::optional<double> FieldPhase2;
  std::optional<int32_t> FieldOrder;
  std::optional<int32_t> StereoLines;
};
void SetEngineReports(int32_t engineIndex, const EngineReports& reports);

// What a capture device reports through GetVideoFormat and GetAudioFormat
// instead of the truth. Frames and audio are still produced as described.
struct CaptureReports {
  std::optional<int32_t> Width;
  std::optional<int32_t> Height;
  std::optional<double> Rate;
  std::optional<double> FieldPhase1;
  std::optional<double> FieldPhase2;
  std::optional<int32_t> SampleRate;
  std::optional<int32_t> Channels;
};
void SetCaptureReports(int32_t deviceIndex, const CaptureReports& reports);

// ---------------------------------------------------------------------------
// What the engines saw

struct PresentedFrame {
  int64_t OutputPosition = 0;
  int32_t FrameNumber = 0;        // as submitted
  int64_t CaptureFrame = -1;      // read back from the pattern (the earlier field when interlaced); -1 unreadable
  int64_t LaterFieldFrame = -1;   // interlaced engines: the later field's frame; -1 otherwise
};

// What one fifo of a layer took and presented.
using FifoReport = engine::FifoCounts;

// What one layer presented: the engine's own counts, and what the studio
// reads back from the pictures it was given.
struct LayerReport : engine::LayerCounts {
  int64_t Repeated = 0;              // presented frame carried the same capture frame as the one before
  int64_t OutOfOrder = 0;            // presented frame carried an earlier capture frame than the one before
  int64_t CaptureGaps = 0;           // capture frames left out between consecutive presented frames
  int64_t Unreadable = 0;            // no frame number could be read from the pattern
  int64_t FieldOrderErrors = 0;      // interlaced: the later field is not the frame after the earlier one
  int64_t LastCaptureFrame = -1;
  std::vector<PresentedFrame> Log;   // capped
  std::vector<FifoReport> Fifos;     // by ascending number
};

struct EngineReport {
  int32_t Index = 0;
  std::string Name;
  int64_t OutputPosition = 0;
  std::vector<LayerReport> Layers;   // every layer created since the studio was loaded, in creation order

  // The newest layer with that number, or nullptr.
  const LayerReport* FindLayer(int32_t number) const;
};

// Brings the engine up to the current clock and returns what it saw.
EngineReport GetEngineReport(int32_t engineIndex);
// Makes fifos created from now on keep what they present, up to
// `maxSampleFrames` stereo sample frames each (0 stops keeping).
void KeepPresentedAudio(int64_t maxSampleFrames);
// Writes the JSON reports and WAV recordings of the engines whose
// description asks for them (as ShutdownVirtualStudio does).
void WriteRecordings();

// ---------------------------------------------------------------------------
// Test pattern and reference audio

// Reads the frame number stamped into a UYVY image (the first lines of it)
// of `width` pixels, `lines` lines `pitch` bytes apart; -1 when unreadable.
// For one field of a woven frame pass the field's first line and the
// doubled pitch.
int64_t DecodeFrameNumber(const uint8_t* image, int32_t width, int32_t lines, int32_t pitch);
// The audio the device delivers for the frame at `position` with all
// channels (interleaved floats), whether or not that frame is readable now.
std::vector<float> ExpectedCaptureAudio(int32_t deviceIndex, int64_t position);
// Sample frames of the device's frame at `position`.
int32_t CaptureSamplesInFrame(int32_t deviceIndex, int64_t position);

// Component objects alive in the process (every counted object).
int64_t LiveObjects();

}  // namespace quellvox::studio_test
