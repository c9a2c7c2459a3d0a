#include "pipeline/video_relay.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <thread>

#include "pipeline/frame_math.h"
#include "pipeline/frame_pacer.h"
#include "platform/system/debug_trace.h"
#include "platform/system/thread_priority.h"

namespace quellvox {

namespace {

constexpr int32_t kReadMode = 2;  // passed to ReadFrame / ReadField unchanged

// Borrows a frame buffer from the row's layer. A buffer that is lent but
// then not submitted (a read failed) is not handed back by a call: the
// layer takes it back with its next lend.
bool Borrow(const PumpContext& ctx, int32_t row, uint8_t*& buffer, int32_t& size) {
  buffer = nullptr;
  size = ctx.BufferSize;
  if (ctx.Rows[row].LayerVideo->GetBuffer(ctx.BufferSize, ctx.BufferSize, &buffer, &size, 0) != 0) return false;
  return buffer != nullptr;
}

bool Submit(const PumpContext& ctx, int32_t row, int32_t frameNumber) {
  // Each thread submits its own copy of the template, so one row's frame
  // number never reaches another row's layer.
  FrameDescriptor descriptor = ctx.Descriptor;
  descriptor.FrameNumber = frameNumber;
  if (ctx.Rows[row].LayerVideo->SubmitBuffer(0, ctx.BufferSize, &descriptor) != 0) return false;
  ctx.Rows[row].LayerVideo->FrameDone(3, 5);
  return true;
}

// The target frame of a woven pair starting at capture position `next`,
// counted from StartPosition (the 64-bit difference halved as unsigned).
int32_t WovenFrame(const PumpContext& ctx, int64_t next) {
  return static_cast<int32_t>(
      static_cast<uint32_t>((static_cast<uint64_t>(next) - static_cast<uint64_t>(ctx.StartPosition)) / 2u));
}

// Reads capture frames pos and pos + 1 as the two fields of the buffer;
// pos ends one beyond the frame the second read delivered.
bool ReadFields(const PumpContext& ctx, int32_t row, uint8_t* buffer, int32_t size, int64_t& pos) {
  // The capture component does the weave: every second line from the
  // buffer's first line (field flag 1) or from its second line (flag 0).
  // The second-line field starts one line in, so one line less of the
  // buffer lies ahead of it (none of a size the layer gave as negative).
  const int32_t fieldPitch = static_cast<int32_t>(std::min<int64_t>(
      int64_t{2} * ctx.LinePitch, std::numeric_limits<int32_t>::max()));
  const int32_t lineOffset = std::clamp(ctx.LinePitch, 0, std::max(size, 0));
  uint8_t* const firstLine = buffer;
  uint8_t* const secondLine = buffer + lineOffset;
  const int32_t secondSize = size - lineOffset;
  int32_t notRead = 0;
  if (ctx.Rows[row].TopFieldFirst) {
    if (ctx.MainVideo->ReadField(firstLine, size, fieldPitch, &pos, &notRead, kReadMode, 1) != 0) return false;
    pos = WrapAdd(pos, 1);
    if (ctx.MainVideo->ReadField(secondLine, secondSize, fieldPitch, &pos, &notRead, kReadMode, 0) != 0) return false;
  } else {
    if (ctx.MainVideo->ReadField(secondLine, secondSize, fieldPitch, &pos, &notRead, kReadMode, 0) != 0) return false;
    pos = WrapAdd(pos, 1);
    if (ctx.MainVideo->ReadField(firstLine, size, fieldPitch, &pos, &notRead, kReadMode, 1) != 0) return false;
  }
  pos = WrapAdd(pos, 1);
  return true;
}

}  // namespace

bool CopyVideoFrame(const PumpContext& ctx, int32_t row, int64_t newest, int64_t& next, int64_t& skipped,
                    int32_t& fill) {
  if (LagBeyond(newest, next) == 0) return false;

  const int64_t d = Skip1Frames(LagBeyond(newest, next), ctx.MaxLag);
  if (d >= 0) {
    DebugTrace("Quellvox%s::CopyVideoFrame[%d] -- Skip#1 %lld frames  %lld --> %lld\n", ctx.InstanceId.c_str(), row,
               static_cast<long long>(d), static_cast<long long>(next), static_cast<long long>(newest));
    next = WrapAdd(next, d);
    skipped = WrapAdd(skipped, d);
  }

  // A frame the engine's slower clock has no room for is dropped; its
  // audio block is dropped by the pump alike.
  const ClockSlip slip = UnpackSlip(ctx.Rows[row].Slip.load(std::memory_order_acquire));
  if (slip.DropsAt(FramesSince(next, ctx.StartPosition))) {
    next = WrapAdd(next, 1);
    if (LagBeyond(newest, next) == 0) return false;
  }

  uint8_t* buffer = nullptr;
  int32_t size = 0;
  if (!Borrow(ctx, row, buffer, size)) return false;

  int64_t pos = next;
  int32_t notRead = 0;
  if (ctx.MainVideo->ReadFrame(buffer, size, ctx.LinePitch, &pos, &notRead, kReadMode) != 0) return false;

  const int32_t captured = FramesSince(pos, ctx.StartPosition);
  // Before the slip's frame, the offset before it: a repeated frame goes
  // first where it belonged, then one position on.
  const int32_t frameNumber = captured + slip.OffsetAt(captured) - (slip.RepeatsAt(captured) ? 1 : 0);
  fill = frameNumber;
  if (!Submit(ctx, row, frameNumber)) return false;
  if (slip.RepeatsAt(captured)) {
    // The engine's faster clock needs a frame more: the same frame again,
    // one position on, as its audio block goes out twice.
    int64_t again = pos;
    if (Borrow(ctx, row, buffer, size) &&
        ctx.MainVideo->ReadFrame(buffer, size, ctx.LinePitch, &again, &notRead, kReadMode) == 0 &&
        Submit(ctx, row, frameNumber + 1)) {
      fill = frameNumber + 1;
    }
  }

  if (pos != next) {
    const int32_t k = FramesSince(pos, next);
    DebugTrace("Quellvox%s::CopyVideoFrame[%d] -- Skip#2 %d frames  %lld --> %lld on frame %lld\n",
               ctx.InstanceId.c_str(), row, k, static_cast<long long>(next), static_cast<long long>(pos),
               static_cast<long long>(newest));
    if (k > 0) skipped = WrapAdd(skipped, k);  // an earlier frame is no skip
  }
  next = WrapAdd(pos, 1);
  return true;
}

bool CopyVideoFields(const PumpContext& ctx, int32_t row, int64_t newest, int64_t& next, int64_t& skipped,
                     int32_t& fill) {
  // Two frames are needed.
  if (LagBeyond(newest, next) < 2) return false;

  // An even jump keeps the pairs on the same capture frames. Two frames are
  // there, so a jump is never negative.
  int64_t d = Skip1Frames(LagBeyond(newest, next), ctx.MaxLag);
  if (d >= 0) {
    d &= ~int64_t{1};
    DebugTrace("Quellvox%s::CopyVideoFields[%d] -- Skip#1 %lld frames  %lld --> %lld\n", ctx.InstanceId.c_str(), row,
               static_cast<long long>(d), static_cast<long long>(next), static_cast<long long>(newest));
    next = WrapAdd(next, d);
    skipped = WrapAdd(skipped, d);
  }

  const ClockSlip slip = UnpackSlip(ctx.Rows[row].Slip.load(std::memory_order_acquire));
  if (slip.DropsAt(WovenFrame(ctx, next))) {
    next = WrapAdd(next, 2);
    if (LagBeyond(newest, next) < 2) return false;
  }

  uint8_t* buffer = nullptr;
  int32_t size = 0;
  if (!Borrow(ctx, row, buffer, size)) return false;

  int64_t pos = next;
  if (!ReadFields(ctx, row, buffer, size, pos)) return false;

  // Numbered by the position asked for, not the one delivered; a repeated
  // frame goes first where it belonged before the slip, then one on.
  const int32_t woven = WovenFrame(ctx, next);
  const int32_t frameNumber = woven + slip.OffsetAt(woven) - (slip.RepeatsAt(woven) ? 1 : 0);
  fill = frameNumber;
  if (!Submit(ctx, row, frameNumber)) return false;
  if (slip.RepeatsAt(woven)) {
    int64_t again = next;
    if (Borrow(ctx, row, buffer, size) && ReadFields(ctx, row, buffer, size, again) &&
        Submit(ctx, row, frameNumber + 1)) {
      fill = frameNumber + 1;
    }
  }

  if (pos == WrapAdd(next, 2)) {
    next = pos;
  } else {
    // Delivered later than asked: jump the even part of the surplus. An
    // earlier delivery counts no negative skip and moves nothing back.
    const int64_t surplus = WrapSub(pos, WrapAdd(next, 2));
    const int64_t e = surplus > 0 ? (surplus & ~int64_t{1}) : 0;
    skipped = WrapAdd(skipped, e);
    DebugTrace("Quellvox%s::CopyVideoFields[%d] -- Skip#2 %lld frames  %lld --> %lld\n", ctx.InstanceId.c_str(), row,
               static_cast<long long>(e), static_cast<long long>(next), static_cast<long long>(newest));
    next = WrapAdd(next, WrapAdd(e, 2));
  }
  return true;
}

void RunVideoRelay(const PumpContext& ctx, int32_t row, std::atomic<int32_t>& skipVideo, FullnessRecord& fullness,
                   std::atomic<uint32_t>* latePasses, std::atomic<uint32_t>* relayed) {
  int32_t priority = ctx.Settings.CpuPriority.Load(std::memory_order_relaxed);
  ApplyThreadPriority(priority);
  int64_t next = ctx.StartPosition;
  FullnessAccumulator accumulator;
  const bool weave = ctx.Rows[row].WeaveFields;
  FramePacer pacer(ctx.Rate);

  // Acquire pairs with the pump's release store after its loop.
  while (ctx.VideoStop.load(std::memory_order_acquire) == 0) {
    int64_t newest = 0;
    uint32_t word1 = 0;
    uint32_t word2 = 0;
    uint32_t word3 = 0;
    ctx.Rows[row].RegionCapture->GetPosition(&word1, &word2, &newest, &word3);
    pacer.Observe(newest, FramePacer::Clock::now());
    if (latePasses && LagBeyond(newest, next) >= (weave ? 3u : 2u)) {
      latePasses->store(latePasses->load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }

    int64_t skipped = 0;
    int32_t fill = 0;
    const bool copied = weave ? CopyVideoFields(ctx, row, newest, next, skipped, fill)
                              : CopyVideoFrame(ctx, row, newest, next, skipped, fill);
    if (copied) {
      if (relayed) relayed->store(relayed->load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
      if (skipped > 0) {
        skipVideo.fetch_add(static_cast<int32_t>(std::min<int64_t>(skipped, std::numeric_limits<int32_t>::max())),
                            std::memory_order_relaxed);
      }
      LayerStatus status;
      ctx.Rows[row].LayerVideo->GetStatus(&status);
      const int64_t sample = static_cast<int64_t>(fill) - status.OutputFrame();
      accumulator.Add(static_cast<int32_t>(std::clamp<int64_t>(sample, 0, std::numeric_limits<int32_t>::max())),
                      fullness);
    }
    // The pump rewrites its copy's CpuPriority on a settings reload.
    const int32_t wanted = ctx.Settings.CpuPriority.Load(std::memory_order_relaxed);
    if (wanted != priority) {
      priority = wanted;
      ApplyThreadPriority(priority);
    }
    if (!copied) {
      // Nothing taken: wait for the next frame, or look again soon when a
      // frame is there but its lend or read was refused.
      const bool pending = LagBeyond(newest, next) >= (weave ? 2u : 1u);
      std::this_thread::sleep_until(pacer.NextLook(pending, FramePacer::Clock::now()));
    }
  }
}

}  // namespace quellvox
