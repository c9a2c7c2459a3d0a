// What every title engine shares, whoever plays it: the output clock, the
// layers made on it with their buffer pools and frame queues, their audio
// fifos, the eleven layer operations and the evaluation that presents,
// output position by output position, what the layers hold.
//
// An engine derives from EngineCore and fills in only what differs, through
// the hooks below: what the engine's time is, what it does with a picture
// presented and a buffer submitted, and where program audio is mixed.
//
// Evaluation is lazy: every layer operation first brings the engine up to
// its clock, so that counts are exact at every call. All layer state is
// guarded by one mutex per engine, held only for bookkeeping (never while a
// caller copies a frame); hooks run with it held.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/engine_core/counts.h"
#include "platform/engine_core/timing.h"
#include "platform/media_api/media_components.h"

namespace quellvox::engine {

// The output clock and its audio: position StartPosition at time 0 of the
// engine's clock, which runs `Clock` against the clock it is read from.
struct EngineTiming {
  FrameRate Rate;
  ClockSkew Clock;
  int64_t StartPosition = 0;
  int32_t SampleRate = 48000;
};

struct Fifo {
  FifoCounts Counts;
  int64_t Capacity = 0;        // sample frames
  std::vector<float> Ring;     // 2 x Capacity, slot = absolute sample mod Capacity
  std::vector<uint8_t> Valid;  // Capacity
  bool Resolved = false;       // StartAbs / WriteAbs follow from the base and the init position
  int64_t WrittenSinceInit = 0;
  int64_t StartAbs = 0;  // output sample from which data is expected
  int64_t ReadAbs = 0;   // next output sample to take
  int64_t WriteAbs = 0;  // next sample written lands here
  int64_t KeepMax = 0;   // sample frames of Counts.Presented kept at the most
};

// What an engine keeps of its own per layer.
struct LayerExtension {
  virtual ~LayerExtension() = default;
};

struct Layer {
  LayerCounts Counts;
  // A submitted frame waiting for its position. Earlier and Later are the
  // engine's to fill when the buffer is submitted (-1 unless it does).
  struct Queued {
    int32_t Buffer;
    int32_t FrameNumber;
    int64_t Earlier;
    int64_t Later;
  };
  std::vector<std::unique_ptr<uint8_t[]>> Buffers;  // null until first lent, unless made up front
  std::vector<uint8_t> BufferState;                 // 0 free, 1 lent, 2 queued
  int32_t Lent = -1;
  std::vector<Queued> Queue;
  std::vector<std::unique_ptr<Fifo>> Fifos;  // by ascending number
  std::unique_ptr<LayerExtension> Extension;
};

// Where the fifos of the layers mix program audio for one output position:
// fifo FirstFifo + p adds into stereo pair p of `Pairs`, interleaved, for
// the first `Samples` sample frames. No data: no mix.
struct MixTarget {
  float* Data = nullptr;
  int32_t Pairs = 0;
  int32_t FirstFifo = 0;
  int64_t Samples = 0;
};

class EngineCore {
 public:
  // Pictures are UYVY, `width` x `height`. `shownAtFirst`: whether a new
  // layer shows what it is given before SetShown says otherwise.
  EngineCore(const EngineTiming& timing, int32_t width, int32_t height, bool shownAtFirst);
  virtual ~EngineCore();
  EngineCore(const EngineCore&) = delete;
  EngineCore& operator=(const EngineCore&) = delete;

  int64_t OutputPositionAt(int64_t t) const {
    return timing_.StartPosition + timing_.Rate.FramesAt(timing_.Clock.LocalTime(t));
  }
  int64_t PositionTime(int64_t position) const {
    return timing_.Clock.StudioTime(timing_.Rate.BoundaryTime(position - timing_.StartPosition));
  }
  // The engine's sample clock: sample frames before output position `position`.
  int64_t SampleOf(int64_t position) const {
    return timing_.Rate.SamplesBefore(timing_.SampleRate, position - timing_.StartPosition);
  }
  int64_t RegionBytes() const { return regionBytes_; }

