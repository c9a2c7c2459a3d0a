#include "config/persistence.h"

#include <algorithm>
#include <cctype>
#include <string>
#include <utility>
#include <vector>

#include "config/line_text.h"
#include "persistence_fixture.h"

namespace quellvox::test {
namespace {

constexpr const char* kKey = "Quellvox\\#1";

class ReadWriteSettings : public PersistenceTest {
 protected:
  // What a ReadSettings of the instance key leaves in a fresh record.
  DuckerSettings ReadBack() {
    DuckerSettings read;
    ReadSettings(read, engines_, sources_, kKey);
    return read;
  }
};

// A record with sentinel values in every field that a stopped read must
// leave alone.
DuckerSettings Sentinels() {
  DuckerSettings s;
  s.CpuPriority = 77;
  s.TitleEngineMask = 0xF0000000u;
  s.RegionName = "sentinel";
  s.ShowOnStartType = 77;
  s.CaptureSource = 77;
  s.DelayInFrames = 77;
  for (VoiceOverLine& line : s.Lines) line = {true, {Left, 77}, {Right, 77}, 77};
  s.UseCommon = true;
  s.CommonLine = {Left, 77};
  s.DecreaseDB = 77;
  s.NoiseLevelDB = 77;
  s.TimeoutInFrames = 77;
  return s;
}

TEST_F(ReadWriteSettings, AWrittenRecordReadsBackTheSame) {
  const DuckerSettings written = FullRecord();
  ASSERT_TRUE(WriteSettings(written, engines_, sources_, kKey).IsOk());
  DuckerSettings read;
  EXPECT_EQ(ReadSettings(read, engines_, sources_, kKey).IsOk(), IsComplete(written));
  ExpectSameRecord(read, written);
}

TEST_F(ReadWriteSettings, EveryLineReferenceOfTheNineSingleDigitPairsReadsBack) {
  for (int32_t kind = 0; kind <= 2; ++kind) {
    for (int32_t pair = 0; pair <= 8; ++pair) {
      DuckerSettings written = FullRecord();
      for (VoiceOverLine& line : written.Lines) {
        line.From = {kind, pair};
        line.To = {2 - kind, 8 - pair};
      }
      written.CommonLine = {kind, pair};
      ASSERT_TRUE(WriteSettings(written, engines_, sources_, kKey).IsOk());
      ExpectSameRecord(ReadBack(), written);
    }
  }
}

TEST_F(ReadWriteSettings, EveryMaskOfCatalogueEnginesReadsBack) {
  for (uint32_t mask = 0; mask < (1u << engines_.Count()); ++mask) {
    DuckerSettings written = FullRecord();
    written.TitleEngineMask = mask;
    ASSERT_TRUE(WriteSettings(written, engines_, sources_, kKey).IsOk());
    DuckerSettings read;
    EXPECT_EQ(ReadSettings(read, engines_, sources_, kKey).IsOk(), mask != 0);
    EXPECT_EQ(read.TitleEngineMask, mask);
  }
}

// Flags as 1 or 0, gains as 32-bit two's complement, references as their
// texts, the capture source by its stored name.
TEST_F(ReadWriteSettings, EachValueIsStoredWithItsTypeAndForm) {
  DuckerSettings s = FullRecord();
  s.Lines[0].Use = true;
  s.Lines[0].VolumeDB = -12;
  s.Lines[1].Use = false;
  s.UseCommon = true;
  ASSERT_TRUE(WriteSettings(s, engines_, sources_, kKey).IsOk());
  ComPtr<IKTRegistryAccess> reg = ReadableKey(kKey);
  const std::pair<const char*, uint32_t> dwords[] = {
      {"CpuPriority", 3},        {"DelayInFrames", 250}, {"ShowOnStartType", 2},        {"TitleEngineCnt", 3},
      {"UseLine1", 1},           {"UseLine2", 0},        {"VolumeDB4Line1", 0xFFFFFFF4u}, {"UseCommon", 1},
      {"DecreaseDB", 24},        {"NoiseLevelDB", 48},   {"TimeoutInFrames", 99}};
  for (const auto& [name, expected] : dwords) {
    uint32_t v = 0xDEADBEEF;
    EXPECT_EQ(ReadDw(reg.Get(), name, v), S_OK) << name;
    EXPECT_EQ(v, expected) << name;
  }
  const std::pair<const char*, std::string> texts[] = {{"CaptureSource", sources_.Entries()[2].StoredName},
                                                       {"RegionName", s.RegionName},
                                                       {"From4Line1", "Stereo#1"},
                                                       {"To4Line1", "Left#9"},
                                                       {"From4Line2", "Left#2"},
                                                       {"To4Line2", "Right#8"},
                                                       {"CommonLine", "Right#9"}};
  for (const auto& [name, expected] : texts) {
    std::string text;
    EXPECT_EQ(ReadStr8(reg.Get(), name, text), S_OK) << name;
    EXPECT_EQ(text, expected) << name;
  }
}

// A count with the top bit set is a count of over two thousand million
// names, not a negative one: the read looks for the fourth name and stops.
TEST_F(ReadWriteSettings, TheEngineCountIsReadAsAnUnsignedCount) {
  ASSERT_TRUE(WriteSettings(FullRecord(), engines_, sources_, kKey).IsOk());
  WritableKey(kKey)->WriteDword(Cs("TitleEngineCnt"), 0x80000000u);
  DuckerSettings read = Sentinels();
  EXPECT_FALSE(ReadSettings(read, engines_, sources_, kKey).IsOk());
  EXPECT_EQ(read.TitleEngineMask, FullRecord().TitleEngineMask);
  EXPECT_EQ(read.Lines[0], Sentinels().Lines[0]);
  EXPECT_EQ(read.TimeoutInFrames, 77);
}

TEST_F(ReadWriteSettings, SelectedEnginesAreNumberedFromOneInCatalogueOrder) {
  ASSERT_TRUE(WriteSettings(FullRecord(), engines_, sources_, kKey).IsOk());  // positions 0, 3, 5
  ComPtr<IKTRegistryAccess> reg = ReadableKey(kKey);
  uint32_t count = 0;
  EXPECT_EQ(ReadDw(reg.Get(), "TitleEngineCnt", count), S_OK);
  EXPECT_EQ(count, 3u);
  const char* expected[] = {"Engine A", "Engine D", "Engine F"};
  for (int n = 1; n <= 3; ++n) {
    std::string name;
    EXPECT_EQ(ReadStr8(reg.Get(), Numbered("TitleEngine", static_cast<uint64_t>(n)), name), S_OK);
    EXPECT_EQ(name, expected[n - 1]);
  }
}

TEST_F(ReadWriteSettings, EngineValuesLeftByAnEarlierSaveStayAndAreIgnored) {
  DuckerSettings s = FullRecord();
  s.TitleEngineMask = 0b1111;  // four engines
  ASSERT_TRUE(WriteSettings(s, engines_, sources_, kKey).IsOk());
  s.TitleEngineMask = 0b0001;
  ASSERT_TRUE(WriteSettings(s, engines_, sources_, kKey).IsOk());

  EXPECT_EQ(StoredString(kKey, "TitleEngine4"), "Engine D");
  EXPECT_EQ(ReadBack().TitleEngineMask, 0b0001u);
}

TEST_F(ReadWriteSettings, AMissingEngineNameStopsTheReadWithTheEnginesReadSoFar) {
  ASSERT_TRUE(WriteSettings(FullRecord(), engines_, sources_, kKey).IsOk());
  {
    ComPtr<IKTRegistryAccess> reg = WritableKey(kKey);
    reg->WriteDword(Cs("TitleEngineCnt"), 2);
    reg->DeleteValue(Cs("TitleEngine2"));
  }
  DuckerSettings read = Sentinels();
  EXPECT_FALSE(ReadSettings(read, engines_, sources_, kKey).IsOk());
  EXPECT_EQ(read.TitleEngineMask, 0b1u);
  EXPECT_EQ(read.RegionName, FullRecord().RegionName) << "read before the engines";
  EXPECT_EQ(read.Lines[0], Sentinels().Lines[0]) << "rows keep their previous values";
  EXPECT_EQ(read.UseCommon, Sentinels().UseCommon);
  EXPECT_EQ(read.TimeoutInFrames, 77);
}

TEST_F(ReadWriteSettings, AMissingRowGainReadsAsZeroAndTheReadGoesOn) {
  ASSERT_TRUE(WriteSettings(FullRecord(), engines_, sources_, kKey).IsOk());
  WritableKey(kKey)->DeleteValue(Cs("VolumeDB4Line3"));
  DuckerSettings read = Sentinels();
  EXPECT_TRUE(ReadSettings(read, engines_, sources_, kKey).IsOk());
  EXPECT_EQ(read.Lines[2].VolumeDB, 0);
  EXPECT_EQ(read.Lines[2].From, FullRecord().Lines[2].From);
  EXPECT_EQ(read.TimeoutInFrames, FullRecord().TimeoutInFrames);
}

TEST_F(ReadWriteSettings, ARowGainStoredAsTwosComplementReadsNegative) {
  ASSERT_TRUE(WriteSettings(FullRecord(), engines_, sources_, kKey).IsOk());
  WritableKey(kKey)->WriteDword(Cs("VolumeDB4Line2"), 0xFFFFFFFAu);
  EXPECT_EQ(ReadBack().Lines[1].VolumeDB, -6);
}

TEST_F(ReadWriteSettings, CpuPriorityAndShowOnStartTypeAreOptional) {
  ASSERT_TRUE(WriteSettings(FullRecord(), engines_, sources_, kKey).IsOk());
  {
    ComPtr<IKTRegistryAccess> reg = WritableKey(kKey);
    reg->DeleteValue(Cs("CpuPriority"));
    reg->DeleteValue(Cs("ShowOnStartType"));
  }
  DuckerSettings read = Sentinels();
  EXPECT_TRUE(ReadSettings(read, engines_, sources_, kKey).IsOk());
  EXPECT_EQ(read.CpuPriority.Load(), 77);
  EXPECT_EQ(read.ShowOnStartType, 77);
  EXPECT_EQ(read.TimeoutInFrames, FullRecord().TimeoutInFrames);
}

class RequiredValues : public PersistenceTest, public ::testing::WithParamInterface<const char*> {};

// The load stops at the first missing value and names it: with a later
// required value missing as well, the status names the first, and the last
// field of the record keeps its value.
TEST_P(RequiredValues, AMissingRequiredValueStopsTheReadAndLeavesTheFieldsAfterIt) {
  ASSERT_TRUE(WriteSettings(FullRecord(), engines_, sources_, kKey).IsOk());
  WritableKey(kKey)->DeleteValue(Cs(GetParam()));
  if (std::string(GetParam()) != "TimeoutInFrames") WritableKey(kKey)->DeleteValue(Cs("TimeoutInFrames"));
  DuckerSettings read = Sentinels();
  const Status status = ReadSettings(read, engines_, sources_, kKey);
  EXPECT_FALSE(status.IsOk());
  EXPECT_EQ(status.Code(), E_NOTFOUND);
  EXPECT_EQ(status.Message(), std::string(GetParam()) + " is missing");
  EXPECT_EQ(read.TimeoutInFrames, 77) << GetParam();
}

INSTANTIATE_TEST_SUITE_P(ReadWriteSettings, RequiredValues,
                         ::testing::Values("CaptureSource", "DelayInFrames", "RegionName", "TitleEngineCnt",
                                           "TitleEngine1", "UseLine1", "From4Line4", "To4Line8", "UseCommon",
                                           "CommonLine", "DecreaseDB", "NoiseLevelDB", "TimeoutInFrames"));

// A value stored with the other type (text for a number, a number for a
// text): only that field keeps its value, everything after it is read, and
// the report names it.
class WrongTypeValues : public PersistenceTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(WrongTypeValues, AValueOfTheWrongTypeIsReadPastAndNamed) {
  const std::string name = GetParam();
  ASSERT_TRUE(WriteSettings(FullRecord(), engines_, sources_, kKey).IsOk());
  {
    ComPtr<IKTRegistryAccess> reg = WritableKey(kKey);
    const bool text = name == "CaptureSource" || name == "TitleEngine2" || name == "From4Line4" || name == "CommonLine";
    ASSERT_EQ(text ? reg->WriteDword(Cs(name), 7) : reg->WriteString(Cs(name), Cs("25"), REG_SZ), S_OK);
  }
  DuckerSettings read = Sentinels();
  SettingsReport report;
  EXPECT_FALSE(ReadSettings(read, engines_, sources_, kKey, &report).IsOk()) << name;
  // Everything else as written, the bad value's field as it was.
  DuckerSettings expected = FullRecord();
  if (name == "CaptureSource") expected.CaptureSource = 77;
  if (name == "DelayInFrames") expected.DelayInFrames = 77;
  if (name == "TitleEngineCnt") expected.TitleEngineMask = Sentinels().TitleEngineMask;
  if (name == "TitleEngine2") expected.TitleEngineMask &= ~(1u << 3);
  if (name == "From4Line4") expected.Lines[3].From = Sentinels().Lines[3].From;
  if (name == "VolumeDB4Line8") expected.Lines[7].VolumeDB = 77;
  if (name == "CommonLine") expected.CommonLine = Sentinels().CommonLine;
  if (name == "TimeoutInFrames") expected.TimeoutInFrames = 77;
  ExpectSameRecord(read, expected);
  EXPECT_EQ(report.Notes, std::vector<std::string>{name + " has the wrong type and is ignored"});
}

INSTANTIATE_TEST_SUITE_P(ReadWriteSettings, WrongTypeValues,
                         ::testing::Values("CaptureSource", "DelayInFrames", "TitleEngineCnt", "TitleEngine2",
                                           "From4Line4", "VolumeDB4Line8", "CommonLine", "TimeoutInFrames"));

// Numbers edited by hand beyond what the dialog offers are read as the
// nearest bound, each named in the report; the bounds themselves read as
// they are.
TEST_F(ReadWriteSettings, NumbersOutsideTheirRangeReadAsTheNearestBound) {
  const struct {
    const char* Name;
    uint32_t Stored;
    int32_t DuckerSettings::*Field;
    int Row;  // 1..8 for a row gain, 0 otherwise
    int32_t Read;
  } cases[] = {
      {"VolumeDB4Line1", 1000, nullptr, 1, 24},           {"VolumeDB4Line2", 100, nullptr, 2, 24},
      {"VolumeDB4Line3", 0xFFFFFFE7u, nullptr, 3, -24},   {"VolumeDB4Line4", 0xFFFFFFE8u, nullptr, 4, -24},
      {"DelayInFrames", 0, &DuckerSettings::DelayInFrames, 0, 5},
      {"DecreaseDB", 4294967278u, &DuckerSettings::DecreaseDB, 0, 0},
      {"NoiseLevelDB", 49, &DuckerSettings::NoiseLevelDB, 0, 48},
      {"TimeoutInFrames", 100, &DuckerSettings::TimeoutInFrames, 0, 99},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(WriteSettings(FullRecord(), engines_, sources_, kKey).IsOk());
    WritableKey(kKey)->WriteDword(Cs(c.Name), c.Stored);
    DuckerSettings read;
    SettingsReport report;
    EXPECT_TRUE(ReadSettings(read, engines_, sources_, kKey, &report).IsOk()) << c.Name;
    const int32_t got = c.Row ? read.Lines[static_cast<size_t>(c.Row - 1)].VolumeDB : read.*c.Field;
    EXPECT_EQ(got, c.Read) << c.Name;
    const bool atBound = static_cast<int32_t>(c.Stored) == c.Read;
    EXPECT_EQ(report.Notes.size(), atBound ? 0u : 1u) << c.Name;
    if (!atBound && !report.Notes.empty()) {
      EXPECT_EQ(report.Notes[0].rfind(std::string(c.Name) + " " + std::to_string(static_cast<int32_t>(c.Stored)) +
                                          " is outside ",
                                      0),
                0u)
          << report.Notes[0];
    }
  }
  // 4294967295 is -1 as stored: below the delay's minimum.
  ASSERT_TRUE(WriteSettings(FullRecord(), engines_, sources_, kKey).IsOk());
  WritableKey(kKey)->WriteDword(Cs("DelayInFrames"), 4294967295u);
  EXPECT_EQ(ReadBack().DelayInFrames, 5);
}

// A write that fails ends the save: nothing after it is written, the store
// keeps every value of the save before it as it was (a save is whole or not
// at all), and the report gives the failure.
TEST_F(ReadWriteSettings, AFailedWriteLeavesTheStoreAsItWasAndSaysSo) {
  ASSERT_TRUE(WriteSettings(FullRecord(), engines_, sources_, kKey).IsOk());
  DuckerSettings changed = FullRecord();
  changed.RegionName = "Changed";
  changed.TimeoutInFrames = 12;
  Faults().FailWrite.insert("UseLine5");
  Calls().clear();
  const Status written = WriteSettings(changed, engines_, sources_, kKey);
  EXPECT_FALSE(written.IsOk());
  EXPECT_EQ(written.Code(), E_REG_CANTWRITE);
  EXPECT_EQ(std::count(Calls().begin(), Calls().end(), "WriteDword TimeoutInFrames"), 0);
  Faults().FailWrite.clear();
  ExpectSameRecord(ReadBack(), FullRecord());
}

TEST_F(ReadWriteSettings, AStopInARowLeavesThatRowAndTheRowsAfterIt) {
  ASSERT_TRUE(WriteSettings(FullRecord(), engines_, sources_, kKey).IsOk());
  WritableKey(kKey)->DeleteValue(Cs("To4Line3"));
  DuckerSettings read = Sentinels();
  EXPECT_FALSE(ReadSettings(read, engines_, sources_, kKey).IsOk());
  EXPECT_EQ(read.Lines[1], FullRecord().Lines[1]);
  EXPECT_EQ(read.Lines[2], Sentinels().Lines[2]) << "row 3 is assigned only when all its values were read";
  EXPECT_EQ(read.Lines[3], Sentinels().Lines[3]);
}

TEST_F(ReadWriteSettings, AKeyThatDoesNotExistReadsNothing) {
  DuckerSettings read = Sentinels();
  EXPECT_FALSE(ReadSettings(read, engines_, sources_, kKey).IsOk());
  ExpectSameRecord(read, Sentinels());
}

TEST_F(ReadWriteSettings, WithoutTheComponentNothingIsReadOrWritten) {
  Faults().FailCreation = true;
  DuckerSettings read = Sentinels();
  EXPECT_FALSE(ReadSettings(read, engines_, sources_, kKey).IsOk());
  EXPECT_FALSE(WriteSettings(FullRecord(), engines_, sources_, kKey).IsOk());
  ExpectSameRecord(read, Sentinels());
}

TEST_F(ReadWriteSettings, WritingCreatesTheKeyOnlyWhenItCannotBeOpened) {
  ASSERT_TRUE(WriteSettings(FullRecord(), engines_, sources_, kKey).IsOk());
  EXPECT_EQ(std::count(Calls().begin(), Calls().end(), "CreateKey Quellvox\\#1"), 1);
  Calls().clear();
  ASSERT_TRUE(WriteSettings(FullRecord(), engines_, sources_, kKey).IsOk());
  EXPECT_EQ(std::count(Calls().begin(), Calls().end(), "CreateKey Quellvox\\#1"), 0);
}

TEST_F(ReadWriteSettings, WritingFailsOnlyWhenTheKeyCanNeitherBeOpenedNorCreated) {
  Faults().FailOpen.insert(kKey);
  Faults().FailCreate.insert(kKey);
  EXPECT_FALSE(WriteSettings(FullRecord(), engines_, sources_, kKey).IsOk());
  Faults().FailCreate.clear();
  EXPECT_TRUE(WriteSettings(FullRecord(), engines_, sources_, kKey).IsOk());
}

TEST_F(ReadWriteSettings, ACaptureSourceFoundByItsDisplayNameIsSavedByItsStoredName) {
  ASSERT_TRUE(WriteSettings(FullRecord(), engines_, sources_, kKey).IsOk());
  const CaptureSourceEntry& entry = sources_.Entries()[1];
  ASSERT_NE(entry.DisplayName, entry.StoredName);
  WritableKey(kKey)->WriteString(Cs("CaptureSource"), Cs(entry.DisplayName), REG_SZ);

  const DuckerSettings read = ReadBack();
  EXPECT_EQ(read.CaptureSource, 1);
  ASSERT_TRUE(WriteSettings(read, engines_, sources_, kKey).IsOk());
  EXPECT_EQ(StoredString(kKey, "CaptureSource"), entry.StoredName);
}

TEST_F(ReadWriteSettings, NamesTheCataloguesNoLongerListSelectNothing) {
  ASSERT_TRUE(WriteSettings(FullRecord(), engines_, sources_, kKey).IsOk());
  {
    ComPtr<IKTRegistryAccess> reg = WritableKey(kKey);
    reg->WriteString(Cs("CaptureSource"), Cs("Unplugged Camera"), REG_SZ);
    reg->WriteString(Cs("TitleEngine2"), Cs("Engine Z"), REG_SZ);
  }
  DuckerSettings read;
  EXPECT_FALSE(ReadSettings(read, engines_, sources_, kKey).IsOk()) << "no capture source: incomplete";
  EXPECT_EQ(read.CaptureSource, -1);
  EXPECT_EQ(read.TitleEngineMask, 0b100001u);
  EXPECT_EQ(read.TimeoutInFrames, FullRecord().TimeoutInFrames) << "the read went on";
}

TEST_F(ReadWriteSettings, StoredNamesAreMatchedIgnoringCase) {
  ASSERT_TRUE(WriteSettings(FullRecord(), engines_, sources_, kKey).IsOk());
  std::string upper;
  for (char c : sources_.Entries()[2].StoredName) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  {
    ComPtr<IKTRegistryAccess> reg = WritableKey(kKey);
    reg->WriteString(Cs("TitleEngine1"), Cs("ENGINE a"), REG_SZ);
    reg->WriteString(Cs("CaptureSource"), Cs(upper), REG_SZ);
  }
  const DuckerSettings read = ReadBack();
  EXPECT_EQ(read.TitleEngineMask, FullRecord().TitleEngineMask);
  EXPECT_EQ(read.CaptureSource, 2);
}

TEST_F(ReadWriteSettings, NoCaptureSourceIsWrittenAsTheCataloguesErrorName) {
  DuckerSettings s = FullRecord();
  s.CaptureSource = -1;
  ASSERT_TRUE(WriteSettings(s, engines_, sources_, kKey).IsOk());
  EXPECT_EQ(StoredString(kKey, "CaptureSource"), "--- ERROR INDEX ---");
  EXPECT_EQ(ReadBack().CaptureSource, -1);
}

// Pairs outside the offered ones are kept as read: the pipeline and the
// mixer decide what to do with them, nothing is silently rerouted here.
TEST_F(ReadWriteSettings, LineTextsWithPairsOutsideTheOfferedOnesAreKeptAsRead) {
  ASSERT_TRUE(WriteSettings(FullRecord(), engines_, sources_, kKey).IsOk());
  {
    ComPtr<IKTRegistryAccess> reg = WritableKey(kKey);
    reg->WriteString(Cs("From4Line1"), Cs("Stereo#0"), REG_SZ);
    reg->WriteString(Cs("To4Line1"), Cs("Left#:"), REG_SZ);
    reg->WriteString(Cs("CommonLine"), Cs("Surround#1"), REG_SZ);
  }
  const DuckerSettings read = ReadBack();
  EXPECT_EQ(read.Lines[0].From, (AudioLineRef{Stereo, -1}));
  EXPECT_EQ(read.Lines[0].To, (AudioLineRef{Left, 9}));
  EXPECT_EQ(read.CommonLine, (AudioLineRef{Stereo, 0}));
}

TEST_F(ReadWriteSettings, EnginesBeyondWhatTheMaskHoldsSelectNothing) {
  std::string json = R"({"devices": [{"kind": 2, "name": "Cam"}], "engines": [)";
  for (int i = 0; i < 34; ++i) json += std::string(i ? "," : "") + "{\"name\": \"E" + std::to_string(i) + "\"}";
  json += "]}";
  LoadStudio(json);
  DuckerSettings s = FullRecord();
  s.CaptureSource = 0;
  s.TitleEngineMask = 0x80000001u;
  ASSERT_TRUE(WriteSettings(s, engines_, sources_, kKey).IsOk());
  {
    ComPtr<IKTRegistryAccess> reg = WritableKey(kKey);
    reg->WriteDword(Cs("TitleEngineCnt"), 3);
    reg->WriteString(Cs("TitleEngine3"), Cs("E33"), REG_SZ);
  }
  DuckerSettings read;
  EXPECT_TRUE(ReadSettings(read, engines_, sources_, kKey).IsOk());
  EXPECT_EQ(read.TitleEngineMask, 0x80000001u);
}

}  // namespace
}  // namespace quellvox::test
