// A capture device fed by an input that libavformat reads: a file played in
// real time (looped or not) or a live stream or device. One decoding thread
// per device fills a ring of captured frames (UYVY pictures of the device's
// size and its interleaved float audio, sliced per frame at the device's
// cadence); any number of capture objects read the ring without a lock.
//
// Concurrency: the decoding thread is the only writer. Readers (the pump and
// the video threads) never wait on it: a slot being rewritten is simply not
// the frame asked for. The writer waits for a reader that is copying the
// very slot it is about to reuse (a frame copy long), never longer.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/com/com.h"
#include "platform/com/status.h"
#include "platform/ffmpeg/media_description.h"

namespace quellvox::realmedia {

// What happened to a device's input, over every run of the device. Any
// thread (atomic counters).
struct InputCounters {
  std::atomic<int64_t> Captured{0};     // frames put into the ring
  std::atomic<int64_t> Gaps{0};         // positions skipped by the input's timestamps or a reconnect
  std::atomic<int64_t> Dropped{0};      // frames whose timestamp did not advance
  std::atomic<int64_t> AudioFilled{0};  // sample frames of silence put where the input had no audio
  std::atomic<int64_t> OpenFailures{0};
  std::atomic<int64_t> Reconnects{0};  // opens after the first
  std::atomic<int64_t> Ends{0};        // the input reached its end (or the stream dropped)
  std::atomic<int64_t> Stalls{0};      // a live input stopped delivering
  std::atomic<int64_t> DecodeErrors{0};
  std::atomic<bool> Open{false};
};

class InputFeed {
 public:
  InputFeed(std::string deviceName, const InputSettings& settings, const MediaPicture& picture,
            std::shared_ptr<InputCounters> counters);
  ~InputFeed();  // stops and joins the thread: within a second
  InputFeed(const InputFeed&) = delete;
  InputFeed& operator=(const InputFeed&) = delete;

  // Set-up thread; never blocks on the input. Refuses a local path that is
  // no regular file and a ring beyond the cap (E_OUTOFMEMORY), sizes the
  // ring, opens a file input at once (a regular file: the open cannot wait
  // on a writer), so that a missing file fails the device's creation with a
  // code; a live input is opened (and reopened) by the thread, with the
  // interrupt callback and the stall time bounding every wait. Then starts
  // the thread. A failure leaves its reason as the thread's error
  // description.
  HResult Start();

  // Any thread; lock-free. Frames below the newest position are readable.
  int64_t Newest() const { return newest_.load(std::memory_order_acquire); }

  // Any thread; no lock, no allocation, no wait. Copies lines firstLine,
  // firstLine + lineStep, ... of the frame at *position (or, when it left
  // the ring or never arrived, the next one held) to dst, pitch bytes apart;
  // *position names the frame delivered. E_PENDING: not captured yet.
  HResult ReadPicture(int64_t* position, uint8_t* dst, int32_t pitch, int32_t firstLine, int32_t lineStep) const;
  // Same location rule; writes the channels of `mask` (ascending,
  // interleaved) and the byte count.
  HResult ReadAudio(int64_t* position, uint32_t mask, float* out, int32_t capacity, int32_t* bytes) const;

  int32_t MaxSamplesPerFrame() const { return maxSamples_; }
  // Any thread: the clock time at which `position` became the newest.
  int64_t PositionTime(int64_t position) const {
    return paceOrigin_.load(std::memory_order_relaxed) + picture_.Rate.BoundaryTime(position - picture_.StartPosition);
  }

 private:
  struct Slot {
    std::atomic<int64_t> Stamp{-1};           // the position held, -1 while written
    mutable std::atomic<int32_t> Readers{0};  // readers copying from the slot
    std::unique_ptr<uint8_t[]> Picture;
    std::unique_ptr<float[]> Audio;
    int32_t Samples = 0;
  };

  // Reader side: pins the slot of the first held position at or after
  // `asked`; nullptr when none is held. The caller unpins with Unpin.
  const Slot* Pin(int64_t asked, int64_t& delivered) const;
  static void Unpin(const Slot* slot) { slot->Readers.fetch_sub(1, std::memory_order_release); }

  // Decoding thread.
  void Run();
  // The steps of Run: Go on reading, read Again from the top, Stop.
  enum class Step { Go, Again, Stop };
  Step OpenInput(int32_t& backoff);        // no input open: open it, or wait out the backoff
  Step InputEnded(int rc, int32_t backoff);  // a read failed: loop, reconnect or end
  Step StartOver();                        // a looping input went back to its start
  Status Open();  // the failure's code and its reason, in words
  void Close();
  void Decode(AVCodecContext* codec, AVPacket* packet);  // packet nullptr: drain
  void TakeVideoFrame(AVFrame* frame);
  void TakeAudioFrame(AVFrame* frame);
  void PublishReady(bool flushing);
  void Publish(AVFrame* frame, int64_t position, int32_t samples);
  bool WaitUntil(int64_t ticks);  // false when stopping
  bool WaitFor(int32_t ms);
  bool Stopping() const { return stop_.load(std::memory_order_acquire); }
  static int Interrupt(void* self);
  HResult Refuse(HResult code, const std::string& reason);  // one line, and the reason for the caller

  const std::string name_;
  const InputSettings settings_;
  const MediaPicture picture_;
  const std::shared_ptr<InputCounters> counters_;
  const int64_t frameBytes_;
  const int32_t maxSamples_;

  std::vector<Slot> ring_;
  // Release by the writer after a slot is complete, so that a reader that
  // sees a position below it finds the slot's stamp and bytes written.
  std::atomic<int64_t> newest_;

  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex waitMu_;
  std::condition_variable waitCv_;
  std::atomic<int64_t> lastPacketTicks_{0};  // for the stall check of the interrupt callback
  std::atomic<bool> stalled_{false};         // the callback gave up on a silent live input
  std::atomic<int64_t> openDeadline_{INT64_MAX};  // an open still going at this time gives up

  // Owned by the decoding thread (and by Start before the thread runs).
  InputContext input_;
  CodecContext video_;
  CodecContext audio_;
  int videoStream_ = -1;
  int audioStream_ = -1;
  SwsPtr sws_;
  SwrPtr swr_;
  bool audioDirect_ = false;  // float interleaved of the device's rate: copied as it is
  int32_t inputChannels_ = 0;  // of the audio the converter was made for
  bool channelsReported_ = false;
  std::vector<float> converted_;  // one decoded frame at the device's rate, the input's channels
  int64_t publishedThisPass_ = 0;  // frames since the open or the last loop
  int32_t loopBackoff_ = 200;
  bool emptyLoopReported_ = false;
  struct Pending {
    FramePtr Frame;
    int64_t Position;
  };
  std::vector<Pending> pending_;  // decoded pictures waiting for their audio and their time
  std::vector<float> audioAcc_;   // decoded audio not yet given to a frame, interleaved
  size_t audioRead_ = 0;          // first unused float of audioAcc_
  int64_t firstPts_ = AV_NOPTS_VALUE;
  int64_t base_ = 0;   // position of the first frame of this open (or loop)
  int64_t last_ = -1;  // last position published
  // Clock time from which position StartPosition counts. Written by the
  // decoding thread (a file sets it at its first picture), read by any.
  std::atomic<int64_t> paceOrigin_{0};
  bool paced_ = false;
  bool everOpened_ = false;
  bool failing_ = false;  // the last open failed; reported once until one succeeds
  AVRational videoTimeBase_{1, 1};
  PacketPtr packet_;
  FramePtr frame_;
};

}  // namespace quellvox::realmedia
