#include "platform/ffmpeg/av_support.h"

#include <chrono>
#include <cstdio>

namespace quellvox::realmedia {

int64_t NowTicks() {
  const auto d = std::chrono::steady_clock::now().time_since_epoch();
  return std::chrono::duration_cast<std::chrono::nanoseconds>(d).count() / 100;
}

std::string AvError(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

void FormatContextCloser::operator()(AVFormatContext* c) const { avformat_close_input(&c); }

Options::Options(const std::vector<std::pair<std::string, std::string>>& pairs) {
  for (const auto& [name, value] : pairs) av_dict_set(&dict_, name.c_str(), value.c_str(), 0);
}

std::string Options::FirstUnused() const {
  const AVDictionaryEntry* e = av_dict_get(dict_, "", nullptr, AV_DICT_IGNORE_SUFFIX);
  return e ? e->key : "";
}

void ReportLine(const std::string& line) {
  const std::string text = line + "\n";
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

}  // namespace quellvox::realmedia
