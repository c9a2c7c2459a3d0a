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

namespace {

// One run of the renderer, in the order it goes: open the input, check that
// the layout fits it, open the targets and the meters, mix block by block,
// then put the targets in place. The members are released in the reverse of
// that order, so that a failed run closes its files before their temporary
// names are removed.
class RenderRun {
 public:
  RenderRun(const RenderOptions& o, RenderSummary& summary)
      : o_(o), settings_(o.Settings), summary_(summary), outputFile_(o.Output, gTempOutput), logFile_(o.GainLog, gTempLog) {}

  Status Run() {
    if (Status s = OpenInput(); !s.IsOk()) return s;
    if (Status s = CheckLayout(); !s.IsOk()) return s;
    RemoveTemporariesOnSignals();
    if (Status s = OpenOutput(); !s.IsOk()) return s;
    if (Status s = OpenGainLog(); !s.IsOk()) return s;
    if (Status s = MakeMeters(); !s.IsOk()) return s;
    if (Status s = MixBlocks(); !s.IsOk()) return s;
    return Finish();
  }

 private:
  // The input is opened here, so that what OUTPUT and the gain log are
  // compared with is the very file that is read.
  Status OpenInput() {
    inputFd_ = std::make_unique<Descriptor>(::open(o_.Input.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat inputStat {};
    if (inputFd_->Get() < 0 || ::fstat(inputFd_->Get(), &inputStat) != 0) {
      return Status::Failed("cannot read " + o_.Input + ": " + std::strerror(errno));
    }
    SF_INFO info{};
    input_.reset(sf_open_fd(inputFd_->Get(), SFM_READ, &info, SF_FALSE));
    if (!input_) return Status::Failed("cannot read " + o_.Input + ": " + sf_strerror(nullptr));
    if (Status status = TargetsAllowed(o_, inputStat); !status.IsOk()) return status;
    // libsndfile reads what a cut-off file holds and notes in its log each
    // size the header declares beyond the end ("data : 1536000 (should be
    // 499896)").
    std::vector<char> log(16384);
    sf_command(input_.get(), SFC_GET_LOG_INFO, log.data(), static_cast<int>(log.size()));
    log.back() = '\0';
    summary_.InputTruncated = std::strstr(log.data(), "(should be") != nullptr;
    channels_ = info.channels;
    rate_ = info.samplerate;
    if (channels_ < 1 || rate_ < 1) return Status::Failed(o_.Input + " has no audio channels");
    return Status::Ok();
  }

  // Every line read is in the file, and the longest block of the cadence
  // fits the block buffer and its planes the mix area, as in the audio pump.
  Status CheckLayout() {
    for (int32_t i = 0; i < kVoiceOverLines; ++i) {
      const VoiceOverLine& line = settings_.Lines[i];
      if (line.Use && !PairInFile(line.From, channels_)) {
        return Status::Failed("row " + std::to_string(i + 1) + " reads " + FormatLineRef(line.From) + ", but " +
                              o_.Input + " has only " + std::to_string(channels_) + " channels");
      }
    }
    if (settings_.UseCommon && !PairInFile(settings_.CommonLine, channels_)) {
      return Status::Failed("the floor line " + FormatLineRef(settings_.CommonLine) + " is not in " + o_.Input +
                            ", which has only " + std::to_string(channels_) + " channels");
    }
    longest_ = BlockStart(1, rate_, o_.RateNumerator, o_.RateDenominator) + 1;
    if (longest_ * channels_ > kBlockFloats) {
      return Status::Failed("a block of up to " + std::to_string(longest_) + " sample frames x " +
                            std::to_string(channels_) + " channels does not fit the " + std::to_string(kBlockBytes) +
                            "-byte block buffer: raise --rate");
    }
    if (static_cast<int64_t>(o_.Planes) * 2 * longest_ > kBlockFloats) {
      return Status::Failed(std::to_string(o_.Planes) + " planes of up to " + std::to_string(longest_) +
                            " sample frames do not fit the mix area: give fewer --planes or a higher --rate");
    }
    return Status::Ok();
  }

  static void RemoveTemporariesOnSignals() {
    struct sigaction action {};
    action.sa_handler = RemoveTempsAndExit;
    sigemptyset(&action.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &action, nullptr);
  }

  // RF64 that stays a plain WAV unless the file grows beyond 4 GiB.
  Status OpenOutput() {
    outChannels_ = 2 * o_.Planes;
    const int outFd = outputFile_.Create();
    if (outFd < 0) return Status::Failed("cannot write " + o_.Output + ": " + std::strerror(errno));
    SF_INFO outInfo{};
    outInfo.samplerate = static_cast<int>(rate_);
    outInfo.channels = outChannels_;
    outInfo.format = SF_FORMAT_RF64 | SF_FORMAT_FLOAT;
    output_.reset(sf_open_fd(outFd, SFM_WRITE, &outInfo, SF_TRUE));
    if (!output_) {
      ::close(outFd);
      return Status::Failed("cannot write " + o_.Output + ": " + sf_strerror(nullptr));
    }
    sf_command(output_.get(), SFC_RF64_AUTO_DOWNGRADE, nullptr, SF_TRUE);
    return Status::Ok();
  }

  // The gain log with its header line: the block, its position, per line in
  // use its floor gain and voice, per plane its momentary loudness.
  Status OpenGainLog() {
    if (o_.GainLog.empty()) return Status::Ok();
    const int logFd = logFile_.Create();
    if (logFd >= 0) log_.reset(::fdopen(logFd, "w"));
    if (!log_) {
      if (logFd >= 0) ::close(logFd);
      return Status::Failed("cannot write " + o_.GainLog + ": " + std::strerror(errno));
    }
    std::fprintf(log_.get(), "block,pos");
    for (int32_t i = 0; i < kVoiceOverLines; ++i) {
      if (settings_.Lines[i].Use) std::fprintf(log_.get(), ",floor_db_%d,voice_%d", i + 1, i + 1);
    }
    for (int32_t k = 0; k < o_.Planes; ++k) std::fprintf(log_.get(), ",momentary_lufs_%d", k + 1);
    std::fprintf(log_.get(), "\n");
    return Status::Ok();
  }

  // One meter per plane written when anything reads them; every block
  // gating one is kept (an offline file is bounded).
  Status MakeMeters() {
    if (!o_.Loudness && !log_) return Status::Ok();
    for (int32_t k = 0; k < o_.Planes; ++k) {
      meters_.push_back(std::make_unique<PlaneLoudness>(rate_, PlaneLoudness::Gating::Exact));
      if (!meters_.back()->Valid()) {
        return Status::Failed("cannot meter the loudness at " + std::to_string(rate_) + " samples per second");
      }
    }
    return Status::Ok();
  }

  // Makes input frames [begin, end) readable in `in_`, keeping what the
  // block still needs and reading a big chunk behind it.
  Status Load(int64_t begin, int64_t end) {
    if (end - loadedFrom_ <= loaded_ || ended_) return Status::Ok();
    const int64_t keep = std::max<int64_t>(0, loadedFrom_ + loaded_ - begin);
    if (keep > 0) {
      std::memmove(in_.data(), in_.data() + (begin - loadedFrom_) * channels_,
                   static_cast<size_t>(keep * channels_) * sizeof(float));
    }
    loadedFrom_ = begin;
    loaded_ = keep;
    const int64_t capacity = static_cast<int64_t>(in_.size()) / channels_;
    while (loaded_ < capacity && !ended_) {
      const sf_count_t n = sf_readf_float(input_.get(), in_.data() + loaded_ * channels_, capacity - loaded_);
      if (n <= 0) {
        if (sf_error(input_.get()) != SF_ERR_NO_ERROR) {
          return Status::Failed("cannot read " + o_.Input + ": " + sf_strerror(input_.get()));
        }
        ended_ = true;
      }
      loaded_ += std::max<sf_count_t>(n, 0);
    }
    return Status::Ok();
  }

  bool Flush() {
    if (pending_ > 0 && sf_writef_float(output_.get(), out_.data(), pending_) != pending_) return false;
    pending_ = 0;
    return true;
  }

  // The planes interleaved as one frame of 2 x K channels behind what waits
  // in `out_`; a single plane already has that layout.
  void Interleave(const MixArea& mix, int32_t frames) {
    float* const frame0 = out_.data() + pending_ * outChannels_;
    if (o_.Planes == 1) {
      std::memcpy(frame0, MixPlane(mix, 0, frames), sizeof(float) * 2 * static_cast<size_t>(frames));
    } else {
      for (int32_t k = 0; k < o_.Planes; ++k) {
        const float* plane = MixPlane(mix, k, frames);
        float* to = frame0 + 2 * k;
        for (int32_t s = 0; s < frames; ++s) {
          to[static_cast<int64_t>(s) * outChannels_] = plane[2 * s];
          to[static_cast<int64_t>(s) * outChannels_ + 1] = plane[2 * s + 1];
        }
      }
    }
    pending_ += frames;
  }

  void LogBlock(int64_t block, int64_t pos, const MixerState& state) {
    std::fprintf(log_.get(), "%lld,%lld", static_cast<long long>(block), static_cast<long long>(pos));
    for (int32_t i = 0; i < kVoiceOverLines; ++i) {
      if (!settings_.Lines[i].Use) continue;
      std::fprintf(log_.get(), ",%.4f,%d", 20.0 * std::log10(static_cast<double>(state.FloorGain[i])),
                   state.LastVoicePos[i] == pos ? 1 : 0);
    }
    for (const auto& meter : meters_) std::fprintf(log_.get(), ",%.2f", meter->MomentaryLufs());
    std::fprintf(log_.get(), "\n");
  }

  // Block by block at the cadence, as the pump mixes them.
  Status MixBlocks() {
    MixerState state;
    DeriveMixerGains(settings_, state);
    ResetMixerLines(state);
    auto mix = std::make_unique<MixArea>();
    in_.assign(static_cast<size_t>((kChunkFrames + longest_) * channels_), 0.0f);
    out_.assign(static_cast<size_t>((kChunkFrames + longest_) * outChannels_), 0.0f);

    int64_t block = 0;
    for (;; ++block) {
      const int64_t begin = BlockStart(block, rate_, o_.RateNumerator, o_.RateDenominator);
      int64_t end = BlockStart(block + 1, rate_, o_.RateNumerator, o_.RateDenominator);
      if (Status s = Load(begin, end); !s.IsOk()) return s;
      end = std::min(end, loadedFrom_ + loaded_);
      if (end <= begin) {
        // The input is done only when no sample is left behind this block; a
        // frame rate above the sample rate leaves empty blocks between
        // samples, and the samples after them are still rendered.
        if (ended_ && begin >= loadedFrom_ + loaded_) break;
        continue;
      }
      const int32_t frames = static_cast<int32_t>(end - begin);
      const int64_t pos = 1000000 + block + 1;
      MixInput mixIn{in_.data() + (begin - loadedFrom_) * channels_, channels_, frames,
                     mix->Samples,  PlanesForBlock(channels_, frames, o_.Planes)};
      mixIn.BlockFloats = frames * channels_;
      MixBlock(settings_, state, mixIn, pos);

      if (pending_ + frames > kChunkFrames && !Flush()) {
        return Status::Failed("cannot write " + o_.Output + ": " + sf_strerror(output_.get()));
      }
      Interleave(*mix, frames);
      summary_.Frames += frames;
      for (int32_t k = 0; k < static_cast<int32_t>(meters_.size()); ++k) {
        meters_[static_cast<size_t>(k)]->Add(MixPlane(*mix, k, frames), frames);
      }
      if (log_) LogBlock(block, pos, state);
    }
    summary_.Blocks = block;
    if (o_.Loudness) {
      for (const auto& meter : meters_) summary_.Loudness.push_back(meter->Read());
    }
    return Status::Ok();
  }

  // Everything written and closed, then both targets renamed into place.
  Status Finish() {
    if (!Flush()) return Status::Failed("cannot write " + o_.Output + ": " + sf_strerror(output_.get()));
    if (sf_close(output_.release()) != 0) return Status::Failed("cannot finish " + o_.Output);
    if (log_) {
      const bool written = std::ferror(log_.get()) == 0;
      if (std::fclose(log_.release()) != 0 || !written) return Status::Failed("cannot write " + o_.GainLog);
      if (!logFile_.Commit()) return Status::Failed("cannot write " + o_.GainLog + ": " + std::strerror(errno));
    }
    if (!outputFile_.Commit()) return Status::Failed("cannot write " + o_.Output + ": " + std::strerror(errno));
    summary_.AudioSeconds = static_cast<double>(summary_.Frames) / static_cast<double>(rate_);
    return Status::Ok();
  }

  const RenderOptions& o_;
  const DuckerSettings& settings_;
  RenderSummary& summary_;
  std::unique_ptr<Descriptor> inputFd_;
  Sndfile input_;
  int32_t channels_ = 0;
  int64_t rate_ = 0;
  int64_t longest_ = 0;  // sample frames of the longest block
  int32_t outChannels_ = 0;
  TempFile outputFile_;
  Sndfile output_;
  TempFile logFile_;
  std::unique_ptr<FILE, int (*)(FILE*)> log_{nullptr, &std::fclose};
  std::vector<std::unique_ptr<PlaneLoudness>> meters_;
  // Input frames [loadedFrom_, loadedFrom_ + loaded_) are in `in_`.
  std::vector<float> in_;
  int64_t loadedFrom_ = 0;
  int64_t loaded_ = 0;
  bool ended_ = false;
  std::vector<float> out_;
  int64_t pending_ = 0;  // output frames waiting in `out_`, at most kChunkFrames after a flush
};

}  // namespace

Status Render(const RenderOptions& o, RenderSummary& summary) {
  const auto started = std::chrono::steady_clock::now();
  Status status = RenderRun(o, summary).Run();
  if (status.IsOk()) {
    summary.WallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  }
  return status;
}

}  // namespace quellvox
