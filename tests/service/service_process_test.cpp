// quellvoxd as a process, the way a service manager runs it: NOTIFY_SOCKET
// names a datagram socket of the test, so READY, STATUS and WATCHDOG are
// read as systemd would receive them. The instance is set up with
// quellvox-reg in a store of the test's own; the studio is described in a
// file; every identifier is unique to the run.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "../ffmpeg/media_files.h"
#include "../tools/child_process.h"
#include "../tools/free_port.h"

namespace quellvox::service_test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing_tools::ChildProcess;
using testing_tools::FreeLoopbackPort;
using testing_tools::ReadFileText;
using testing_tools::RunToEnd;

std::string UniqueId() {
  std::random_device rd;
  return "#svc" + std::to_string(::getpid()) + "-" + std::to_string(rd() % 1000000);
}

// The receiving end of the notification socket.
class NotifySocket {
 public:
  explicit NotifySocket(const fs::path& path) : path_(path) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    bound_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    timeval tv{0, 100000};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  ~NotifySocket() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool Bound() const { return bound_; }

  // Reads datagrams until one holds `needle` or `limit` passes; every
  // datagram read is kept in Received.
  bool WaitFor(const std::string& needle, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (size_t seen = 0;; ) {
      for (; seen < Received.size(); ++seen) {
        if (Received[seen].find(needle) != std::string::npos) return true;
      }
      if (std::chrono::steady_clock::now() > end) return false;
      char buffer[4096];
      const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n > 0) Received.emplace_back(buffer, static_cast<size_t>(n));
    }
  }
  int Count(const std::string& needle) const {
    int n = 0;
    for (const auto& d : Received) n += d.find(needle) != std::string::npos ? 1 : 0;
    return n;
  }
  std::string All() const {
    std::string text;
    for (const auto& d : Received) text += "[" + d + "]\n";
    return text;
  }

  std::vector<std::string> Received;

 private:
  fs::path path_;
  int fd_ = -1;
  bool bound_ = false;
};

struct Wav {
  int32_t Channels = 0;
  std::vector<float> Samples;
};

Wav ReadWav(const fs::path& path) {
  Wav w;
  SF_INFO info{};
  SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
  if (!f) return w;
  w.Channels = info.channels;
  w.Samples.resize(static_cast<size_t>(info.frames * info.channels));
  sf_readf_float(f, w.Samples.data(), info.frames);
  sf_close(f);
  return w;
}

// The capture: 10 frames/s, 48 kHz, a 1 kHz tone at -18 dBFS on its second
// pair (a whole number of periods in every block and half block).
constexpr const char* kStudio = R"({
  "devices": [{"kind": 2, "name": "SVC", "width": 192, "height": 108, "rate": 10, "sampleRate": 48000,
               "channels": 4, "ringSeconds": 4,
               "audio": [{"source": "silence"}, {"source": "tone", "frequency": 1000, "levelDb": -18}]}],
  "engines": [{"name": "SVC engine", "width": 192, "height": 108, "rate": 10, "stereoLines": 1, "record": true}],
  "recording": {"folder": "recordings", "maxSeconds": 120}
  FAULTS
})";
constexpr int32_t kFrameSamples = 4800;

class ServiceProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quellvox-svc-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    fs::create_directories(dir_ / "config");
    fs::create_directories(dir_ / "home");
    id_ = UniqueId();
    env_ = {{"XDG_CONFIG_HOME", (dir_ / "config").string()},
            {"HOME", (dir_ / "home").string()},
            {"QUELLVOX_STUDIO", (dir_ / "studio.json").string()},
            {"NOTIFY_SOCKET", (dir_ / "notify").string()},
            {"WATCHDOG_USEC", "1000000"},
            {"WATCHDOG_PID", ""},
            {"QT_QPA_PLATFORM", "offscreen"},
            {"DISPLAY", ""},
            {"WAYLAND_DISPLAY", ""}};
    notify_ = std::make_unique<NotifySocket>(dir_ / "notify");
    ASSERT_TRUE(notify_->Bound());
  }
  void TearDown() override {
    service_.reset();
    notify_.reset();
    fs::remove_all(dir_);
  }

  void WriteStudio(const std::string& faults = "", const std::string& device = "") {
    std::string text = kStudio;
    text.replace(text.find("FAULTS"), 6, faults.empty() ? "" : ", \"faults\": " + faults);
    if (!device.empty()) {
      const size_t from = text.find("[{\"kind\"");
      const size_t to = text.find("}]}],", from) + 4;
      text.replace(from, to - from, device);
    }
    std::ofstream(dir_ / "studio.json") << text;
  }

  void Reg(const std::string& value, const std::string& type, const std::string& data) {
    const std::string key = "Quellvox\\" + id_;
    ASSERT_EQ(RunToEnd({QUELLVOX_REG, "set", key, value, type, data}, env_, "", (dir_ / "reg.txt").string()), 0)
        << value << ": " << ReadFileText((dir_ / "reg.txt").string());
  }

  // Line 1 from the tone to the engine's line at `gainDb`, no floor; the
  // capture named `capture`. AutoStart stays off: the service runs anyway.
  void SetUpInstance(int gainDb = 0, const std::string& capture = "Quellvox Virtual SVC") {
    Reg("CaptureSource", "--string", capture);
    Reg("DelayInFrames", "--dword", "4");
    Reg("RegionName", "--string", "Voice over");
    Reg("TitleEngineCnt", "--dword", "1");
    Reg("TitleEngine1", "--string", "SVC engine");
    Reg("UseLine1", "--dword", "1");
    Reg("From4Line1", "--string", "Stereo#2");
    Reg("To4Line1", "--string", "Stereo#1");
    Reg("VolumeDB4Line1", "--dword", std::to_string(gainDb));
    Reg("UseCommon", "--dword", "0");
    Reg("AutoStart", "--dword", "0");
  }

  void Start(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> argv = {QUELLVOXD, id_};
    argv.insert(argv.end(), extra.begin(), extra.end());
    service_ = std::make_unique<ChildProcess>(argv, env_, "", (dir_ / "stderr.txt").string());
    ASSERT_TRUE(service_->Started());
  }
  std::string Traces() const { return ReadFileText((dir_ / "stderr.txt").string()); }
  int TraceCount(const std::string& needle) const {
    const std::string t = Traces();
    int n = 0;
    for (size_t at = t.find(needle); at != std::string::npos; at = t.find(needle, at + 1)) ++n;
    return n;
  }
  // Waits until the service's traces hold `needle`.
  bool WaitForTrace(const std::string& needle, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (Traces().find(needle) == std::string::npos) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(20ms);
    }
    return true;
  }

  // SIGTERM; the exit code, which must come within a second.
  void StopWithinASecond() {
    const auto sent = std::chrono::steady_clock::now();
    service_->Signal(SIGTERM);
    const std::optional<int> code = service_->Wait(10s);
    ASSERT_TRUE(code) << "still running 10 s after SIGTERM";
    EXPECT_LT(std::chrono::steady_clock::now() - sent, 1s) << "SIGTERM took longer than a second";
    EXPECT_EQ(*code, 0) << Traces();
  }

  std::string Maps() const { return ReadFileText("/proc/" + std::to_string(service_->Pid()) + "/maps"); }

  std::string Own(const std::string& text) const { return "Quellvox" + id_ + "::" + text; }

  fs::path dir_;
  std::string id_;
  std::map<std::string, std::string> env_;
  std::unique_ptr<NotifySocket> notify_;
  std::unique_ptr<ChildProcess> service_;
};

