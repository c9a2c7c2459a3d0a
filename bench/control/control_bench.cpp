// The remote interface's answer times.
//
//   BM_MetricsAnswer: GET /metrics over one keep-alive connection to a
//   ControlServer of an instance whose pipeline runs on the virtual studio
//   (one target, the default studio, two voice-over lines); the time per
//   answer is the benchmark's time. Target: under 1 ms on average.
//   BM_MetricsRender: the text alone (registry, serialiser), no HTTP, with
//   the loudness of eight planes.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "app/instance_core.h"
#include "control/control_server.h"
#include "control/metrics.h"
#include "http_client.h"
#include "platform/media/virtual_studio.h"
#include "tests/tools/free_port.h"

namespace quellvox {
namespace {

class NoMessages : public UserMessages {
 public:
  int32_t Show(std::string_view, std::string_view, uint32_t) override { return IDOK; }
};

// The instance's thread: runs what is posted, in order.
class BenchHost final : public ControlHost {
 public:
  explicit BenchHost(InstanceCore& core) : core_(core), thread_([this] { Run(); }) {}
  ~BenchHost() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }
  void Post(std::function<void()> task) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      tasks_.push_back(std::move(task));
    }
    wake_.notify_all();
  }
  // Runs `task` on the instance's thread and waits for it.
  void Call(std::function<void()> task) {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    Post([&] {
      task();
      std::lock_guard<std::mutex> lock(m);
      done = true;
      cv.notify_all();
    });
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return done; });
  }
  InstanceCore& Core() override { return core_; }
  bool PipelineRunning() const override { return running; }
  std::string StateText() const override { return running ? "Running" : "Stopped"; }
  ControlAnswer CheckCommand(ControlCommand) const override { return {}; }
  ControlAnswer RunCommand(ControlCommand) override { return {}; }
  bool running = false;

 private:
  void Run() {
    for (;;) {
      std::function<void()> task;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [this] { return stop_ || !tasks_.empty(); });
        if (tasks_.empty()) return;
        task = std::move(tasks_.front());
        tasks_.pop_front();
      }
      task();
    }
  }
  InstanceCore& core_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_;
  bool stop_ = false;
  std::thread thread_;
};

void ConfigureRunningInstance(InstanceCore& core) {
  core.TitleEngines.Refresh();
  core.CaptureSources.Refresh();
  core.Settings.CaptureSource = 0;
  core.Settings.TitleEngineMask = 1;
  core.Settings.RegionName = "Bench";
  core.Settings.Lines[0].Use = true;
  core.Settings.Lines[0].From = {Stereo, 1};
  core.Settings.Lines[1].Use = true;
  core.Settings.Lines[1].From = {Stereo, 2};
  core.Settings.Lines[1].To = {Stereo, 1};
}

void BM_MetricsAnswer(benchmark::State& state) {
  NoMessages messages;
  InstanceCore core("#bench" + std::to_string(::getpid()), "/bin/true", messages);
  BenchHost host(core);
  ControlServer server(host);
  const int port = testing_tools::FreeLoopbackPort();
  bool listening = false;
  host.Call([&] {
    ConfigureRunningInstance(core);
    host.running = core.StartPipeline(nullptr);
    ControlSettings settings;
    settings.Port = static_cast<uint32_t>(port);
    listening = server.Start(settings);
  });
  if (!listening || !host.running) {
    state.SkipWithError("no server or no pipeline");
    return;
  }
  bench::HttpClient client(port);
  std::string body;
  client.Get("/metrics", &body);
  for (auto _ : state) {
    if (client.Get("/metrics", &body) != 200) {
      state.SkipWithError("no answer");
      break;
    }
    benchmark::DoNotOptimize(body.data());
  }
  state.counters["bytes"] = static_cast<double>(body.size());
  host.Call([&] {
    server.Stop();
    core.StopPipeline();
  });
}
BENCHMARK(BM_MetricsAnswer)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_MetricsRender(benchmark::State& state) {
  PipelineStats stats;
  InstanceSnapshot snapshot;
  snapshot.InstanceId = "#1";
  snapshot.Running = true;
  snapshot.TargetCount = 4;
  snapshot.EngineNames = {"Engine 1", "Engine 2", "Engine 3", "Engine 4"};
  snapshot.LineInUse.fill(true);
  // Eight metered planes, every figure known.
  LoudnessSnapshot loudness;
  loudness.Planes = kMeteredPlanes;
  for (LoudnessFigures& f : loudness.Plane) f = {-23.0, -23.5, -24.0, 6.0, -3.0};
  MetricsExporter exporter;
  for (auto _ : state) benchmark::DoNotOptimize(exporter.Render(stats, snapshot, loudness));
}
BENCHMARK(BM_MetricsRender)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace quellvox

int main(int argc, char** argv) {
  quellvox::RegisterVirtualStudio();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  quellvox::ShutdownVirtualStudio();
  return 0;
}
