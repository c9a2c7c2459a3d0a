#include "platform/ffmpeg/output_engine.h"

#include <algorithm>
#include <chrono>
#include <new>

namespace quellvox::realmedia {

namespace {

constexpr int64_t kDrainTicks = 5'000'000;  // 0.5 s: what the encoder may still write after the stop
// The most a layer's buffers, or the encoder's queue, may take: 2 GiB, some
// 500 UYVY frames of 1080 lines, as the studio caps what it prepares.
constexpr int64_t kMaxPreparedBytes = int64_t{2} << 30;

engine::EngineTiming TimingOf(const MediaPicture& picture) {
  return {picture.Rate, engine::ClockSkew{}, picture.StartPosition, picture.SampleRate};
}

}  // namespace

struct OutputEngine::Session {
  Session(const std::string& name, const OutputSettings& settings, const MediaPicture& picture,
          std::shared_ptr<EncoderCounts> engineCounts)
      : encoder(name, settings, picture), counts(std::move(engineCounts)) {}
  Encoder encoder;  // the encoder thread's alone
  const std::shared_ptr<EncoderCounts> counts;
  std::mutex mu;  // the queue and the flags below
  std::condition_variable cv;
  std::vector<EncoderJob> jobs;
  std::vector<int32_t> free;
  std::vector<int32_t> ready;  // oldest first; sized up front, so queuing never allocates
  bool end = false;  // the stop came: drain until the deadline
  int64_t deadline = 0;
  bool finished = false;                    // the encoder thread is done with the output
  std::atomic<int64_t> abortAt{INT64_MAX};  // clock time after which blocked writes give up
};


// ---------------------------------------------------------------------------

OutputEngine::OutputEngine(std::string name, const OutputSettings& settings, const MediaPicture& picture)
    : EngineCore(TimingOf(picture), picture.Width, picture.Height, true),
      name_(std::move(name)),
      settings_(settings),
      picture_(picture),
      maxSamples_(picture.Rate.SamplesInFrame(picture.SampleRate, 0) + 2) {
  report_.Url = settings.Url;
}

OutputEngine::~OutputEngine() { StopOutput(); }

OutputReport OutputEngine::Report() {
  std::lock_guard lock(mu_);
  EvaluateLocked(NowTicks());
  OutputReport r = report_;
  r.Encoded = counts_->Encoded.load(std::memory_order_relaxed);
  r.Dropped += counts_->Dropped.load(std::memory_order_relaxed);
  r.WriteFailures = counts_->WriteFailures.load(std::memory_order_relaxed);
  r.Writing = counts_->Open.load(std::memory_order_relaxed) > 0;
  r.OutputPosition = evaluatedPos_ == kNotStarted ? OutputPositionAt(NowTicks()) : evaluatedPos_;
  // The engine counts as one: what its layers and their fifos counted.
  for (const auto& l : layers_) {
    const engine::LayerCounts& c = l->Counts;
    r.OnTime += c.OnTime;
    r.Late += c.Late;
    r.Missing += c.Missing;
    r.Discarded += c.Discarded;
    r.RefusedSubmits += c.RefusedSubmits;
    r.BufferRefusals += c.BufferRefusals;
    r.FramesDone += c.FramesDone;
    for (const auto& f : l->Fifos) {
      r.WrittenSamples += f->Counts.WrittenSamples;
      r.PresentedSamples += f->Counts.PresentedSamples;
      r.SilenceSamples += f->Counts.SilenceSamples;
      r.LateSamples += f->Counts.LateSamples;
      r.RefusedWrites += f->Counts.RefusedWrites;
    }
  }
  return r;
}

// ---------------------------------------------------------------------------
// Evaluation: each output position becomes one encoder job, when the
// encoder has a free one.

engine::MixTarget OutputEngine::BeginPositionLocked(int64_t q, int64_t a, int64_t b) {
  job_ = nullptr;
  jobIndex_ = -1;
  if (session_) {
    std::lock_guard jobs(session_->mu);
    if (!session_->free.empty() && !session_->end) {
      jobIndex_ = session_->free.back();
      session_->free.pop_back();
      job_ = &session_->jobs[static_cast<size_t>(jobIndex_)];
    }
  }
  if (!job_) return {};
  const int32_t pairs = OutputPairs(picture_.StereoLines);
  if (firstPos_ == kNotStarted) firstPos_ = q;
  job_->HasPicture = false;
  job_->Index = q - firstPos_;
  job_->FirstSample = a - SampleOf(firstPos_);
  job_->Samples = static_cast<int32_t>(std::min<int64_t>(b - a, maxSamples_));
  std::fill(job_->Audio.begin(), job_->Audio.begin() + static_cast<size_t>(job_->Samples) * 2 * pairs, 0.0f);
  return {job_->Audio.data(), pairs, FirstOutputFifo(picture_.StereoLines), maxSamples_};
}

void OutputEngine::PresentedLocked(Layer& layer, const Layer::Queued& e, int64_t) {
  // The presented picture changes hands with the job's spare buffer:
  // nothing is copied under the lock.
  if (job_ && layer.Counts.Shown && !job_->HasPicture) {
    std::swap(job_->Picture, layer.Buffers[static_cast<size_t>(e.Buffer)]);
    job_->HasPicture = true;
  }
}

void OutputEngine::EndPositionLocked(int64_t, int64_t, int64_t) {
  if (!job_) {
    ++report_.Dropped;
    return;
  }
  {
    std::lock_guard jobs(session_->mu);
    session_->ready.push_back(jobIndex_);
  }
  session_->cv.notify_all();
  ++report_.Queued;
  job_ = nullptr;
}

// ---------------------------------------------------------------------------
// Layers

HResult OutputEngine::CreateLayer(const std::string& name, int32_t number, int32_t depth, Layer*& out) {
  if (depth < 1 || depth > 1000) return E_INVALIDARG;
  if (depth * regionBytes_ > kMaxPreparedBytes) {
    return Refuse(E_OUTOFMEMORY, std::to_string(depth) + " layer buffers of " + Size() + " take more than " +
                                     std::to_string(kMaxPreparedBytes >> 20) + " MiB");
  }
  // Buffers exist and are paged in before the lock is taken, on the
  // caller's set-up path, as a real engine's are.
  std::vector<std::unique_ptr<uint8_t[]>> ready;
  if (PrepareBuffers(depth, ready) != S_OK) {
    return Refuse(E_OUTOFMEMORY, "no memory for " + std::to_string(depth) + " layer buffers of " + Size());
  }
  bool anyAlive = false;
  {
    std::lock_guard lock(mu_);
    EvaluateLocked(NowTicks());
    if (NumberTakenLocked(number, &anyAlive)) return S_FALSE;
  }
  if (!anyAlive) {  // set-up thread: no other layer can come or go meanwhile
    if (const HResult hr = StartOutput(); hr != S_OK) return hr;
  }
  return AddLayer(name, number, depth, std::move(ready), nullptr, out);
}

void OutputEngine::ReleaseLayer(Layer* layer) {
  if (ReleaseLayerCore(layer)) StopOutput();
}

HResult OutputEngine::StartOutput() {
  StopOutput();
  if (settings_.QueueFrames * regionBytes_ > kMaxPreparedBytes) {
    return Refuse(E_OUTOFMEMORY, std::to_string(settings_.QueueFrames) + " queued output frames of " + Size() +
                                     " take more than " + std::to_string(kMaxPreparedBytes >> 20) + " MiB");
  }
  std::shared_ptr<Session> session;
  try {
    session = std::make_shared<Session>(name_, settings_, picture_, counts_);
    session->jobs.resize(static_cast<size_t>(settings_.QueueFrames));
    for (EncoderJob& job : session->jobs) {
      job.Picture = std::make_unique<uint8_t[]>(static_cast<size_t>(regionBytes_));
      job.Audio.assign(static_cast<size_t>(maxSamples_) * 2 * OutputPairs(picture_.StereoLines), 0.0f);
    }
    for (int32_t i = settings_.QueueFrames - 1; i >= 0; --i) session->free.push_back(i);
    session->ready.reserve(static_cast<size_t>(settings_.QueueFrames));
  } catch (const std::bad_alloc&) {
    return Refuse(E_OUTOFMEMORY, "no memory for " + std::to_string(settings_.QueueFrames) + " queued output frames of " +
                                     Size());
  }
  counts_->Open.fetch_add(1, std::memory_order_relaxed);
  // Detached: the thread holds the session it works on, and a stop waits
  // for it only a bounded time (see StopOutput).
  std::thread([session] { RunEncoder(session); }).detach();
  {
    std::lock_guard lock(mu_);
    firstPos_ = kNotStarted;
    ++report_.Sessions;
    session_ = std::move(session);
  }
  outputStop_.store(false, std::memory_order_release);
  outputThread_ = std::thread([this] { OutputThread(); });
  return S_OK;
}

HResult OutputEngine::Refuse(HResult code, const std::string& reason) {
  const std::string line = "engine \"" + name_ + "\": " + reason;
  ReportLine("Real media: " + line);
  SetErrorDescription(line);
  return code;
}

std::string OutputEngine::Size() const {
  return std::to_string(picture_.Width) + "x" + std::to_string(picture_.Height);
}

bool OutputEngine::Active() {
  std::lock_guard lock(mu_);
  bool anyAlive = false;
  NumberTakenLocked(0, &anyAlive);
  return anyAlive;
}

void OutputEngine::RunEncoder(const std::shared_ptr<Session>& session) {
  Session& s = *session;
  EncoderCounts& counts = *s.counts;
  const Status opened = s.encoder.Open(s.abortAt);
  bool writing = opened.IsOk();
  if (!writing) {
    ReportLine("Real media: " + opened.Message());
    counts.WriteFailures.fetch_add(1, std::memory_order_relaxed);
  }
  for (;;) {
    int32_t index = -1;
    {
      std::unique_lock lock(s.mu);
      s.cv.wait(lock, [&] { return !s.ready.empty() || s.end; });
      if (s.ready.empty() || (s.end && NowTicks() > s.deadline)) break;
      index = s.ready.front();
      s.ready.erase(s.ready.begin());
    }
    writing = writing && s.encoder.Encode(s.jobs[static_cast<size_t>(index)]);
    (writing ? counts.Encoded : counts.Dropped).fetch_add(1, std::memory_order_relaxed);
    std::lock_guard lock(s.mu);
    s.free.push_back(index);
  }
  bool flush = true;
  {
    std::lock_guard lock(s.mu);
    counts.Dropped.fetch_add(static_cast<int64_t>(s.ready.size()), std::memory_order_relaxed);
    s.ready.clear();
    flush = NowTicks() <= s.deadline || !s.end;
  }
  // The trailer gets its own time: writes that block beyond it give up.
  s.abortAt.store(std::max(s.abortAt.load(std::memory_order_relaxed), NowTicks() + kDrainTicks),
                  std::memory_order_relaxed);
  if (writing) s.encoder.Finish(flush);
  counts.WriteFailures.fetch_add(s.encoder.Failures(), std::memory_order_relaxed);
  counts.Open.fetch_sub(1, std::memory_order_relaxed);
  {
    std::lock_guard lock(s.mu);
    s.finished = true;
  }
  s.cv.notify_all();
}

void OutputEngine::OutputThread() {
  while (!outputStop_.load(std::memory_order_acquire)) {
    int64_t next = 0;
    {
      std::lock_guard lock(mu_);
      EvaluateLocked(NowTicks());
      next = PositionTime(evaluatedPos_ + 1);
    }
    std::unique_lock lock(outputWaitMu_);
    outputWaitCv_.wait_for(lock, std::chrono::nanoseconds(std::max<int64_t>(next - NowTicks(), 0) * 100 + 200'000),
                           [&] { return outputStop_.load(std::memory_order_acquire); });
  }
}

void OutputEngine::StopOutput() {
  if (outputThread_.joinable()) {
    {
      std::lock_guard lock(outputWaitMu_);
      outputStop_.store(true, std::memory_order_release);
    }
    outputWaitCv_.notify_all();
    outputThread_.join();
  }
  std::shared_ptr<Session> session;
  {
    std::lock_guard lock(mu_);
    session = std::move(session_);
  }
  if (!session) return;
  const int64_t now = NowTicks();
  session->abortAt.store(now + kDrainTicks + kDrainTicks / 2, std::memory_order_relaxed);
  std::unique_lock lock(session->mu);
  session->end = true;
  session->deadline = now + kDrainTicks;
  session->cv.notify_all();
  // The queue drains and the trailer is written within the wait; an encoder
  // still inside one long frame finishes later on its own.
  session->cv.wait_for(lock, std::chrono::nanoseconds((kDrainTicks + kDrainTicks / 2) * 100),
                       [&] { return session->finished; });
}

bool OutputEngine::WaitUntilClosed(int32_t milliseconds) const {
  const int64_t end = NowTicks() + int64_t{milliseconds} * 10'000;
  while (counts_->Open.load(std::memory_order_relaxed) > 0) {
    if (NowTicks() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace quellvox::realmedia
