// quellvox-demo [--seconds N] [--out DIR]: the main job on the virtual
// studio, without a display. Instance "#demo" relays the primary capture into
// a layer of both default title engines and mixes two voice-over lines over
// the ducked floor, printing the statistics once a second; then it writes
// each engine's program audio, report and picture into DIR and prints a
// one-line verdict. Exit code 0 good, 1 verdict bad, 2 bad usage, 3 the job
// could not run.
#include <QGuiApplication>
#include <QImage>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "app/instance_core.h"
#include "config/line_text.h"
#include "platform/media/studio_test_api.h"
#include "platform/media/virtual_studio.h"
#include "platform/registry/registry_component.h"
#include "platform/system/module_path.h"
#include "tools/demo/demo_analysis.h"
#include "tools/demo/demo_chart.h"
#include "tools/demo/demo_options.h"

namespace {

namespace fs = std::filesystem;
namespace st = quellvox::studio_test;
using namespace quellvox;
using namespace quellvox::demo;

constexpr const char* kInstance = "#demo";
constexpr const char* kLayerName = "Voice over";
constexpr const char* kCaptureName = "Quellvox Virtual Capture 1";
constexpr const char* kEngineNames[] = {"Engine 1", "Engine 2"};
constexpr int kExitGood = 0;
constexpr int kExitBad = 1;
constexpr int kExitUsage = 2;
constexpr int kExitFailed = 3;

volatile std::sig_atomic_t gInterrupted = 0;
extern "C" void OnSignal(int) { gInterrupted = 1; }

// `text` with every "\r\n" replaced by `by`.
std::string Joined(std::string_view text, const char* by) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      out += by;
      ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

// Messages the program would show in a box go to standard error.
class StderrMessages final : public UserMessages {
 public:
  int32_t Show(std::string_view text, std::string_view caption, uint32_t style) override {
    const std::string line = Joined(text, " ");
    std::fprintf(stderr, "quellvox-demo: %.*s: %s\n", static_cast<int>(caption.size()), caption.data(), line.c_str());
    if (style & MB_ICONERROR) ++Errors;
    return IDOK;
  }
  int Errors = 0;
};

int Fail(const std::string& text) {
  std::fprintf(stderr, "quellvox-demo: %s\n", text.c_str());
  return kExitFailed;
}

// The demo's instance: the primary capture into both engines; voice-over
// line 1 (the speech on pair 2) on the left and line 2 (the speech on pair
// 3) on the right of the engines' first line, each over the floor of pair 1
// that it ducks by 18 dB while it carries voice.
Status Configure(InstanceCore& core) {
  DuckerSettings s;
  s.CaptureSource = core.CaptureSources.FindByName(kCaptureName);
  for (const char* name : kEngineNames) {
    const int32_t at = core.TitleEngines.FindByName(name);
    if (at < 0 || at >= kMaxTargets) {
      return Status::Failed(std::string("the studio has no title engine \"") + name + "\"");
    }
    s.TitleEngineMask |= 1u << at;
  }
  if (s.CaptureSource < 0) {
    return Status::Failed(std::string("the studio has no capture \"") + kCaptureName + "\"");
  }
  s.RegionName = kLayerName;
  s.ShowOnStartType = 1;
  // As a playout machine runs it; where the system refuses, threads stay normal.
  s.CpuPriority = 2;
  s.DelayInFrames = 10;
  s.Lines[0] = {true, ParseLineRef("Stereo#2"), ParseLineRef("Left#1"), 0};
  s.Lines[1] = {true, ParseLineRef("Stereo#3"), ParseLineRef("Right#1"), 0};
  for (int i = 2; i < kVoiceOverLines; ++i) s.Lines[i] = {false, ParseLineRef("Stereo#2"), ParseLineRef("Stereo#1"), 0};
  s.UseCommon = true;
  s.CommonLine = ParseLineRef("Stereo#1");
  s.DecreaseDB = 18;
  s.NoiseLevelDB = 32;
  s.TimeoutInFrames = 30;

  // Kept in the demo's own store and read back from it, as a start would.
  core.Settings = s;
  core.AutoStart = false;
  core.RunOnLogon = false;
  core.SaveSettings();
  core.Settings = DuckerSettings{};
  core.LoadSettings();
  const DuckerSettings& r = core.Settings;
  if (!IsComplete(r) || r.TitleEngineMask != s.TitleEngineMask || r.CaptureSource != s.CaptureSource ||
      r.Lines != s.Lines || r.DecreaseDB != s.DecreaseDB) {
    return Status::Failed("the demo's settings did not read back from its store");
  }
  return Status::Ok();
}

std::string Progress(int done, int total) {
  constexpr int kWidth = 30;
  const int filled = total > 0 ? done * kWidth / total : kWidth;
  return "quellvox-demo: " + std::to_string(done) + " of " + std::to_string(total) + " s  [" +
         std::string(static_cast<size_t>(filled), '#') + std::string(static_cast<size_t>(kWidth - filled), '.') +
         "]";
}


// The studio's default description with every engine recording into `out`
// for longer than the run. Buffers are lent ready from the layer's creation,
// as a real engine has them, so that the first second is not spent paging
// in frame buffers.
Status LoadRecordingStudio(const fs::path& out, int seconds) {
  nlohmann::json description = nlohmann::json::parse(st::DefaultDescriptionText());
  for (auto& engine : description["engines"]) {
    engine["record"] = true;
    engine["preallocate"] = true;
  }
  description["recording"] = {{"folder", out.string()}, {"maxSeconds", seconds + 30}};
  RegisterVirtualStudio();
  RegisterRegistryAccess();
  st::UseSteadyClock();
  if (const Status loaded = st::LoadDescriptionText(description.dump()); !loaded.IsOk()) {
    return Status::Failed("the studio description: " + loaded.Message());
  }
  return Status::Ok();
}

// Runs the relay for `seconds` (or until a signal): once a second the
// statistics text; in between the voice state of every line, sampled
// against the capture position, for the pictures.
VoiceTimeline RunRelay(InstanceCore& core, int32_t device, int seconds) {
  VoiceTimeline voice;
  const auto begin = std::chrono::steady_clock::now();
  int shown = 0;
  while (shown < seconds && !gInterrupted) {
    const int64_t newest = st::CaptureNewestPosition(device);
    uint8_t mask = 0;
    for (int i = 0; i < kVoiceOverLines; ++i) {
      if (core.Stats.VoiceDetected[i].load(std::memory_order_relaxed)) mask |= static_cast<uint8_t>(1u << i);
    }
    voice[newest] = mask;
    if (std::chrono::steady_clock::now() - begin >= std::chrono::seconds(shown + 1)) {
      ++shown;
      std::printf("%s\n%s\n", Progress(shown, seconds).c_str(), Joined(core.BuildStatisticsText(), "\n").c_str());
      std::fflush(stdout);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (gInterrupted) std::printf("quellvox-demo: interrupted after %d s\n", shown);
  return voice;
}

// What each engine recorded, read back and checked against what the
// capture gave; `files` the base name of each engine's files in `out`.
Status AnalyseEngines(const InstanceCore& core, const fs::path& out, AnalysisInput input,
                      std::vector<EngineAnalysis>& analyses, std::vector<std::string>& files) {
  for (int32_t k = 0; k < core.TitleEngines.Count() && k < kMaxTargets; ++k) {
    if (!(core.Settings.TitleEngineMask & (1u << k))) continue;
    const int32_t engine = core.TitleEngines.Entries()[static_cast<size_t>(k)].EngineIndex;
    const std::string base = (out / ("engine-" + std::to_string(engine + 1))).string();  // as the studio names them
    EngineRecording recording;
    const Status read = ReadEngineRecording(base + ".json", base + ".wav", kLayerName, recording);
    if (!read.IsOk()) return read;
    analyses.push_back(AnalyseEngine(recording, input));
    analyses.back().OutputLoudness = MeasureOutputLoudness(recording);
    files.push_back(base);
  }
  return Status::Ok();
}

// The words around one engine's picture: what the settings do, and what
// the engine got.
ChartText ChartTextOf(const EngineAnalysis& a, const DuckerSettings& settings, int32_t skipped) {
  ChartText text;
  text.Title = "Quellvox demo \u2014 " + a.Name + ", layer \"" + kLayerName + "\"";
  text.Subtitle = "Floor " + FormatLineRef(settings.CommonLine) + " ducked by " + std::to_string(settings.DecreaseDB) +
                  " dB while a line carries voice above \u2212" + std::to_string(settings.NoiseLevelDB) +
                  " dBFS, held and faded back over " + std::to_string(settings.TimeoutInFrames) +
                  " frames; video delayed by " + std::to_string(settings.DelayInFrames) + " frames; threads at " +
                  CpuPriorityName(settings.CpuPriority) + " priority.";
  text.Footer = a.Name + ": " + std::to_string(a.Relayed) + " frames relayed, " + std::to_string(skipped) +
                " skipped, " + std::to_string(a.MissingAfterFirstSecond) + " missing after the first second.";
  for (int i = 0; i < kVoiceOverLines; ++i) {
    const LineResult& r = a.Lines[static_cast<size_t>(i)];
    if (!r.Used || !std::isfinite(r.FloorUnderSpeechDb)) continue;
    char part[96];
    std::snprintf(part, sizeof part, " Line %d: floor at %.2f dB under speech.", i + 1, r.FloorUnderSpeechDb);
    text.Footer += part;
  }
  text.Footer += " Output loudness: " + FormatOutputLoudness(a.OutputLoudness) + ".";
  if (!a.Problem.empty()) text.Footer += " " + a.Problem + ".";
  for (int i = 0; i < kVoiceOverLines; ++i) {
    const VoiceOverLine& l = settings.Lines[static_cast<size_t>(i)];
    text.LineNames.push_back(FormatLineRef(l.From) + " \u2192 " + FormatLineRef(l.To) + " at " +
                             std::to_string(l.VolumeDB) + " dB");
  }
  return text;
}

Status DrawCharts(const std::vector<EngineAnalysis>& analyses, const DuckerSettings& settings,
                  const std::vector<int32_t>& skipVideo, const std::vector<std::string>& files) {
  for (size_t e = 0; e < analyses.size(); ++e) {
    const ChartText text = ChartTextOf(analyses[e], settings, e < skipVideo.size() ? skipVideo[e] : 0);
    const QImage image = DrawEngineChart(analyses[e], settings, text);
    if (!image.save(QString::fromStdString(files[e] + ".png"), "PNG")) {
      return Status::Failed("cannot write \"" + files[e] + ".png\"");
    }
  }
  return Status::Ok();
}

// The files left in `out`, the loudness of each output and of the mix
// planes, and the verdict.
void PrintReport(const InstanceCore& core, const fs::path& out, const std::vector<EngineAnalysis>& analyses,
                 const std::vector<std::string>& files, const Verdict& verdict) {
  std::printf("quellvox-demo: files in %s:\n", out.c_str());
  for (size_t e = 0; e < files.size(); ++e) {
    const std::string name = fs::path(files[e]).filename().string();
    std::printf("  %s.wav   program audio of %s\n", name.c_str(), analyses[e].Name.c_str());
    std::printf("  %s.json  what %s presented, with the log of its frames\n", name.c_str(), analyses[e].Name.c_str());
    std::printf("  %s.png   floor gain, voice and output level of %s\n", name.c_str(), analyses[e].Name.c_str());
  }
  std::printf("  config/quellvox/registry.sqlite3  the settings of instance %s\n", kInstance);
  // The loudness of what each engine played out, measured on its file, and
  // beside it what the relay's own meters read on the mix planes.
  for (const EngineAnalysis& a : analyses) {
    std::printf("quellvox-demo: loudness of %s's output: %s\n", a.Name.c_str(),
                FormatOutputLoudness(a.OutputLoudness).c_str());
  }
  const LoudnessSnapshot live = core.LoudnessFigures();
  std::vector<LoudnessFigures> metered(live.Plane.begin(), live.Plane.begin() + live.Planes);
  std::printf("quellvox-demo: loudness the relay metered on its mix planes: %s (%llu blocks metered, %llu not)\n",
              FormatOutputLoudness(metered).c_str(), static_cast<unsigned long long>(live.BlocksMetered),
              static_cast<unsigned long long>(live.BlocksDropped));
  std::printf("quellvox-demo: %s\n", verdict.Text.c_str());
  std::fflush(stdout);
}

}  // namespace

#if defined(__SANITIZE_ADDRESS__)
// Under AddressSanitizer only: the font configuration library keeps caches,
// made inside Qt's font database while the pictures are labelled, that it
// never frees; they are not the demo's leaks.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\nleak:libdbus-1.so\n"; }
#endif
#if defined(__SANITIZE_THREAD__)
// Under ThreadSanitizer only: Qt's libraries are not built for it, and the
// image work Qt hands to its own thread pool shows up as races that their
// uninstrumented locks do not explain. The pipeline's threads stay checked.
extern "C" const char* __tsan_default_suppressions() { return "race:libQt6Gui.so\nrace:libQt6Core.so\n"; }
#endif

int main(int argc, char** argv) {
  DemoOptions options;
  const Status parsed = ParseDemoOptions(std::vector<std::string>(argv + 1, argv + argc), options);
  if (!parsed.IsOk()) {
    std::fprintf(stderr, "quellvox-demo: %s\n%s", parsed.Message().c_str(), kDemoUsage);
    return kExitUsage;
  }
  if (options.Help) {
    std::fputs(kDemoUsage, stdout);
    return kExitGood;
  }

  std::error_code ec;
  const fs::path out = fs::absolute(options.OutDir, ec);
  fs::create_directories(out / "config", ec);
  if (ec || !fs::is_directory(out / "config")) return Fail("cannot make the folder \"" + (out / "config").string() + "\"");
  // The store lives inside DIR: set before the registry component is first used.
  ::setenv("XDG_CONFIG_HOME", (out / "config").c_str(), 1);
  // No display is needed: the pictures are drawn on images.
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  int qtArgc = 1;
  char* qtArgv[] = {argv[0], nullptr};
  QGuiApplication app(qtArgc, qtArgv);
  if (const Status loaded = LoadRecordingStudio(out, options.Seconds); !loaded.IsOk()) return Fail(loaded.Message());

  StderrMessages messages;
  InstanceCore core(kInstance, ModulePath(), messages);
  if (core.TitleEngines.Refresh() != 0) return Fail("the studio offers no title engine");
  if (core.CaptureSources.Refresh() != 0) return Fail("the studio offers no capture source");
  if (const Status configured = Configure(core); !configured.IsOk()) return Fail(configured.Message());
  const int32_t device = core.CaptureSources.Entries()[static_cast<size_t>(core.Settings.CaptureSource)].DeviceIndex;

  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  std::printf("quellvox-demo: instance %s for %d s; store %s\n", kInstance, options.Seconds,
              RegistryStorePath().c_str());
  std::fflush(stdout);
  if (!core.StartPipeline()) return Fail("the pipeline did not start");
  const int32_t targets = core.Pipeline.TargetCount;
  VoiceTimeline voice = RunRelay(core, device, options.Seconds);
  core.StopPipeline();
  std::vector<int32_t> skipVideo;
  for (int32_t r = 0; r < targets; ++r) skipVideo.push_back(core.Stats.SkipVideo[r].load(std::memory_order_relaxed));
  const int32_t skipAudio = core.Stats.SkipAudio.load(std::memory_order_relaxed);
  st::WriteRecordings();

  AnalysisInput input;
  input.Settings = core.Settings;
  input.CaptureChannels = core.Pipeline.InputChannels;
  input.CaptureAudio = [device](int64_t frame, std::vector<float>& audio) {
    audio = st::ExpectedCaptureAudio(device, frame);
    return !audio.empty();
  };
  input.Voice = std::move(voice);
  std::vector<EngineAnalysis> analyses;
  std::vector<std::string> files;
  if (const Status read = AnalyseEngines(core, out, std::move(input), analyses, files); !read.IsOk()) {
    return Fail(read.Message());
  }
  const Verdict verdict = Judge(analyses, skipVideo, skipAudio, core.Settings);
  if (const Status drawn = DrawCharts(analyses, core.Settings, skipVideo, files); !drawn.IsOk()) {
    return Fail(drawn.Message());
  }
  PrintReport(core, out, analyses, files, verdict);
  ShutdownVirtualStudio();
  return verdict.Good ? kExitGood : kExitBad;
}
