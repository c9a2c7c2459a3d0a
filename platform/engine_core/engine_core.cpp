#include "platform/engine_core/engine_core.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace quellvox::engine {

namespace {

// The most sample frames one fifo holds: 2^24, about 350 s at 48 kHz
// (128 MiB of stereo floats).
constexpr int64_t kMaxFifoFrames = int64_t{1} << 24;

// Output position of frame `frame` of a layer whose frame 0 is at `base`,
// the one nearest to `near`.
int64_t PositionOf(int32_t base, int32_t frame, int64_t near) {
  return ExtendPosition(static_cast<int32_t>(static_cast<uint32_t>(base) + static_cast<uint32_t>(frame)), near);
}

}  // namespace

EngineCore::EngineCore(const EngineTiming& timing, int32_t width, int32_t height, bool shownAtFirst)
    : timing_(timing),
      width_(width),
      height_(height),
      regionBytes_(static_cast<int64_t>(width) * height * 2),
      shownAtFirst_(shownAtFirst) {}

EngineCore::~EngineCore() = default;

// ---------------------------------------------------------------------------
// Evaluation

void EngineCore::EvaluateLocked(int64_t now) {
  const int64_t cur = OutputPositionAt(now);
  if (evaluatedPos_ == kNotStarted) {
    // The engine's history starts with its first use, so that a test may
    // pick its clock after loading the description.
    evaluatedPos_ = cur;
    return;
  }
  if (cur <= evaluatedPos_) return;
  bool anyAlive = false;
  for (const auto& l : layers_) anyAlive = anyAlive || l->Counts.Alive;
  if (!anyAlive) {
    evaluatedPos_ = cur;
    return;
  }
  for (int64_t q = evaluatedPos_ + 1; q <= cur; ++q) {
    const int64_t a = SampleOf(q);
    const int64_t b = SampleOf(q + 1);
    const MixTarget mix = BeginPositionLocked(q, a, b);
    for (auto& layer : layers_) {
      if (!layer->Counts.Alive) continue;
      PresentVideoLocked(*layer, q);
      for (auto& fifo : layer->Fifos) TakeAudioLocked(*fifo, a, b, mix);
    }
    EndPositionLocked(q, a, b);
  }
  evaluatedPos_ = cur;
}

void EngineCore::PresentVideoLocked(Layer& layer, int64_t q) {
  auto& r = layer.Counts;
  const int32_t f = static_cast<int32_t>(static_cast<uint32_t>(q) - static_cast<uint32_t>(r.Base));
  bool presented = false;
  for (size_t i = 0; i < layer.Queue.size();) {
    const Layer::Queued e = layer.Queue[i];
    if (e.FrameNumber == f && !presented) {
      presented = true;
      ++r.OnTime;
      PresentedLocked(layer, e, q);
    } else if (PositionOf(r.Base, e.FrameNumber, q) > q) {
      ++i;
      continue;
    } else {
      ++r.Discarded;  // a second frame for this position, or one whose position moved into the past
    }
    FreeBufferLocked(layer, e.Buffer);
    layer.Queue.erase(layer.Queue.begin() + static_cast<std::ptrdiff_t>(i));
  }
  if (!presented && r.Positioned && f >= 0) ++r.Missing;
}

void EngineCore::TakeAudioLocked(Fifo& fifo, int64_t a, int64_t b, const MixTarget& mix) {
  auto& r = fifo.Counts;
  const bool counting = fifo.Resolved;
  const int64_t cap = fifo.Capacity;
  const int32_t pair = r.Number - mix.FirstFifo;
  const bool toMix = mix.Data && !r.Muted && pair >= 0 && pair < mix.Pairs;
  const float gain = static_cast<float>(r.Volume);
  const bool keep = fifo.KeepMax > 0 && counting;
  const int64_t dataEnd = std::min(b, fifo.WriteAbs);
  const int64_t mixEnd = std::min(b, a + mix.Samples);
  if (dataEnd <= a && !keep) {
    // Nothing queued for this output frame.
    if (counting) r.SilenceSamples += b - std::max(a, std::min(b, fifo.StartAbs));
    fifo.ReadAbs = std::max(fifo.ReadAbs, b);
    return;
  }
  for (int64_t s = a; s < b; ++s) {
    float left = 0.0f;
    float right = 0.0f;
    bool have = false;
    if (s < dataEnd && s >= fifo.ReadAbs) {
      const size_t slot = static_cast<size_t>(Wrap(s, cap));
      if (fifo.Valid[slot]) {
        fifo.Valid[slot] = 0;
        left = fifo.Ring[2 * slot];
        right = fifo.Ring[2 * slot + 1];
        have = true;
      }
    }
    if (!counting || s < fifo.StartAbs) continue;
    if (have) {
      ++r.PresentedSamples;
      if (toMix && s < mixEnd) {
        float* m = mix.Data + (s - a) * 2 * mix.Pairs + 2 * pair;
        m[0] += gain * left;
        m[1] += gain * right;
      }
    } else {
      ++r.SilenceSamples;
    }
    if (keep) {
      if (r.PresentedStartSample < 0) r.PresentedStartSample = s;
      if (static_cast<int64_t>(r.Presented.size()) < 2 * fifo.KeepMax) {
        r.Presented.push_back(left);
        r.Presented.push_back(right);
      }
    }
  }
  fifo.ReadAbs = std::max(fifo.ReadAbs, b);
}

