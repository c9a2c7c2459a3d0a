#include "tools/render/renderer.h"

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "audio/voice_over_mixer.h"
#include "config/line_text.h"

namespace quellvox {

namespace {

__extension__ typedef __int128 Wide;

// Temporary files to remove when the run is interrupted: fixed buffers, so
// that the signal handler only calls unlink and _exit.
char gTempOutput[4096];
char gTempLog[4096];

void RemoveTempsAndExit(int signal) {
  if (gTempOutput[0] != '\0') ::unlink(gTempOutput);
  if (gTempLog[0] != '\0') ::unlink(gTempLog);
  ::_exit(128 + signal);
}

// A file being written under a temporary name beside its final one.
class TempFile {
 public:
  TempFile(const std::string& finalPath, char* registry) : final_(finalPath), registry_(registry) {}
  ~TempFile() { Discard(); }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  // Creates the temporary file; returns its descriptor or -1.
  int Create() {
    const size_t slash = final_.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : final_.substr(0, slash == 0 ? 1 : slash);
    const std::string base = slash == std::string::npos ? final_ : final_.substr(slash + 1);
    std::string pattern = folder + "/." + base + ".part-XXXXXX";
    if (pattern.size() >= 4096) return -1;
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    const int fd = ::mkstemp(buffer.data());
    if (fd < 0) return -1;
    path_ = buffer.data();
    std::memcpy(registry_, path_.c_str(), path_.size() + 1);
    // The permissions an ordinary new file would get.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    (void)::fchmod(fd, 0666 & ~mask);
    return fd;
  }

  bool Commit() {
    if (path_.empty() || ::rename(path_.c_str(), final_.c_str()) != 0) return false;
    path_.clear();
    registry_[0] = '\0';
    return true;
  }

  void Discard() {
    if (path_.empty()) return;
    ::unlink(path_.c_str());
    path_.clear();
    registry_[0] = '\0';
  }

 private:
  std::string final_;
  std::string path_;
  char* registry_;
};

struct SndfileCloser {
  void operator()(SNDFILE* f) const { sf_close(f); }
};
using Sndfile = std::unique_ptr<SNDFILE, SndfileCloser>;

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int Get() const { return fd_; }

 private:
  int fd_;
};

// Where a target would land: the file itself when it exists, else the
// folder it would be made in and its name there, so that two spellings of
// one new file ("out.wav", "./out.wav") are told to be the same.
struct Landing {
  bool Exists = false;
  bool Regular = false;
  uint64_t Device = 0;
  uint64_t Inode = 0;
  std::string Name;  // only when it does not exist
  bool Known = true;
};

Landing LandingOf(const std::string& path) {
  Landing l;
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    l.Exists = true;
    l.Regular = S_ISREG(st.st_mode);
    l.Device = static_cast<uint64_t>(st.st_dev);
    l.Inode = static_cast<uint64_t>(st.st_ino);
    return l;
  }
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
  l.Name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (::stat(folder.c_str(), &st) != 0) {
    l.Known = false;  // the write fails later with the system's reason
    return l;
  }
  l.Device = static_cast<uint64_t>(st.st_dev);
  l.Inode = static_cast<uint64_t>(st.st_ino);
  return l;
}

bool SameLanding(const Landing& a, const Landing& b) {
  return a.Known && b.Known && a.Exists == b.Exists && a.Device == b.Device && a.Inode == b.Inode &&
         a.Name == b.Name;
}

// OUTPUT and the gain log replace what they name, so neither may be the
// input (by device and inode: any name or link of it), the other target,
// or anything that exists and is not a regular file (a FIFO, a device, a
// folder, a symbolic link, which the renaming would replace).
Status TargetsAllowed(const RenderOptions& o, const struct stat& input) {
  const uint64_t inDevice = static_cast<uint64_t>(input.st_dev);
  const uint64_t inInode = static_cast<uint64_t>(input.st_ino);
  auto check = [&](const std::string& path, const char* what) {
    const Landing l = LandingOf(path);
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && static_cast<uint64_t>(st.st_dev) == inDevice &&
        static_cast<uint64_t>(st.st_ino) == inInode) {
      return Status::Failed(std::string(what) + " " + path + " is the input " + o.Input + ": nothing written");
    }
    if (l.Exists && !l.Regular) {
      return Status::Failed(std::string(what) + " " + path + " exists and is not a regular file: nothing written");
    }
    return Status::Ok();
  };
  if (Status status = check(o.Output, "OUTPUT"); !status.IsOk()) return status;
  if (o.GainLog.empty()) return Status::Ok();
  if (Status status = check(o.GainLog, "the gain log"); !status.IsOk()) return status;
  if (SameLanding(LandingOf(o.Output), LandingOf(o.GainLog))) {
    return Status::Failed("the gain log " + o.GainLog + " names the same file as OUTPUT " + o.Output +
                          ": nothing written");
  }
  return Status::Ok();
}

