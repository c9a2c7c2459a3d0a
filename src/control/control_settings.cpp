#include "control/control_settings.h"

#include <cstdio>
#include <nlohmann/json.hpp>
#include <vector>

#include "config/line_text.h"
#include "platform/com/case_fold.h"

namespace quellvox {

namespace {

using Json = nlohmann::json;

struct Range {
  int64_t Min;
  int64_t Max;
};

// The dialog's field ranges (its number fields and lists).
constexpr Range kCpuPriority{0, 3};
constexpr Range kShowOnStart{0, 2};
constexpr Range kDelay{5, 250};
constexpr Range kVolume{-24, 24};
constexpr Range kDecrease{0, 24};
constexpr Range kNoiseLevel{0, 48};
constexpr Range kTimeout{0, 99};

std::string RowName(const char* format, int row) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, format, row);
  return buffer;
}

int FindName(const std::vector<std::string>& names, std::string_view name) {
  for (size_t i = 0; i < names.size(); ++i) {
    if (EqualsIgnoringCaseUtf8(names[i], name)) return static_cast<int>(i);
  }
  return -1;
}

Json ToJson(const RemoteSettings& record, const CatalogueNames& names) {
  const DuckerSettings& s = record.Settings;
  Json j = Json::object();
  j["AutoStart"] = record.AutoStart;
  j["RunOnLogon"] = record.RunOnLogon;
  j["CpuPriority"] = s.CpuPriority.Load();
  const bool sourceListed = s.CaptureSource >= 0 && s.CaptureSource < static_cast<int32_t>(names.Sources.size());
  j["CaptureSource"] = sourceListed ? Json(names.Sources[static_cast<size_t>(s.CaptureSource)]) : Json(nullptr);
  j["DelayInFrames"] = s.DelayInFrames;
  j["RegionName"] = s.RegionName;
  j["ShowOnStartType"] = s.ShowOnStartType;
  Json engines = Json::array();
  for (size_t i = 0; i < names.Engines.size() && i < static_cast<size_t>(kMaxTargets); ++i) {
    if (s.TitleEngineMask & (1u << i)) engines.push_back(names.Engines[i]);
  }
  j["TitleEngines"] = engines;
  for (int n = 1; n <= kVoiceOverLines; ++n) {
    const VoiceOverLine& line = s.Lines[static_cast<size_t>(n - 1)];
    j[RowName("UseLine%d", n)] = line.Use;
    j[RowName("From4Line%d", n)] = FormatLineRef(line.From);
    j[RowName("To4Line%d", n)] = FormatLineRef(line.To);
    j[RowName("VolumeDB4Line%d", n)] = line.VolumeDB;
  }
  j["UseCommon"] = s.UseCommon;
  j["CommonLine"] = FormatLineRef(s.CommonLine);
  j["DecreaseDB"] = s.DecreaseDB;
  j["NoiseLevelDB"] = s.NoiseLevelDB;
  j["TimeoutInFrames"] = s.TimeoutInFrames;
  return j;
}

// One member's rule: reads it into the copy of the record, or says why not.
class Reader {
 public:
  Reader(const Json& body, RemoteSettings& out, const CatalogueNames& names) : body_(body), out_(out), names_(names) {}

  std::string error;
  size_t used = 0;

