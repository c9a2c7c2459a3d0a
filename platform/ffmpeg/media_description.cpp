#include "platform/ffmpeg/media_description.h"

#include "platform/description/description_members.h"

#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <stdexcept>

namespace quellvox::realmedia {

namespace {

using nlohmann::json;

using description::DescriptionError;
using description::Fail;
using description::Members;

// A value the studio checks; read here only when it has the expected shape.
template <class T>
void Lenient(const json& j, const char* key, T& out) {
  if (!j.is_object() || !j.contains(key)) return;
  const json& v = j.at(key);
  if constexpr (std::is_same_v<T, bool>) {
    if (v.is_boolean()) out = v.get<bool>();
  } else if constexpr (std::is_same_v<T, std::string>) {
    if (v.is_string()) out = v.get<std::string>();
  } else {
    if (v.is_number_integer()) out = static_cast<T>(v.get<int64_t>());
  }
}

// Whole rates exactly and the NTSC family (rate x 1.001 whole); "num/den" texts.
void LenientRate(const json& j, FrameRate& out) {
  if (!j.is_object() || !j.contains("rate")) return;
  const json& v = j.at("rate");
  if (v.is_number()) {
    if (const auto rate = engine::FrameRateFromNumber(v.get<double>())) out = *rate;
  } else if (v.is_string()) {
    long long num = 0, den = 0;
    char tail = 0;
    if (std::sscanf(v.get<std::string>().c_str(), "%lld/%lld%c", &num, &den, &tail) == 2 && num > 0 && den > 0 &&
        num <= 1'000'000 && den <= 1'000'000) {
      out = FrameRate{num, den};
    }
  }
}

MediaPicture ReadPicture(const json& j) {
  MediaPicture p;
  Lenient(j, "width", p.Width);
  Lenient(j, "height", p.Height);
  LenientRate(j, p.Rate);
  Lenient(j, "interlaced", p.Interlaced);
  if (j.is_object() && j.contains("fieldOrder") && j.at("fieldOrder").is_string()) {
    p.FieldOrder = j.at("fieldOrder").get<std::string>() == "bottom" ? 0 : 1;
  }
  Lenient(j, "sampleRate", p.SampleRate);
  Lenient(j, "channels", p.Channels);
  Lenient(j, "stereoLines", p.StereoLines);
  Lenient(j, "startPosition", p.StartPosition);
  return p;
}

bool IsNetworkUrl(const std::string& url) {
  const size_t colon = url.find("://");
  return colon != std::string::npos && url.compare(0, colon, "file") != 0;
}

InputSettings ReadInput(const json& j, const std::string& path, const std::string& baseDir) {
  Members m(j, path,
            {"url", "format", "options", "loop", "live", "reconnect", "backoffMinMs", "backoffMaxMs", "stallMs",
             "ringFrames"});
  InputSettings in;
  m.Text("url", in.Url, true);
  m.Text("format", in.Format);
  if (!in.Format.empty() && !av_find_input_format(in.Format.c_str())) {
    Fail(m.Path("format"), "unknown input format \"" + in.Format + "\"");
  }
  m.Options("options", in.Options);
  in.Live = IsNetworkUrl(in.Url) || in.Format == "v4l2" || in.Format == "alsa";
  m.Bool("live", in.Live);
  m.Bool("loop", in.Loop);
  if (in.Loop && in.Live) Fail(m.Path("loop"), "a live input cannot loop");
  m.Bool("reconnect", in.Reconnect);
  m.Int("backoffMinMs", in.BackoffMinMs, 10, 60000);
  m.Int("backoffMaxMs", in.BackoffMaxMs, 10, 60000);
  if (in.BackoffMaxMs < in.BackoffMinMs) Fail(m.Path("backoffMaxMs"), "must not be below backoffMinMs");
  m.Int("stallMs", in.StallMs, 100, 60000);
  m.Int("ringFrames", in.RingFrames, 2, 1000);
  if (!IsNetworkUrl(in.Url) && in.Url.find(':') == std::string::npos) {
    std::filesystem::path p(in.Url);
    if (p.is_relative() && !baseDir.empty() && in.Format.empty())
      in.Url = (std::filesystem::path(baseDir) / p).string();
  }
  return in;
}

OutputSettings ReadOutput(const json& j, const std::string& path, const std::string& baseDir) {
  Members m(j, path,
            {"url", "format", "videoCodec", "audioCodec", "pixelFormat", "videoOptions", "audioOptions",
             "formatOptions", "queueFrames"});
  OutputSettings out;
  m.Text("url", out.Url, true);
  m.Text("format", out.Format);
  m.Text("videoCodec", out.VideoCodec);
  m.Text("audioCodec", out.AudioCodec);
  m.Text("pixelFormat", out.PixelFormat);
  m.Options("videoOptions", out.VideoOptions);
  m.Options("audioOptions", out.AudioOptions);
  m.Options("formatOptions", out.FormatOptions);
  m.Int("queueFrames", out.QueueFrames, 2, 250);
  const AVOutputFormat* format =
      av_guess_format(out.Format.empty() ? nullptr : out.Format.c_str(), out.Url.c_str(), nullptr);
  if (!format) {
    if (!out.Format.empty()) Fail(m.Path("format"), "unknown output format \"" + out.Format + "\"");
    Fail(m.Path("url"), "no container known for \"" + out.Url + "\" (give \"format\")");
  }
  const AVCodec* video = avcodec_find_encoder_by_name(out.VideoCodec.c_str());
  if (!video || video->type != AVMEDIA_TYPE_VIDEO)
    Fail(m.Path("videoCodec"), "no video encoder \"" + out.VideoCodec + "\"");
  const AVCodec* audio = avcodec_find_encoder_by_name(out.AudioCodec.c_str());
  if (!audio || audio->type != AVMEDIA_TYPE_AUDIO)
    Fail(m.Path("audioCodec"), "no audio encoder \"" + out.AudioCodec + "\"");
  if (!out.PixelFormat.empty() && av_get_pix_fmt(out.PixelFormat.c_str()) == AV_PIX_FMT_NONE) {
    Fail(m.Path("pixelFormat"), "unknown pixel format \"" + out.PixelFormat + "\"");
  }
  if (!IsNetworkUrl(out.Url) && out.Url.find(':') == std::string::npos) {
    std::filesystem::path p(out.Url);
    if (p.is_relative() && !baseDir.empty()) out.Url = (std::filesystem::path(baseDir) / p).string();
  }
  return out;
}

std::string EntryName(const std::string& list, size_t i, const std::string& name) {
  return list + "[" + std::to_string(i) + "] \"" + name + "\"";
}

}  // namespace

MediaDescription ReadMediaDescription(std::string_view text, const std::string& source, const std::string& baseDir,
                                      std::vector<std::string>& problems) {
  MediaDescription d;
  d.Source = source;
  json root;
  try {
    root = json::parse(text.begin(), text.end());
  } catch (const json::parse_error&) {
    problems.push_back("Real media: bad description \"" + source + "\": not valid JSON; no inputs, no outputs");
    return d;
  }
  if (!root.is_object()) {
    problems.push_back("Real media: bad description \"" + source + "\": must be an object; no inputs, no outputs");
    return d;
  }
  if (root.contains("devices") && root.at("devices").is_array()) {
    const json& list = root.at("devices");
    for (size_t i = 0; i < list.size(); ++i) {
      const json& j = list[i];
      DeviceEntry e;
      e.Name = "Capture " + std::to_string(i + 1);
      Lenient(j, "name", e.Name);
      Lenient(j, "kind", e.Kind);
      e.Picture = ReadPicture(j);
      if (j.is_object() && j.contains("input")) {
        try {
          e.Input = ReadInput(j.at("input"), "input", baseDir);
        } catch (const DescriptionError& error) {
          e.Problem = error.what();
          problems.push_back("Real media: bad description \"" + source + "\": " + EntryName("devices", i, e.Name) +
                             ": " + e.Problem + "; the device cannot be opened");
        }
      }
      d.Devices.push_back(std::move(e));
    }
  }
  if (root.contains("engines") && root.at("engines").is_array()) {
    const json& list = root.at("engines");
    for (size_t i = 0; i < list.size(); ++i) {
      const json& j = list[i];
      EngineEntry e;
      e.Name = "Engine " + std::to_string(i + 1);
      Lenient(j, "name", e.Name);
      e.Picture = ReadPicture(j);
      if (j.is_object() && j.contains("output")) {
        try {
          e.Output = ReadOutput(j.at("output"), "output", baseDir);
        } catch (const DescriptionError& error) {
          e.Problem = error.what();
          problems.push_back("Real media: bad description \"" + source + "\": " + EntryName("engines", i, e.Name) +
                             ": " + e.Problem + "; the engine cannot be attached");
        }
      }
      d.Engines.push_back(std::move(e));
    }
  }
  return d;
}

}  // namespace quellvox::realmedia
