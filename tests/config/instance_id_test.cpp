#include "config/instance_id.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace quellvox {
namespace {

TEST(InstanceIdFromCommandLine, EmptyOrBlankLineIsTheFirstInstance) {
  EXPECT_EQ(InstanceIdFromCommandLine(""), std::optional<std::string>("#1"));
  EXPECT_EQ(InstanceIdFromCommandLine(" \t  \t"), std::optional<std::string>("#1"));
  EXPECT_EQ(InstanceIdFromCommandLine("\r\n\v\f"), std::optional<std::string>("#1"));
}

TEST(InstanceIdFromCommandLine, WhiteSpaceAroundTheIdentifierIsRemoved) {
  EXPECT_EQ(InstanceIdFromCommandLine("   #7  "), std::optional<std::string>("#7"));
  EXPECT_EQ(InstanceIdFromCommandLine("\t#7\n"), std::optional<std::string>("#7"));
}

TEST(InstanceIdFromCommandLine, LineNotBeginningWithHashIsRefused) {
  EXPECT_EQ(InstanceIdFromCommandLine("7"), std::nullopt);
  EXPECT_EQ(InstanceIdFromCommandLine("/7"), std::nullopt);
  EXPECT_EQ(InstanceIdFromCommandLine("  x#7"), std::nullopt);
}

// What the settings key or the logon entry could not hold is refused as a
// bad command line rather than run an instance whose settings are never
// saved. Inner backslashes name a key below another and stay valid.
TEST(InstanceIdFromCommandLine, IdentifiersThatCouldNotKeepTheirSettingsOrLogonEntryAreRefused) {
  for (const char* line : {"#a\\", "#\\", "#a\\\\b", "#\\\\", "#a\x01b", "#\x1B[31m", "#a\x7F", "#a\vb", "#a\fb"}) {
    EXPECT_EQ(InstanceIdFromCommandLine(line), std::nullopt) << line;
  }
  EXPECT_EQ(InstanceIdFromCommandLine(" #a\\ "), std::nullopt) << "the backslash ends the trimmed line";
  EXPECT_EQ(InstanceIdFromCommandLine(std::string("#a\0b", 4)), std::nullopt);
  EXPECT_EQ(InstanceIdFromCommandLine("#a\\b"), std::optional<std::string>("#a\\b"));
  EXPECT_EQ(InstanceIdFromCommandLine("#\\a"), std::optional<std::string>("#\\a"));
  EXPECT_EQ(InstanceIdFromCommandLine("#a\tb\nc\rd"), std::optional<std::string>("#a\tb\nc\rd"));
}

TEST(InstanceIdFromCommandLine, EverythingAfterTheHashIsKept) {
  EXPECT_EQ(InstanceIdFromCommandLine("#"), std::optional<std::string>("#"));
  EXPECT_EQ(InstanceIdFromCommandLine(" #1 studio  B "), std::optional<std::string>("#1 studio  B"));
  EXPECT_EQ(InstanceIdFromCommandLine("#../x/'$(rm)'"), std::optional<std::string>("#../x/'$(rm)'"));
}

// The settings key and the logon entry hold UTF-16 names, where any byte
// that is not UTF-8 turns into U+FFFD: the identifier (and so the guard)
// must be that same text, or two instances would share one key.
TEST(InstanceIdFromCommandLine, BytesThatAreNotUtf8BecomeReplacementCharacters) {
  EXPECT_EQ(InstanceIdFromCommandLine(" #\xFF" "a\xC3 "), std::optional<std::string>("#\xEF\xBF\xBD" "a\xEF\xBF\xBD"));
  EXPECT_EQ(InstanceIdFromCommandLine("#\xFE"), InstanceIdFromCommandLine("#\xFF"));
  EXPECT_EQ(InstanceIdFromCommandLine("#\xC3\xA9"), std::optional<std::string>("#\xC3\xA9"));
  EXPECT_EQ(InstanceIdFromCommandLine("\xFF#1"), std::nullopt);
  // Overlong forms of "/" are no "/": every byte of them is replaced.
  const std::string r = "\xEF\xBF\xBD";
  EXPECT_EQ(InstanceIdFromCommandLine("#\xC0\xAF"), std::optional<std::string>("#" + r + r));
  EXPECT_EQ(InstanceIdFromCommandLine("#\xE0\x80\xAF"), std::optional<std::string>("#" + r + r + r));
}

TEST(TrimWideSpace, RemovesUnicodeSpacesButNotNoBreakSpaces) {
  const std::string ideographic = "\u3000";
  const std::string emSpace = "\u2003";
  const std::string noBreak = "\u00A0";
  EXPECT_EQ(TrimWideSpace(ideographic + emSpace + "#2" + ideographic), "#2");
  EXPECT_EQ(TrimWideSpace(noBreak + "#2"), noBreak + "#2");
  EXPECT_EQ(InstanceIdFromCommandLine(ideographic), std::optional<std::string>("#1"));
}

TEST(TrimWideSpace, InvalidBytesCountAsText) {
  EXPECT_EQ(TrimWideSpace(" \xFF#1 "), "\xFF#1");
  EXPECT_EQ(TrimWideSpace(" #1\xE3\x80 "), "#1\xE3\x80");  // a cut-off ideographic space
}

TEST(CommandLineFromArguments, JoinsTheArgumentsAfterTheProgramByOneBlank) {
  const char* argv[] = {"/usr/bin/quellvox", "#1", "studio", "B"};
  EXPECT_EQ(CommandLineFromArguments(4, argv), "#1 studio B");
  EXPECT_EQ(CommandLineFromArguments(1, argv), "");
}

TEST(InstanceGuardName, IsTheGlobalNameOfProgramAndIdentifier) {
  EXPECT_EQ(InstanceGuardName("Quellvox", "#1"), "Global\\Quellvox#1");
  EXPECT_EQ(InstanceGuardName("Quellvox", "#2 b"), "Global\\Quellvox#2 b");
}

}  // namespace
}  // namespace quellvox