  const Json* Take(const std::string& name) {
    if (!error.empty()) return nullptr;
    auto it = body_.find(name);
    if (it == body_.end()) return nullptr;
    ++used;
    return &*it;
  }
  void Fail(const std::string& name, const char* why) {
    if (error.empty()) error = name + ": " + why;
  }
  void Bool(const std::string& name, bool& field) {
    if (const Json* v = Take(name)) {
      if (v->is_boolean()) field = v->get<bool>();
      else Fail(name, "expected true or false");
    }
  }
  template <class Set>
  void Int(const std::string& name, Range range, Set set) {
    if (const Json* v = Take(name)) {
      if (!v->is_number_integer()) return Fail(name, "expected a whole number");
      const int64_t n = v->get<int64_t>();
      if (n < range.Min || n > range.Max) return Fail(name, ("outside " + std::to_string(range.Min) + ".." +
                                                              std::to_string(range.Max)).c_str());
      set(static_cast<int32_t>(n));
    }
  }
  void Line(const std::string& name, AudioLineRef& field) {
    if (const Json* v = Take(name)) {
      if (!v->is_string()) return Fail(name, "expected a line such as \"Stereo#1\"");
      const std::string text = v->get<std::string>();
      const AudioLineRef ref = ParseLineRef(text);
      if (ref.Pair < 0 || ref.Pair >= kLinePairsOffered || !EqualsIgnoringCaseUtf8(FormatLineRef(ref), text)) {
        return Fail(name, "expected Stereo#n, Left#n or Right#n with n from 1 to 8");
      }
      field = ref;
    }
  }

 private:
  const Json& body_;
  RemoteSettings& out_;
  const CatalogueNames& names_;
};

std::vector<std::string> MemberNames() {
  std::vector<std::string> names = {"AutoStart", "RunOnLogon", "CpuPriority", "CaptureSource", "DelayInFrames",
                                    "RegionName", "ShowOnStartType", "TitleEngines"};
  for (int n = 1; n <= kVoiceOverLines; ++n) {
    for (const char* f : {"UseLine%d", "From4Line%d", "To4Line%d", "VolumeDB4Line%d"}) names.push_back(RowName(f, n));
  }
  for (const char* f : {"UseCommon", "CommonLine", "DecreaseDB", "NoiseLevelDB", "TimeoutInFrames"}) names.push_back(f);
  return names;
}

bool SameAssembly(const DuckerSettings& a, const DuckerSettings& b) {
  return a.CaptureSource == b.CaptureSource && a.TitleEngineMask == b.TitleEngineMask &&
         a.RegionName == b.RegionName && a.ShowOnStartType == b.ShowOnStartType && a.DelayInFrames == b.DelayInFrames;
}

bool SameMixer(const DuckerSettings& a, const DuckerSettings& b) {
  return a.Lines == b.Lines && a.UseCommon == b.UseCommon && a.CommonLine == b.CommonLine &&
         a.DecreaseDB == b.DecreaseDB && a.NoiseLevelDB == b.NoiseLevelDB && a.TimeoutInFrames == b.TimeoutInFrames &&
         a.CpuPriority.Load() == b.CpuPriority.Load();
}

}  // namespace

CatalogueNames NamesOf(const TitleEngineCatalogue& engines, const CaptureSourceCatalogue& sources) {
  CatalogueNames names;
  for (int32_t i = 0; i < engines.Count(); ++i) names.Engines.push_back(engines.NameAt(i));
  for (int32_t i = 0; i < sources.Count(); ++i) names.Sources.push_back(sources.NameAt(i));
  return names;
}

std::string SettingsToJson(const RemoteSettings& record, const CatalogueNames& names) {
  return ToJson(record, names).dump();
}

std::string SettingsToJson(const RemoteSettings& record, const TitleEngineCatalogue& engines,
                           const CaptureSourceCatalogue& sources) {
  return SettingsToJson(record, NamesOf(engines, sources));
}

