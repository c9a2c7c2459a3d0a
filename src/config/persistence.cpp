#include "config/persistence.h"

#include <cstdio>
#include <string>

#include "config/line_text.h"
#include "platform/registry_api/registry_access.h"

namespace quellvox {

namespace {

// A value name as a component string, formatted with the 1-based row or
// engine number where the name has one.
class ValueName {
 public:
  explicit ValueName(const char* name) : s_(ComStringFromUtf8(name)) {}
  ValueName(const char* format, int n) : s_(Format(format, n)) {}
  operator const char16_t*() const { return s_.Get(); }  // NOLINT: passed straight to the component
  const char16_t* Get() const { return s_.Get(); }

 private:
  static ComString Format(const char* format, int n) {
    char text[48];
    std::snprintf(text, sizeof text, format, n);
    return ComStringFromUtf8(text);
  }

  ComStringHolder s_;
};

// How a read of one value went: read, absent (or unreadable), or stored
// with another type than the one asked for.
enum class Got { Value, Missing, WrongType };

Got Outcome(HResult hr) {
  if (hr == S_OK) return Got::Value;
  return hr == E_REG_UNSUPPORTED_TYPE ? Got::WrongType : Got::Missing;
}

// Reads of one key that keep what a report needs: the names of values of
// the wrong type and the numbers set into range.
class Reader {
 public:
  Reader(IKTRegistryAccess* reg, SettingsReport* report) : reg_(reg), report_(report) {}

  Got Dword(const ValueName& name, uint32_t& value) { return Note(name, Outcome(reg_->ReadDword(name, &value))); }

  Got String(const ValueName& name, std::string& text) {
    ComStringHolder s;
    const Got got = Note(name, Outcome(reg_->ReadString(name, s.Put())));
    if (got == Got::Value) text = ComStringToUtf8(s.Get());
    return got;
  }

  // A number of the record, signed as stored, set into `range`.
  int32_t InRange(const ValueName& name, uint32_t stored, NumberRange range) {
    const auto value = static_cast<int32_t>(stored);  // two's complement: negative numbers
    const int32_t taken = range.Clamp(value);
    if (taken != value && report_) {
      report_->Notes.push_back(ComStringToUtf8(name) + " " + std::to_string(value) + " is outside " +
                               std::to_string(range.Min) + ".." + std::to_string(range.Max) + ", " +
                               std::to_string(taken) + " is used");
    }
    return taken;
  }

  bool WrongTypeSeen() const { return wrongType_; }
  const std::string& FirstWrongType() const { return firstWrongType_; }

 private:
  Got Note(const ValueName& name, Got got) {
    if (got == Got::WrongType) {
      if (!wrongType_) firstWrongType_ = ComStringToUtf8(name);
      wrongType_ = true;
      if (report_) report_->Notes.push_back(ComStringToUtf8(name) + " has the wrong type and is ignored");
    }
    return got;
  }

  IKTRegistryAccess* reg_;
  SettingsReport* report_;
  bool wrongType_ = false;
  std::string firstWrongType_;
};

// Writes of one key that stop at the first failure and keep it, with the
// store's reason, as the save's status.
class Writer {
 public:
  explicit Writer(IKTRegistryAccess* reg) : reg_(reg) {}

  void Dword(const ValueName& name, uint32_t value) {
    if (ok()) Check(reg_->WriteDword(name, value));
  }
  void String(const ValueName& name, std::string_view text) {
    if (ok()) Check(reg_->WriteString(name, ComText(text), REG_SZ));
  }
  void Check(HResult hr) {
    if (hr == S_OK || !ok()) return;
    status_ = Status::Failed(hr, TakeErrorDescription());
  }
  bool ok() const { return status_.IsOk(); }
  const Status& status() const { return status_; }

