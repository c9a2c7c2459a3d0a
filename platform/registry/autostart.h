// The values of the logon-start key as XDG autostart entries: one .desktop
// file per value in $XDG_CONFIG_HOME/autostart, so that a desktop session
// really starts the instance at logon. An entry is ours when it carries the
// key X-Quellvox-RunValue; entries that are not ours are never read as
// values, replaced or deleted.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/com/com.h"

namespace quellvox {

// The icon the entries name (an icon-theme name).
inline constexpr const char* kAutostartIcon = "quellvox";

class AutostartFolder {
 public:
  explicit AutostartFolder(std::string dir) : dir_(std::move(dir)) {}

  // The exact text written for the value; E_NOTFOUND when there is no entry
  // of ours for it, or only one too large to be read (over 64 KiB).
  HResult Read(std::u16string_view name, std::u16string& text) const;
  // Creates or replaces the value's entry (atomically: a reader sees the old
  // entry or the new one). E_INVALIDARG for a name or text that an entry
  // cannot hold (control characters other than tab, line feed and carriage
  // return, unpaired surrogates, no program, an entry that would be over
  // 64 KiB and so could not be read back; refused before anything is
  // written); E_ACCESSDENIED when a file
  // that is not ours has the entry's name; E_REG_CANTWRITE when the file
  // cannot be written.
  HResult Write(std::u16string_view name, std::u16string_view text) const;
  // Removes the value's entry, also one of ours too large to be read;
  // E_NOTFOUND when there is none of ours, E_ACCESSDENIED when the file
  // there is not ours.
  HResult Remove(std::u16string_view name) const;
  // The names of the values, in the order of their entries' file names.
  HResult List(std::vector<std::u16string>& names) const;

  const std::string& Dir() const { return dir_; }

 private:
  std::string dir_;
};

// File name of a value's entry: "quellvox-run-", the folded name with every
// byte other than a-z, 0-9 and "-" written as "_" and two hex digits, then
// ".desktop". Names that differ only in case share the entry; different
// names never do; the result never holds a "/" or starts with ".". A name
// whose file name would pass 255 bytes (NAME_MAX) keeps the first 160 bytes
// of its encoding, then "_z" (never part of an encoding: "_" is always
// followed by two hex digits) and the SHA-256 of the folded name; shorter
// names keep the plain form, so existing entries keep their files.
std::string AutostartEntryFileName(std::u16string_view valueName);

// The text of a Run value ("\"<program path>\" <identifier>") as a program
// and its one argument: a leading double-quoted program path, or else the
// text up to the first blank; everything after the blank that follows is the
// argument, as it is, blanks and quotes included. The quoted path ends at
// the first quote followed by " #" (identifiers begin with "#"), else at the
// first quote followed by a blank or the end; a path that itself holds
// " #" cannot be told apart from the identifier.
struct RunCommandParts {
  std::string Program;
  std::string Argument;
  bool HasArgument = false;
};
RunCommandParts SplitRunCommand(std::string_view text);

// The Exec value (before the escapes of a string value) that starts exactly
// `argv`: every argument in double quotes, with ", `, $ and \ preceded by a
// backslash and % doubled.
std::string DesktopExecValue(const std::vector<std::string>& argv);

// The escapes of a Desktop Entry string value: \\, \n, \t, \r, and \s for
// leading blanks.
std::string EscapeDesktopString(std::string_view text);
std::string UnescapeDesktopString(std::string_view text);

}  // namespace quellvox