void EngineCore::ResolveFifoLocked(Layer& layer, Fifo& fifo) {
  const int64_t w = SampleOf(PositionOf(layer.Counts.Base, fifo.Counts.StartPosition, evaluatedPos_));
  // Queued samples at or beyond the new write position are dropped.
  const int64_t from = std::max(w, fifo.ReadAbs);
  for (int64_t s = from; s < fifo.WriteAbs && s < fifo.ReadAbs + fifo.Capacity; ++s) {
    const size_t slot = static_cast<size_t>(Wrap(s, fifo.Capacity));
    if (fifo.Valid[slot]) {
      fifo.Valid[slot] = 0;
      ++fifo.Counts.DiscardedSamples;
    }
  }
  if (!fifo.Resolved || fifo.Counts.WrittenSamples == 0) fifo.StartAbs = w;
  fifo.WriteAbs = w;
  fifo.Resolved = true;
  fifo.WrittenSinceInit = 0;
}

Fifo* EngineCore::FindFifoLocked(Layer& layer, int32_t number) {
  for (auto& f : layer.Fifos) {
    if (f->Counts.Number == number) return f.get();
  }
  return nullptr;
}

void EngineCore::FreeBufferLocked(Layer& layer, int32_t buffer) {
  if (buffer >= 0 && buffer < static_cast<int32_t>(layer.BufferState.size())) layer.BufferState[buffer] = 0;
}

// ---------------------------------------------------------------------------
// Layers

