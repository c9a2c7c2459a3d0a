// Reading the studio's JSON description, for every provider that plays a
// part of it: the members of one object, checked against the keys it may
// have, each value checked for its kind and range. A fault throws
// DescriptionError with "<where>: <what>" (where = the dotted path of the
// value, "devices[0].input.url"); the reader of the whole description
// catches it and reports it as its own caller expects.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "platform/engine_core/timing.h"

namespace quellvox::description {

using nlohmann::json;

struct DescriptionError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Throws DescriptionError: "<where>: <what>", or `what` alone at the top.
[[noreturn]] void Fail(const std::string& where, const std::string& what);

// A whole number within [lo, hi], checked on the value as written: a number
// beyond 64 bits, or beyond the range of the field it goes into, is
// refused, never wrapped.
int64_t WholeNumber(const json& j, const std::string& path, int64_t lo, int64_t hi);

// A number as the messages show it ("%g").
std::string FormatNumber(double v);

std::string Indexed(const std::string& base, size_t i);

using OptionList = std::vector<std::pair<std::string, std::string>>;

class Members {
 public:
  // Refuses a value that is no object, and keys not in `keys`. An empty
  // path is the description itself.
  Members(const json& value, std::string path, std::initializer_list<const char*> keys);

  std::string Path(const std::string& key) const { return path_.empty() ? key : path_ + "." + key; }
  bool Has(const char* key) const { return v_.contains(key); }
  const json& At(const char* key) const { return v_.at(key); }

  // Each leaves `out` as it is when the key is absent.
  void Int(const char* key, int32_t& out, int64_t lo, int64_t hi) const;
  void Int64(const char* key, int64_t& out, int64_t lo, int64_t hi) const;
  void Number(const char* key, double& out, double lo, double hi) const;
  void Bool(const char* key, bool& out) const;
  void String(const char* key, std::string& out) const;
  // A text that must not be empty; `required`: nor absent.
  void Text(const char* key, std::string& out, bool required = false) const;
  // A reported value: present or not, any 32-bit integer or any number of
  // plausible size.
  void Reported(const char* key, std::optional<int32_t>& out) const;
  void Reported(const char* key, std::optional<double>& out) const;
  // A frame rate: a number, or a text "num/den".
  void Rate(const char* key, engine::FrameRate& out) const;
  // "top" (1) or "bottom" (0).
  void FieldOrder(const char* key, int32_t& out) const;
  // An object of option names and values (texts, numbers or true/false),
  // each value as its text.
  void Options(const char* key, OptionList& out) const;

 private:
  const json& v_;
  std::string path_;
};

}  // namespace quellvox::description