  // The layer operations. Any thread; a short lock.
  HResult SetShown(Layer* layer, bool shown);
  HResult CreateFifo(Layer* layer, int32_t fifo, int32_t depth);
  HResult InitFifo(Layer* layer, int32_t fifo, int32_t position);
  HResult WriteFifo(Layer* layer, int32_t fifo, int32_t byteCount, const float* data, uint32_t* outCount);
  HResult SetMute(Layer* layer, int32_t fifo, bool mute);
  HResult SetVolume(Layer* layer, int32_t fifo, double gain);
  HResult GetStatus(Layer* layer, LayerStatus* status);
  HResult SetPosition(Layer* layer, int32_t base);
  HResult GetBuffer(Layer* layer, int32_t size, uint8_t** address, int32_t* inOutSize);
  HResult SubmitBuffer(Layer* layer, int32_t size, const FrameDescriptor* descriptor);
  HResult FrameDone(Layer* layer);

 protected:
  // `depth` zeroed pictures, made and paged in on the caller's set-up path
  // before any lock is taken. E_OUTOFMEMORY when memory does not hold them.
  HResult PrepareBuffers(int32_t depth, std::vector<std::unique_ptr<uint8_t[]>>& out) const;
  // True when a live layer has `number`; `anyAlive` says whether any lives.
  bool NumberTakenLocked(int32_t number, bool* anyAlive) const;
  // Takes the lock: 0 and the new layer (its buffers `ready`, or made when
  // first lent when empty); S_FALSE when a live layer has the number;
  // E_OUTOFMEMORY when it or what LayerAddingLocked sizes cannot be held.
  HResult AddLayer(const std::string& name, int32_t number, int32_t depth,
                   std::vector<std::unique_ptr<uint8_t[]>> ready, std::unique_ptr<LayerExtension> extension,
                   Layer*& out);
  // Takes the lock. True when no live layer remains.
  bool ReleaseLayerCore(Layer* layer);

  // The engine's clock, in 100 ns units.
  virtual int64_t Now() const = 0;
  // Lock held, before a layer joins the engine: what the engine sizes for
  // it. May throw std::bad_alloc or std::length_error (the layer is refused).
  virtual void LayerAddingLocked() {}
  // Lock held: how many sample frames a fifo made now keeps of what it presents.
  virtual int64_t KeepPresentedLocked() const { return 0; }
  // Lock held: the buffer of `queued` was accepted for a later position;
  // `image` is the picture the caller filled.
  virtual void SubmittedLocked(Layer&, Layer::Queued& /*queued*/, const uint8_t* /*image*/) {}
  // Lock held, output position by output position: where audio is mixed
  // (BeginPositionLocked), each picture presented (its buffer is freed
  // after the call; an engine may take the picture by swapping it out),
  // and the position done.
  virtual MixTarget BeginPositionLocked(int64_t /*q*/, int64_t /*firstSample*/, int64_t /*endSample*/) { return {}; }
  virtual void PresentedLocked(Layer&, const Layer::Queued&, int64_t /*q*/) {}
  virtual void EndPositionLocked(int64_t /*q*/, int64_t /*firstSample*/, int64_t /*endSample*/) {}

  void EvaluateLocked(int64_t now);

  static constexpr int64_t kNotStarted = INT64_MIN;
  const EngineTiming timing_;
  const int32_t width_;
  const int32_t height_;
  const int64_t regionBytes_;
  const bool shownAtFirst_;
  mutable std::mutex mu_;
  int64_t evaluatedPos_ = kNotStarted;  // output positions up to this one are done
  std::vector<std::unique_ptr<Layer>> layers_;  // every layer made, in creation order

 private:
  void PresentVideoLocked(Layer& layer, int64_t q);
  void TakeAudioLocked(Fifo& fifo, int64_t a, int64_t b, const MixTarget& mix);
  void ResolveFifoLocked(Layer& layer, Fifo& fifo);
  static Fifo* FindFifoLocked(Layer& layer, int32_t number);
  static void FreeBufferLocked(Layer& layer, int32_t buffer);
};

}  // namespace quellvox::engine