 private:
  IKTRegistryAccess* reg_;
  Status status_;
};

Status Missing(const ValueName& name) { return Status::Failed(E_NOTFOUND, ComStringToUtf8(name) + " is missing"); }

// The parts of the record in the order they are stored. Each stops at the
// first required value that is missing; a value of the wrong type is no stop.
Status ReadHead(Reader& r, DuckerSettings& settings, const CaptureSourceCatalogue& sources) {
  uint32_t v = 0;
  std::string text;
  if (r.Dword(ValueName("CpuPriority"), v) == Got::Value) settings.CpuPriority = static_cast<int32_t>(v);

  const ValueName source("CaptureSource");
  switch (r.String(source, text)) {
    case Got::Value: settings.CaptureSource = sources.FindByName(text); break;
    case Got::Missing: return Missing(source);
    case Got::WrongType: break;
  }

  const ValueName delay("DelayInFrames");
  switch (r.Dword(delay, v)) {
    case Got::Value: settings.DelayInFrames = r.InRange(delay, v, kDelayRange); break;
    case Got::Missing: return Missing(delay);
    case Got::WrongType: break;
  }

  const ValueName region("RegionName");
  switch (r.String(region, text)) {
    case Got::Value: settings.RegionName = text; break;
    case Got::Missing: return Missing(region);
    case Got::WrongType: break;
  }

  if (r.Dword(ValueName("ShowOnStartType"), v) == Got::Value) settings.ShowOnStartType = static_cast<int32_t>(v);
  return Status::Ok();
}

// "TitleEngineCnt" and the names it counts. A missing name ends the read
// with the engines named before it selected.
Status ReadEngines(Reader& r, DuckerSettings& settings, const TitleEngineCatalogue& engines) {
  const ValueName countName("TitleEngineCnt");
  uint32_t engineCount = 0;
  switch (r.Dword(countName, engineCount)) {
    case Got::Value: break;
    case Got::Missing: return Missing(countName);
    case Got::WrongType: return Status::Ok();
  }
  uint32_t mask = 0;
  std::string text;
  for (uint32_t n = 1; n <= engineCount; ++n) {
    const ValueName name("TitleEngine%d", static_cast<int>(n));
    const Got got = r.String(name, text);
    if (got == Got::Missing) {
      settings.TitleEngineMask = mask;
      return Missing(name);
    }
    if (got == Got::WrongType) continue;
    const int32_t position = engines.FindByName(text);
    if (position >= 0 && position < kMaxTargets) mask |= 1u << position;
  }
  settings.TitleEngineMask = mask;
  return Status::Ok();
}

// The eight rows. A row is taken whole: a missing value leaves it as it was.
Status ReadLines(Reader& r, DuckerSettings& settings) {
  for (int n = 1; n <= kVoiceOverLines; ++n) {
    VoiceOverLine& line = settings.Lines[static_cast<size_t>(n - 1)];
    VoiceOverLine read = line;
    uint32_t use = 0;
    std::string from;
    std::string to;
    const ValueName useName("UseLine%d", n);
    Got got = r.Dword(useName, use);
    if (got == Got::Missing) return Missing(useName);
    if (got == Got::Value) read.Use = use != 0;
    const ValueName fromName("From4Line%d", n);
    got = r.String(fromName, from);
    if (got == Got::Missing) return Missing(fromName);
    if (got == Got::Value) read.From = ParseLineRef(from);
    const ValueName toName("To4Line%d", n);
    got = r.String(toName, to);
    if (got == Got::Missing) return Missing(toName);
    if (got == Got::Value) read.To = ParseLineRef(to);
    const ValueName volumeName("VolumeDB4Line%d", n);
    uint32_t volume = 0;
    got = r.Dword(volumeName, volume);
    if (got == Got::Value) read.VolumeDB = r.InRange(volumeName, volume, kVolumeRange);
    if (got == Got::Missing) read.VolumeDB = 0;
    line = read;
  }
  return Status::Ok();
}

// The floor line and the ducker's three numbers.
Status ReadFloor(Reader& r, DuckerSettings& settings) {
  uint32_t v = 0;
  std::string text;
  const ValueName useCommon("UseCommon");
  switch (r.Dword(useCommon, v)) {
    case Got::Value: settings.UseCommon = v != 0; break;
    case Got::Missing: return Missing(useCommon);
    case Got::WrongType: break;
  }
  const ValueName commonLine("CommonLine");
  switch (r.String(commonLine, text)) {
    case Got::Value: settings.CommonLine = ParseLineRef(text); break;
    case Got::Missing: return Missing(commonLine);
    case Got::WrongType: break;
  }
  const struct {
    const char* Name;
    int32_t DuckerSettings::*Field;
    NumberRange Range;
  } floorNumbers[] = {{"DecreaseDB", &DuckerSettings::DecreaseDB, kDecreaseRange},
                      {"NoiseLevelDB", &DuckerSettings::NoiseLevelDB, kNoiseLevelRange},
                      {"TimeoutInFrames", &DuckerSettings::TimeoutInFrames, kTimeoutRange}};
  for (const auto& number : floorNumbers) {
    const ValueName name(number.Name);
    switch (r.Dword(name, v)) {
      case Got::Value: settings.*number.Field = r.InRange(name, v, number.Range); break;
      case Got::Missing: return Missing(name);
      case Got::WrongType: break;
    }
  }
  return Status::Ok();
}

}  // namespace

Status ReadSettings(DuckerSettings& settings, const TitleEngineCatalogue& engines,
                    const CaptureSourceCatalogue& sources, std::string_view keyPath, SettingsReport* report) {
  // Every early return below is a stop: the key closed by the release of
  // the component.
  ComPtr<IKTRegistryAccess> reg;
  const HResult created = CreateInstance(kClsidRegistryAccess, reg);
  if (created != S_OK || !reg) return Status::Failed(created, "No registry access component");
  const HResult opened = reg->OpenKey(ComText(keyPath), KEY_READ);
  if (opened != S_OK) return Status::Failed(opened, "No key " + std::string(keyPath));
  Reader r(reg.Get(), report);

  Status status = ReadHead(r, settings, sources);
  if (status.IsOk()) status = ReadEngines(r, settings, engines);
  if (status.IsOk()) status = ReadLines(r, settings);
  if (status.IsOk()) status = ReadFloor(r, settings);
  if (!status.IsOk()) return status;

  reg->CloseKey();
  if (r.WrongTypeSeen()) return Status::Failed(r.FirstWrongType() + " has the wrong type");
  if (!IsComplete(settings)) return Status::Failed("The settings are incomplete");
  return Status::Ok();
}

Status WriteSettings(const DuckerSettings& settings, const TitleEngineCatalogue& engines,
                     const CaptureSourceCatalogue& sources, std::string_view keyPath) {
  TakeErrorDescription();
  ComPtr<IKTRegistryAccess> reg;
  const HResult created = CreateInstance(kClsidRegistryAccess, reg);
  if (created != S_OK || !reg) return Status::Failed(created, "");
  const ComText key(keyPath);
  Writer w(reg.Get());
  if (reg->OpenKey(key, KEY_WRITE) != S_OK) w.Check(reg->CreateKey(key));
  if (!w.ok()) return w.status();

  w.Dword(ValueName("CpuPriority"), static_cast<uint32_t>(settings.CpuPriority.Load()));
  w.String(ValueName("CaptureSource"), sources.NameAt(settings.CaptureSource));
  w.Dword(ValueName("DelayInFrames"), static_cast<uint32_t>(settings.DelayInFrames));
  w.String(ValueName("RegionName"), settings.RegionName);
  w.Dword(ValueName("ShowOnStartType"), static_cast<uint32_t>(settings.ShowOnStartType));

  int count = 0;
  for (int32_t i = 0; i < engines.Count() && i < kMaxTargets; ++i) {
    if (settings.TitleEngineMask & (1u << i)) {
      ++count;
      w.String(ValueName("TitleEngine%d", count), engines.NameAt(i));
    }
  }
  w.Dword(ValueName("TitleEngineCnt"), static_cast<uint32_t>(count));

  for (int n = 1; n <= kVoiceOverLines; ++n) {
    const VoiceOverLine& line = settings.Lines[static_cast<size_t>(n - 1)];
    w.Dword(ValueName("UseLine%d", n), line.Use ? 1 : 0);
    w.String(ValueName("From4Line%d", n), FormatLineRef(line.From));
    w.String(ValueName("To4Line%d", n), FormatLineRef(line.To));
    w.Dword(ValueName("VolumeDB4Line%d", n), static_cast<uint32_t>(line.VolumeDB));
  }

  w.Dword(ValueName("UseCommon"), settings.UseCommon ? 1 : 0);
  w.String(ValueName("CommonLine"), FormatLineRef(settings.CommonLine));
  w.Dword(ValueName("DecreaseDB"), static_cast<uint32_t>(settings.DecreaseDB));
  w.Dword(ValueName("NoiseLevelDB"), static_cast<uint32_t>(settings.NoiseLevelDB));
  w.Dword(ValueName("TimeoutInFrames"), static_cast<uint32_t>(settings.TimeoutInFrames));

  reg->CloseKey();
  // The end of the save (also of the caller's, when it has one open on the
  // same store): kept whole, or nothing of it after a failed write.
  ComPtr<IRegistryTransaction> transaction;
  if (reg.As(transaction) >= 0 && transaction) {
    if (w.ok()) {
      w.Check(transaction->Commit());
    } else {
      transaction->Rollback();
    }
  }
  return w.status();
}

}  // namespace quellvox
