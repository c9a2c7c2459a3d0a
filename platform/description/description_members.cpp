#include "platform/description/description_members.h"

#include <cstdio>

namespace quellvox::description {

namespace {

constexpr const char* kRateRule =
    "whole rates and the 1000/1001 family from 1 to 1000 frames/s as a number, or \"num/den\" "
    "between 1000/1001 and 1000";

}  // namespace

void Fail(const std::string& where, const std::string& what) {
  throw DescriptionError(where.empty() ? what : where + ": " + what);
}

int64_t WholeNumber(const json& j, const std::string& path, int64_t lo, int64_t hi) {
  if (!j.is_number_integer()) Fail(path, "must be a whole number");
  const bool inRange = j.is_number_unsigned() ? hi >= 0 && j.get<uint64_t>() <= static_cast<uint64_t>(hi) &&
                                                    (lo <= 0 || j.get<uint64_t>() >= static_cast<uint64_t>(lo))
                                              : j.get<int64_t>() >= lo && j.get<int64_t>() <= hi;
  if (!inRange) Fail(path, "must lie between " + std::to_string(lo) + " and " + std::to_string(hi));
  return j.get<int64_t>();
}

std::string FormatNumber(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

std::string Indexed(const std::string& base, size_t i) { return base + "[" + std::to_string(i) + "]"; }

Members::Members(const json& value, std::string path, std::initializer_list<const char*> keys)
    : v_(value), path_(std::move(path)) {
  if (!v_.is_object()) Fail(path_.empty() ? "description" : path_, "must be an object");
  for (const auto& item : v_.items()) {
    bool known = false;
    for (const char* k : keys) known = known || item.key() == k;
    if (!known) Fail(Path(item.key()), "unknown key");
  }
}

void Members::Int(const char* key, int32_t& out, int64_t lo, int64_t hi) const {
  int64_t v = out;
  Int64(key, v, lo, hi);
  out = static_cast<int32_t>(v);
}

void Members::Int64(const char* key, int64_t& out, int64_t lo, int64_t hi) const {
  if (!Has(key)) return;
  out = WholeNumber(At(key), Path(key), lo, hi);
}

void Members::Number(const char* key, double& out, double lo, double hi) const {
  if (!Has(key)) return;
  const json& j = At(key);
  if (!j.is_number()) Fail(Path(key), "must be a number");
  const double v = j.get<double>();
  if (!(v >= lo && v <= hi)) Fail(Path(key), "must lie between " + FormatNumber(lo) + " and " + FormatNumber(hi));
  out = v;
}

void Members::Bool(const char* key, bool& out) const {
  if (!Has(key)) return;
  if (!At(key).is_boolean()) Fail(Path(key), "must be true or false");
  out = At(key).get<bool>();
}

void Members::String(const char* key, std::string& out) const {
  if (!Has(key)) return;
  if (!At(key).is_string()) Fail(Path(key), "must be a text");
  out = At(key).get<std::string>();
}

void Members::Text(const char* key, std::string& out, bool required) const {
  if (!Has(key)) {
    if (required) Fail(Path(key), "is missing");
    return;
  }
  String(key, out);
  if (out.empty()) Fail(Path(key), "must not be empty");
}

void Members::Reported(const char* key, std::optional<int32_t>& out) const {
  if (!Has(key)) return;
  int32_t v = 0;
  Int(key, v, INT32_MIN, INT32_MAX);
  out = v;
}

void Members::Reported(const char* key, std::optional<double>& out) const {
  if (!Has(key)) return;
  double v = 0;
  Number(key, v, -1e9, 1e9);
  out = v;
}

void Members::Rate(const char* key, engine::FrameRate& out) const {
  if (!Has(key)) return;
  const json& j = At(key);
  if (j.is_number()) {
    const auto r = engine::FrameRateFromNumber(j.get<double>());
    if (!r) Fail(Path(key), "impossible frame rate " + FormatNumber(j.get<double>()) + " (" + kRateRule + ")");
    out = *r;
    return;
  }
  if (j.is_string()) {
    const std::string s = j.get<std::string>();
    if (const auto r = engine::FrameRateFromText(s)) {
      out = *r;
      return;
    }
    Fail(Path(key), "impossible frame rate \"" + s + "\" (" + kRateRule + ")");
  }
  Fail(Path(key), "must be a number or \"num/den\"");
}

void Members::FieldOrder(const char* key, int32_t& out) const {
  if (!Has(key)) return;
  const json& j = At(key);
  if (j.is_string() && j.get<std::string>() == "top") {
    out = 1;
  } else if (j.is_string() && j.get<std::string>() == "bottom") {
    out = 0;
  } else {
    Fail(Path(key), "must be \"top\" or \"bottom\"");
  }
}

void Members::Options(const char* key, OptionList& out) const {
  if (!Has(key)) return;
  const json& j = At(key);
  if (!j.is_object()) Fail(Path(key), "must be an object of option names and values");
  for (const auto& item : j.items()) {
    const json& value = item.value();
    std::string text;
    if (value.is_string()) {
      text = value.get<std::string>();
    } else if (value.is_boolean()) {
      text = value.get<bool>() ? "1" : "0";
    } else if (value.is_number()) {
      text = value.dump();
    } else {
      Fail(Path(key) + "." + item.key(), "must be a text, a number or true/false");
    }
    out.emplace_back(item.key(), text);
  }
}

}  // namespace quellvox::description
