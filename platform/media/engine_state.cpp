// Title engines: the output clock, layers with their buffer pools, frame
// queues and audio fifos, and the evaluation that presents, output position
// by output position, what the layers hold.
//
// Evaluation is lazy: every call on an engine's targets and layers first
// brings the engine up to the clock, so that counts are exact at every call
// and a manual clock drives everything without a background thread.
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <new>
#include <nlohmann/json.hpp>

#include "platform/media/studio.h"
#include "platform/media/studio_clock.h"

namespace quellvox::studio {

namespace {

// The most sample frames one fifo holds: 2^24, about 350 s at 48 kHz
// (128 MiB of stereo floats).
constexpr int64_t kMaxFifoFrames = int64_t{1} << 24;
// The most a layer's lend buffers made ready up front may take: 2 GiB, some
// 500 UYVY frames of 1080 lines.
constexpr int64_t kMaxPreallocatedBytes = int64_t{2} << 30;

int64_t Wrap(int64_t v, int64_t m) {
  const int64_t r = v % m;
  return r < 0 ? r + m : r;
}

}  // namespace

struct EngineState::Fifo {
  studio_test::FifoReport report;
  int64_t capacity = 0;           // sample frames
  std::vector<float> ring;        // 2 x capacity, slot = absolute sample mod capacity
  std::vector<uint8_t> valid;     // capacity
  bool resolved = false;          // startAbs / writeAbs follow from base and the init position
  int64_t writtenSinceInit = 0;
  int64_t startAbs = 0;           // output sample from which data is expected
  int64_t readAbs = 0;            // next output sample to take
  int64_t writeAbs = 0;           // next sample written lands here
  int64_t keepMax = 0;
};

struct EngineState::Layer {
  studio_test::LayerReport report;
  struct Queued {
    int32_t buffer;
    int32_t frameNumber;
    int64_t earlier;
    int64_t later;
  };
  std::vector<std::unique_ptr<uint8_t[]>> buffers;  // allocated on first lend
  std::vector<uint8_t> bufferState;                 // 0 free, 1 lent, 2 queued
  int32_t lent = -1;
  std::vector<Queued> queue;
  std::vector<std::unique_ptr<Fifo>> fifos;
};

EngineState::EngineState(Studio& studio, const EngineDescription& desc, int32_t index)
    : studio_(studio), desc_(desc), index_(index) {
  regionBytes_ = static_cast<int64_t>(desc.Width) * desc.Height * 2;
  reports_ = desc.Reports;
  recording_ = desc.Record;
  recordMaxFrames_ = static_cast<int64_t>(studio.Desc().RecordMaxSeconds * desc.SampleRate);
}

EngineState::~EngineState() = default;

studio_test::EngineReports EngineState::Reports() {
  std::lock_guard lock(mu_);
  return reports_;
}

void EngineState::SetReports(const studio_test::EngineReports& reports) {
  std::lock_guard lock(mu_);
  reports_ = reports;
}

// ---------------------------------------------------------------------------
// Evaluation

void EngineState::EvaluateLocked(int64_t now) {
  const int64_t cur = OutputPositionAt(now);
  if (evaluatedPos_ == kNotStarted) {
    // The engine's history starts with its first use, so that a test may
    // pick its clock after loading the description.
    evaluatedPos_ = cur;
    return;
  }
  if (cur <= evaluatedPos_) return;
  bool anyAlive = false;
  for (const auto& l : layers_) anyAlive = anyAlive || l->report.Alive;
  if (!anyAlive) {
    evaluatedPos_ = cur;
    return;
  }
  const int32_t lines = desc_.StereoLines;
  const bool record = recording_ && static_cast<int64_t>(recorded_.size()) / (2 * lines) < recordMaxFrames_;
  for (int64_t q = evaluatedPos_ + 1; q <= cur; ++q) {
    const int64_t a = SampleOf(q);
    const int64_t b = SampleOf(q + 1);
    float* mix = nullptr;
    if (record) {
      mix_.assign(static_cast<size_t>((b - a) * 2 * lines), 0.0f);
      mix = mix_.data();
    }
    for (auto& layer : layers_) {
      if (!layer->report.Alive) continue;
      PresentVideoLocked(*layer, q);
      for (auto& fifo : layer->fifos) TakeAudioLocked(*fifo, a, b, mix);
    }
    if (mix) {
      const int64_t room = recordMaxFrames_ - static_cast<int64_t>(recorded_.size()) / (2 * lines);
      const int64_t n = std::min(room, b - a);
      if (n > 0) {
        recorded_.insert(recorded_.end(), mix_.begin(), mix_.begin() + n * 2 * lines);
        if (recordedSpans_.empty() ||
            recordedSpans_.back().FromPosition + recordedSpans_.back().Positions != q) {
          recordedSpans_.push_back({q, 0, a, 0});
        }
        ++recordedSpans_.back().Positions;
        recordedSpans_.back().SampleFrames += n;
      }
    }
  }
  evaluatedPos_ = cur;
}

void EngineState::PresentVideoLocked(Layer& layer, int64_t q) {
  auto& r = layer.report;
  const int32_t f = static_cast<int32_t>(static_cast<uint32_t>(q) - static_cast<uint32_t>(r.Base));
  bool presented = false;
  for (size_t i = 0; i < layer.queue.size();) {
    const Layer::Queued e = layer.queue[i];
    const int64_t at = ExtendPosition(static_cast<int32_t>(static_cast<uint32_t>(r.Base) + static_cast<uint32_t>(e.frameNumber)), q);
    if (e.frameNumber == f && !presented) {
      presented = true;
      ++r.OnTime;
      if (e.earlier < 0) {
        ++r.Unreadable;
      } else {
        if (desc_.Interlaced && e.later != e.earlier + 1) ++r.FieldOrderErrors;
        const int64_t step = desc_.Interlaced ? 2 : 1;
        if (r.LastCaptureFrame >= 0) {
          if (e.earlier == r.LastCaptureFrame) {
            ++r.Repeated;
          } else if (e.earlier < r.LastCaptureFrame) {
            ++r.OutOfOrder;
          } else if (e.earlier > r.LastCaptureFrame + step) {
            r.CaptureGaps += e.earlier - r.LastCaptureFrame - step;
          }
        }
        r.LastCaptureFrame = e.earlier;
      }
      if (static_cast<int64_t>(r.Log.size()) < studio_.Desc().LogMaxFrames) {
        r.Log.push_back({q, e.frameNumber, e.earlier, desc_.Interlaced ? e.later : -1});
      }
    } else if (at > q) {
      ++i;
      continue;
    } else {
      ++r.Discarded;  // a second frame for this position, or one whose position moved into the past
    }
    FreeBufferLocked(layer, e.buffer);
    layer.queue.erase(layer.queue.begin() + static_cast<std::ptrdiff_t>(i));
  }
  if (!presented && r.Positioned && f >= 0) ++r.Missing;
}

void EngineState::TakeAudioLocked(Fifo& fifo, int64_t a, int64_t b, float* mix) {
  auto& r = fifo.report;
  const bool counting = fifo.resolved;
  const int64_t cap = fifo.capacity;
  const int32_t lines = desc_.StereoLines;
  const bool toMix = mix && !r.Muted && r.Number < lines;
  const float gain = static_cast<float>(r.Volume);
  const bool keep = fifo.keepMax > 0 && counting;
  const int64_t dataEnd = std::min(b, fifo.writeAbs);
  if (dataEnd <= a && !keep) {
    // Nothing queued for this output frame.
    if (counting) r.SilenceSamples += b - std::max(a, std::min(b, fifo.startAbs));
    fifo.readAbs = std::max(fifo.readAbs, b);
    return;
  }
  for (int64_t s = a; s < b; ++s) {
    float left = 0.0f;
    float right = 0.0f;
    bool have = false;
    if (s < dataEnd && s >= fifo.readAbs) {
      const size_t slot = static_cast<size_t>(Wrap(s, cap));
      if (fifo.valid[slot]) {
        fifo.valid[slot] = 0;
        left = fifo.ring[2 * slot];
        right = fifo.ring[2 * slot + 1];
        have = true;
      }
    }
    if (!counting || s < fifo.startAbs) continue;
    if (have) {
      ++r.PresentedSamples;
      if (toMix) {
        float* m = mix + (s - a) * 2 * lines + 2 * r.Number;
        m[0] += gain * left;
        m[1] += gain * right;
      }
    } else {
      ++r.SilenceSamples;
    }
    if (keep) {
      if (r.PresentedStartSample < 0) r.PresentedStartSample = s;
      if (static_cast<int64_t>(r.Presented.size()) < 2 * fifo.keepMax) {
        r.Presented.push_back(left);
        r.Presented.push_back(right);
      }
    }
  }
  fifo.readAbs = std::max(fifo.readAbs, b);
}

void EngineState::ResolveFifoLocked(Layer& layer, Fifo& fifo) {
  const int32_t low = static_cast<int32_t>(static_cast<uint32_t>(layer.report.Base) +
                                           static_cast<uint32_t>(fifo.report.StartPosition));
  const int64_t pos = ExtendPosition(low, evaluatedPos_);
  const int64_t w = SampleOf(pos);
  // Queued samples at or beyond the new write position are dropped.
  const int64_t from = std::max(w, fifo.readAbs);
  for (int64_t s = from; s < fifo.writeAbs && s < fifo.readAbs + fifo.capacity; ++s) {
    const size_t slot = static_cast<size_t>(Wrap(s, fifo.capacity));
    if (fifo.valid[slot]) {
      fifo.valid[slot] = 0;
      ++fifo.report.DiscardedSamples;
    }
  }
  if (!fifo.resolved || fifo.report.WrittenSamples == 0) fifo.startAbs = w;
  fifo.writeAbs = w;
  fifo.resolved = true;
  fifo.writtenSinceInit = 0;
}

EngineState::Fifo* EngineState::FindFifoLocked(Layer& layer, int32_t number) {
  for (auto& f : layer.fifos) {
    if (f->report.Number == number) return f.get();
  }
  return nullptr;
}

void EngineState::FreeBufferLocked(Layer& layer, int32_t buffer) {
  if (buffer >= 0 && buffer < static_cast<int32_t>(layer.bufferState.size())) layer.bufferState[buffer] = 0;
}

// ---------------------------------------------------------------------------
// Layers

HResult EngineState::CreateLayer(const std::string& name, int32_t number, int32_t depth, Layer*& out) {
  // Buffers made ready up front are allocated and paged in before the lock
  // is taken, on the caller's set-up path.
  // Sizes come from the description and the caller's depth: what an engine
  // could not hold is refused with a code, and no allocation failure ever
  // leaves the component as an exception.
  std::vector<std::unique_ptr<uint8_t[]>> ready;
  if (desc_.Preallocate && depth > 0) {
    if (static_cast<int64_t>(depth) * regionBytes_ > kMaxPreallocatedBytes) return E_OUTOFMEMORY;
    try {
      ready.resize(static_cast<size_t>(depth));
      for (auto& b : ready) {
        b = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(regionBytes_));
        std::memset(b.get(), 0, static_cast<size_t>(regionBytes_));
      }
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
  }
  try {
    return AddLayer(name, number, depth, std::move(ready), out);
  } catch (const std::exception&) {  // std::bad_alloc, std::length_error (a recording too long to hold)
    return E_OUTOFMEMORY;
  }
}

HResult EngineState::AddLayer(const std::string& name, int32_t number, int32_t depth,
                                       std::vector<std::unique_ptr<uint8_t[]>> ready, Layer*& out) {
  std::lock_guard lock(mu_);
  EvaluateLocked(ClockNow());
  for (const auto& l : layers_) {
    if (l->report.Alive && l->report.Number == number) return kRefused;
  }
  if (recording_ && recorded_.capacity() == 0) {
    // Sized once, here on the caller's set-up path, so that presenting never
    // moves a long recording while the engine's lock is held.
    recorded_.reserve(static_cast<size_t>(recordMaxFrames_) * 2 * static_cast<size_t>(desc_.StereoLines));
  }
  auto layer = std::make_unique<Layer>();
  layer->report.Number = number;
  layer->report.Name = name;
  layer->report.DepthFrames = depth;
  if (ready.empty()) {
    layer->buffers.resize(static_cast<size_t>(depth));
  } else {
    layer->buffers = std::move(ready);
  }
  layer->bufferState.assign(static_cast<size_t>(depth), 0);
  out = layer.get();
  layers_.push_back(std::move(layer));
  return S_OK;
}

void EngineState::ReleaseLayer(Layer* layer) {
  std::lock_guard lock(mu_);
  EvaluateLocked(ClockNow());
  layer->report.Alive = false;
  layer->report.Discarded += static_cast<int64_t>(layer->queue.size());
  layer->queue.clear();
  layer->buffers.clear();
  layer->bufferState.clear();
  layer->lent = -1;
  for (auto& f : layer->fifos) {
    std::vector<float>().swap(f->ring);
    std::vector<uint8_t>().swap(f->valid);
  }
}

HResult EngineState::SetShown(Layer* layer, bool shown) {
  std::lock_guard lock(mu_);
  EvaluateLocked(ClockNow());
  layer->report.Shown = shown;
  return S_OK;
}

HResult EngineState::CreateFifo(Layer* layer, int32_t number, int32_t depth) {
  if (depth <= 0 || number < 0 || number > 63) return E_INVALIDARG;
  std::lock_guard lock(mu_);
  EvaluateLocked(ClockNow());
  if (FindFifoLocked(*layer, number)) return kRefused;
  // The depth comes from the caller's settings: a fifo beyond what an
  // engine could hold is refused as an engine refuses it, never attempted.
  const int64_t capacity =
      std::max<int64_t>(1, SampleOf(evaluatedPos_ + 1 + depth) - SampleOf(evaluatedPos_ + 1));
  if (capacity > kMaxFifoFrames) return E_OUTOFMEMORY;
  auto fifo = std::make_unique<Fifo>();
  fifo->report.Number = number;
  fifo->report.DepthFrames = depth;
  fifo->capacity = capacity;
  try {
    fifo->ring.assign(static_cast<size_t>(2 * fifo->capacity), 0.0f);
    fifo->valid.assign(static_cast<size_t>(fifo->capacity), 0);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  fifo->readAbs = SampleOf(evaluatedPos_ + 1);
  fifo->writeAbs = fifo->readAbs;
  fifo->keepMax = studio_.KeepPresented().load(std::memory_order_relaxed);
  auto& list = layer->fifos;
  auto at = std::find_if(list.begin(), list.end(), [&](const auto& f) { return f->report.Number > number; });
  list.insert(at, std::move(fifo));
  return S_OK;
}

HResult EngineState::InitFifo(Layer* layer, int32_t number, int32_t position) {
  std::lock_guard lock(mu_);
  EvaluateLocked(ClockNow());
  Fifo* fifo = FindFifoLocked(*layer, number);
  if (!fifo) return E_INVALIDARG;
  fifo->report.StartPosition = position;
  if (layer->report.Positioned) {
    ResolveFifoLocked(*layer, *fifo);
  } else {
    fifo->writtenSinceInit = 0;
  }
  return S_OK;
}

HResult EngineState::WriteFifo(Layer* layer, int32_t number, int32_t byteCount, const float* data, uint32_t* outCount) {
  if (!data) return E_POINTER;
  if (byteCount <= 0 || byteCount % 8) return E_INVALIDARG;
  std::lock_guard lock(mu_);
  EvaluateLocked(ClockNow());
  Fifo* fifo = FindFifoLocked(*layer, number);
  if (!fifo) return E_INVALIDARG;
  if (!fifo->resolved) ResolveFifoLocked(*layer, *fifo);
  const int64_t k = byteCount / 8;
  const int64_t w = fifo->writeAbs;
  const int64_t late = std::clamp<int64_t>(fifo->readAbs - w, 0, k);
  if (w + k - fifo->readAbs > fifo->capacity) {
    ++fifo->report.RefusedWrites;
    return kRefused;
  }
  for (int64_t i = late; i < k; ++i) {
    const size_t slot = static_cast<size_t>(Wrap(w + i, fifo->capacity));
    fifo->ring[2 * slot] = data[2 * i];
    fifo->ring[2 * slot + 1] = data[2 * i + 1];
    fifo->valid[slot] = 1;
  }
  fifo->writeAbs = w + k;
  fifo->writtenSinceInit += k;
  fifo->report.WrittenSamples += k;
  fifo->report.LateSamples += late;
  if (outCount) *outCount = static_cast<uint32_t>(k - late);
  return S_OK;
}

HResult EngineState::SetMute(Layer* layer, int32_t number, bool mute) {
  std::lock_guard lock(mu_);
  EvaluateLocked(ClockNow());
  Fifo* fifo = FindFifoLocked(*layer, number);
  if (!fifo) return E_INVALIDARG;
  fifo->report.Muted = mute;
  return S_OK;
}

HResult EngineState::SetVolume(Layer* layer, int32_t number, double gain) {
  if (!(gain >= 0.0 && gain <= 16.0)) return E_INVALIDARG;
  std::lock_guard lock(mu_);
  EvaluateLocked(ClockNow());
  Fifo* fifo = FindFifoLocked(*layer, number);
  if (!fifo) return E_INVALIDARG;
  fifo->report.Volume = gain;
  return S_OK;
}

HResult EngineState::GetStatus(Layer* layer, LayerStatus* status) {
  if (!status) return E_POINTER;
  std::lock_guard lock(mu_);
  EvaluateLocked(ClockNow());
  *status = LayerStatus{};
  const uint32_t queued = static_cast<uint32_t>(layer->queue.size());
  std::memcpy(status->Bytes + 4, &queued, sizeof queued);
  status->SetOutputFrame(static_cast<int32_t>(static_cast<uint32_t>(evaluatedPos_) -
                                              static_cast<uint32_t>(layer->report.Base)));
  return S_OK;
}

HResult EngineState::SetPosition(Layer* layer, int32_t base) {
  std::lock_guard lock(mu_);
  EvaluateLocked(ClockNow());
  layer->report.Base = base;
  layer->report.Positioned = true;
  for (auto& f : layer->fifos) {
    if (!f->resolved || f->writtenSinceInit == 0) ResolveFifoLocked(*layer, *f);
  }
  return S_OK;
}

HResult EngineState::GetBuffer(Layer* layer, int32_t size, uint8_t** address, int32_t* inOutSize) {
  if (!address) return E_POINTER;
  if (size <= 0 || size > regionBytes_) return E_INVALIDARG;
  std::lock_guard lock(mu_);
  EvaluateLocked(ClockNow());
  if (layer->lent >= 0) FreeBufferLocked(*layer, layer->lent);
  layer->lent = -1;
  int32_t pick = -1;
  for (size_t i = 0; i < layer->bufferState.size(); ++i) {
    if (layer->bufferState[i] != 0) continue;
    if (pick < 0 || (!layer->buffers[static_cast<size_t>(pick)] && layer->buffers[i])) pick = static_cast<int32_t>(i);
  }
  if (pick < 0) {
    ++layer->report.BufferRefusals;
    return kNoFreeBuffer;
  }
  auto& buffer = layer->buffers[static_cast<size_t>(pick)];
  // Not zeroed here: the lock is held, and the pages are first touched by
  // the frame copy that follows, outside it.
  if (!buffer) buffer = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(regionBytes_));
  layer->bufferState[static_cast<size_t>(pick)] = 1;
  layer->lent = pick;
  ++layer->report.BuffersLent;
  *address = buffer.get();
  if (inOutSize) *inOutSize = static_cast<int32_t>(regionBytes_);
  return S_OK;
}

HResult EngineState::SubmitBuffer(Layer* layer, int32_t size, const FrameDescriptor* d) {
  std::lock_guard lock(mu_);
  EvaluateLocked(ClockNow());
  auto& r = layer->report;
  if (layer->lent < 0) {
    ++r.RefusedSubmits;
    return kUnexpected;
  }
  const int32_t buffer = layer->lent;
  layer->lent = -1;
  if (!d || d->Format != 2 || d->Width != desc_.Width || d->Height != desc_.Height || size <= 0 ||
      size > regionBytes_ || d->Size <= 0 || d->Size > regionBytes_) {
    ++r.RefusedSubmits;
    FreeBufferLocked(*layer, buffer);
    return d ? E_INVALIDARG : E_POINTER;
  }
  // Read back which capture frames filled the picture (each field on its own
  // when the output is interlaced).
  const uint8_t* image = layer->buffers[static_cast<size_t>(buffer)].get();
  const int32_t pitch = desc_.Width * 2;
  Layer::Queued e{buffer, d->FrameNumber, -1, -1};
  if (desc_.Interlaced) {
    const int64_t first = DecodeStamp(image, desc_.Width, desc_.Height / 2, 2 * pitch);
    const int64_t second = DecodeStamp(image + pitch, desc_.Width, desc_.Height / 2, 2 * pitch);
    const bool firstEarlier = desc_.FieldOrder != 0;
    e.earlier = firstEarlier ? first : second;
    e.later = firstEarlier ? second : first;
    if (e.later < 0) e.earlier = -1;
  } else {
    e.earlier = DecodeStamp(image, desc_.Width, desc_.Height, pitch);
  }
  const int32_t low = static_cast<int32_t>(static_cast<uint32_t>(r.Base) + static_cast<uint32_t>(d->FrameNumber));
  const int64_t at = ExtendPosition(low, evaluatedPos_);
  if (at <= evaluatedPos_) {
    ++r.Late;
    FreeBufferLocked(*layer, buffer);
    return S_OK;
  }
  layer->bufferState[static_cast<size_t>(buffer)] = 2;
  layer->queue.push_back(e);
  return S_OK;
}

HResult EngineState::FrameDone(Layer* layer) {
  std::lock_guard lock(mu_);
  EvaluateLocked(ClockNow());
  ++layer->report.FramesDone;
  return S_OK;
}

// ---------------------------------------------------------------------------
// Reports and recordings

studio_test::EngineReport EngineState::Report() {
  std::lock_guard lock(mu_);
  EvaluateLocked(ClockNow());
  studio_test::EngineReport rep;
  rep.Index = index_;
  rep.Name = desc_.Name;
  rep.OutputPosition = evaluatedPos_;
  for (const auto& l : layers_) {
    studio_test::LayerReport lr = l->report;
    for (const auto& f : l->fifos) lr.Fifos.push_back(f->report);
    rep.Layers.push_back(std::move(lr));
  }
  return rep;
}

void EngineState::WriteRecording(const std::string& folder) {
  if (!desc_.Record) return;
  const studio_test::EngineReport rep = Report();
  std::lock_guard lock(mu_);
  if (recordingWritten_) return;
  recordingWritten_ = true;
  // Named as the user sees the engine: "Engine 1" (index 0) writes engine-1.*.
  const std::string base = folder + "/engine-" + std::to_string(index_ + 1);

  nlohmann::json j;
  j["engine"] = index_;
  j["name"] = desc_.Name;
  j["outputPosition"] = rep.OutputPosition;
  // Lines the WAV up with the output: its sample frames are these spans in
  // order, each starting at the output position and engine sample given.
  j["recorded"] = nlohmann::json::array();
  for (const auto& span : recordedSpans_) {
    j["recorded"].push_back({{"fromPosition", span.FromPosition},
                             {"positions", span.Positions},
                             {"fromSample", span.FromSample},
                             {"sampleFrames", span.SampleFrames}});
  }
  j["layers"] = nlohmann::json::array();
  for (const auto& l : rep.Layers) {
    nlohmann::json lj;
    lj["number"] = l.Number;
    lj["name"] = l.Name;
    lj["shown"] = l.Shown;
    lj["base"] = l.Base;
    lj["onTime"] = l.OnTime;
    lj["late"] = l.Late;
    lj["missing"] = l.Missing;
    lj["repeated"] = l.Repeated;
    lj["outOfOrder"] = l.OutOfOrder;
    lj["captureGaps"] = l.CaptureGaps;
    lj["unreadable"] = l.Unreadable;
    lj["fieldOrderErrors"] = l.FieldOrderErrors;
    lj["discarded"] = l.Discarded;
    lj["refusedSubmits"] = l.RefusedSubmits;
    lj["bufferRefusals"] = l.BufferRefusals;
    lj["fifos"] = nlohmann::json::array();
    for (const auto& f : l.Fifos) {
      lj["fifos"].push_back({{"number", f.Number},
                             {"muted", f.Muted},
                             {"volume", f.Volume},
                             {"writtenSamples", f.WrittenSamples},
                             {"presentedSamples", f.PresentedSamples},
                             {"silenceSamples", f.SilenceSamples},
                             {"lateSamples", f.LateSamples},
                             {"discardedSamples", f.DiscardedSamples},
                             {"refusedWrites", f.RefusedWrites}});
    }
    nlohmann::json log = nlohmann::json::array();
    for (const auto& p : l.Log) {
      log.push_back(nlohmann::json::array({p.OutputPosition, p.FrameNumber, p.CaptureFrame, p.LaterFieldFrame}));
    }
    lj["presented"] = std::move(log);  // [output position, frame number, capture frame, later field]
    j["layers"].push_back(std::move(lj));
  }
  std::ofstream out(base + ".json");
  out << j.dump(1) << "\n";
  if (!out) {
    const std::string line = "Virtual studio: cannot write \"" + base + ".json\"\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
  }

  SF_INFO info{};
  info.samplerate = desc_.SampleRate;
  info.channels = 2 * desc_.StereoLines;
  info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
  SNDFILE* f = sf_open((base + ".wav").c_str(), SFM_WRITE, &info);
  if (!f) {
    const std::string line = "Virtual studio: cannot write \"" + base + ".wav\": " + sf_strerror(nullptr) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    return;
  }
  sf_writef_float(f, recorded_.data(), static_cast<sf_count_t>(recorded_.size() / info.channels));
  sf_close(f);
}

}  // namespace quellvox::studio
