#include "platform/media/fault_table.h"

#include <cmath>
#include <cstdlib>

#include "platform/media_api/media_components.h"

namespace quellvox::studio {

namespace {

constexpr const char* kOpNames[] = {
    "CreateDeviceEnumerator", "CreateTitleEngineList", "CreateTitleTarget", "QueryInterface", "FindNextDevice",
    "CreateDevice",           "GetEngineCount",        "GetEngine",         "ReadFrame",      "ReadField",
    "GetStartPosition",       "GetVideoFormat",        "GetPosition",       "ReadAudio",      "GetAudioFormat",
    "Attach",                 "GetFrameRate",          "GetRegionSize",     "CreateLayer",    "GetClock",
    "SetProperty",            "CreateFifo",            "InitFifo",          "WriteFifo",      "SetMute",
    "SetVolume",              "GetAudioInfo",          "GetStatus",         "SetPosition",    "GetBuffer",
    "SubmitBuffer",           "FrameDone"};
static_assert(sizeof(kOpNames) / sizeof(kOpNames[0]) == static_cast<size_t>(Op::Count));

struct NamedInterface {
  const char* Name;
  Guid Iid;
};
const NamedInterface kInterfaces[] = {
    {"Unknown", Unknown::kIid},
    {"IZRCaptureVideoEx", IZRCaptureVideoEx::kIid},
    {"IZRCaptureAudio", IZRCaptureAudio::kIid},
    {"IZRDeviceEnumerator", IZRDeviceEnumerator::kIid},
    {"IZRTitleEngineList", IZRTitleEngineList::kIid},
    {"IZRTitleEngine", IZRTitleEngine::kIid},
    {"IZRTitleRegions", IZRTitleRegions::kIid},
    {"IZRTitleClock", IZRTitleClock::kIid},
    {"IZRLayer", IZRLayer::kIid},
    {"IZRLayerAudio", IZRLayerAudio::kIid},
    {"IZRLayerVideo", IZRLayerVideo::kIid},
};

bool ParseTarget(const std::string& text, Scope& scope, int32_t& index) {
  index = -1;
  if (text == "any") {
    scope = Scope::Any;
    return true;
  }
  std::string_view rest;
  if (text.rfind("device ", 0) == 0) {
    scope = Scope::Device;
    rest = std::string_view(text).substr(7);
  } else if (text.rfind("engine ", 0) == 0) {
    scope = Scope::Engine;
    rest = std::string_view(text).substr(7);
  } else {
    return false;
  }
  if (rest.empty() || rest.size() > 6) return false;
  int32_t v = 0;
  for (char c : rest) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  index = v;
  return true;
}

uint64_t Mix64(uint64_t z) {
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

}  // namespace

int32_t InterfaceIndex(std::string_view name) {
  for (size_t i = 0; i < std::size(kInterfaces); ++i) {
    if (name == kInterfaces[i].Name) return static_cast<int32_t>(i);
  }
  return -1;
}

int32_t InterfaceIndex(const Guid& iid) {
  for (size_t i = 0; i < std::size(kInterfaces); ++i) {
    if (iid == kInterfaces[i].Iid) return static_cast<int32_t>(i);
  }
  return -1;
}

Status FaultTable::Add(const studio_test::FaultRule& described) {
  Rule rule{};
  rule.described = described;
  int32_t op = -1;
  for (int32_t i = 0; i < static_cast<int32_t>(Op::Count); ++i) {
    if (described.Operation == kOpNames[i]) op = i;
  }
  if (op < 0) {
    return Status::Failed(E_INVALIDARG, "unknown operation \"" + described.Operation + "\"");
  }
  rule.op = static_cast<Op>(op);
  if (!ParseTarget(described.Target, rule.scope, rule.index)) {
    return Status::Failed(E_INVALIDARG, "unknown target \"" + described.Target + "\" (\"any\", \"device N\" or \"engine N\")");
  }
  rule.interfaceIndex = -1;
  if (rule.op == Op::QueryInterface && !described.Interface.empty()) {
    rule.interfaceIndex = InterfaceIndex(described.Interface);
    if (rule.interfaceIndex < 0) {
      return Status::Failed(E_INVALIDARG, "unknown interface \"" + described.Interface + "\"");
    }
  } else if (!described.Interface.empty()) {
    return Status::Failed(E_INVALIDARG, "\"interface\" belongs to QueryInterface faults only");
  }
  if (described.Mode == studio_test::FaultMode::Every && described.Every < 1) {
    return Status::Failed(E_INVALIDARG, "\"every\" must be at least 1");
  }
  if (described.Mode == studio_test::FaultMode::Random && !(described.Rate >= 0.0 && described.Rate <= 1.0)) {
    return Status::Failed(E_INVALIDARG, "\"rate\" must lie between 0 and 1");
  }
  if (described.Skip < 0) {
    return Status::Failed(E_INVALIDARG, "\"skip\" cannot be negative");
  }
  const bool read = rule.op == Op::ReadFrame || rule.op == Op::ReadField || rule.op == Op::ReadAudio;
  if (described.LaterFrames != 0 && !read) {
    return Status::Failed(E_INVALIDARG, "\"laterFrames\" applies to ReadFrame, ReadField and ReadAudio only");
  }
  if (described.LaterFrames == 0 && described.Code == 0) {
    return Status::Failed(E_INVALIDARG, "a fault needs a non-zero code or \"laterFrames\"");
  }
  std::lock_guard lock(mu_);
  rules_.push_back(rule);
  count_.store(static_cast<int32_t>(rules_.size()), std::memory_order_release);
  return Status::Ok();
}

void FaultTable::Clear() {
  std::lock_guard lock(mu_);
  rules_.clear();
  count_.store(0, std::memory_order_release);
}

FaultHit FaultTable::Check(Op op, Scope scope, int32_t index, int32_t interfaceIndex) {
  if (count_.load(std::memory_order_acquire) == 0) return {};
  std::lock_guard lock(mu_);
  for (Rule& r : rules_) {
    if (r.op != op) continue;
    if (r.scope != Scope::Any && (r.scope != scope || r.index != index)) continue;
    if (r.interfaceIndex >= 0 && r.interfaceIndex != interfaceIndex) continue;
    const int64_t call = ++r.calls;
    if (call <= r.described.Skip) continue;
    const int64_t k = call - r.described.Skip;
    bool fire = false;
    switch (r.described.Mode) {
      case studio_test::FaultMode::Once:
        fire = k == 1;
        break;
      case studio_test::FaultMode::Every:
        fire = k % r.described.Every == 0;
        break;
      case studio_test::FaultMode::Random: {
        const double u = static_cast<double>(Mix64(Mix64(r.described.Seed) + static_cast<uint64_t>(call)) >> 11) *
                         (1.0 / 9007199254740992.0);
        fire = u < r.described.Rate;
        break;
      }
    }
    if (!fire) continue;
    fired_.fetch_add(1, std::memory_order_relaxed);
    FaultHit hit;
    hit.Fired = true;
    hit.Code = r.described.LaterFrames != 0 ? 0 : r.described.Code;
    hit.LaterFrames = r.described.LaterFrames;
    return hit;
  }
  return {};
}

}  // namespace quellvox::studio
