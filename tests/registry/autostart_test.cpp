#include <fcntl.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/registry/autostart.h"
#include "registry_fixture.h"

namespace quellvox::test {
namespace {

// ---- Reading an entry as a desktop session does (Desktop Entry rules) ----

std::map<std::string, std::string> ReadEntryKeys(const std::string& path) {
  std::map<std::string, std::string> keys;
  const std::string content = ReadFileBytes(path);
  bool inGroup = false;
  size_t pos = 0;
  while (pos < content.size()) {
    size_t end = content.find('\n', pos);
    if (end == std::string::npos) end = content.size();
    const std::string line = content.substr(pos, end - pos);
    pos = end + 1;
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '[') {
      inGroup = line == "[Desktop Entry]";
      continue;
    }
    const size_t eq = line.find('=');
    if (inGroup && eq != std::string::npos) keys[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return keys;
}

// The escapes of a string value: \s \n \t \r \\.
std::string UnescapeValue(const std::string& v) {
  std::string out;
  for (size_t i = 0; i < v.size(); ++i) {
    if (v[i] != '\\' || i + 1 == v.size()) {
      out += v[i];
      continue;
    }
    const char c = v[++i];
    out += c == 's' ? ' ' : c == 'n' ? '\n' : c == 't' ? '\t' : c == 'r' ? '\r' : c;
  }
  return out;
}

// Splits an unescaped Exec value into the program and its arguments: blanks
// separate arguments; a quoted argument may hold anything, with ", `, $ and
// \ written after a backslash; reserved characters outside quotes and
// field codes other than %% make the line invalid.
bool SplitExec(const std::string& exec, std::vector<std::string>& argv) {
  argv.clear();
  size_t i = 0;
  while (i < exec.size()) {
    if (exec[i] == ' ') {
      ++i;
      continue;
    }
    std::string arg;
    if (exec[i] == '"') {
      ++i;
      bool closed = false;
      while (i < exec.size()) {
        const char c = exec[i++];
        if (c == '"') {
          closed = true;
          break;
        }
        if (c == '\\') {
          if (i == exec.size()) return false;
          const char e = exec[i++];
          if (e != '"' && e != '`' && e != '$' && e != '\\') return false;
          arg += e;
        } else {
          arg += c;
        }
      }
      if (!closed || (i < exec.size() && exec[i] != ' ')) return false;
    } else {
      while (i < exec.size() && exec[i] != ' ') {
        const char c = exec[i++];
        if (std::string_view("\t\n\"'\\><~|&;$*?#()`").find(c) != std::string_view::npos) return false;
        arg += c;
      }
    }
    std::string expanded;
    for (size_t k = 0; k < arg.size(); ++k) {
      if (arg[k] != '%') {
        expanded += arg[k];
      } else if (k + 1 < arg.size() && arg[k + 1] == '%') {
        expanded += '%';
        ++k;
      } else {
        return false;
      }
    }
    argv.push_back(expanded);
  }
  return !argv.empty();
}

// Every file below `dir`, relative to it.
std::set<std::string> FilesBelow(const std::string& dir) {
  std::set<std::string> out;
  std::error_code ec;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir, ec)) {
    if (!e.is_directory()) out.insert(std::filesystem::relative(e.path(), dir).string());
  }
  return out;
}

// quellvox-run-[a-z0-9_-]+.desktop: a plain file name, no folder, no dot file.
bool IsSafeEntryName(const std::string& name) {
  const std::string prefix = "quellvox-run-";
  const std::string suffix = ".desktop";
  if (name.size() <= prefix.size() + suffix.size() || name.rfind(prefix, 0) != 0 ||
      name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
    return false;
  }
  for (size_t i = prefix.size(); i < name.size() - suffix.size(); ++i) {
    const char c = name[i];
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-')) return false;
  }
  return true;
}

std::string AutostartFileFor(const std::string& valueName) {
  return AutostartEntryFileName(Utf8ToUtf16(valueName));
}

class Autostart : public RegistryTest {
 protected:
  // The Run key as the program reaches it: root set to CurrentVersion.
  ComPtr<IKTRegistryAccess> RunKey(uint32_t access) {
    ComPtr<IKTRegistryAccess> reg = RootedAccess("Software\\Microsoft\\Windows\\CurrentVersion");
    if (reg) {
      EXPECT_EQ(reg->OpenKey(Cs("Run"), access), S_OK);
    }
    return reg;
  }

