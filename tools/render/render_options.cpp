#include "tools/render/render_options.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <numeric>
#include <string>

#include "config/line_text.h"

namespace quellvox {

const char* const kRenderUsage =
    "usage: quellvox-render [options] INPUT OUTPUT\n"
    "  INPUT   a multichannel audio file (WAV, FLAC, ...); its channels are the capture channels\n"
    "  OUTPUT  a 32-bit float WAV with 2 x K channels: the K mixed stereo planes, interleaved\n"
    "options:\n"
    "  --rate FPS             capture frame rate, e.g. 25, 29.97 or 30000/1001 (default 25)\n"
    "  --line N:FROM:TO[:DB]  voice-over row N (1..8) from line FROM to line TO at DB (default 0);\n"
    "                         lines are Stereo#n, Left#n or Right#n with n from 1 to 9\n"
    "  --floor LINE           floor line (default Stereo#1)\n"
    "  --no-floor             no floor audio and no voice detection\n"
    "  --decrease DB          floor attenuation while voice is seen (default 18)\n"
    "  --threshold DB         voice threshold in dB below full scale (default 32)\n"
    "  --timeout FRAMES       hold and fade after the last voice, in frames (default 30)\n"
    "  --planes K             stereo planes written (default: highest TO pair in use + 1)\n"
    "  --gain-log FILE        CSV per block: block, pos, per row its floor gain (dB) and voice, and\n"
    "                         per plane the momentary loudness at the block's end (LUFS, -inf at first)\n"
    "  --loudness             at the end, per plane: integrated loudness, loudness range, true peak\n"
    "  --help                 this text\n";

namespace {

bool ParseInt(const std::string& text, int64_t lo, int64_t hi, int32_t& value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || std::isspace(static_cast<unsigned char>(text[0])) || v < lo || v > hi) {
    return false;
  }
  value = static_cast<int32_t>(v);
  return true;
}

bool StartsWithNoCase(const std::string& text, const char* prefix) {
  size_t i = 0;
  for (; prefix[i] != '\0'; ++i) {
    if (i >= text.size() || std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  }
  return true;
}

std::vector<std::string> Split(const std::string& text, char by) {
  std::vector<std::string> parts;
  size_t begin = 0;
  for (;;) {
    const size_t at = text.find(by, begin);
    parts.push_back(text.substr(begin, at - begin));
    if (at == std::string::npos) return parts;
    begin = at + 1;
  }
}

}  // namespace

bool IsLineText(const std::string& text) {
  for (const char* prefix : {"stereo#", "left#", "right#"}) {
    const size_t n = std::char_traits<char>::length(prefix);
    if (StartsWithNoCase(text, prefix)) return text.size() == n + 1 && text[n] >= '1' && text[n] <= '9';
  }
  return false;
}

bool ParseFrameRate(const std::string& text, int64_t& numerator, int64_t& denominator) {
  if (text.empty() || text.size() > 20) return false;
  const size_t slash = text.find('/');
  if (slash != std::string::npos) {
    // Digits only on both sides: no sign and no blank, wherever it stands.
    for (size_t i = 0; i < text.size(); ++i) {
      if (i != slash && (text[i] < '0' || text[i] > '9')) return false;
    }
    int32_t n = 0;
    int32_t d = 0;
    if (!ParseInt(text.substr(0, slash), 1, 1000000, n) || !ParseInt(text.substr(slash + 1), 1, 1000000, d)) {
      return false;
    }
    numerator = n;
    denominator = d;
  } else {
    // A decimal number, kept exact as digits over a power of ten.
    int64_t n = 0;
    int64_t d = 1;
    bool point = false;
    bool digits = false;
    for (char c : text) {
      if (c == '.' && !point) {
        point = true;
      } else if (c >= '0' && c <= '9') {
        digits = true;
        n = n * 10 + (c - '0');
        if (point) d *= 10;
        if (n > 1000000000 || d > 1000000) return false;
      } else {
        return false;
      }
    }
    if (!digits || n == 0) return false;
    numerator = n;
    denominator = d;
  }
  const int64_t g = std::gcd(numerator, denominator);
  numerator /= g;
  denominator /= g;
  // Frame rates from 1/1000 to 1000 frames per second.
  return numerator * 1000 >= denominator && numerator <= denominator * 1000;
}

Status ParseRenderOptions(const std::vector<std::string>& args, RenderOptions& options) {
  RenderOptions o;
  bool rowGiven[kVoiceOverLines] = {};
  std::vector<std::string> files;
  bool optionsEnd = false;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    if (optionsEnd || arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
      files.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnd = true;
      continue;
    }
    std::string value;
    bool hasValue = false;
    if (const size_t eq = arg.find('='); eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg = arg.substr(0, eq);
      hasValue = true;
    }
    auto takeValue = [&]() -> Status {
      if (hasValue) return Status::Ok();
      if (i + 1 >= args.size()) return Status::Failed(arg + " needs a value");
      value = args[++i];
      return Status::Ok();
    };
    DuckerSettings& s = o.Settings;
    if (arg == "--help") {
      o.Help = true;
    } else if (arg == "--loudness") {
      o.Loudness = true;
    } else if (arg == "--no-floor") {
      s.UseCommon = false;
    } else if (arg == "--rate") {
      if (Status taken = takeValue(); !taken.IsOk()) return taken;
      if (!ParseFrameRate(value, o.RateNumerator, o.RateDenominator)) {
        return Status::Failed("bad frame rate '" + value + "': give e.g. 25, 29.97 or 30000/1001 (1/1000 to 1000)");
      }
    } else if (arg == "--floor") {
      if (Status taken = takeValue(); !taken.IsOk()) return taken;
      if (!IsLineText(value)) {
        return Status::Failed("bad floor line '" + value + "': give Stereo#n, Left#n or Right#n with n from 1 to 9");
      }
      s.CommonLine = ParseLineRef(value);
    } else if (arg == "--decrease" || arg == "--threshold" || arg == "--timeout") {
      if (Status taken = takeValue(); !taken.IsOk()) return taken;
      int32_t v = 0;
      if (!ParseInt(value, 0, 1000000, v)) {
        return Status::Failed("bad " + arg + " value '" + value + "': give a whole number of 0 or more");
      }
      (arg == "--decrease" ? s.DecreaseDB : arg == "--threshold" ? s.NoiseLevelDB : s.TimeoutInFrames) = v;
    } else if (arg == "--planes") {
      if (Status taken = takeValue(); !taken.IsOk()) return taken;
      if (!ParseInt(value, 1, 1000, o.Planes)) {
        return Status::Failed("bad --planes value '" + value + "': give a whole number from 1");
      }
      o.PlanesGiven = true;
    } else if (arg == "--gain-log") {
      if (Status taken = takeValue(); !taken.IsOk()) return taken;
      if (value.empty()) {
        return Status::Failed("--gain-log needs a file name");
      }
      o.GainLog = value;
    } else if (arg == "--line") {
      if (Status taken = takeValue(); !taken.IsOk()) return taken;
      const std::vector<std::string> parts = Split(value, ':');
      int32_t row = 0;
      if (parts.size() < 3 || parts.size() > 4) {
        return Status::Failed("bad --line '" + value + "': give N:FROM:TO or N:FROM:TO:DB");
      }
      if (!ParseInt(parts[0], 1, kVoiceOverLines, row)) {
        return Status::Failed("bad --line '" + value + "': the row must be a number from 1 to 8");
      }
      if (rowGiven[row - 1]) {
        return Status::Failed("row " + parts[0] + " is given twice");
      }
      for (size_t k = 1; k <= 2; ++k) {
        if (!IsLineText(parts[k])) {
          return Status::Failed("bad line text '" + parts[k] + "' in --line " + value +
                                ": give Stereo#n, Left#n or Right#n with n from 1 to 9");
        }
      }
      int32_t db = 0;
      if (parts.size() == 4 && !ParseInt(parts[3], -200, 200, db)) {
        return Status::Failed("bad --line '" + value + "': the gain must be whole decibels from -200 to 200");
      }
      rowGiven[row - 1] = true;
      s.Lines[row - 1] = {true, ParseLineRef(parts[1]), ParseLineRef(parts[2]), db};
    } else {
      return Status::Failed("unknown option " + arg);
    }
  }
  if (o.Help) {
    options = o;
    return Status::Ok();
  }
  if (files.size() != 2) {
    return Status::Failed(files.size() < 2 ? "give an INPUT and an OUTPUT file"
                                           : "unexpected argument '" + files[2] + "'");
  }
  o.Input = files[0];
  o.Output = files[1];

  int32_t highestTo = -1;
  for (const VoiceOverLine& line : o.Settings.Lines) {
    if (line.Use) highestTo = std::max(highestTo, line.To.Pair);
  }
  if (!o.PlanesGiven) o.Planes = std::max(1, highestTo + 1);
  for (int32_t i = 0; i < kVoiceOverLines; ++i) {
    const VoiceOverLine& line = o.Settings.Lines[i];
    if (line.Use && line.To.Pair >= o.Planes) {
      return Status::Failed("row " + std::to_string(i + 1) + " goes to pair " + std::to_string(line.To.Pair + 1) +
                            ", beyond the " + std::to_string(o.Planes) + " planes of --planes");
    }
  }
  options = o;
  return Status::Ok();
}

}  // namespace quellvox
