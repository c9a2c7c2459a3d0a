// The local files behind an input's or an output's URL. An input that names
// a FIFO, a pipe or a device node as if it were a file would hold the open
// (or a read) for ever where no stop can reach it, so a local path must be a
// regular file; and an output that is an input's file, or that another
// engine writes at the same time, would destroy what it is written from.
#pragma once

#include <string>
#include <vector>

#include "platform/com/com.h"
#include "platform/com/status.h"
#include "platform/ffmpeg/media_description.h"

namespace quellvox::realmedia {

// Set-up thread; never blocks (only stat). The local files `input` reads,
// with the protocols that merely wrap a file taken off ("file:", "cache:",
// "async:", each part of "concat:a|b"); empty for a stream URL or a device
// input. Ok, or the code and the reason in words: a missing file
// E_NOTFOUND, an unreadable one E_ACCESSDENIED, anything that is not a
// regular file (a FIFO, "pipe:", "fd:", a device node without a device
// format, a folder) E_INVALIDARG.
Status InputFiles(const InputSettings& input, std::vector<std::string>& files);

// The local file an output URL writes ("file:" taken off), or empty for a
// stream URL.
std::string OutputFile(const std::string& url);

// Both name one existing file (device and inode, through links and
// relative paths alike).
bool SameExistingFile(const std::string& a, const std::string& b);

// The same place to write: one existing file, or the same path once made
// absolute and normal (a file not made yet), or the same stream URL.
bool SameOutput(const std::string& a, const std::string& b);

}  // namespace quellvox::realmedia
