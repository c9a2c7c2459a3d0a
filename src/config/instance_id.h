// The instance identifier: the command line of the program, trimmed, that
// names one running instance ("#1" when empty, always beginning with "#"),
// and the machine-wide name of the guard formed from it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quellvox {

inline constexpr const char* kDefaultInstanceId = "#1";

// Shown (caption "Quellvox", error icon) when the command line does not
// begin with "#"; the process then ends.
inline constexpr const char* kBadCommandLineMessage = "Bad command line!!!\nRead manual before command line usage";

// The raw command line of a program started with `argv`: its arguments after
// the program path, joined by one blank each.
std::string CommandLineFromArguments(int argc, const char* const* argv);

// `text` (UTF-8) without the leading and trailing characters that the C
// library's wide-character space test counts as white space. Bytes that are
// not valid UTF-8 count as non-space.
std::string TrimWideSpace(std::string_view text);

// `text` with every byte that is not part of a valid UTF-8 sequence
// replaced by U+FFFD.
std::string WithReplacementCharacters(std::string_view text);

// The identifier of a command line: trimmed, "#1" when nothing remains,
// nothing (refusal) when it does not begin with "#". Nothing after the "#"
// is parsed: inner blanks and any other characters are part of it, except
// what would leave the instance without its settings or its logon entry,
// which is refused as well: a backslash at the end or two in a row (the
// settings key path "Quellvox\<id>" would hold a key with no name), and a
// control character other than tab, line feed and carriage return (a
// logon entry cannot carry it). Bytes
// that are not UTF-8 become U+FFFD, so that the guard's name and the names
// the registry component keeps as UTF-16 are formed from the same text
// (two identifiers that differ only in such bytes are one instance).
std::optional<std::string> InstanceIdFromCommandLine(std::string_view commandLine);

// "Global\%s%s" of the program name and the identifier, for instance
// Global\Quellvox#1: the name of the instance guard.
std::string InstanceGuardName(std::string_view programName, std::string_view instanceId);

}  // namespace quellvox