  // The Run value `name` as the program reads it; the read must succeed.
  std::string RunValue(const std::string& name) {
    std::string text;
    EXPECT_EQ(ReadStr8(RunKey(KEY_READ).Get(), name, text), S_OK) << name;
    return text;
  }

  std::vector<std::string> EntryFiles() {
    std::vector<std::string> files;
    for (const std::string& f : FilesBelow(AutostartDir())) {
      if (f.rfind("quellvox-run-", 0) == 0) files.push_back(f);
    }
    return files;
  }

  std::map<std::string, std::string> OnlyEntry() {
    const std::vector<std::string> files = EntryFiles();
    EXPECT_EQ(files.size(), 1u);
    return files.empty() ? std::map<std::string, std::string>{} : ReadEntryKeys(AutostartDir() + "/" + files[0]);
  }
};

TEST_F(Autostart, WritingARunValueCreatesAnEntryThatStartsTheInstance) {
  ASSERT_EQ(RunKey(KEY_WRITE)->WriteString(Cs("Quellvox#1"), Cs("\"/opt/quellvox/bin/quellvox\" #1"), REG_SZ), S_OK);

  std::map<std::string, std::string> keys = OnlyEntry();
  EXPECT_EQ(keys["Type"], "Application");
  EXPECT_EQ(UnescapeValue(keys["Name"]), "Quellvox#1");
  EXPECT_EQ(keys["Icon"], "quellvox");
  std::vector<std::string> argv;
  ASSERT_TRUE(SplitExec(UnescapeValue(keys["Exec"]), argv)) << keys["Exec"];
  EXPECT_EQ(argv, (std::vector<std::string>{"/opt/quellvox/bin/quellvox", "#1"}));
}

TEST_F(Autostart, ARunValueReadsBackExactlyWhateverTheCaseOfItsName) {
  const std::string command = "\"/opt/Quellvox Studio/quellvox\" #Studio A";
  RunKey(KEY_WRITE)->WriteString(Cs("Quellvox#Studio A"), Cs(command), REG_SZ);
  EXPECT_EQ(RunValue("QUELLVOX#studio a"), command);
}

TEST_F(Autostart, TheRunKeyIsTheSameFromTheDefaultRootInAnyCase) {
  RunKey(KEY_WRITE)->WriteString(Cs("Quellvox#1"), Cs("\"/q\" #1"), REG_SZ);
  EXPECT_EQ(StoredString("microsoft\\WINDOWS\\currentversion\\RUN", "Quellvox#1"), "\"/q\" #1");
}

TEST_F(Autostart, ReplacingAValueRewritesItsOneEntry) {
  RunKey(KEY_WRITE)->WriteString(Cs("Quellvox#1"), Cs("\"/old/quellvox\" #1"), REG_SZ);
  RunKey(KEY_WRITE)->WriteString(Cs("quellvox#1"), Cs("\"/new/quellvox\" #1"), REG_SZ);
  std::map<std::string, std::string> keys = OnlyEntry();
  EXPECT_EQ(UnescapeValue(keys["Name"]), "Quellvox#1") << "the name keeps the case first written";
  EXPECT_EQ(RunValue("Quellvox#1"), "\"/new/quellvox\" #1");
}

TEST_F(Autostart, DeletingAValueRemovesItsEntry) {
  RunKey(KEY_WRITE)->WriteString(Cs("Quellvox#1"), Cs("\"/q\" #1"), REG_SZ);
  RunKey(KEY_WRITE)->WriteString(Cs("Quellvox#2"), Cs("\"/q\" #2"), REG_SZ);
  EXPECT_EQ(RunKey(KEY_WRITE)->DeleteValue(Cs("QUELLVOX#1")), S_OK);
  std::string back;
  EXPECT_EQ(ReadStr8(RunKey(KEY_READ).Get(), "Quellvox#1", back), E_NOTFOUND);
  EXPECT_EQ(ReadStr8(RunKey(KEY_READ).Get(), "Quellvox#2", back), S_OK);
  EXPECT_EQ(EntryFiles().size(), 1u);
  EXPECT_EQ(RunKey(KEY_WRITE)->DeleteValue(Cs("Quellvox#1")), E_NOTFOUND);
}

TEST_F(Autostart, AMissingValueOrFolderReadsAsMissing) {
  std::string back;
  EXPECT_EQ(ReadStr8(RunKey(KEY_READ).Get(), "Quellvox#1", back), E_NOTFOUND);
  EXPECT_FALSE(std::filesystem::exists(AutostartDir()));
}

TEST_F(Autostart, RefusesWhatAnEntryCannotHold) {
  ComPtr<IKTRegistryAccess> reg = RunKey(KEY_WRITE);
  EXPECT_EQ(reg->WriteDword(Cs("Quellvox#1"), 1), E_REG_UNSUPPORTED_TYPE);
  EXPECT_EQ(reg->WriteString(Cs("Quellvox#1"), Cs("\"/q\" #\x01"), REG_SZ), E_INVALIDARG);
  EXPECT_EQ(reg->WriteString(Cs("Quellvox#1"), Cs("\"\" #1"), REG_SZ), E_INVALIDARG);
  // An entry over 64 KiB could not be read back.
  const std::string huge = "#" + std::string(25000, 'x');
  EXPECT_EQ(reg->WriteString(Cs("Quellvox" + huge), Cs("\"/q\" " + huge), REG_SZ), E_INVALIDARG);
  EXPECT_TRUE(EntryFiles().empty());
}

// A value name whose file name would pass 255 bytes still gets its entry,
// under a shortened name; names that fit keep the plain file name that
// entries written before already have.
TEST_F(Autostart, LongNamesGetAnEntryUnderAShortenedFileName) {
  std::string cyrillic44 = "#";
  for (int i = 0; i < 44; ++i) cyrillic44 += "\xD0\x96";  // Ж
  const std::vector<std::string> ids = {"#" + std::string(10000, 'x'), "#" + std::string(9999, 'x') + "y",
                                        cyrillic44, "#" + std::string(300, 'x')};
  const std::string program = "/opt/quellvox/bin/quellvox";
  for (const std::string& id : ids) {
    ASSERT_EQ(RunKey(KEY_WRITE)->WriteString(Cs("Quellvox" + id), Cs("\"" + program + "\" " + id), REG_SZ), S_OK)
        << id.size();
  }
  EXPECT_EQ(EntryFiles().size(), ids.size());
  for (const std::string& id : ids) {
    const std::string file = AutostartFileFor("Quellvox" + id);
    EXPECT_LE(file.size(), 255u);
    EXPECT_TRUE(IsSafeEntryName(file)) << file;
    EXPECT_EQ(RunValue("QUELLVOX" + id), "\"" + program + "\" " + id) << "read back in any case";
    std::vector<std::string> argv;
    std::map<std::string, std::string> keys = ReadEntryKeys(AutostartDir() + "/" + file);
    ASSERT_TRUE(SplitExec(UnescapeValue(keys["Exec"]), argv)) << file;
    EXPECT_EQ(argv, (std::vector<std::string>{program, id}));
    EXPECT_LE(keys["Name"].size(), 203u) << "shown cut";
  }
  std::vector<std::u16string> listed;
  ASSERT_EQ(AutostartFolder(AutostartDir()).List(listed), S_OK);
  EXPECT_EQ(listed.size(), ids.size());
  for (const std::string& id : ids) {
    EXPECT_EQ(RunKey(KEY_WRITE)->DeleteValue(Cs("Quellvox" + id)), S_OK);
  }
  EXPECT_TRUE(EntryFiles().empty());

  // The longest name that fits (255 bytes with "quellvox-run-" and
  // ".desktop") keeps the plain form.
  EXPECT_EQ(AutostartFileFor("quellvox" + std::string(226, 'x')),
            "quellvox-run-quellvox" + std::string(226, 'x') + ".desktop");
  EXPECT_NE(AutostartFileFor("quellvox" + std::string(227, 'x')).find("_z"), std::string::npos);
}

// The escapes of a string value: a blank is written as "\s" only where a
// reader would drop it (at the start), everywhere else as it is.
TEST(DesktopString, EscapesLeadingBlanksOnlyAndReadsEverythingBack) {
  struct Case {
    const char* Text;
    const char* Escaped;
  };
  const Case cases[] = {
      {"a b", "a b"},
      {" a", "\\sa"},
      {"  a  b ", "\\s\\sa  b "},
      {"   ", "\\s\\s\\s"},
      {"a\\b\tc\nd\re", "a\\\\b\\tc\\nd\\re"},
      {"\t a", "\\t a"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EscapeDesktopString(c.Text), c.Escaped) << c.Text;
    EXPECT_EQ(UnescapeDesktopString(c.Escaped), c.Text) << c.Escaped;
  }
}

// A Run value whose name begins with blanks (quellvox-reg can write one):
// the entry must give back exactly that name.
TEST_F(Autostart, ValueNamesWithLeadingAndInnerBlanksReadBackAsWritten) {
  const std::string name = "  Quellvox  #1 ";
  ASSERT_EQ(RunKey(KEY_WRITE)->WriteString(Cs(name), Cs("\"/q\" #1"), REG_SZ), S_OK);
  std::vector<std::u16string> listed;
  ASSERT_EQ(AutostartFolder(AutostartDir()).List(listed), S_OK);
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(Utf16ToUtf8(listed[0]), name);
  EXPECT_EQ(RunValue(name), "\"/q\" #1");
  EXPECT_EQ(UnescapeValue(OnlyEntry()["Name"]), name);
}

// Identifiers come from the command line: anything may be in them.
const std::vector<std::string> kHostileIds = {
    "#1",           "#../../../../etc/cron.d/x", "#a/b",          "#..",           "#.",
    "#\"quoted\"",  "#$(touch pwned)",           "#`id`",         "#a; rm -rf ~",  "#%f %u %%",
    "#back\\slash", "# leading blank",           "#trailing ",    "#tab\there",    "#new\nline",
    "#ü中\U0001F3A4", "#x\" #2",                  "#a_2fb",        "#A/B",          "#-x",
};

TEST_F(Autostart, HostileIdentifiersStayInsideTheFolderAndStartExactlyThatIdentifier) {
  const std::string program = "/opt/quellvox/bin/quellvox";
  for (const std::string& id : kHostileIds) {
    const std::string name = "Quellvox" + id;
    ASSERT_EQ(RunKey(KEY_WRITE)->WriteString(Cs(name), Cs("\"" + program + "\" " + id), REG_SZ), S_OK) << id;
  }
  // "#a/b" and "#A/B" are one name (case), every other pair is distinct.
  EXPECT_EQ(EntryFiles().size(), kHostileIds.size() - 1);

  for (const std::string& f : FilesBelow(configHome_)) {
    const bool inStore = f.rfind("quellvox/registry.sqlite3", 0) == 0;
    const bool entry = f.rfind("autostart/", 0) == 0 && IsSafeEntryName(f.substr(10));
    EXPECT_TRUE(inStore || entry) << f;
  }
  for (const std::string& id : kHostileIds) {
    if (id == "#a/b") continue;  // replaced by "#A/B"
    const std::string name = "Quellvox" + id;
    EXPECT_EQ(RunValue(name), "\"" + program + "\" " + id);
    const std::string file = AutostartDir() + "/" + AutostartFileFor(name);
    std::map<std::string, std::string> keys = ReadEntryKeys(file);
    std::vector<std::string> argv;
    ASSERT_TRUE(SplitExec(UnescapeValue(keys["Exec"]), argv)) << keys["Exec"];
    EXPECT_EQ(argv, (std::vector<std::string>{program, id}));
  }
}

TEST_F(Autostart, TheExecLineRunsTheProgramWithTheIdentifierAsItsOneArgument) {
  // A program whose path needs quoting, which reports the arguments it got.
  const std::string binDir = root_ + "/my bin";
  std::filesystem::create_directories(binDir);
  const std::string program = binDir + "/run \"it\" $HOME %u";
  WriteFileBytes(program,
                 "#!/bin/sh\n"
                 "printf '%s\\n' \"$#\" > \"$QUELLVOX_TEST_OUT\"\n"
                 "for a in \"$@\"; do printf '%s|' \"$a\" >> \"$QUELLVOX_TEST_OUT\"; done\n");
  std::filesystem::permissions(program, std::filesystem::perms::owner_all);
  const std::string id = "#st udio \"$HOME\" `id` 100% \\x";

  ASSERT_EQ(RunKey(KEY_WRITE)->WriteString(Cs("Quellvox" + id), Cs("\"" + program + "\" " + id), REG_SZ), S_OK);
  std::map<std::string, std::string> keys = OnlyEntry();
  std::vector<std::string> argv;
  ASSERT_TRUE(SplitExec(UnescapeValue(keys["Exec"]), argv)) << keys["Exec"];

  const std::string out = root_ + "/args.txt";
  const pid_t pid = Spawn([&] {
    ::setenv("QUELLVOX_TEST_OUT", out.c_str(), 1);
    std::vector<char*> args;
    for (std::string& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    std::perror(args[0]);
    return 127;
  });
  ASSERT_EQ(WaitExitCode(pid), 0);
  EXPECT_EQ(ReadFileBytes(out), "1\n" + id + "|");
}

TEST_F(Autostart, EntriesThatAreNotOursAreNeverTouched) {
  std::filesystem::create_directories(AutostartDir());
  const std::string foreign = "[Desktop Entry]\nType=Application\nName=Mine\nExec=/usr/bin/mine\n";
  const std::string other = AutostartDir() + "/firefox.desktop";
  const std::string squatter = AutostartDir() + "/" + AutostartFileFor("Quellvox#1");
  WriteFileBytes(other, foreign);
  WriteFileBytes(squatter, foreign);

  ComPtr<IKTRegistryAccess> reg = RunKey(KEY_WRITE);
  EXPECT_EQ(reg->WriteString(Cs("Quellvox#1"), Cs("\"/q\" #1"), REG_SZ), E_ACCESSDENIED);
  EXPECT_EQ(reg->DeleteValue(Cs("Quellvox#1")), E_ACCESSDENIED);
  std::string back;
  EXPECT_EQ(ReadStr8(RunKey(KEY_READ).Get(), "Quellvox#1", back), E_NOTFOUND);
  EXPECT_EQ(reg->WriteString(Cs("Quellvox#2"), Cs("\"/q\" #2"), REG_SZ), S_OK);
  EXPECT_EQ(reg->DeleteValue(Cs("Quellvox#2")), S_OK);

  EXPECT_EQ(ReadFileBytes(other), foreign);
  EXPECT_EQ(ReadFileBytes(squatter), foreign);
}

TEST_F(Autostart, ALinkWhereTheEntryBelongsIsNotFollowed) {
  std::filesystem::create_directories(AutostartDir());
  const std::string target = root_ + "/elsewhere.txt";
  WriteFileBytes(target, "keep");
  std::filesystem::create_symlink(target, AutostartDir() + "/" + AutostartFileFor("Quellvox#1"));

  EXPECT_EQ(RunKey(KEY_WRITE)->WriteString(Cs("Quellvox#1"), Cs("\"/q\" #1"), REG_SZ), E_ACCESSDENIED);
  EXPECT_EQ(RunKey(KEY_WRITE)->DeleteValue(Cs("Quellvox#1")), E_ACCESSDENIED);
  EXPECT_EQ(ReadFileBytes(target), "keep");
}

TEST_F(Autostart, BrowsingTheRunKeyListsOurEntriesOnly) {
  std::filesystem::create_directories(AutostartDir());
  WriteFileBytes(AutostartDir() + "/firefox.desktop", "[Desktop Entry]\nName=x\n");
  RunKey(KEY_WRITE)->WriteString(Cs("Quellvox#2"), Cs("\"/q\" #2"), REG_SZ);
  RunKey(KEY_WRITE)->WriteString(Cs("Quellvox#1"), Cs("\"/q\" #1"), REG_SZ);

  std::vector<uint32_t> types;
  EXPECT_EQ(ValueNames(RunKey(KEY_READ), &types), (std::vector<std::string>{"Quellvox#1", "Quellvox#2"}));
  EXPECT_EQ(types, (std::vector<uint32_t>{REG_SZ, REG_SZ}));
}

TEST(SplitRunCommand, TakesTheQuotedProgramAndTheRestAsOneArgument) {
  struct Case {
    const char* Text;
    const char* Program;
    const char* Argument;
    bool HasArgument;
  };
  const Case cases[] = {
      {"\"/opt/q/quellvox\" #1", "/opt/q/quellvox", "#1", true},
      {"\"/opt/q r/quellvox\" #a b", "/opt/q r/quellvox", "#a b", true},
      {"\"/opt/\"q\" x/quellvox\" #1", "/opt/\"q\" x/quellvox", "#1", true},
      {"\"/opt/q\"", "/opt/q", "", false},
      {"\"/opt/q\" ", "/opt/q", "", false},
      {"\"/opt/q", "/opt/q", "", false},
      {"/usr/bin/q #1 x", "/usr/bin/q", "#1 x", true},
      {"q", "q", "", false},
  };
  for (const Case& c : cases) {
    const RunCommandParts parts = SplitRunCommand(c.Text);
    EXPECT_EQ(parts.Program, c.Program) << c.Text;
    EXPECT_EQ(parts.Argument, c.Argument) << c.Text;
    EXPECT_EQ(parts.HasArgument, c.HasArgument) << c.Text;
  }
}

}  // namespace
}  // namespace quellvox::test
