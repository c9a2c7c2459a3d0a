// The studio's title engines: the engine core (layers, fifos, evaluation)
// with the studio's own additions: the frame numbers read back from every
// presented picture, the log of them, and the recording of program audio.
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

// The most a layer's lend buffers made ready up front may take: 2 GiB, some
// 500 UYVY frames of 1080 lines.
constexpr int64_t kMaxPreallocatedBytes = int64_t{2} << 30;

engine::EngineTiming TimingOf(const EngineDescription& desc) {
  return {desc.Rate, desc.Clock, desc.StartPosition, desc.SampleRate};
}

}  // namespace

// What the studio reads back from the pictures a layer presented.
struct EngineState::Stamps final : engine::LayerExtension {
  int64_t Repeated = 0;
  int64_t OutOfOrder = 0;
  int64_t CaptureGaps = 0;
  int64_t Unreadable = 0;
  int64_t FieldOrderErrors = 0;
  int64_t LastCaptureFrame = -1;
  std::vector<studio_test::PresentedFrame> Log;  // capped
};

EngineState::EngineState(Studio& studio, const EngineDescription& desc, int32_t index)
    : EngineCore(TimingOf(desc), desc.Width, desc.Height, false), studio_(studio), desc_(desc), index_(index) {
  reports_ = desc.Reports;
  recording_ = desc.Record;
  recordMaxFrames_ = static_cast<int64_t>(studio.Desc().RecordMaxSeconds * desc.SampleRate);
}

EngineState::~EngineState() = default;

int64_t EngineState::Now() const { return ClockNow(); }

studio_test::EngineReports EngineState::Reports() {
  std::lock_guard lock(mu_);
  return reports_;
}

void EngineState::SetReports(const studio_test::EngineReports& reports) {
  std::lock_guard lock(mu_);
  reports_ = reports;
}

// ---------------------------------------------------------------------------
// What the studio adds to the evaluation

engine::MixTarget EngineState::BeginPositionLocked(int64_t, int64_t a, int64_t b) {
  const int32_t lines = desc_.StereoLines;
  recordingPosition_ = recording_ && static_cast<int64_t>(recorded_.size()) / (2 * lines) < recordMaxFrames_;
  if (!recordingPosition_) return {};
  mix_.assign(static_cast<size_t>((b - a) * 2 * lines), 0.0f);
  return {mix_.data(), lines, 0, b - a};
}

void EngineState::EndPositionLocked(int64_t q, int64_t a, int64_t b) {
  if (!recordingPosition_) return;
  const int32_t lines = desc_.StereoLines;
  const int64_t room = recordMaxFrames_ - static_cast<int64_t>(recorded_.size()) / (2 * lines);
  const int64_t n = std::min(room, b - a);
  if (n <= 0) return;
  recorded_.insert(recorded_.end(), mix_.begin(), mix_.begin() + n * 2 * lines);
  if (recordedSpans_.empty() || recordedSpans_.back().FromPosition + recordedSpans_.back().Positions != q) {
    recordedSpans_.push_back({q, 0, a, 0});
  }
  ++recordedSpans_.back().Positions;
  recordedSpans_.back().SampleFrames += n;
}

void EngineState::PresentedLocked(Layer& layer, const Layer::Queued& e, int64_t q) {
  auto& st = static_cast<Stamps&>(*layer.Extension);
  if (e.Earlier < 0) {
    ++st.Unreadable;
  } else {
    if (desc_.Interlaced && e.Later != e.Earlier + 1) ++st.FieldOrderErrors;
    const int64_t step = desc_.Interlaced ? 2 : 1;
    if (st.LastCaptureFrame >= 0) {
      if (e.Earlier == st.LastCaptureFrame) {
        ++st.Repeated;
      } else if (e.Earlier < st.LastCaptureFrame) {
        ++st.OutOfOrder;
      } else if (e.Earlier > st.LastCaptureFrame + step) {
        st.CaptureGaps += e.Earlier - st.LastCaptureFrame - step;
      }
    }
    st.LastCaptureFrame = e.Earlier;
  }
  if (static_cast<int64_t>(st.Log.size()) < studio_.Desc().LogMaxFrames) {
    st.Log.push_back({q, e.FrameNumber, e.Earlier, desc_.Interlaced ? e.Later : -1});
  }
}

// Reads back which capture frames filled the picture (each field on its own
// when the output is interlaced).
void EngineState::SubmittedLocked(Layer&, Layer::Queued& e, const uint8_t* image) {
  const int32_t pitch = desc_.Width * 2;
  if (desc_.Interlaced) {
    const int64_t first = DecodeStamp(image, desc_.Width, desc_.Height / 2, 2 * pitch);
    const int64_t second = DecodeStamp(image + pitch, desc_.Width, desc_.Height / 2, 2 * pitch);
    const bool firstEarlier = desc_.FieldOrder != 0;
    e.Earlier = firstEarlier ? first : second;
    e.Later = firstEarlier ? second : first;
    if (e.Later < 0) e.Earlier = -1;
  } else {
    e.Earlier = DecodeStamp(image, desc_.Width, desc_.Height, pitch);
  }
}

int64_t EngineState::KeepPresentedLocked() const { return studio_.KeepPresented().load(std::memory_order_relaxed); }

void EngineState::LayerAddingLocked() {
  if (recording_ && recorded_.capacity() == 0) {
    // Sized once, here on the caller's set-up path, so that presenting never
    // moves a long recording while the engine's lock is held.
    recorded_.reserve(static_cast<size_t>(recordMaxFrames_) * 2 * static_cast<size_t>(desc_.StereoLines));
  }
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
    if (const HResult hr = PrepareBuffers(depth, ready); hr != S_OK) return hr;
  }
  std::unique_ptr<Stamps> stamps;
  try {
    stamps = std::make_unique<Stamps>();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return AddLayer(name, number, depth, std::move(ready), std::move(stamps), out);
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
    const engine::LayerCounts& c = l->Counts;
    const auto& st = static_cast<const Stamps&>(*l->Extension);
    studio_test::LayerReport lr;
    static_cast<engine::LayerCounts&>(lr) = c;
    lr.Repeated = st.Repeated;
    lr.OutOfOrder = st.OutOfOrder;
    lr.CaptureGaps = st.CaptureGaps;
    lr.Unreadable = st.Unreadable;
    lr.FieldOrderErrors = st.FieldOrderErrors;
    lr.LastCaptureFrame = st.LastCaptureFrame;
    lr.Log = st.Log;
    for (const auto& f : l->Fifos) lr.Fifos.push_back(f->Counts);
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