bool PairInFile(const AudioLineRef& ref, int32_t channels) {
  const int64_t last = 2 * static_cast<int64_t>(ref.Pair) + (ref.Kind == 1 ? 0 : 1);
  return ref.Pair >= 0 && last < channels;
}

// Sample frames read per libsndfile call: big reads keep the library's
// per-call cost out of the measure.
constexpr int64_t kChunkFrames = 1 << 16;

}  // namespace

int64_t BlockStart(int64_t block, int64_t sampleRate, int64_t numerator, int64_t denominator) {
  const Wide product = static_cast<Wide>(block) * sampleRate * denominator;
  return static_cast<int64_t>(product / numerator);  // non-negative: truncation is floor
}

Status Render(const RenderOptions& o, RenderSummary& summary) {
  const auto started = std::chrono::steady_clock::now();
  const DuckerSettings& settings = o.Settings;

  // The input is opened here, so that what OUTPUT and the gain log are
  // compared with is the very file that is read.
  Descriptor inputFd(::open(o.Input.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat inputStat {};
  if (inputFd.Get() < 0 || ::fstat(inputFd.Get(), &inputStat) != 0) {
    return Status::Failed("cannot read " + o.Input + ": " + std::strerror(errno));
  }
  SF_INFO info{};
  Sndfile input(sf_open_fd(inputFd.Get(), SFM_READ, &info, SF_FALSE));
  if (!input) {
    return Status::Failed("cannot read " + o.Input + ": " + sf_strerror(nullptr));
  }
  if (Status status = TargetsAllowed(o, inputStat); !status.IsOk()) return status;
  {
    // libsndfile reads what a cut-off file holds and notes in its log each
    // size the header declares beyond the end ("data : 1536000 (should be
    // 499896)").
    std::vector<char> log(16384);
    sf_command(input.get(), SFC_GET_LOG_INFO, log.data(), static_cast<int>(log.size()));
    log.back() = '\0';
    summary.InputTruncated = std::strstr(log.data(), "(should be") != nullptr;
  }
  const int32_t channels = info.channels;
  const int64_t rate = info.samplerate;
  if (channels < 1 || rate < 1) {
    return Status::Failed(o.Input + " has no audio channels");
  }

  for (int32_t i = 0; i < kVoiceOverLines; ++i) {
    const VoiceOverLine& line = settings.Lines[i];
    if (line.Use && !PairInFile(line.From, channels)) {
      return Status::Failed("row " + std::to_string(i + 1) + " reads " + FormatLineRef(line.From) + ", but " + o.Input +
                            " has only " + std::to_string(channels) + " channels");
    }
  }
  if (settings.UseCommon && !PairInFile(settings.CommonLine, channels)) {
    return Status::Failed("the floor line " + FormatLineRef(settings.CommonLine) + " is not in " + o.Input +
                          ", which has only " + std::to_string(channels) + " channels");
  }

  // The longest block of the cadence must fit the block buffer, and its
  // planes the mix area, as in the audio pump.
  const int64_t longest = BlockStart(1, rate, o.RateNumerator, o.RateDenominator) + 1;
  if (longest * channels > kBlockFloats) {
    return Status::Failed("a block of up to " + std::to_string(longest) + " sample frames x " +
                          std::to_string(channels) + " channels does not fit the " + std::to_string(kBlockBytes) +
                          "-byte block buffer: raise --rate");
  }
  if (static_cast<int64_t>(o.Planes) * 2 * longest > kBlockFloats) {
    return Status::Failed(std::to_string(o.Planes) + " planes of up to " + std::to_string(longest) +
                          " sample frames do not fit the mix area: give fewer --planes or a higher --rate");
  }

  struct sigaction action {};
  action.sa_handler = RemoveTempsAndExit;
  sigemptyset(&action.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &action, nullptr);

  const int32_t outChannels = 2 * o.Planes;
  TempFile outputFile(o.Output, gTempOutput);
  const int outFd = outputFile.Create();
  if (outFd < 0) {
    return Status::Failed("cannot write " + o.Output + ": " + std::strerror(errno));
  }
  SF_INFO outInfo{};
  outInfo.samplerate = static_cast<int>(rate);
  outInfo.channels = outChannels;
  // RF64 that stays a plain WAV unless the file grows beyond 4 GiB.
  outInfo.format = SF_FORMAT_RF64 | SF_FORMAT_FLOAT;
  Sndfile output(sf_open_fd(outFd, SFM_WRITE, &outInfo, SF_TRUE));
  if (!output) {
    ::close(outFd);
    return Status::Failed("cannot write " + o.Output + ": " + sf_strerror(nullptr));
  }
  sf_command(output.get(), SFC_RF64_AUTO_DOWNGRADE, nullptr, SF_TRUE);

  TempFile logFile(o.GainLog, gTempLog);
  std::unique_ptr<FILE, int (*)(FILE*)> log(nullptr, &std::fclose);
  if (!o.GainLog.empty()) {
    const int logFd = logFile.Create();
    if (logFd >= 0) log.reset(::fdopen(logFd, "w"));
    if (!log) {
      if (logFd >= 0) ::close(logFd);
      return Status::Failed("cannot write " + o.GainLog + ": " + std::strerror(errno));
    }
    std::fprintf(log.get(), "block,pos");
    for (int32_t i = 0; i < kVoiceOverLines; ++i) {
      if (settings.Lines[i].Use) std::fprintf(log.get(), ",floor_db_%d,voice_%d", i + 1, i + 1);
    }
    for (int32_t k = 0; k < o.Planes; ++k) std::fprintf(log.get(), ",momentary_lufs_%d", k + 1);
    std::fprintf(log.get(), "\n");
  }

  // One meter per plane written when anything reads them; every block
  // gating one is kept (an offline file is bounded).
  std::vector<std::unique_ptr<PlaneLoudness>> meters;
  if (o.Loudness || log) {
    for (int32_t k = 0; k < o.Planes; ++k) {
      meters.push_back(std::make_unique<PlaneLoudness>(rate, PlaneLoudness::Gating::Exact));
      if (!meters.back()->Valid()) {
        return Status::Failed("cannot meter the loudness at " + std::to_string(rate) + " samples per second");
      }
    }
  }

  MixerState state;
  DeriveMixerGains(settings, state);
  ResetMixerLines(state);
  auto mix = std::make_unique<MixArea>();

  // Input frames [loadedFrom, loadedFrom + loaded) are in `in`.
  const int64_t inCapacity = kChunkFrames + longest;
  std::vector<float> in(static_cast<size_t>(inCapacity * channels));
  int64_t loadedFrom = 0;
  int64_t loaded = 0;
  bool ended = false;
  std::vector<float> out(static_cast<size_t>((kChunkFrames + longest) * outChannels));
  int64_t pending = 0;  // output frames waiting in `out`, at most kChunkFrames after a flush

  auto flush = [&]() {
    if (pending > 0 && sf_writef_float(output.get(), out.data(), pending) != pending) return false;
    pending = 0;
    return true;
  };

  int64_t block = 0;
  for (;; ++block) {
    const int64_t begin = BlockStart(block, rate, o.RateNumerator, o.RateDenominator);
    int64_t end = BlockStart(block + 1, rate, o.RateNumerator, o.RateDenominator);
    if (end - loadedFrom > loaded && !ended) {
      // Keep what this block still needs and read a big chunk behind it.
      const int64_t keep = std::max<int64_t>(0, loadedFrom + loaded - begin);
      if (keep > 0) {
        std::memmove(in.data(), in.data() + (begin - loadedFrom) * channels,
                     static_cast<size_t>(keep * channels) * sizeof(float));
      }
      loadedFrom = begin;
      loaded = keep;
      while (loaded < inCapacity && !ended) {
        const sf_count_t n = sf_readf_float(input.get(), in.data() + loaded * channels, inCapacity - loaded);
        if (n <= 0) {
          if (sf_error(input.get()) != SF_ERR_NO_ERROR) {
            return Status::Failed("cannot read " + o.Input + ": " + sf_strerror(input.get()));
          }
          ended = true;
        }
        loaded += std::max<sf_count_t>(n, 0);
      }
    }
    end = std::min(end, loadedFrom + loaded);
    if (end <= begin) {
      // The input is done only when no sample is left behind this block; a
      // frame rate above the sample rate leaves empty blocks between
      // samples, and the samples after them are still rendered.
      if (ended && begin >= loadedFrom + loaded) break;
      continue;
    }
    const int32_t frames = static_cast<int32_t>(end - begin);
    const int64_t pos = 1000000 + block + 1;
    MixInput mixIn{in.data() + (begin - loadedFrom) * channels, channels, frames,
                   mix->Samples,  PlanesForBlock(channels, frames, o.Planes)};
    mixIn.BlockFloats = frames * channels;
    MixBlock(settings, state, mixIn, pos);

    if (pending + frames > kChunkFrames && !flush()) {
      return Status::Failed("cannot write " + o.Output + ": " + sf_strerror(output.get()));
    }
    // The planes interleaved as one frame of 2 x K channels; a single
    // plane already has that layout.
    float* const frame0 = out.data() + pending * outChannels;
    if (o.Planes == 1) {
      std::memcpy(frame0, MixPlane(*mix, 0, frames), sizeof(float) * 2 * static_cast<size_t>(frames));
    } else {
      for (int32_t k = 0; k < o.Planes; ++k) {
        const float* plane = MixPlane(*mix, k, frames);
        float* to = frame0 + 2 * k;
        for (int32_t s = 0; s < frames; ++s) {
          to[static_cast<int64_t>(s) * outChannels] = plane[2 * s];
          to[static_cast<int64_t>(s) * outChannels + 1] = plane[2 * s + 1];
        }
      }
    }
    pending += frames;
    summary.Frames += frames;
    for (int32_t k = 0; k < static_cast<int32_t>(meters.size()); ++k) {
      meters[static_cast<size_t>(k)]->Add(MixPlane(*mix, k, frames), frames);
    }

    if (log) {
      std::fprintf(log.get(), "%lld,%lld", static_cast<long long>(block), static_cast<long long>(pos));
      for (int32_t i = 0; i < kVoiceOverLines; ++i) {
        if (!settings.Lines[i].Use) continue;
        std::fprintf(log.get(), ",%.4f,%d", 20.0 * std::log10(static_cast<double>(state.FloorGain[i])),
                     state.LastVoicePos[i] == pos ? 1 : 0);
      }
      for (const auto& meter : meters) std::fprintf(log.get(), ",%.2f", meter->MomentaryLufs());
      std::fprintf(log.get(), "\n");
    }
  }
  summary.Blocks = block;
  if (o.Loudness) {
    for (const auto& meter : meters) summary.Loudness.push_back(meter->Read());
  }

  if (!flush()) {
    return Status::Failed("cannot write " + o.Output + ": " + sf_strerror(output.get()));
  }
  if (sf_close(output.release()) != 0) {
    return Status::Failed("cannot finish " + o.Output);
  }
  if (log) {
    const bool written = std::ferror(log.get()) == 0;
    if (std::fclose(log.release()) != 0 || !written) {
      return Status::Failed("cannot write " + o.GainLog);
    }
    if (!logFile.Commit()) {
      return Status::Failed("cannot write " + o.GainLog + ": " + std::strerror(errno));
    }
  }
  if (!outputFile.Commit()) {
    return Status::Failed("cannot write " + o.Output + ": " + std::strerror(errno));
  }
  summary.AudioSeconds = static_cast<double>(summary.Frames) / static_cast<double>(rate);
  summary.WallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  return Status::Ok();
}

}  // namespace quellvox
