// Fault injection: rules that make a studio operation return a chosen code
// (once, every n-th call, at a random rate) or make a capture read deliver a
// later frame than asked.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com/com.h"
#include "platform/com/status.h"
#include "platform/media/studio_test_api.h"

namespace quellvox::studio {

enum class Op : int32_t {
  CreateDeviceEnumerator,
  CreateTitleEngineList,
  CreateTitleTarget,
  QueryInterface,
  FindNextDevice,
  CreateDevice,
  GetEngineCount,
  GetEngine,
  ReadFrame,
  ReadField,
  GetStartPosition,
  GetVideoFormat,
  GetPosition,
  ReadAudio,
  GetAudioFormat,
  Attach,
  GetFrameRate,
  GetRegionSize,
  CreateLayer,
  GetClock,
  SetProperty,
  CreateFifo,
  InitFifo,
  WriteFifo,
  SetMute,
  SetVolume,
  GetAudioInfo,
  GetStatus,
  SetPosition,
  GetBuffer,
  SubmitBuffer,
  FrameDone,
  Count
};

enum class Scope : int32_t { Any, Device, Engine };

// Index into the interface names the studio knows ("IZRCaptureAudio", ...),
// or -1.
int32_t InterfaceIndex(std::string_view name);
int32_t InterfaceIndex(const Guid& iid);

struct FaultHit {
  bool Fired = false;
  HResult Code = 0;
  int64_t LaterFrames = 0;
};

class FaultTable {
 public:
  // Checks and adds a rule; a bad one fails with what is wrong with it.
  Status Add(const studio_test::FaultRule& rule);
  void Clear();
  int64_t Fired() const { return fired_.load(std::memory_order_relaxed); }

  // Any thread. Without rules this is one atomic load; with rules a short
  // lock (never held by a caller while it copies a frame).
  FaultHit Check(Op op, Scope scope, int32_t index, int32_t interfaceIndex = -1);

 private:
  struct Rule {
    Op op;
    Scope scope;
    int32_t index;
    int32_t interfaceIndex;
    studio_test::FaultRule described;
    int64_t calls = 0;
  };

  // Release on change, acquire on check: a checker that sees a non-zero
  // count takes the lock and then sees the rules.
  std::atomic<int32_t> count_{0};
  std::atomic<int64_t> fired_{0};
  std::mutex mu_;
  std::vector<Rule> rules_;
};

}  // namespace quellvox::studio