SettingsParseResult ApplySettingsJson(std::string_view body, bool whole, RemoteSettings& record,
                                      const CatalogueNames& names) {
  SettingsParseResult result;
  auto malformed = [&result](std::string message) {
    result.HttpStatus = 400;
    result.Message = std::move(message);
    return result;
  };
  const Json j = Json::parse(body, nullptr, /*allow_exceptions=*/false);
  if (j.is_discarded()) return malformed("the body is not JSON");
  if (!j.is_object()) return malformed("the body is not a JSON object");
  if (j.empty()) return malformed("no settings in the body");
  const std::vector<std::string> members = MemberNames();
  for (const auto& item : j.items()) {
    bool known = false;
    for (const std::string& m : members) known = known || m == item.key();
    if (!known) return malformed("unknown setting: " + item.key());
  }
  if (whole && j.size() != members.size()) {
    for (const std::string& m : members) {
      if (!j.contains(m)) return malformed("missing setting: " + m);
    }
  }

  RemoteSettings next = record;
  DuckerSettings& s = next.Settings;
  Reader r(j, next, names);
  r.Bool("AutoStart", next.AutoStart);
  r.Bool("RunOnLogon", next.RunOnLogon);
  r.Int("CpuPriority", kCpuPriority, [&s](int32_t v) { s.CpuPriority = v; });
  if (const Json* v = r.Take("CaptureSource")) {
    if (v->is_null()) {
      s.CaptureSource = -1;
    } else if (!v->is_string()) {
      r.Fail("CaptureSource", "expected a capture source's name or null");
    } else {
      const int position = FindName(names.Sources, v->get<std::string>());
      if (position < 0) r.Fail("CaptureSource", "no capture source of that name");
      else s.CaptureSource = position;
    }
  }
  r.Int("DelayInFrames", kDelay, [&s](int32_t v) { s.DelayInFrames = v; });
  if (const Json* v = r.Take("RegionName")) {
    if (!v->is_string()) r.Fail("RegionName", "expected a text");
    else s.RegionName = v->get<std::string>();
  }
  r.Int("ShowOnStartType", kShowOnStart, [&s](int32_t v) { s.ShowOnStartType = v; });
  if (const Json* v = r.Take("TitleEngines")) {
    uint32_t mask = 0;
    if (!v->is_array()) r.Fail("TitleEngines", "expected a list of title engine names");
    for (const Json& e : v->is_array() ? *v : Json::array()) {
      const int position = e.is_string() ? FindName(names.Engines, e.get<std::string>()) : -1;
      if (position < 0 || position >= kMaxTargets) {
        r.Fail("TitleEngines", "no selectable title engine of that name");
        break;
      }
      mask |= 1u << position;
    }
    s.TitleEngineMask = mask;
  }
  for (int n = 1; n <= kVoiceOverLines; ++n) {
    VoiceOverLine& line = s.Lines[static_cast<size_t>(n - 1)];
    r.Bool(RowName("UseLine%d", n), line.Use);
    r.Line(RowName("From4Line%d", n), line.From);
    r.Line(RowName("To4Line%d", n), line.To);
    r.Int(RowName("VolumeDB4Line%d", n), kVolume, [&line](int32_t v) { line.VolumeDB = v; });
  }
  r.Bool("UseCommon", s.UseCommon);
  r.Line("CommonLine", s.CommonLine);
  r.Int("DecreaseDB", kDecrease, [&s](int32_t v) { s.DecreaseDB = v; });
  r.Int("NoiseLevelDB", kNoiseLevel, [&s](int32_t v) { s.NoiseLevelDB = v; });
  r.Int("TimeoutInFrames", kTimeout, [&s](int32_t v) { s.TimeoutInFrames = v; });
  if (!r.error.empty()) return malformed(r.error);

  const SettingsProblem problem = FirstSettingsProblem(s);
  if (problem != SettingsProblem::None) {
    result.HttpStatus = 422;
    result.Message = SettingsProblemText(problem);
    return result;
  }
  result.NeedsRestart = !SameAssembly(record.Settings, s);
  result.MixerChanged = !SameMixer(record.Settings, s);
  record = next;
  return result;
}

SettingsParseResult ApplySettingsJson(std::string_view body, bool whole, RemoteSettings& record,
                                      const TitleEngineCatalogue& engines, const CaptureSourceCatalogue& sources) {
  return ApplySettingsJson(body, whole, record, NamesOf(engines, sources));
}

}  // namespace quellvox
