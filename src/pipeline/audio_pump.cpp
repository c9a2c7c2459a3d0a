#include "pipeline/audio_pump.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <system_error>
#include <thread>

#include "pipeline/frame_math.h"
#include "pipeline/frame_pacer.h"
#include "pipeline/video_relay.h"
#include "platform/system/debug_trace.h"
#include "platform/system/thread_priority.h"

namespace quellvox {

namespace {

constexpr int32_t kReadMode = 2;  // passed to ReadAudio unchanged; its meaning is the capture's
constexpr double kTicksPerSecond = 10'000'000.0;  // clock times count 100 ns

}  // namespace

std::unique_ptr<PumpContext> CreatePumpContext(const std::string& instanceId, const MediaPipeline& pipeline,
                                               const DuckerSettings& settings) {
  auto ctx = std::make_unique<PumpContext>();
  ctx->InstanceId = instanceId;
  ctx->MainVideo = pipeline.MainVideo;
  ctx->MainAudio = pipeline.MainAudio;
  ctx->Channels = pipeline.InputChannels;
  if (ctx->Channels >= 32) {  // one mask bit per channel: all 32
    ctx->ChannelMask = 0xFFFFFFFFu;
  } else if (ctx->Channels > 0) {
    ctx->ChannelMask = (1u << ctx->Channels) - 1u;
  }
  ctx->Block = std::make_unique<CaptureBlock>();
  ctx->Mix = std::make_unique<MixArea>();
  ctx->Previous = std::make_unique<MixArea>();

  const int32_t targets = std::clamp<int32_t>(pipeline.TargetCount, 0, kMaxTargets);
  ctx->Complete = true;
  for (int32_t i = 0; i < targets; ++i) {
    const TargetRow& from = pipeline.Rows[i];
    PumpRow& row = ctx->Rows[i];
    row.RegionCapture = from.RegionCapture;
    if (from.Layer) from.Layer.As(row.LayerVideo);
    row.LayerAudio = from.LayerAudio;
    row.Clock = from.Clock;
    row.FirstFifo = from.FirstFifo;
    row.FifoCount = from.FifoCount;
    row.WeaveFields = from.WeaveFields;
    row.TopFieldFirst = from.TopFieldFirst;
    row.SamplesPerTargetFrame = pipeline.SamplesPerFrame * (from.WeaveFields ? 2.0 : 1.0);
    ctx->PlanesSent = std::max(ctx->PlanesSent, row.FifoCount);
    if (!row.RegionCapture || !row.LayerVideo || !row.LayerAudio || !row.Clock) {
      // Nothing of this run may reach a component: drop every reference now.
      auto empty = std::make_unique<PumpContext>();
      empty->InstanceId = instanceId;
      empty->Complete = false;
      return empty;
    }
  }
  ctx->TargetCount = targets;
  ctx->Settings = settings;
  DeriveMixerGains(ctx->Settings, ctx->Mixer);
  ResetMixerLines(ctx->Mixer);
  return ctx;
}

int64_t LayerStartPosition(int64_t clockPos, int64_t clockTime, int64_t startTime, double captureRate,
                           int32_t delayInFrames, bool weaveFields) {
  const double elapsed = Difference(clockTime, startTime);
  if (!weaveFields) {
    const int64_t n = TruncateSaturated(elapsed * captureRate / kTicksPerSecond + 0.499);
    return WrapSub(WrapAdd(clockPos, delayInFrames), n);
  }
  // A woven target presents one frame per two capture frames, and its clock
  // and layer positions count those target frames. Submitted frame f holds
  // capture frames StartPosition + 2f and + 2f + 1; for it to be presented
  // DelayInFrames capture frames after the capture of StartPosition + 2f
  // began, the output must reach it (DelayInFrames + 2f) / Rate seconds
  // after the start time, which at Rate / 2 target frames per second is
  // DelayInFrames / 2 + f target frames. So both terms go in target frames:
  // the base halves and the elapsed time counts at Rate / 2.
  //
  // The target's frames need not begin where a pair begins (the capture may
  // have started half a target frame into one). The elapsed term is then
  // rounded down, not to the nearest, so that a pair goes to the first
  // target frame that starts at or after its due time: presented exactly
  // DelayInFrames capture frames after capture when the two line up, one
  // capture frame later when they do not, never earlier (an earlier frame
  // would shorten the margin the delay buys). The 0.001 keeps a time that
  // lands on a frame boundary from losing a whole frame to rounding.
  const int32_t base = delayInFrames / 2;
  const double targetRate = captureRate / 2.0;
  const double frames = elapsed * targetRate / kTicksPerSecond + 0.001;
  const int64_t n = TruncateSaturated(std::isfinite(frames) ? std::floor(frames) : 0.0);
  return WrapSub(WrapAdd(clockPos, base), n);
}

bool PrepareRelay(PumpContext& ctx) {
  if (!ctx.MainVideo || !ctx.MainAudio) return false;
  // Release like every write of the flag; the threads start after this.
  ctx.VideoStop.store(0, std::memory_order_release);

  VideoFormat format;
  ctx.MainVideo->GetVideoFormat(&format);
  const int64_t width = format.Width;
  const int64_t height = format.Height;
  // A bogus format must not wrap the sizes negative; the components refuse a
  // frame that does not fit.
  ctx.LinePitch = static_cast<int32_t>(std::clamp<int64_t>(width * 2, 0, std::numeric_limits<int32_t>::max()));
  ctx.BufferSize =
      static_cast<int32_t>(std::clamp<int64_t>(width * height * 2, 0, std::numeric_limits<int32_t>::max()));
  ctx.Descriptor = FrameDescriptor{2, 0, format.Width, format.Height, ctx.BufferSize};
  ctx.MaxLag = ctx.Settings.DelayInFrames / 2;
  ctx.Rate = format.Rate;

  int64_t startTime = 0;
  ctx.StartPosition = 0;
  ctx.MainVideo->GetStartPosition(&ctx.StartPosition, &startTime);

  for (int32_t i = 0; i < ctx.TargetCount; ++i) {
    int64_t clockPos = 0;
    int64_t clockTime = 0;
    uint32_t word1 = 0;
    uint32_t word2 = 0;
    PumpRow& row = ctx.Rows[i];
    row.Clock->GetClock(&clockPos, &word1, &clockTime, &word2);
    const int64_t p =
        LayerStartPosition(clockPos, clockTime, startTime, ctx.Rate, ctx.Settings.DelayInFrames, row.WeaveFields);
    row.LayerVideo->SetPosition(1, 1, static_cast<int32_t>(static_cast<uint32_t>(p)));
  }
  return true;
}

int32_t TargetFrameOf(const PumpContext& ctx, int32_t target, int64_t position) {
  const int32_t d = FramesSince(position, ctx.StartPosition);
  return ctx.Rows[target].WeaveFields ? d / 2 : d;
}

void RebaseAudioFifos(PumpContext& ctx, int64_t position) {
  for (int32_t i = 0; i < ctx.TargetCount; ++i) {
    // A target whose clock slipped takes the block where its video takes
    // the frame: shifted by the slips in force there.
    const int32_t n = TargetFrameOf(ctx, i, position);
    PumpRow& row = ctx.Rows[i];
    const int32_t m = n + UnpackSlip(row.Slip.load(std::memory_order_relaxed)).OffsetAt(n);
    for (int32_t j = 0; j < row.FifoCount; ++j) row.LayerAudio->InitFifo(row.FirstFifo + j, m);
    row.FifoBase = m;
    row.FifoSamples = 0;
  }
  ctx.PartialPending = false;  // every fifo starts over at the new position
}

bool CopyAudio(PumpContext& ctx, int64_t pos, int64_t& nextPos, int64_t& skipped) {
  if (LagBeyond(pos, nextPos) == 0) return false;

  // Skip#1: trailing by more than MaxLag, resume two frames behind pos. A
  // lag of 1 beyond a MaxLag of 0 or less (a delay below 2) would make that
  // a step backwards: there is then nothing to jump. A lag of 2 jumps 0
  // frames and is traced and re-based like any other jump.
  if (const int64_t k = Skip1Frames(LagBeyond(pos, nextPos), ctx.MaxLag); k >= 0) {
    DebugTrace("Quellvox%s::CopyAudio -- Skip#1 %lld frames  %lld --> %lld\n", ctx.InstanceId.c_str(),
               static_cast<long long>(k), static_cast<long long>(nextPos), static_cast<long long>(pos));
    nextPos = WrapAdd(nextPos, k);
    skipped = WrapAdd(skipped, k);
    RebaseAudioFifos(ctx, nextPos);
  }

  int64_t q = nextPos;
  int32_t byteCount = 0;
  if (ctx.MainAudio->ReadAudio(ctx.Block->Samples, kBlockBytes, &q, &byteCount, kReadMode, ctx.ChannelMask) != 0) {
    return false;
  }
  const int32_t channels = ctx.Channels;
  int32_t frames = 0;
  if (channels > 0) {
    // Unsigned division as the layout defines it; a count beyond the block
    // buffer is cut to what the buffer holds, so nothing reads past it.
    const uint32_t f = static_cast<uint32_t>(byteCount) / (4u * static_cast<uint32_t>(channels));
    frames = static_cast<int32_t>(std::min<uint32_t>(f, static_cast<uint32_t>(kBlockFloats / channels)));
  }

  // Skip#2: the source delivered a later frame than the one asked for.
  if (q != nextPos) {
    const int64_t k = WrapSub(q, nextPos);
    DebugTrace("Quellvox%s::CopyAudio -- Skip#2 %lld frames  %lld --> %lld\n", ctx.InstanceId.c_str(),
               static_cast<long long>(k), static_cast<long long>(nextPos), static_cast<long long>(pos));
    // An earlier frame gives a negative k: it takes back frames a Skip#1 of
    // this pass counted but that are read after all, and on its own leaves
    // the pass's count below 1, which the pass does not add.
    skipped = WrapAdd(skipped, k);
    RebaseAudioFifos(ctx, q);
  }

  // Every plane that leaves, and every plane a line adds into, is cleared
  // and lies inside the mix area.
  const int32_t planes = PlanesForBlock(channels, frames, ctx.PlanesSent);
  const MixInput in{ctx.Block->Samples, channels, frames, ctx.Mix->Samples, planes};
  MixBlock(ctx.Settings, ctx.Mixer, in, pos);

  int32_t fromTarget = 0;
  int32_t fromCopy = 0;
  int32_t fromFifo = 0;
  if (ctx.PartialPending && ctx.PartialBlock == q) {
    fromTarget = ctx.PartialTarget;
    fromCopy = ctx.PartialCopy;
    fromFifo = ctx.PartialFifo;
  }
  ctx.PartialPending = false;
  const bool firstOfPair = (FramesSince(q, ctx.StartPosition) & 1) == 0;
  bool keep = false;  // a woven target repeats the frame this block begins
  for (int32_t i = fromTarget; i < ctx.TargetCount; ++i) {
    // Where the target's clock slips, its block goes out twice (the frame
    // is repeated) or not at all (dropped); the second block of a repeated
    // woven frame is followed by the frame's two blocks again.
    PumpRow& row = ctx.Rows[i];
    const int32_t n = TargetFrameOf(ctx, i, q);
    const ClockSlip slip = UnpackSlip(row.Slip.load(std::memory_order_relaxed));
    const MixArea* source[3] = {ctx.Mix.get(), ctx.Mix.get(), ctx.Mix.get()};
    int32_t length[3] = {frames, frames, frames};
    int32_t copies = 1;
    if (slip.DropsAt(n)) {
      copies = 0;
    } else if (slip.RepeatsAt(n)) {
      if (!row.WeaveFields) {
        copies = 2;
      } else if (firstOfPair) {
        keep = true;
      } else {
        copies = 3;
        source[1] = ctx.Previous.get();
        length[1] = ctx.PreviousFrames;
      }
    }
    for (int32_t c = i == fromTarget ? fromCopy : 0; c < copies; ++c) {
      // A target with more fifos than planes fit in the mix area for this
      // block length gets the planes that fit; its higher fifos carry
      // nothing a line could reach.
      const int32_t sent = std::min(row.FifoCount, planes);
      for (int32_t j = i == fromTarget && c == fromCopy ? fromFifo : 0; j < sent; ++j) {
        uint32_t written = 0;
        if (row.LayerAudio->WriteFifo(row.FirstFifo + j, length[c] * 8, MixPlane(*source[c], j, length[c]), &written,
                                      0) != 0) {
          ctx.PartialPending = true;
          ctx.PartialBlock = q;
          ctx.PartialTarget = i;
          ctx.PartialCopy = c;
          ctx.PartialFifo = j;
          return false;
        }
      }
      row.FifoSamples += length[c];
    }
  }
  if (keep) {
    std::copy(ctx.Mix->Samples, ctx.Mix->Samples + static_cast<size_t>(planes) * 2 * frames, ctx.Previous->Samples);
    ctx.PreviousFrames = frames;
  }
  if (ctx.Meter != nullptr) ctx.Meter->Offer_AudioThread(*ctx.Mix, planes, frames);
  nextPos = WrapAdd(q, 1);
  return true;
}

bool WatchClockSlip(PumpContext& ctx, PumpLoopState& loop, int32_t target, int64_t pos, int32_t outputFrame,
                    std::atomic<int32_t>& clockSlips) {
  SlipWatch& w = loop.Slips[target];
  const int32_t n = TargetFrameOf(ctx, target, pos);
  const ClockSlip slip = UnpackSlip(ctx.Rows[target].Slip.load(std::memory_order_relaxed));
  // Until the frame of the latest slip is captured, the lead does not show it.
  if (slip.Step != 0 && static_cast<int32_t>(static_cast<uint32_t>(n) - slip.From) <= 0) return false;
  const int32_t lead = n + slip.OffsetAt(n) - outputFrame;
  w.WindowMax = w.Samples == 0 ? lead : std::max(w.WindowMax, lead);
  if (++w.Samples < kSlipWindowPasses) return false;
  w.Samples = 0;
  if (!w.HasReference) {
    if (++w.Settled <= kSlipSettleWindows) return false;
    w.HasReference = true;
    w.Reference = w.WindowMax;
    return false;
  }
  int32_t step = 0;
  if (w.WindowMax <= w.Reference - 1) step = 1;   // the engine gained a frame: repeat one
  if (w.WindowMax >= w.Reference + 1) step = -1;  // it lost one: drop one
  if (step == 0 || step != w.PendingStep) {
    w.PendingStep = step;
    w.Confirmed = step == 0 ? 0 : 1;
    if (step == 0 || w.Confirmed < kSlipConfirmWindows) return false;
  } else if (++w.Confirmed < kSlipConfirmWindows) {
    return false;
  }
  w.PendingStep = 0;
  w.Confirmed = 0;
  // Two target frames on: not yet captured, so neither the pump nor the
  // video thread has taken it, and a woven pair starts there.
  ClockSlip next;
  next.From = static_cast<uint32_t>(n + 2);
  next.Total = slip.Total + step;
  next.Step = step;
  ctx.Rows[target].Slip.store(PackSlip(next), std::memory_order_release);
  clockSlips.fetch_add(1, std::memory_order_relaxed);
  DebugTrace("Quellvox%s::Clock slip[%d] -- %s 1 frame at %d: lead %d frames, was %d\n", ctx.InstanceId.c_str(),
             target, step > 0 ? "repeat" : "drop", static_cast<int32_t>(next.From), w.WindowMax, w.Reference);
  return true;
}

bool ReloadMixerSettings(PumpContext& ctx, MixerHandoff& mixer) {
  const MixerPart* part = mixer.TakeNewest();
  if (part == nullptr) return false;
  ApplyMixerPart(*part, ctx.Settings);
  DeriveMixerGains(ctx.Settings, ctx.Mixer);
  ApplyThreadPriority(ctx.Settings.CpuPriority.Load(std::memory_order_relaxed));
  return true;
}

int32_t ProcessingSecondsFor(int64_t pos, int64_t start, double rate) {
  if (!(rate > 0.0) || !std::isfinite(rate)) return 0;
  return Saturate32(TruncateSaturated(Difference(pos, start) / rate + 0.499));
}

int32_t AudioFullnessSample(const PumpContext& ctx, int32_t target, int32_t outputFrame) {
  const PumpRow& row = ctx.Rows[target];
  const double perFrame = row.SamplesPerTargetFrame;
  int64_t written = 0;
  if (perFrame > 0.0 && std::isfinite(perFrame)) {
    // A bogus, tiny frame length can make the quotient enormous. Held at
    // 2^40, the sum below cannot overflow and still lies beyond the 32-bit
    // range whenever the true value does.
    written = std::min<int64_t>(TruncateSaturated(static_cast<double>(row.FifoSamples) / perFrame + 0.199),
                                int64_t{1} << 40);
  }
  const int64_t f = static_cast<int64_t>(row.FifoBase) + written - 1 - outputFrame;
  return static_cast<int32_t>(std::clamp<int64_t>(f, 0, std::numeric_limits<int32_t>::max()));
}

bool RunPumpPass(PumpContext& ctx, PumpLoopState& loop, PipelineStats& stats) {
  uint32_t word1 = 0;
  uint32_t word2 = 0;
  uint32_t word3 = 0;
  int64_t pos = 0;
  ctx.MainVideo->GetPosition(&word1, &word2, &pos, &word3);
  loop.Newest = pos;
  if (LagBeyond(pos, loop.NextPos) >= 2) {
    stats.LatePumpPasses.store(stats.LatePumpPasses.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  }
  stats.NewestCapturePosition.store(pos, std::memory_order_relaxed);

  int64_t skipped = 0;
  const bool copied = CopyAudio(ctx, pos, loop.NextPos, skipped);

  // Acquire pairs with the dialog's release store; the exchange takes the
  // request and clears it at once.
  if (stats.ResetRequested.load(std::memory_order_relaxed) != 0 &&
      stats.ResetRequested.exchange(0, std::memory_order_acquire) != 0) {
    for (auto& counter : stats.SkipVideo) counter.exchange(0, std::memory_order_relaxed);
    stats.SkipAudio.exchange(0, std::memory_order_relaxed);
    for (auto& counter : stats.ClockSlips) counter.exchange(0, std::memory_order_relaxed);
  } else if (skipped > 0) {
    stats.SkipAudio.fetch_add(Saturate32(skipped), std::memory_order_relaxed);
  }

  for (int32_t i = 0; i < kVoiceOverLines; ++i) {
    const int64_t last = ctx.Mixer.LastVoicePos[i];
    const bool recent = last != kNoVoiceYet && static_cast<uint64_t>(pos) < static_cast<uint64_t>(last) + 5u;
    stats.VoiceDetected[i].store(recent ? 1 : 0, std::memory_order_relaxed);
    stats.VoiceLevelDB[i].store(0, std::memory_order_relaxed);
    stats.FloorGainCentiDB[i].store(FloorGainToCentiDb(ctx.Mixer.FloorGain[i]), std::memory_order_relaxed);
  }
  // The pump is the only writer: a load and a store, no locked add.
  stats.PassCount.store(stats.PassCount.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  stats.InterNoiseDB.store(0, std::memory_order_relaxed);
  stats.ProcessingSeconds.store(ProcessingSecondsFor(pos, ctx.StartPosition, ctx.Rate), std::memory_order_relaxed);

  bool published = false;
  bool good = true;
  for (int32_t i = 0; i < ctx.TargetCount; ++i) {
    LayerStatus status;
    ctx.Rows[i].LayerVideo->GetStatus(&status);
    const int32_t f = AudioFullnessSample(ctx, i, status.OutputFrame());
    WatchClockSlip(ctx, loop, i, pos, status.OutputFrame(), stats.ClockSlips[i]);
    int32_t publishedMin = 0;
    if (loop.Audio[i].Add(f, stats.AudioFullness[i], &publishedMin)) {
      published = true;
      if (publishedMin == 0) good = false;
    }
  }
  if (published && good != loop.LastVerdictGood) {
    loop.LastVerdictGood = good;
    if (good) {
      DebugTrace("Quellvox%s::Audio fullness OK - goto big!!!\n", ctx.InstanceId.c_str());
    } else {
      DebugTrace("Quellvox%s::Audio fullness BAD - goto ZERO!!!\n", ctx.InstanceId.c_str());
    }
  }
  return copied;
}

void RunAudioPump(std::unique_ptr<PumpContext> ctx, const std::atomic<uint8_t>& stopRequested,
                  MixerHandoff& mixer, PipelineStats& stats) {
  if (!ctx || !ctx->Complete) return;
  if (!PrepareRelay(*ctx)) return;

  for (auto& counter : stats.ClockSlips) counter.exchange(0, std::memory_order_relaxed);
  std::thread video[kMaxTargets];
  int32_t started = 0;
  try {
    for (; started < ctx->TargetCount; ++started) {
      video[started] = std::thread(RunVideoRelay, std::cref(*ctx), started, std::ref(stats.SkipVideo[started]),
                                   std::ref(stats.VideoFullness[started]), &stats.LateVideoPasses[started],
                                   &stats.RelayedFrames[started]);
    }
  } catch (const std::system_error&) {
    // The system refused a thread: end this run as if it had been stopped.
    ctx->VideoStop.store(1, std::memory_order_release);
    for (int32_t i = 0; i < started; ++i) video[i].join();
    return;
  }

  ApplyThreadPriority(ctx->Settings.CpuPriority.Load(std::memory_order_relaxed));
  PumpLoopState loop;
  loop.NextPos = ctx->StartPosition;
  FramePacer pacer(ctx->Rate);

  while (stopRequested.load(std::memory_order_acquire) == 0) {
    ReloadMixerSettings(*ctx, mixer);
    const bool copied = RunPumpPass(*ctx, loop, stats);
    pacer.Observe(loop.Newest, FramePacer::Clock::now());
    if (!copied) {
      // Nothing copied: wait for the next frame, or look again soon when a
      // frame is there but its read or a fifo write was refused.
      const bool pending = LagBeyond(loop.Newest, loop.NextPos) > 0;
      std::this_thread::sleep_until(pacer.NextLook(pending, FramePacer::Clock::now()));
    }
  }

  // Release: the threads see the flag; nothing else is published with it.
  ctx->VideoStop.store(1, std::memory_order_release);
  for (int32_t i = 0; i < started; ++i) video[i].join();
}

}  // namespace quellvox
