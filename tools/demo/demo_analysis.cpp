#include "tools/demo/demo_analysis.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>

#include "audio/gain.h"

namespace quellvox::demo {

namespace {

constexpr double kToleranceDb = 0.5;
constexpr float kLevelFloorDb = -96.0f;
// Frames at the start of a stretch of voice that are left out of the
// measurement under speech: the attack ramps the floor down within the
// first block, and the sampled voice state may lead the audio by one.
constexpr int kAttackFrames = 2;

std::string Format(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

// The channels (0 left, 1 right) of a plane that a destination kind writes.
std::vector<int32_t> SidesOf(int32_t kind) {
  if (kind == Left) return {0};
  if (kind == Right) return {1};
  return {0, 1};
}

}  // namespace

Status ReadEngineRecording(const std::string& jsonPath, const std::string& wavPath, const std::string& layerName,
                           EngineRecording& out) {
  out = EngineRecording{};
  nlohmann::json report;
  {
    std::ifstream in(jsonPath, std::ios::binary);
    if (!in) {
      return Status::Failed("cannot read \"" + jsonPath + "\"");
    }
    report = nlohmann::json::parse(in, nullptr, false);
    if (report.is_discarded() || !report.is_object()) {
      return Status::Failed("\"" + jsonPath + "\" is not a JSON report");
    }
  }
  try {
    out.Engine = report.at("engine").get<int32_t>();
    out.Name = report.at("name").get<std::string>();
    for (const auto& s : report.value("recorded", nlohmann::json::array())) {
      out.Spans.push_back({s.at("fromPosition").get<int64_t>(), s.at("positions").get<int64_t>(),
                           s.at("fromSample").get<int64_t>(), s.at("sampleFrames").get<int64_t>()});
    }
    const nlohmann::json* layer = nullptr;
    for (const auto& l : report.at("layers")) {
      if (l.at("name").get<std::string>() == layerName) layer = &l;
    }
    if (!layer) {
      return Status::Failed("\"" + jsonPath + "\" has no layer \"" + layerName + "\"");
    }
    out.Base = layer->at("base").get<int32_t>();
    out.OnTime = layer->at("onTime").get<int64_t>();
    out.Missing = layer->at("missing").get<int64_t>();
    out.Late = layer->at("late").get<int64_t>();
    for (const auto& f : layer->at("fifos")) out.Fifos.push_back(f.at("number").get<int32_t>());
    std::sort(out.Fifos.begin(), out.Fifos.end());
    for (const auto& p : layer->at("presented")) {
      out.Log.push_back({p.at(0).get<int64_t>(), p.at(1).get<int32_t>(), p.at(2).get<int64_t>()});
    }
  } catch (const nlohmann::json::exception& e) {
    return Status::Failed("\"" + jsonPath + "\": " + e.what());
  }

  SF_INFO info{};
  SNDFILE* f = sf_open(wavPath.c_str(), SFM_READ, &info);
  if (!f) {
    return Status::Failed("cannot read \"" + wavPath + "\": " + sf_strerror(nullptr));
  }
  out.SampleRate = info.samplerate;
  out.Channels = info.channels;
  out.Audio.resize(static_cast<size_t>(info.frames) * static_cast<size_t>(info.channels));
  const sf_count_t got = sf_readf_float(f, out.Audio.data(), info.frames);
  sf_close(f);
  if (got != info.frames) {
    return Status::Failed("\"" + wavPath + "\" ends early");
  }
  int64_t spanned = 0;
  for (const auto& s : out.Spans) spanned += s.SampleFrames;
  if (spanned != info.frames) {
    return Status::Failed("\"" + jsonPath + "\" accounts for " + std::to_string(spanned) +
                          " sample frames, the WAV holds " + std::to_string(info.frames));
  }
  return Status::Ok();
}

EngineAnalysis AnalyseEngine(const EngineRecording& rec, const AnalysisInput& input) {
  EngineAnalysis a;
  a.Engine = rec.Engine;
  a.Name = rec.Name;
  a.Relayed = rec.OnTime;
  const DuckerSettings& s = input.Settings;
  for (int i = 0; i < kVoiceOverLines; ++i) a.Lines[i].Used = s.Lines[i].Use;

  int64_t totalPositions = 0;
  int64_t totalSamples = 0;
  for (const auto& span : rec.Spans) {
    totalPositions += span.Positions;
    totalSamples += span.SampleFrames;
  }
  if (totalPositions == 0 || rec.SampleRate <= 0) {
    a.Problem = "nothing was recorded";
    return a;
  }
  a.Rate = static_cast<double>(rec.SampleRate) * static_cast<double>(totalPositions) / static_cast<double>(totalSamples);

  // Video: what was missing or repeated once the relay had run a second.
  std::vector<EngineRecording::Presented> log = rec.Log;
  std::sort(log.begin(), log.end(), [](const auto& x, const auto& y) { return x.Position < y.Position; });
  const int64_t settled = rec.Base + static_cast<int64_t>(std::ceil(a.Rate));
  std::set<int64_t> shown;
  const EngineRecording::Presented* previous = nullptr;
  for (const auto& p : log) {
    if (p.Position >= settled) {
      shown.insert(p.Position);
      if (previous && previous->Position >= settled && p.CaptureFrame == previous->CaptureFrame) {
        ++a.RepeatedAfterFirstSecond;
      }
    }
    previous = &p;
  }
  if (!log.empty() && log.back().Position >= settled) {
    a.MissingAfterFirstSecond = (log.back().Position - settled + 1) - static_cast<int64_t>(shown.size());
  }

  // The capture frame whose audio the output carries at position q is
  // q - Base + S, S the capture's start position: the relay numbers frame
  // c as c - S, and the audio of c goes to the same fifo position.
  int64_t start = 0;
  int64_t agreeing = 0;
  int64_t rows = 0;
  for (const auto& p : log) {
    if (p.CaptureFrame < 0) continue;
    if (rows == 0) start = p.CaptureFrame - p.FrameNumber;
    ++rows;
    if (p.CaptureFrame - p.FrameNumber == start) ++agreeing;
  }
  if (rows == 0 || agreeing * 2 < rows) {
    a.Problem = rows == 0 ? "no frame was presented" : "the presented frames do not line up with the capture";
    return a;
  }

  // Which line may be measured: its floor is mixed and no other line in use
  // writes the output channels it writes.
  std::map<std::pair<int32_t, int32_t>, int> writers;  // (plane, side) -> lines
  for (int i = 0; i < kVoiceOverLines; ++i) {
    if (!s.Lines[i].Use) continue;
    for (int32_t side : SidesOf(s.Lines[i].To.Kind)) ++writers[{s.Lines[i].To.Pair, side}];
  }
  std::array<float, kVoiceOverLines> lineGain{};
  for (int i = 0; i < kVoiceOverLines; ++i) {
    const VoiceOverLine& line = s.Lines[i];
    lineGain[i] = DbToGain(line.VolumeDB);
    if (!line.Use || !s.UseCommon) continue;
    bool alone = line.To.Pair >= 0 && line.To.Pair < static_cast<int32_t>(rec.Fifos.size());
    for (int32_t side : SidesOf(line.To.Kind)) alone = alone && writers[{line.To.Pair, side}] == 1;
    a.Lines[i].Measurable = alone && line.From.Pair >= 0 && 2 * line.From.Pair + 1 < input.CaptureChannels &&
                            s.CommonLine.Pair >= 0 && 2 * s.CommonLine.Pair + 1 < input.CaptureChannels;
    if (a.Lines[i].Measurable) {
      const int32_t top = 2 * rec.Fifos[static_cast<size_t>(line.To.Pair)] + 1;
      a.Lines[i].Measurable = top < rec.Channels;
    }
  }

  const int32_t c = input.CaptureChannels;
  std::vector<float> capture;
  std::vector<float> floorPlane;
  std::vector<float> voicePlane;
  int64_t wavFrame = 0;      // first sample frame of the current span in the WAV
  int64_t firstSample = -1;  // WAV sample frame of the first frame taken
  for (const auto& span : rec.Spans) {
    for (int64_t k = 0; k < span.Positions; ++k) {
      // Before Base the layer had no frame due and its fifos nothing to give.
      if (span.FromPosition + k < rec.Base) continue;
      // Sample frames of one position: exact for whole samples per frame.
      const int64_t from = k * span.SampleFrames / span.Positions;
      const int64_t to = (k + 1) * span.SampleFrames / span.Positions;
      if (firstSample < 0) firstSample = wavFrame + from;
      OutputFrame frame;
      frame.Position = span.FromPosition + k;
      frame.Seconds = static_cast<double>(wavFrame + from - firstSample) / rec.SampleRate;
      frame.CaptureFrame = frame.Position - rec.Base + start;
      frame.FloorDb.fill(NAN);
      frame.LevelDb.fill(kLevelFloorDb);
      const float* out = rec.Audio.data() + (wavFrame + from) * rec.Channels;
      int32_t n = static_cast<int32_t>(to - from);

      const auto voice = input.Voice.upper_bound(frame.CaptureFrame + 1);
      const uint8_t mask = voice == input.Voice.begin() ? 0 : std::prev(voice)->second;

      const bool haveCapture = c > 0 && input.CaptureAudio && input.CaptureAudio(frame.CaptureFrame, capture) &&
                               capture.size() >= static_cast<size_t>(c);
      if (haveCapture) n = std::min<int32_t>(n, static_cast<int32_t>(capture.size() / static_cast<size_t>(c)));
      for (int i = 0; i < kVoiceOverLines; ++i) {
        const VoiceOverLine& line = s.Lines[i];
        if (!line.Use) continue;
        frame.Voice[i] = (mask >> i) & 1;
        if (!a.Lines[i].Measurable || n < 1) continue;
        const int32_t base = 2 * rec.Fifos[static_cast<size_t>(line.To.Pair)];
        double energy = 0.0;
        int64_t count = 0;
        for (int32_t side : SidesOf(line.To.Kind)) {
          for (int32_t j = 0; j < n; ++j) {
            const double v = out[static_cast<int64_t>(j) * rec.Channels + base + side];
            energy += v * v;
          }
          count += n;
        }
        if (count > 0 && energy > 0.0) {
          frame.LevelDb[i] = std::max(kLevelFloorDb, static_cast<float>(10.0 * std::log10(energy / count)));
        }
        // A silent output frame (the fifo gave nothing) says nothing of the floor.
        if (!haveCapture || energy == 0.0) continue;
        // The floor and the line's own source as this line routes them into
        // its plane; what the output holds beyond the source is the floor
        // at the gain to be found.
        floorPlane.assign(static_cast<size_t>(2 * n), 0.0f);
        voicePlane.assign(static_cast<size_t>(2 * n), 0.0f);
        AddRouted(capture.data() + 2 * s.CommonLine.Pair, c, s.CommonLine.Kind, floorPlane.data(), line.To.Kind, n,
                  lineGain[i], 0.0f);
        AddRouted(capture.data() + 2 * line.From.Pair, c, line.From.Kind, voicePlane.data(), line.To.Kind, n,
                  lineGain[i], 0.0f);
        double xy = 0.0;
        double xx = 0.0;
        for (int32_t side : SidesOf(line.To.Kind)) {
          for (int32_t j = 0; j < n; ++j) {
            const double x = floorPlane[static_cast<size_t>(2 * j + side)];
            const double y = static_cast<double>(out[static_cast<int64_t>(j) * rec.Channels + base + side]) -
                             voicePlane[static_cast<size_t>(2 * j + side)];
            xy += x * y;
            xx += x * x;
          }
        }
        if (xx > 1e-12 && xy > 0.0) frame.FloorDb[i] = static_cast<float>(20.0 * std::log10(xy / xx));
      }
      a.Frames.push_back(frame);
    }
    wavFrame += span.SampleFrames;
  }

  for (int i = 0; i < kVoiceOverLines; ++i) {
    LineResult& r = a.Lines[i];
    if (!r.Used || !r.Measurable) continue;
    std::vector<float> under;
    int run = 0;
    DuckEpisode episode;
    bool inEpisode = false;
    const double frameSeconds = 1.0 / a.Rate;
    for (const OutputFrame& f : a.Frames) {
      run = f.Voice[i] ? run + 1 : 0;
      if (run > kAttackFrames && std::isfinite(f.FloorDb[i])) under.push_back(f.FloorDb[i]);
      const bool down = std::isfinite(f.FloorDb[i]) && f.FloorDb[i] < -kToleranceDb;
      if (down && !inEpisode) {
        episode = DuckEpisode{f.Seconds, f.Seconds + frameSeconds, f.FloorDb[i]};
        inEpisode = true;
      } else if (down) {
        episode.EndSeconds = f.Seconds + frameSeconds;
        episode.DepthDb = std::min(episode.DepthDb, f.FloorDb[i]);
      } else if (inEpisode) {
        r.Episodes.push_back(episode);
        inEpisode = false;
      }
    }
    if (inEpisode) r.Episodes.push_back(episode);
    r.SpeechFrames = static_cast<int64_t>(under.size());
    if (!under.empty()) {
      std::nth_element(under.begin(), under.begin() + static_cast<std::ptrdiff_t>(under.size() / 2), under.end());
      r.FloorUnderSpeechDb = under[under.size() / 2];
    }
  }
  return a;
}

Verdict Judge(const std::vector<EngineAnalysis>& engines, const std::vector<int32_t>& skipVideo, int32_t skipAudio,
              const DuckerSettings& settings) {
  Verdict v;
  bool good = !engines.empty();
  std::string text;
  for (size_t e = 0; e < engines.size(); ++e) {
    const EngineAnalysis& a = engines[e];
    const int32_t skipped = e < skipVideo.size() ? skipVideo[e] : 0;
    text += (e ? "; " : "") + a.Name + ": " + std::to_string(a.Relayed) + " frames relayed, " +
            std::to_string(skipped) + " skipped, " + std::to_string(a.MissingAfterFirstSecond) + " missing";
    if (a.RepeatedAfterFirstSecond > 0) text += ", " + std::to_string(a.RepeatedAfterFirstSecond) + " repeated";
    if (a.MissingAfterFirstSecond > 0 || a.Relayed == 0) good = false;
    if (!a.Problem.empty()) {
      text += " (" + a.Problem + ")";
      good = false;
    }
  }
  text += "; audio skipped " + std::to_string(skipAudio);
  const double target = -static_cast<double>(settings.DecreaseDB);
  std::string floors;
  int measuredLines = 0;
  bool anyLine = false;
  for (int i = 0; i < kVoiceOverLines; ++i) {
    if (!settings.Lines[i].Use || !settings.UseCommon) continue;
    anyLine = true;
    // The engine whose measure lies farthest from the setting speaks for the line.
    double worst = NAN;
    bool measurable = !engines.empty();
    for (const EngineAnalysis& a : engines) {
      const LineResult& r = a.Lines[i];
      measurable = measurable && r.Measurable;
      if (!r.Measurable || r.SpeechFrames == 0 || !std::isfinite(r.FloorUnderSpeechDb)) continue;
      if (!std::isfinite(worst) || std::fabs(r.FloorUnderSpeechDb - target) > std::fabs(worst - target)) {
        worst = r.FloorUnderSpeechDb;
      }
    }
    floors += floors.empty() ? "" : ", ";
    if (!measurable) {
      floors += "line " + std::to_string(i + 1) + " not measurable";
      good = false;
    } else if (!std::isfinite(worst)) {
      // A line that did not speak in a short run is no fault of the mixer.
      floors += "no speech on line " + std::to_string(i + 1);
    } else {
      ++measuredLines;
      floors += Format("%.2f dB", worst) + " on line " + std::to_string(i + 1);
      if (std::fabs(worst - target) > kToleranceDb) good = false;
    }
  }
  if (!floors.empty()) {
    text += "; floor under speech " + floors + " (set " + Format("%.0f", target) + " dB, within 0.5 dB)";
  }
  // Without one measure the run proves nothing about the ducking.
  if (anyLine && measuredLines == 0) good = false;
  v.Good = good;
  v.Text = std::string(good ? "GOOD" : "BAD") + " - " + text;
  return v;
}

std::vector<LoudnessFigures> MeasureOutputLoudness(const EngineRecording& rec) {
  std::vector<LoudnessFigures> pairs;
  if (rec.Channels < 2 || rec.SampleRate <= 0) return pairs;
  const int64_t frames = static_cast<int64_t>(rec.Audio.size()) / rec.Channels;
  std::vector<float> pair(static_cast<size_t>(frames) * 2);
  for (int32_t k = 0; 2 * k + 1 < rec.Channels; ++k) {
    for (int64_t f = 0; f < frames; ++f) {
      pair[static_cast<size_t>(2 * f)] = rec.Audio[static_cast<size_t>(f * rec.Channels + 2 * k)];
      pair[static_cast<size_t>(2 * f + 1)] = rec.Audio[static_cast<size_t>(f * rec.Channels + 2 * k + 1)];
    }
    PlaneLoudness meter(rec.SampleRate, PlaneLoudness::Gating::Exact);
    meter.Add(pair.data(), frames);
    pairs.push_back(meter.Read());
  }
  return pairs;
}

std::string FormatOutputLoudness(const std::vector<LoudnessFigures>& pairs) {
  std::string text;
  for (size_t k = 0; k < pairs.size(); ++k) {
    if (!std::isfinite(pairs[k].IntegratedLufs)) continue;
    char part[96];
    std::snprintf(part, sizeof part, "%sStereo#%zu %.1f LUFS, true peak %.1f dBTP", text.empty() ? "" : "; ", k + 1,
                  pairs[k].IntegratedLufs, pairs[k].TruePeakDbtp);
    text += part;
  }
  return text.empty() ? "silent" : text;
}

}  // namespace quellvox::demo
