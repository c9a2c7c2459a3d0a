// The pipeline on real media, on the real clock.
//
//   BM_RealRelay/0: a 1080p25 H.264 file (made here with libx264, looped)
//   relayed into one engine encoding 1080p25 H.264 (libx264, preset
//   veryfast) with PCM audio to Matroska.
//   BM_RealRelay/1: a 720p50 FFV1 file relayed into one engine encoding
//   720p50 FFV1 with PCM audio.
//   BM_StudioRelay/0 and /1: the same pipelines on the virtual studio (its
//   pattern and generators in, its engine out), for the ratio of the CPU
//   shares.
//
//   Each run lasts QUELLVOX_FFMPEG_SECONDS (default 60) after a three-second
//   warm-up and reports the share of the machine's cores the process took,
//   the frames the output engine found missing or late, the frames its
//   encoder dropped, and the relay's skips. Target: no frame missing, late
//   or dropped after the warm-up.
#include <benchmark/benchmark.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "app/instance_core.h"
#include "platform/ffmpeg/real_media.h"
#include "platform/ffmpeg/real_media_test_api.h"
#include "platform/media/studio_test_api.h"
#include "platform/media/virtual_studio.h"
#include "tests/ffmpeg/media_files.h"

namespace quellvox {
namespace {

namespace st = studio_test;
namespace rt = realmedia_test;

class PrintedMessages final : public UserMessages {
 public:
  int32_t Show(std::string_view text, std::string_view, uint32_t) override {
    std::fprintf(stderr, "%.*s\n", static_cast<int>(text.size()), text.data());
    return IDOK;
  }
};

struct Case {
  const char* Name;
  const char* Format;  // the picture alone, for the studio's run
  int32_t Width;
  int32_t Height;
  int32_t Rate;
  const char* Codec;   // input and output video codec
  const char* Output;  // the output's extra members
};

const Case kCases[] = {
    {"1080p25 H.264", "1080p25", 1920, 1080, 25, "libx264",
     R"("videoCodec": "libx264", "videoOptions": {"preset": "veryfast"})"},
    {"720p50 FFV1", "720p50", 1280, 720, 50, "ffv1", R"("videoCodec": "ffv1")"},
};

double CpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double RunSeconds() {
  const char* text = std::getenv("QUELLVOX_FFMPEG_SECONDS");
  const double s = text ? std::atof(text) : 60.0;
  return s > 0.0 ? s : 60.0;
}

std::filesystem::path Folder() {
  static const std::filesystem::path folder = [] {
    auto f = std::filesystem::temp_directory_path() / ("quellvox-ffmpeg-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(f);
    return f;
  }();
  return folder;
}

bool Configure(InstanceCore& core) {
  if (core.TitleEngines.Refresh() != 0 || core.CaptureSources.Refresh() != 0) return false;
  DuckerSettings& s = core.Settings;
  s.CaptureSource = 0;
  s.TitleEngineMask = 1;
  s.RegionName = "Relay";
  s.DelayInFrames = 10;
  s.Lines[0] = {true, {Stereo, 1}, {Stereo, 0}, 0};
  s.Lines[1] = {true, {Stereo, 2}, {Stereo, 0}, -6};
  return true;
}

std::string Picture(const Case& c) {
  return R"("width": )" + std::to_string(c.Width) + R"(, "height": )" + std::to_string(c.Height) + R"(, "rate": )" +
         std::to_string(c.Rate);
}

struct Measured {
  double Share = 0.0;  // of all cores
  double Wall = 0.0;
};

// Runs the configured core for the measured window after the warm-up.
template <class Sample>
Measured Measure(InstanceCore& core, Sample sample) {
  std::this_thread::sleep_for(std::chrono::seconds(3));
  sample(true);
  const double cpu0 = CpuSeconds();
  const auto wall0 = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(RunSeconds()));
  const double cpu1 = CpuSeconds();
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
  sample(false);
  core.StopPipeline();
  const double cores = static_cast<double>(std::thread::hardware_concurrency());
  return {(cpu1 - cpu0) / wall / cores, wall};
}

double gRealShare[2] = {0, 0};

void BM_RealRelay(benchmark::State& state) {
  const Case& c = kCases[state.range(0)];
  for (auto _ : state) {
    const std::string input = (Folder() / ("in-" + std::to_string(state.range(0)) + ".mkv")).string();
    if (!std::filesystem::exists(input)) {
      media_files::MadeInput made;
      made.Width = c.Width;
      made.Height = c.Height;
      made.Rate = c.Rate;
      std::string error;
      if (!media_files::WriteInput(input, 10 * c.Rate, made, error, "", c.Codec)) {
        state.SkipWithError(error.c_str());
        return;
      }
    }
    const std::string json = R"({"devices": [{"kind": 2, "name": "Feed", )" + Picture(c) +
                             R"(, "channels": 6, "startPosition": 0, "input": {"url": ")" + input +
                             R"(", "loop": true}}], "engines": [{"name": "Out", )" + Picture(c) +
                             R"(, "stereoLines": 1, "output": {"url": ")" + (Folder() / "out.mkv").string() + R"(", )" +
                             c.Output + "}}]}";
    RegisterVirtualStudio();
    RegisterRealMedia();
    if (const Status loaded = st::LoadDescriptionText(json); !loaded.IsOk()) {
      state.SkipWithError(loaded.Message().c_str());
      return;
    }
    st::UseSteadyClock();
    rt::LoadDescriptionText(json, Folder().string());
    PrintedMessages messages;
    InstanceCore core("#bench", "/usr/bin/quellvox", messages);
    if (!Configure(core) || !core.StartPipeline()) {
      state.SkipWithError("the pipeline did not start");
      return;
    }
    realmedia::OutputReport before;
    realmedia::OutputReport after;
    const Measured m = Measure(core, [&](bool first) { (first ? before : after) = rt::GetOutputReport(0); });
    const rt::InputReport in = rt::GetInputReport(0);
    gRealShare[state.range(0)] = m.Share;
    state.counters["CpuShare_pct"] = m.Share * 100.0;
    state.counters["Missing"] = static_cast<double>(after.Missing - before.Missing);
    state.counters["Late"] = static_cast<double>(after.Late - before.Late);
    state.counters["Dropped"] = static_cast<double>(after.Dropped - before.Dropped);
    state.counters["Encoded"] = static_cast<double>(after.Encoded - before.Encoded);
    state.counters["SkipVideo"] = static_cast<double>(core.Stats.SkipVideo[0].load());
    std::printf(
        "real media %s: %.1f %% of the machine's cores over %.0f s; after the warm-up %lld frames encoded, missing "
        "%lld, "
        "late %lld, dropped %lld; input gaps %lld; SkipVideo %lld SkipAudio %lld\n",
        c.Name, m.Share * 100.0, m.Wall, static_cast<long long>(after.Encoded - before.Encoded),
        static_cast<long long>(after.Missing - before.Missing), static_cast<long long>(after.Late - before.Late),
        static_cast<long long>(after.Dropped - before.Dropped), static_cast<long long>(in.Gaps),
        static_cast<long long>(core.Stats.SkipVideo[0].load()), static_cast<long long>(core.Stats.SkipAudio.load()));
    std::fflush(stdout);
    rt::LoadDescriptionText("{}", "");
  }
}