TEST_F(ServiceProcess, TellsTheManagerReadyStatusAndKeepAliveAndStopsWithinASecondOnSigterm) {
  WriteStudio();
  SetUpInstance();
  Start();
  ASSERT_TRUE(notify_->WaitFor("READY=1", 20s)) << notify_->All() << Traces();
  ASSERT_TRUE(notify_->WaitFor("STATUS=Running", 20s)) << notify_->All();
  // The first datagram is READY with its status line.
  EXPECT_EQ(notify_->Received[0].rfind("READY=1\nSTATUS=", 0), 0u) << notify_->All();
  // A keep-alive every half second while the pump makes passes.
  const int keepAlivesBefore = notify_->Count("WATCHDOG=1");
  notify_->WaitFor("nothing the service sends", 2500ms);
  EXPECT_GE(notify_->Count("WATCHDOG=1") - keepAlivesBefore, 3) << notify_->All();
  EXPECT_GE(notify_->Count("WATCHDOG=1"), 3) << notify_->All();
  EXPECT_NE(notify_->All().find("STATUS=Running; skipped frames: audio 0, video 0; relay restarts 0"),
            std::string::npos)
      << notify_->All();

  // Nothing of Qt and nothing of a display in the process: on the studio
  // alone the real-media module, which brings FFmpeg and with it the X
  // client libraries, is not loaded.
  const std::string maps = Maps();
  ASSERT_FALSE(maps.empty());
  for (const char* library : {"libQt6", "platforms/libq", "libX11", "libxcb", "libavutil", "quellvox-real-media"}) {
    EXPECT_EQ(maps.find(library), std::string::npos) << library;
  }

  StopWithinASecond();
  EXPECT_TRUE(notify_->WaitFor("STOPPING=1", 1s)) << notify_->All();
  EXPECT_NE(Traces().find(Own("Service running.")), std::string::npos) << Traces();
  EXPECT_NE(Traces().find(Own("Service stop.")), std::string::npos) << Traces();
  // The outputs are finished: the engine's recording is written.
  const Wav recorded = ReadWav(dir_ / "recordings" / "engine-1.wav");
  EXPECT_EQ(recorded.Channels, 2) << Traces();
  EXPECT_GT(recorded.Samples.size(), 0u);
}

TEST_F(ServiceProcess, FailedAssembliesEndInARunningRelayWithOneTraceForTheirOneMessage) {
  // The engine's frame rate cannot be read three times, then it can. (A
  // rule that fired ends the look-up: the next rule counts from the next call.)
  WriteStudio(R"([{"target": "engine 0", "operation": "GetFrameRate", "code": "0x80004005", "mode": "once"},
                  {"target": "engine 0", "operation": "GetFrameRate", "code": "0x80004005", "mode": "once"},
                  {"target": "engine 0", "operation": "GetFrameRate", "code": "0x80004005", "mode": "once"}])");
  SetUpInstance();
  Start();
  ASSERT_TRUE(notify_->WaitFor("READY=1", 20s)) << Traces();
  EXPECT_NE(notify_->Received[0].find("STATUS=Waiting for a device: "), std::string::npos)
      << notify_->All() << ReadFileText((dir_ / "studio.json").string());
  // Tries after 1, 2 and 4 s of back-off: the fourth, 7 s after the first, runs.
  ASSERT_TRUE(notify_->WaitFor("STATUS=Running", 30s)) << notify_->All() << Traces();
  EXPECT_NE(notify_->All().find("; try 3, the next in 4 s"), std::string::npos) << notify_->All();
  EXPECT_EQ(TraceCount(Own("Service waiting - ")), 1) << Traces();
  EXPECT_EQ(TraceCount(Own("Service running.")), 1) << Traces();
  StopWithinASecond();
}

TEST_F(ServiceProcess, TakesUpAnInputFileThatAppearsAfterTheStart) {
  // A capture fed from a file that is not there yet.
  WriteStudio("", R"([{"kind": 2, "name": "Late", "width": 192, "height": 108, "rate": 10, "sampleRate": 48000,
                       "channels": 6, "input": {"url": "late.mkv", "loop": true}}])");
  SetUpInstance(0, "Quellvox Virtual Late");
  Reg("TitleEngine1", "--string", "SVC engine");
  Start();
  ASSERT_TRUE(notify_->WaitFor("STATUS=Waiting for a device: ", 20s)) << notify_->All() << Traces();
  ASSERT_TRUE(notify_->WaitFor("; try 2,", 20s)) << notify_->All();
  EXPECT_EQ(service_->Wait(0ms), std::nullopt);

  media_files::MadeInput made;
  made.Rate = 10;
  std::string error;
  ASSERT_TRUE(media_files::WriteInput((dir_ / "late.part.mkv").string(), 50, made, error)) << error;
  fs::rename(dir_ / "late.part.mkv", dir_ / "late.mkv");
  ASSERT_TRUE(notify_->WaitFor("STATUS=Running", 40s)) << notify_->All() << Traces();
  EXPECT_EQ(TraceCount(Own("Service waiting - ")), 1) << Traces();
  EXPECT_NE(Maps().find("/lib/quellvox/quellvox-real-media.so"), std::string::npos);  // a described input loads it
  StopWithinASecond();
}

