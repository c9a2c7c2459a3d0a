#include "platform/media/studio_description.h"

#include <nlohmann/json.hpp>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>

#include "platform/description/description_members.h"
#include "platform/media/fault_table.h"
#include "platform/media/regular_file.h"
#include "platform/media/test_pattern.h"

namespace quellvox::studio {

namespace {

using nlohmann::json;

using description::DescriptionError;
using description::Fail;
using description::Indexed;
using description::Members;
using description::WholeNumber;

// The audio files of one description: each loaded once, all of them
// together within kMaxFileSourceSamples.
struct AudioFiles {
  std::map<std::string, std::shared_ptr<const LoadedAudioFile>> Loaded;
  int64_t SamplesLeft = kMaxFileSourceSamples;
};

void ReadPair(const json& j, const std::string& path, int32_t sampleRate, const std::string& baseDir,
              AudioFiles& files, PairSource& out) {
  Members r(j, path, {"source", "levelDb", "frequency", "seed", "path", "fileChannels"});
  std::string source = "silence";
  r.String("source", source);
  if (source == "silence") {
    out.Kind = PairSourceKind::Silence;
  } else if (source == "tone") {
    out.Kind = PairSourceKind::Tone;
    out.LevelDb = -18.0;
  } else if (source == "floor") {
    out.Kind = PairSourceKind::Floor;
    out.LevelDb = -20.0;
  } else if (source == "speech") {
    out.Kind = PairSourceKind::Speech;
    out.LevelDb = -12.0;
  } else if (source == "file") {
    out.Kind = PairSourceKind::File;
    out.LevelDb = 0.0;
  } else {
    Fail(r.Path("source"), "unknown source \"" + source + "\" (silence, tone, floor, speech or file)");
  }
  r.Number("levelDb", out.LevelDb, -120.0, 20.0);
  r.Int("frequency", out.Frequency, 1, sampleRate / 2 - 1);
  int64_t seed = out.Seed;
  r.Int64("seed", seed, 0, 0xFFFFFFFFll);
  out.Seed = static_cast<uint32_t>(seed);
  r.String("path", out.Path);
  if (r.Has("fileChannels")) {
    const json& fc = r.At("fileChannels");
    if (!fc.is_array() || fc.size() != 2) Fail(r.Path("fileChannels"), "must be two channel numbers [left, right]");
    // libsndfile gives a file at most 1024 channels.
    out.FileLeft = static_cast<int32_t>(WholeNumber(fc[0], r.Path("fileChannels") + "[0]", 0, 1023));
    out.FileRight = static_cast<int32_t>(WholeNumber(fc[1], r.Path("fileChannels") + "[1]", 0, 1023));
  }
  if (out.Kind != PairSourceKind::File) {
    if (r.Has("path") || r.Has("fileChannels")) Fail(path, "\"path\" and \"fileChannels\" belong to file sources");
    return;
  }
  if (out.Path.empty()) Fail(r.Path("path"), "a file source needs a path");
  std::filesystem::path p(out.Path);
  if (p.is_relative() && !baseDir.empty()) p = std::filesystem::path(baseDir) / p;
  const std::string full = p.string();
  auto& cached = files.Loaded[full];
  if (!cached) {
    std::string error;
    cached = LoadAudioFile(full, files.SamplesLeft, error);
    if (!cached) Fail(r.Path("path"), error);
    files.SamplesLeft -= static_cast<int64_t>(cached->Samples.size());
  }
  if (cached->SampleRate != sampleRate) {
    Fail(r.Path("path"), "audio file \"" + full + "\" runs at " + std::to_string(cached->SampleRate) +
                             " Hz, the device at " + std::to_string(sampleRate) + " Hz");
  }
  if (out.FileLeft < 0 || out.FileRight < 0 || out.FileLeft >= cached->Channels || out.FileRight >= cached->Channels) {
    Fail(r.Path("fileChannels"), "audio file \"" + full + "\" has " + std::to_string(cached->Channels) + " channels");
  }
  out.File = cached;
}

void ReadDeviceReports(const json& j, const std::string& path, studio_test::CaptureReports& out) {
  Members r(j, path, {"width", "height", "rate", "fieldPhase1", "fieldPhase2", "sampleRate", "channels"});
  r.Reported("width", out.Width);
  r.Reported("height", out.Height);
  r.Reported("rate", out.Rate);
  r.Reported("fieldPhase1", out.FieldPhase1);
  r.Reported("fieldPhase2", out.FieldPhase2);
  r.Reported("sampleRate", out.SampleRate);
  r.Reported("channels", out.Channels);
}

void ReadEngineReports(const json& j, const std::string& path, studio_test::EngineReports& out) {
  Members r(j, path, {"width", "height", "rate", "fieldPhase1", "fieldPhase2", "fieldOrder", "stereoLines"});
  r.Reported("width", out.Width);
  r.Reported("height", out.Height);
  r.Reported("rate", out.Rate);
  r.Reported("fieldPhase1", out.FieldPhase1);
  r.Reported("fieldPhase2", out.FieldPhase2);
  r.Reported("fieldOrder", out.FieldOrder);
  r.Reported("stereoLines", out.StereoLines);
}

std::string FormatLabel(int32_t w, int32_t h, const FrameRate& rate, bool interlaced) {
  char buf[96];
  const double v = rate.Value();
  if (rate.Den == 1) {
    std::snprintf(buf, sizeof buf, "%dx%d %lld%s", w, h, static_cast<long long>(rate.Num), interlaced ? "i" : "p");
  } else {
    std::snprintf(buf, sizeof buf, "%dx%d %.2f%s", w, h, v, interlaced ? "i" : "p");
  }
  return buf;
}

// The picture of a device or an engine: size, rate and field structure.
void ReadPicture(const Members& r, int32_t& width, int32_t& height, FrameRate& rate, bool& interlaced,
                 int32_t& fieldOrder) {
  r.Int("width", width, kMinPatternWidth, 8192);
  if (width % 2) Fail(r.Path("width"), "must be even (two pixels share their colour)");
  r.Int("height", height, kMinPatternHeight, 8192);
  if (height % 2) Fail(r.Path("height"), "must be even (two fields)");
  r.Rate("rate", rate);
  r.Bool("interlaced", interlaced);
  r.FieldOrder("fieldOrder", fieldOrder);
}

// A clock running a set number of parts per million fast (positive) or slow,
// as an unlocked card's crystal does: at most 10,000 either way, to a
// thousandth of a ppm.
void ReadClockPpm(const Members& r, ClockSkew& out) {
  double ppm = 0.0;
  r.Number("clockPpm", ppm, -10'000.0, 10'000.0);
  out.PartsPerBillion = static_cast<int64_t>(std::llround(ppm * 1000.0));
}

void ReadDevice(const json& j, const std::string& path, const std::string& baseDir,
                AudioFiles& files, DeviceDescription& d) {
  Members r(j, path,
           {"kind", "name", "board", "label", "width", "height", "rate", "interlaced", "fieldOrder", "sampleRate",
            "channels", "ringSeconds", "startPosition", "clockPpm", "audio", "reports", "input"});
  r.Int("kind", d.Kind, 0, 1000);
  if (d.Kind != 2 && d.Kind != 9 && d.Kind != 12) Fail(r.Path("kind"), "must be 2, 9 or 12");
  r.String("name", d.Name);
  r.String("board", d.Board);
  r.String("label", d.Label);
  ReadPicture(r, d.Width, d.Height, d.Rate, d.Interlaced, d.FieldOrder);
  r.Int("sampleRate", d.SampleRate, 8000, 192000);
  r.Int("channels", d.Channels, 0, 32);
  if (d.Channels < 2 || d.Channels % 2) Fail(r.Path("channels"), "must be an even number from 2 to 32 (stereo pairs)");
  r.Number("ringSeconds", d.RingSeconds, 0.04, 60.0);
  r.Int64("startPosition", d.StartPosition, 0, int64_t{1} << 50);
  ReadClockPpm(r, d.Clock);
  if (d.Name.empty()) d.Name = "Capture";
  if (d.Label.empty()) {
    d.Label = d.Kind == 12 ? d.Name + " (auxiliary)"
                           : d.Name + " - " + FormatLabel(d.Width, d.Height, d.Rate, d.Interlaced) + ", " +
                                 std::to_string(d.Channels) + " ch";
  }
  if (r.Has("audio")) {
    const json& a = r.At("audio");
    if (!a.is_array()) Fail(r.Path("audio"), "must be a list of stereo-pair sources");
    if (static_cast<int32_t>(a.size()) > d.Channels / 2) {
      Fail(r.Path("audio"), std::to_string(a.size()) + " pair sources for " + std::to_string(d.Channels) + " channels");
    }
    for (size_t i = 0; i < a.size(); ++i) {
      PairSource p;
      ReadPair(a[i], Indexed(r.Path("audio"), i), d.SampleRate, baseDir, files, p);
      d.Pairs.push_back(std::move(p));
    }
  }
  if (r.Has("reports")) ReadDeviceReports(r.At("reports"), r.Path("reports"), d.Reports);
  // The input's own members are checked by the provider that plays it.
  if (r.Has("input")) {
    if (!r.At("input").is_object()) Fail(r.Path("input"), "must be an object");
    if (d.Kind == 12) Fail(r.Path("input"), "an auxiliary device has no input");
    d.External = true;
  }
}

void ReadEngine(const json& j, const std::string& path, EngineDescription& e) {
  Members r(j, path,
           {"name", "usable", "width", "height", "rate", "interlaced", "fieldOrder", "stereoLines", "sampleRate",
            "startPosition", "clockPpm", "record", "preallocate", "reports", "output"});
  r.String("name", e.Name);
  r.Bool("usable", e.Usable);
  ReadPicture(r, e.Width, e.Height, e.Rate, e.Interlaced, e.FieldOrder);
  r.Int("stereoLines", e.StereoLines, 1, 16);
  r.Int("sampleRate", e.SampleRate, 8000, 192000);
  r.Int64("startPosition", e.StartPosition, 0, int64_t{1} << 50);
  ReadClockPpm(r, e.Clock);
  r.Bool("record", e.Record);
  r.Bool("preallocate", e.Preallocate);
  if (e.Name.empty()) e.Name = "Engine";
  if (r.Has("reports")) ReadEngineReports(r.At("reports"), r.Path("reports"), e.Reports);
  if (r.Has("output")) {
    if (!r.At("output").is_object()) Fail(r.Path("output"), "must be an object");
    e.External = true;
  }
}

void ReadFault(const json& j, const std::string& path, studio_test::FaultRule& f) {
  Members r(j, path, {"target", "operation", "interface", "code", "mode", "every", "rate", "seed", "skip", "laterFrames"});
  r.String("target", f.Target);
  r.String("operation", f.Operation);
  r.String("interface", f.Interface);
  if (r.Has("code")) {
    const json& c = r.At("code");
    if (c.is_number_integer()) {
      const int64_t v = WholeNumber(c, r.Path("code"), INT32_MIN, UINT32_MAX);
      f.Code = static_cast<HResult>(static_cast<uint32_t>(v));
    } else if (c.is_string()) {
      const std::string s = c.get<std::string>();
      char* end = nullptr;
      const unsigned long long v = std::strtoull(s.c_str(), &end, 0);
      if (s.empty() || !std::isdigit(static_cast<unsigned char>(s[0])) || *end != '\0' || v > 0xFFFFFFFFull) Fail(r.Path("code"), "must be a 32-bit result code");
      f.Code = static_cast<HResult>(static_cast<uint32_t>(v));
    } else {
      Fail(r.Path("code"), "must be a number or a text such as \"0x80004005\"");
    }
  }
  std::string mode = "once";
  r.String("mode", mode);
  if (mode == "once") {
    f.Mode = studio_test::FaultMode::Once;
  } else if (mode == "every") {
    f.Mode = studio_test::FaultMode::Every;
  } else if (mode == "random") {
    f.Mode = studio_test::FaultMode::Random;
  } else {
    Fail(r.Path("mode"), "must be \"once\", \"every\" or \"random\"");
  }
  r.Int64("every", f.Every, 1, INT64_MAX);
  r.Number("rate", f.Rate, 0.0, 1.0);
  int64_t seed = 1;
  r.Int64("seed", seed, 0, INT64_MAX);
  f.Seed = static_cast<uint64_t>(seed);
  r.Int64("skip", f.Skip, 0, INT64_MAX);
  r.Int64("laterFrames", f.LaterFrames, 0, 1'000'000);
  FaultTable probe;
  if (const Status added = probe.Add(f); !added.IsOk()) Fail(path, added.Message());
}

template <class Entry, class ReadEntry>
void ReadList(const Members& r, const char* key, std::vector<Entry>& out, ReadEntry read) {
  if (!r.Has(key)) return;
  const json& list = r.At(key);
  if (!list.is_array()) Fail(key, "must be a list");
  for (size_t i = 0; i < list.size(); ++i) out.push_back(read(list[i], Indexed(key, i), i));
}

void ReadRecording(const Members& r, const std::string& baseDir, StudioDescription& out) {
  if (!r.Has("recording")) return;
  Members rec(r.At("recording"), "recording", {"folder", "maxSeconds", "logMaxFrames"});
  rec.String("folder", out.RecordingFolder);
  rec.Number("maxSeconds", out.RecordMaxSeconds, 0.0, 86400.0);
  rec.Int64("logMaxFrames", out.LogMaxFrames, 0, 100'000'000);
  if (out.RecordingFolder.empty()) out.RecordingFolder = ".";
  std::filesystem::path p(out.RecordingFolder);
  if (p.is_relative() && !baseDir.empty()) out.RecordingFolder = (std::filesystem::path(baseDir) / p).string();
}

// A recording engine holds its programme audio for maxSeconds in memory
// from its first layer on: bounded here, before anything is sized.
void CheckRecordingSizes(const StudioDescription& out) {
  for (size_t i = 0; i < out.Engines.size(); ++i) {
    const EngineDescription& e = out.Engines[i];
    const double bytes = out.RecordMaxSeconds * e.SampleRate * e.StereoLines * 2.0 * sizeof(float);
    if (e.Record && bytes > static_cast<double>(kMaxRecordingBytes)) {
      Fail(Indexed("engines", i) + ".record",
           "a recording of " + description::FormatNumber(out.RecordMaxSeconds) + " s (recording.maxSeconds) of " +
               std::to_string(e.StereoLines) + " stereo lines at " + std::to_string(e.SampleRate) +
               " Hz takes more than " + std::to_string(kMaxRecordingBytes >> 20) + " MiB");
    }
  }
}

void ReadDescription(std::string_view text, const std::string& baseDir, StudioDescription& out) {
  json root;
  try {
    root = json::parse(text.begin(), text.end());
  } catch (const json::parse_error& e) {
    Fail("", std::string("not valid JSON (") + e.what() + ")");
  }
  Members r(root, "", {"devices", "engines", "faults", "recording"});
  AudioFiles files;
  ReadList(r, "devices", out.Devices, [&](const json& j, const std::string& path, size_t i) {
    DeviceDescription d;
    d.Name = "Capture " + std::to_string(i + 1);
    ReadDevice(j, path, baseDir, files, d);
    return d;
  });
  ReadList(r, "engines", out.Engines, [&](const json& j, const std::string& path, size_t i) {
    EngineDescription e;
    e.Name = "Engine " + std::to_string(i + 1);
    ReadEngine(j, path, e);
    return e;
  });
  ReadList(r, "faults", out.Faults, [&](const json& j, const std::string& path, size_t) {
    studio_test::FaultRule f;
    ReadFault(j, path, f);
    return f;
  });
  ReadRecording(r, baseDir, out);
  CheckRecordingSizes(out);
}

}  // namespace

Status ParseStudioDescription(std::string_view text, const std::string& baseDir, StudioDescription& out) {
  out = StudioDescription{};
  try {
    ReadDescription(text, baseDir, out);
    return Status::Ok();
  } catch (const DescriptionError& e) {
    out = StudioDescription{};
    return Status::Failed(E_INVALIDARG, e.what());
  } catch (const nlohmann::json::exception& e) {
    out = StudioDescription{};
    return Status::Failed(E_INVALIDARG, e.what());
  } catch (const std::exception& e) {  // std::bad_alloc and the like: one message, as any other problem
    out = StudioDescription{};
    return Status::Failed(std::string("cannot be loaded (") + e.what() + ")");
  }
}

Status ReadStudioDescriptionFile(const std::string& path, std::string& text) {
  const Status read = ReadRegularFile(path, kMaxDescriptionBytes, text);
  if (read.IsOk()) return read;
  return Status::Failed(read.Code(), "the file " + read.Message());
}

std::string DefaultDescriptionText() {
  return R"({
  "devices": [
    {"kind": 2, "name": "Capture 1", "width": 1920, "height": 1080, "rate": 25,
     "sampleRate": 48000, "channels": 8, "ringSeconds": 4, "startPosition": 1000000,
     "audio": [{"source": "floor"},
               {"source": "speech", "seed": 1},
               {"source": "speech", "seed": 2},
               {"source": "silence"}]},
    {"kind": 9, "name": "Capture 2", "width": 1920, "height": 1080, "rate": 50,
     "sampleRate": 48000, "channels": 8, "ringSeconds": 4, "startPosition": 1000000,
     "audio": [{"source": "floor", "seed": 3},
               {"source": "speech", "seed": 4},
               {"source": "speech", "seed": 5},
               {"source": "silence"}]},
    {"kind": 12, "name": "Auxiliary"}
  ],
  "engines": [
    {"name": "Engine 1", "width": 1920, "height": 1080, "rate": 25, "stereoLines": 3},
    {"name": "Engine 2", "width": 1920, "height": 1080, "rate": 25, "interlaced": true,
     "fieldOrder": "top", "stereoLines": 1}
  ]
}
)";
}

}  // namespace quellvox::studio