HResult EngineCore::PrepareBuffers(int32_t depth, std::vector<std::unique_ptr<uint8_t[]>>& out) const {
  try {
    out.resize(static_cast<size_t>(depth));
    for (auto& b : out) {
      b = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(regionBytes_));
      std::memset(b.get(), 0, static_cast<size_t>(regionBytes_));
    }
  } catch (const std::bad_alloc&) {
    out.clear();
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

bool EngineCore::NumberTakenLocked(int32_t number, bool* anyAlive) const {
  bool taken = false;
  bool alive = false;
  for (const auto& l : layers_) {
    alive = alive || l->Counts.Alive;
    taken = taken || (l->Counts.Alive && l->Counts.Number == number);
  }
  if (anyAlive) *anyAlive = alive;
  return taken;
}

HResult EngineCore::AddLayer(const std::string& name, int32_t number, int32_t depth,
                             std::vector<std::unique_ptr<uint8_t[]>> ready, std::unique_ptr<LayerExtension> extension,
                             Layer*& out) {
  std::lock_guard lock(mu_);
  EvaluateLocked(Now());
  if (NumberTakenLocked(number, nullptr)) return S_FALSE;
  try {  // std::bad_alloc, std::length_error (what the engine sizes for it too large to hold)
    LayerAddingLocked();
    auto layer = std::make_unique<Layer>();
    layer->Counts.Number = number;
    layer->Counts.Name = name;
    layer->Counts.Shown = shownAtFirst_;
    layer->Counts.DepthFrames = depth;
    if (ready.empty()) {
      layer->Buffers.resize(static_cast<size_t>(depth));
    } else {
      layer->Buffers = std::move(ready);
    }
    layer->BufferState.assign(static_cast<size_t>(depth), 0);
    layer->Queue.reserve(static_cast<size_t>(depth));  // a submit never allocates
    layer->Extension = std::move(extension);
    layers_.push_back(std::move(layer));
  } catch (const std::exception&) {
    return E_OUTOFMEMORY;
  }
  out = layers_.back().get();
  return S_OK;
}

bool EngineCore::ReleaseLayerCore(Layer* layer) {
  std::lock_guard lock(mu_);
  EvaluateLocked(Now());
  layer->Counts.Alive = false;
  layer->Counts.Discarded += static_cast<int64_t>(layer->Queue.size());
  layer->Queue.clear();
  layer->Buffers.clear();
  layer->BufferState.clear();
  layer->Lent = -1;
  // Only its counts stay: the fifos' rings and the buffers go now.
  for (auto& f : layer->Fifos) {
    std::vector<float>().swap(f->Ring);
    std::vector<uint8_t>().swap(f->Valid);
  }
  bool anyAlive = false;
  NumberTakenLocked(0, &anyAlive);
  return !anyAlive;
}

HResult EngineCore::SetShown(Layer* layer, bool shown) {
  std::lock_guard lock(mu_);
  EvaluateLocked(Now());
  layer->Counts.Shown = shown;
  return S_OK;
}

HResult EngineCore::CreateFifo(Layer* layer, int32_t number, int32_t depth) {
  if (depth <= 0 || number < 0 || number > 63) return E_INVALIDARG;
  std::lock_guard lock(mu_);
  EvaluateLocked(Now());
  if (FindFifoLocked(*layer, number)) return S_FALSE;
  // The depth comes from the caller's settings: a fifo beyond what an
  // engine could hold is refused as an engine refuses it, never attempted.
  const int64_t capacity =
      std::max<int64_t>(1, SampleOf(evaluatedPos_ + 1 + depth) - SampleOf(evaluatedPos_ + 1));
  if (capacity > kMaxFifoFrames) return E_OUTOFMEMORY;
  std::unique_ptr<Fifo> fifo;
  try {
    fifo = std::make_unique<Fifo>();
    fifo->Ring.assign(static_cast<size_t>(2 * capacity), 0.0f);
    fifo->Valid.assign(static_cast<size_t>(capacity), 0);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  fifo->Counts.Number = number;
  fifo->Counts.DepthFrames = depth;
  fifo->Capacity = capacity;
  fifo->ReadAbs = SampleOf(evaluatedPos_ + 1);
  fifo->WriteAbs = fifo->ReadAbs;
  fifo->KeepMax = KeepPresentedLocked();
  auto& list = layer->Fifos;
  auto at = std::find_if(list.begin(), list.end(), [&](const auto& f) { return f->Counts.Number > number; });
  list.insert(at, std::move(fifo));
  return S_OK;
}

HResult EngineCore::InitFifo(Layer* layer, int32_t number, int32_t position) {
  std::lock_guard lock(mu_);
  EvaluateLocked(Now());
  Fifo* fifo = FindFifoLocked(*layer, number);
  if (!fifo) return E_INVALIDARG;
  fifo->Counts.StartPosition = position;
  if (layer->Counts.Positioned) {
    ResolveFifoLocked(*layer, *fifo);
  } else {
    fifo->WrittenSinceInit = 0;
  }
  return S_OK;
}

HResult EngineCore::WriteFifo(Layer* layer, int32_t number, int32_t byteCount, const float* data,
                              uint32_t* outCount) {
  if (!data) return E_POINTER;
  if (byteCount <= 0 || byteCount % 8) return E_INVALIDARG;
  std::lock_guard lock(mu_);
  EvaluateLocked(Now());
  Fifo* fifo = FindFifoLocked(*layer, number);
  if (!fifo || fifo->Ring.empty()) return E_INVALIDARG;  // none, or its layer released
  if (!fifo->Resolved) ResolveFifoLocked(*layer, *fifo);
  const int64_t k = byteCount / 8;
  const int64_t w = fifo->WriteAbs;
  const int64_t late = std::clamp<int64_t>(fifo->ReadAbs - w, 0, k);
  if (w + k - fifo->ReadAbs > fifo->Capacity) {
    ++fifo->Counts.RefusedWrites;
    return S_FALSE;
  }
  for (int64_t i = late; i < k; ++i) {
    const size_t slot = static_cast<size_t>(Wrap(w + i, fifo->Capacity));
    fifo->Ring[2 * slot] = data[2 * i];
    fifo->Ring[2 * slot + 1] = data[2 * i + 1];
    fifo->Valid[slot] = 1;
  }
  fifo->WriteAbs = w + k;
  fifo->WrittenSinceInit += k;
  fifo->Counts.WrittenSamples += k;
  fifo->Counts.LateSamples += late;
  if (outCount) *outCount = static_cast<uint32_t>(k - late);
  return S_OK;
}

HResult EngineCore::SetMute(Layer* layer, int32_t number, bool mute) {
  std::lock_guard lock(mu_);
  EvaluateLocked(Now());
  Fifo* fifo = FindFifoLocked(*layer, number);
  if (!fifo) return E_INVALIDARG;
  fifo->Counts.Muted = mute;
  return S_OK;
}

HResult EngineCore::SetVolume(Layer* layer, int32_t number, double gain) {
  if (!(gain >= 0.0 && gain <= 16.0)) return E_INVALIDARG;
  std::lock_guard lock(mu_);
  EvaluateLocked(Now());
  Fifo* fifo = FindFifoLocked(*layer, number);
  if (!fifo) return E_INVALIDARG;
  fifo->Counts.Volume = gain;
  return S_OK;
}

HResult EngineCore::GetStatus(Layer* layer, LayerStatus* status) {
  if (!status) return E_POINTER;
  std::lock_guard lock(mu_);
  EvaluateLocked(Now());
  *status = LayerStatus{};
  const uint32_t queued = static_cast<uint32_t>(layer->Queue.size());
  std::memcpy(status->Bytes + 4, &queued, sizeof queued);
  status->SetOutputFrame(
      static_cast<int32_t>(static_cast<uint32_t>(evaluatedPos_) - static_cast<uint32_t>(layer->Counts.Base)));
  return S_OK;
}

HResult EngineCore::SetPosition(Layer* layer, int32_t base) {
  std::lock_guard lock(mu_);
  EvaluateLocked(Now());
  layer->Counts.Base = base;
  layer->Counts.Positioned = true;
  for (auto& f : layer->Fifos) {
    if (!f->Resolved || f->WrittenSinceInit == 0) ResolveFifoLocked(*layer, *f);
  }
  return S_OK;
}

HResult EngineCore::GetBuffer(Layer* layer, int32_t size, uint8_t** address, int32_t* inOutSize) {
  if (!address) return E_POINTER;
  if (size <= 0 || size > regionBytes_) return E_INVALIDARG;
  std::lock_guard lock(mu_);
  EvaluateLocked(Now());
  if (layer->Lent >= 0) FreeBufferLocked(*layer, layer->Lent);
  layer->Lent = -1;
  // The first free buffer, one already made before one still to make.
  int32_t pick = -1;
  for (size_t i = 0; i < layer->BufferState.size(); ++i) {
    if (layer->BufferState[i] != 0) continue;
    if (pick < 0 || (!layer->Buffers[static_cast<size_t>(pick)] && layer->Buffers[i])) pick = static_cast<int32_t>(i);
  }
  if (pick < 0) {
    ++layer->Counts.BufferRefusals;
    return E_PENDING;
  }
  auto& buffer = layer->Buffers[static_cast<size_t>(pick)];
  // Not zeroed here: the lock is held, and the pages are first touched by
  // the frame copy that follows, outside it.
  if (!buffer) buffer = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(regionBytes_));
  layer->BufferState[static_cast<size_t>(pick)] = 1;
  layer->Lent = pick;
  ++layer->Counts.BuffersLent;
  *address = buffer.get();
  if (inOutSize) *inOutSize = static_cast<int32_t>(regionBytes_);
  return S_OK;
}

HResult EngineCore::SubmitBuffer(Layer* layer, int32_t size, const FrameDescriptor* d) {
  std::lock_guard lock(mu_);
  EvaluateLocked(Now());
  auto& r = layer->Counts;
  if (layer->Lent < 0) {
    ++r.RefusedSubmits;
    return E_UNEXPECTED;
  }
  const int32_t buffer = layer->Lent;
  layer->Lent = -1;
  if (!d || d->Format != 2 || d->Width != width_ || d->Height != height_ || size <= 0 || size > regionBytes_ ||
      d->Size <= 0 || d->Size > regionBytes_) {
    ++r.RefusedSubmits;
    FreeBufferLocked(*layer, buffer);
    return d ? E_INVALIDARG : E_POINTER;
  }
  if (PositionOf(r.Base, d->FrameNumber, evaluatedPos_) <= evaluatedPos_) {
    ++r.Late;
    FreeBufferLocked(*layer, buffer);
    return S_OK;
  }
  Layer::Queued e{buffer, d->FrameNumber, -1, -1};
  SubmittedLocked(*layer, e, layer->Buffers[static_cast<size_t>(buffer)].get());
  layer->BufferState[static_cast<size_t>(buffer)] = 2;
  layer->Queue.push_back(e);
  return S_OK;
}

HResult EngineCore::FrameDone(Layer* layer) {
  std::lock_guard lock(mu_);
  EvaluateLocked(Now());
  ++layer->Counts.FramesDone;
  return S_OK;
}

}  // namespace quellvox::engine