TEST_F(ServiceProcess, RestartsTheRelayWhenTheCaptureDeliversNoNewFrameCountedAndTraced) {
  // The capture's position never reads: to the pump no new frame arrives.
  WriteStudio(R"([{"target": "device 0", "operation": "GetPosition", "code": "0x80004005", "mode": "every", "every": 1}])");
  SetUpInstance();
  Start();
  ASSERT_TRUE(notify_->WaitFor("STATUS=Running", 20s)) << notify_->All() << Traces();
  // Five seconds without a frame, then the restart, in the status line and
  // in one trace line.
  ASSERT_TRUE(notify_->WaitFor("relay restarts 1", 30s)) << notify_->All() << Traces();
  EXPECT_NE(Traces().find(Own("Service restart 1 - the capture delivered no new frame for ")), std::string::npos)
      << Traces();
  EXPECT_GE(TraceCount(Own("Service running.")), 2) << Traces();
  StopWithinASecond();
}

TEST_F(ServiceProcess, SighupHandsAChangedLineGainToTheRecordingAtABlockBoundary) {
  WriteStudio();
  SetUpInstance(0);
  Start();
  ASSERT_TRUE(notify_->WaitFor("STATUS=Running", 20s)) << notify_->All() << Traces();
  std::this_thread::sleep_for(1500ms);
  Reg("VolumeDB4Line1", "--dword", std::to_string(static_cast<uint32_t>(-12)));
  service_->Signal(SIGHUP);
  ASSERT_TRUE(WaitForTrace(Own("Service reload - the mixer takes the new settings."), 10s)) << Traces();
  std::this_thread::sleep_for(1500ms);
  StopWithinASecond();
  EXPECT_EQ(TraceCount(Own("Service running.")), 1) << "the relay restarted: " << Traces();

  const Wav recorded = ReadWav(dir_ / "recordings" / "engine-1.wav");
  ASSERT_EQ(recorded.Channels, 2) << Traces();
  const auto rmsDb = [&](size_t from, size_t samples) {
    double sum = 0;
    for (size_t i = 0; i < samples; ++i) sum += double(recorded.Samples[2 * (from + i)]) * recorded.Samples[2 * (from + i)];
    return 10.0 * std::log10(sum / samples + 1e-30);
  };
  // The tone at -18 dBFS is -21.01 dB RMS; at -12 dB of line gain -33.01.
  const double before = -18.0 - 3.0103;
  const double after = before - 12.0;
  const size_t blocks = recorded.Samples.size() / (2 * kFrameSamples);
  int phase = 0;  // 0 silence before the layer's audio, 1 before the change, 2 after it
  int beforeBlocks = 0;
  int afterBlocks = 0;
  int filled = 0;
  for (size_t b = 0; b < blocks; ++b) {
    const size_t at = b * kFrameSamples;
    const double first = rmsDb(at, kFrameSamples / 2);
    const double second = rmsDb(at + kFrameSamples / 2, kFrameSamples / 2);
    if (phase == 0 && first < -100 && second < -100) continue;
    if (phase == 0) phase = 1;
    // Silence the engine filled in for audio that came late (a loaded
    // machine): no gain to measure.
    if (first < -100 || second < -100) {
      ++filled;
      continue;
    }
    if (phase == 1 && std::fabs(first - after) < 0.05) phase = 2;
    const double want = phase == 1 ? before : after;
    // Both halves of every block at one gain: the change fell between blocks.
    EXPECT_NEAR(first, want, 0.05) << "block " << b << " of " << blocks;
    EXPECT_NEAR(second, want, 0.05) << "block " << b << " of " << blocks;
    (phase == 1 ? beforeBlocks : afterBlocks)++;
  }
  EXPECT_GE(beforeBlocks, 5);
  EXPECT_GE(afterBlocks, 5);
  EXPECT_LE(filled, 5) << "blocks of silence among " << blocks;
}