void BM_StudioRelay(benchmark::State& state) {
  const Case& c = kCases[state.range(0)];
  for (auto _ : state) {
    const std::string json = R"({"devices": [{"kind": 2, "name": "Feed", )" + Picture(c) +
                             R"(, "channels": 6, "startPosition": 0, "audio": [{"source": "floor"}, )"
                             R"({"source": "speech", "seed": 1}, {"source": "speech", "seed": 2}]}],)"
                             R"( "engines": [{"name": "Out", )" +
                             Picture(c) + R"(, "stereoLines": 1, "preallocate": true}]})";
    RegisterVirtualStudio();
    RegisterRealMedia();
    rt::LoadDescriptionText(json, "");
    if (const Status loaded = st::LoadDescriptionText(json); !loaded.IsOk()) {
      state.SkipWithError(loaded.Message().c_str());
      return;
    }
    st::UseSteadyClock();
    PrintedMessages messages;
    InstanceCore core("#bench", "/usr/bin/quellvox", messages);
    if (!Configure(core) || !core.StartPipeline()) {
      state.SkipWithError("the pipeline did not start");
      return;
    }
    int64_t missing0 = 0;
    int64_t missing1 = 0;
    const Measured m = Measure(core, [&](bool first) {
      const st::LayerReport* l = st::GetEngineReport(0).FindLayer(-1000);
      (first ? missing0 : missing1) = l ? l->Missing : 0;
    });
    const double real = gRealShare[state.range(0)];
    state.counters["CpuShare_pct"] = m.Share * 100.0;
    state.counters["RealOverStudio"] = m.Share > 0 ? real / m.Share : 0.0;
    std::printf(
        "virtual studio %s: %.1f %% of the machine's cores; missing %lld; real media takes %.1f times as much\n",
        c.Format, m.Share * 100.0, static_cast<long long>(missing1 - missing0), m.Share > 0 ? real / m.Share : 0.0);
    std::fflush(stdout);
    st::LoadDefaultDescription();
  }
}

BENCHMARK(BM_RealRelay)->Arg(0)->Arg(1)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_StudioRelay)->Arg(0)->Arg(1)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace
}  // namespace quellvox

BENCHMARK_MAIN();