// The remote interface of the service, driven with curl: a remote Stop
// holds the relay off (the service's own retries do not start it again)
// until a remote Start.
TEST_F(ServiceProcess, ARemoteStopHoldsTheRelayOffUntilARemoteStart) {
  WriteStudio();
  SetUpInstance();
  const int port = FreeLoopbackPort();
  Reg("ControlPort", "--dword", std::to_string(port));
  Start();
  ASSERT_TRUE(notify_->WaitFor("STATUS=Running", 20s)) << notify_->All() << Traces();
  std::string token;
  ASSERT_EQ(RunToEnd({QUELLVOX_REG, "token", "show", id_}, env_, (dir_ / "token.txt").string(), (dir_ / "reg.txt").string()), 0)
      << ReadFileText((dir_ / "reg.txt").string());
  token = ReadFileText((dir_ / "token.txt").string());
  while (!token.empty() && token.back() == '\n') token.pop_back();
  const std::string base = "http://127.0.0.1:" + std::to_string(port);
  const auto curl = [&](const std::vector<std::string>& args) {
    std::vector<std::string> argv{"/usr/bin/curl", "-s", "--max-time", "30", "-o", (dir_ / "body.txt").string(),
                                  "-w", "%{http_code}"};
    argv.insert(argv.end(), args.begin(), args.end());
    RunToEnd(argv, env_, (dir_ / "code.txt").string(), "");
    return std::make_pair(std::atoi(ReadFileText((dir_ / "code.txt").string()).c_str()),
                          ReadFileText((dir_ / "body.txt").string()));
  };
  const auto post = [&](const std::string& command) {
    return curl({"-X", "POST", "-H", "Authorization: Bearer " + token, base + "/api/v1/" + command});
  };
  const auto healthBecomes = [&](int status) {
    for (auto end = std::chrono::steady_clock::now() + 30s; std::chrono::steady_clock::now() < end;) {
      if (curl({base + "/health"}).first == status) return true;
      std::this_thread::sleep_for(100ms);
    }
    return false;
  };
  ASSERT_TRUE(healthBecomes(200)) << Traces();
  EXPECT_EQ(post("stop").first, 200);
  ASSERT_TRUE(healthBecomes(503));
  EXPECT_NE(curl({base + "/health"}).second.find("stopped"), std::string::npos);
  EXPECT_EQ(post("stop").first, 409);  // the menu's rule: Stop is not enabled while stopped
  // Past the service's first retry (1 s): still held off.
  notify_->WaitFor("nothing the service sends", 2500ms);
  EXPECT_EQ(curl({base + "/health"}).first, 503);
  EXPECT_NE(curl({base + "/api/v1/status"}).second.find("\"running\":false"), std::string::npos);
  EXPECT_NE(curl({base + "/metrics"}).second.find("\nquellvox_state"), std::string::npos);

  EXPECT_EQ(post("start").first, 200);
  EXPECT_TRUE(healthBecomes(200)) << Traces();
  EXPECT_GE(TraceCount(Own("Service running.")), 2) << Traces();
  StopWithinASecond();
}

TEST_F(ServiceProcess, TheGuardRefusesTheTrayProgramAndASecondServiceOfTheSameIdentifier) {
  WriteStudio();
  SetUpInstance();
  Start();
  ASSERT_TRUE(notify_->WaitFor("READY=1", 20s)) << Traces();

  // The tray program ends without a word and without touching the instance.
  const int tray = RunToEnd({QUELLVOX_PROGRAM, id_}, env_, "", (dir_ / "tray.txt").string(), 30s);
  EXPECT_EQ(tray, 0) << ReadFileText((dir_ / "tray.txt").string());
  EXPECT_EQ(ReadFileText((dir_ / "tray.txt").string()).find(Own("Menu File->Start.")), std::string::npos);
  // A second service says why and ends with its own code.
  std::map<std::string, std::string> second = env_;
  second["NOTIFY_SOCKET"] = "";
  EXPECT_EQ(RunToEnd({QUELLVOXD, id_}, second, "", (dir_ / "second.txt").string(), 30s), 3);
  EXPECT_NE(ReadFileText((dir_ / "second.txt").string()).find(Own("Service refused - the identifier runs already.")),
            std::string::npos);

  EXPECT_EQ(service_->Wait(0ms), std::nullopt) << "the running service ended";
  StopWithinASecond();
}

TEST_F(ServiceProcess, RefusesACommandLineWithoutTheHashAsTheTrayProgramDoes) {
  std::map<std::string, std::string> env = env_;
  EXPECT_EQ(RunToEnd({QUELLVOXD, "7"}, env, "", (dir_ / "bad.txt").string(), 30s), 2);
  EXPECT_NE(ReadFileText((dir_ / "bad.txt").string()).find("Bad command line!!! Read manual before command line usage"),
            std::string::npos);
  EXPECT_TRUE(notify_->Received.empty() && !notify_->WaitFor("READY", 200ms));
}

}  // namespace
}  // namespace quellvox::service_test
