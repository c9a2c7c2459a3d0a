#include <sqlite3.h>

#include <string>

#include "platform/com/case_fold.h"
#include "registry_fixture.h"

namespace quellvox::test {
namespace {

using RegistryAccess = RegistryTest;

TEST_F(RegistryAccess, OpeningAKeyThatWasNeverCreatedFails) {
  ComPtr<IKTRegistryAccess> reg = NewAccess();
  EXPECT_EQ(reg->OpenKey(Cs("Quellvox\\#1"), KEY_READ), E_NOTFOUND);
  EXPECT_EQ(reg->OpenKey(Cs("Quellvox\\#1"), KEY_WRITE), E_NOTFOUND);
}

TEST_F(RegistryAccess, CreateKeyCreatesTheKeyAndEveryKeyAboveIt) {
  ComPtr<IKTRegistryAccess> reg = NewAccess();
  ASSERT_EQ(reg->CreateKey(Cs("Quellvox\\#1")), S_OK);
  reg = nullptr;
  EXPECT_EQ(NewAccess()->OpenKey(Cs("Quellvox"), KEY_READ), S_OK);
  EXPECT_EQ(NewAccess()->OpenKey(Cs("Quellvox\\#1"), KEY_READ), S_OK);
}

TEST_F(RegistryAccess, AFreshInstanceStartsAtLocalMachineSoftware) {
  WritableKey("Quellvox\\#1")->WriteDword(Cs("AutoStart"), 1);

  ComPtr<IKTRegistryAccess> reg = RootedAccess("Software\\Quellvox");
  ASSERT_TRUE(reg);
  ASSERT_EQ(reg->OpenKey(Cs("#1"), KEY_READ), S_OK);
  uint32_t v = 0;
  EXPECT_EQ(ReadDw(reg.Get(), "AutoStart", v), S_OK);
  EXPECT_EQ(v, 1u);
}

TEST_F(RegistryAccess, KeyPathsAreRelativeToTheRootSetOnThatInstanceOnly) {
  WritableKey("Quellvox\\#1")->WriteDword(Cs("X0"), 5);

  ComPtr<IKTRegistryAccess> rooted = RootedAccess("Software\\Quellvox");
  ASSERT_TRUE(rooted);
  EXPECT_EQ(rooted->OpenKey(Cs("Quellvox\\#1"), KEY_READ), E_NOTFOUND);

  // A root set on one instance does not carry over to the next.
  EXPECT_EQ(NewAccess()->OpenKey(Cs("#1"), KEY_READ), E_NOTFOUND);
  EXPECT_EQ(NewAccess()->OpenKey(Cs("Quellvox\\#1"), KEY_READ), S_OK);
}

// An empty key name is no name: "Quellvox\#1\" is not another spelling of
// "Quellvox\#1", or the instances "#1\" and "#1" would share one key.
TEST_F(RegistryAccess, KeyPathsWithAnEmptyNameAreRefused) {
  WritableKey("Quellvox\\#1")->WriteDword(Cs("X0"), 1);
  for (const char* path : {"Quellvox\\#1\\", "\\Quellvox\\#1", "Quellvox\\\\#1", "\\"}) {
    ComPtr<IKTRegistryAccess> reg = NewAccess();
    EXPECT_EQ(reg->OpenKey(Cs(path), KEY_READ), E_INVALIDARG) << path;
    EXPECT_EQ(reg->OpenKey(Cs(path), KEY_WRITE), E_INVALIDARG) << path;
    EXPECT_EQ(reg->CreateKey(Cs(path)), E_INVALIDARG) << path;
    ComPtr<IKTRegRoot> root;
    ASSERT_EQ(reg.As(root), S_OK);
    EXPECT_EQ(root->SetRoot(HKEY_LOCAL_MACHINE_HIVE, Cs(path)), E_INVALIDARG) << path;
  }
}

TEST_F(RegistryAccess, AnEmptyPathIsTheRootItself) {
  WritableKey("Quellvox")->WriteDword(Cs("X0"), 5);
  ComPtr<IKTRegistryAccess> reg = RootedAccess("Software\\Quellvox");
  ASSERT_TRUE(reg);
  ASSERT_EQ(reg->OpenKey(Cs(""), KEY_READ), S_OK);
  uint32_t v = 0;
  EXPECT_EQ(ReadDw(reg.Get(), "X0", v), S_OK);
  EXPECT_EQ(v, 5u);
}

TEST_F(RegistryAccess, SetRootRefusesAnUnknownHive) {
  ComPtr<IKTRegistryAccess> reg = NewAccess();
  ComPtr<IKTRegRoot> root;
  ASSERT_EQ(reg.As(root), S_OK);
  EXPECT_NE(root->SetRoot(0x12345678u, Cs("Software")), S_OK);
}

TEST_F(RegistryAccess, KeyNamesIgnoreTheCaseOfAnyLetter) {
  WritableKey("Quellvox\\Studio Äußere Ωmega")->WriteDword(Cs("X0"), 1);
  EXPECT_EQ(NewAccess()->OpenKey(Cs("QUELLVOX\\studio äUSSERE ωMEGA"), KEY_READ), E_NOTFOUND)
      << "ß and SS are different names (no full folding)";
  EXPECT_EQ(NewAccess()->OpenKey(Cs("QUELLVOX\\studio ÄUßERE ωMEGA"), KEY_READ), S_OK);
  EXPECT_EQ(NewAccess()->OpenKey(Cs("quellvox\\STUDIO äußere ΩMEGA"), KEY_READ), S_OK);
}

TEST_F(RegistryAccess, ValueNamesIgnoreCaseAndKeepTheCaseFirstWritten) {
  {
    ComPtr<IKTRegistryAccess> reg = WritableKey("Quellvox\\#1");
    reg->WriteDword(Cs("VolumeDB4Line1"), 3);
    reg->WriteDword(Cs("VOLUMEDB4LINE1"), 7);
    reg->WriteString(Cs("Région"), Cs("a"), REG_SZ);
  }
  ComPtr<IKTRegistryAccess> reg = ReadableKey("quellvox\\#1");
  uint32_t v = 0;
  EXPECT_EQ(ReadDw(reg.Get(), "volumedb4line1", v), S_OK);
  EXPECT_EQ(v, 7u);
  std::string text;
  EXPECT_EQ(ReadStr8(reg.Get(), "RÉGION", text), S_OK);
  EXPECT_EQ(ValueNames(reg), (std::vector<std::string>{"Région", "VolumeDB4Line1"}));
}

TEST(CaseFold, FoldsLettersBeyondAsciiAndLeavesTheRest) {
  EXPECT_EQ(FoldName(u"ABCxyz#1\\"), "abcxyz#1\\");
  EXPECT_EQ(FoldName(u"@AZ[`az{"), "@az[`az{");  // the ends of the ASCII letters and their neighbours
  EXPECT_EQ(FoldName(u"ÀÉÎÕÜ"), "àéîõü");
  EXPECT_EQ(FoldName(u"ΣΑΣ"), FoldName(u"σας"));           // final sigma
  EXPECT_EQ(FoldName(u"\u212A"), "k");                      // Kelvin sign
  EXPECT_EQ(FoldName(u"\U00010400"), FoldName(u"\U00010428"));  // Deseret, beyond 16 bits
  EXPECT_NE(FoldName(u"ß"), FoldName(u"ss"));
  EXPECT_EQ(FoldName(u"ẞ"), FoldName(u"ß"));
}

TEST_F(RegistryAccess, DwordsReadBackAsTheirBitPattern) {
  const uint32_t patterns[] = {0u, 1u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFAu, 0xFFFFFFFFu};
  {
    ComPtr<IKTRegistryAccess> reg = WritableKey("Quellvox\\#1");
    for (uint32_t p : patterns) EXPECT_EQ(reg->WriteDword(Cs(Numbered("V", p)), p), S_OK);
  }
  ComPtr<IKTRegistryAccess> reg = ReadableKey("Quellvox\\#1");
  for (uint32_t p : patterns) {
    uint32_t v = 12345;
    EXPECT_EQ(reg->ReadDword(Cs(Numbered("V", p)), &v), S_OK);
    EXPECT_EQ(v, p);
  }
}

TEST_F(RegistryAccess, StringsReadBackExactlyAsWritten) {
  const std::u16string texts[] = {
      u"",
      u"Stereo#1",
      u"\"/opt/quellvox/bin/quellvox\" #1",
      u"  blanks  \t tab \n line \r\n",
      u"Ünïcödé ΩΣ 中文 \U0001F3A4",
      std::u16string(u"nul\0inside", 10),
  };
  {
    ComPtr<IKTRegistryAccess> reg = WritableKey("Quellvox\\#1");
    for (size_t i = 0; i < std::size(texts); ++i) {
      EXPECT_EQ(reg->WriteString(Cs(Numbered("S", i)), Cs(texts[i]), REG_SZ), S_OK);
    }
  }
  ComPtr<IKTRegistryAccess> reg = ReadableKey("Quellvox\\#1");
  for (size_t i = 0; i < std::size(texts); ++i) {
    std::u16string back;
    EXPECT_EQ(ReadStr(reg.Get(), Numbered("S", i), back), S_OK);
    EXPECT_EQ(back, texts[i]) << i;
  }
}

TEST_F(RegistryAccess, AStringWhereADwordIsAskedFailsAndLeavesTheOutValue) {
  {
    ComPtr<IKTRegistryAccess> reg = WritableKey("Quellvox\\#1");
    reg->WriteString(Cs("DelayInFrames"), Cs("10"), REG_SZ);
    reg->WriteDword(Cs("RegionName"), 4);
  }
  ComPtr<IKTRegistryAccess> reg = ReadableKey("Quellvox\\#1");
  uint32_t v = 77;
  EXPECT_EQ(ReadDw(reg.Get(), "DelayInFrames", v), E_REG_UNSUPPORTED_TYPE);
  EXPECT_EQ(v, 77u);
  ComString text = reinterpret_cast<ComString>(0x1234);
  EXPECT_EQ(reg->ReadString(Cs("RegionName"), &text), E_REG_UNSUPPORTED_TYPE);
  EXPECT_EQ(text, reinterpret_cast<ComString>(0x1234));
}

TEST_F(RegistryAccess, WritingAValueWithTheOtherTypeReplacesIt) {
  WritableKey("Quellvox\\#1")->WriteString(Cs("CpuPriority"), Cs("2"), REG_SZ);
  WritableKey("Quellvox\\#1")->WriteDword(Cs("CpuPriority"), 2);
  EXPECT_EQ(StoredDword("Quellvox\\#1", "CpuPriority"), 2u);
}

TEST_F(RegistryAccess, AMissingValueFailsAndLeavesTheOutValue) {
  WritableKey("Quellvox\\#1");
  ComPtr<IKTRegistryAccess> reg = ReadableKey("Quellvox\\#1");
  uint32_t v = 9;
  EXPECT_EQ(ReadDw(reg.Get(), "X0", v), E_NOTFOUND);
  EXPECT_EQ(v, 9u);
  std::u16string text = u"kept";
  EXPECT_EQ(ReadStr(reg.Get(), "RegionName", text), E_NOTFOUND);
  EXPECT_EQ(text, u"kept");
}

TEST_F(RegistryAccess, AKeyOpenedForReadingRefusesWrites) {
  WritableKey("Quellvox\\#1")->WriteDword(Cs("X0"), 1);
  ComPtr<IKTRegistryAccess> reg = ReadableKey("Quellvox\\#1");
  EXPECT_EQ(reg->WriteDword(Cs("X0"), 2), E_ACCESSDENIED);
  EXPECT_EQ(reg->WriteString(Cs("X1"), Cs("a"), REG_SZ), E_ACCESSDENIED);
  EXPECT_EQ(reg->DeleteValue(Cs("X0")), E_ACCESSDENIED);
  uint32_t v = 0;
  EXPECT_EQ(ReadDw(reg.Get(), "X0", v), S_OK);
  EXPECT_EQ(v, 1u);
}

TEST_F(RegistryAccess, NothingIsReadOrWrittenWithoutAnOpenKey) {
  WritableKey("Quellvox\\#1")->WriteDword(Cs("X0"), 1);
  ComPtr<IKTRegistryAccess> reg = WritableKey("Quellvox\\#1");
  EXPECT_EQ(reg->CloseKey(), S_OK);
  uint32_t v = 0;
  EXPECT_EQ(ReadDw(reg.Get(), "X0", v), E_REG_NOKEY);
  EXPECT_EQ(reg->WriteDword(Cs("X0"), 2), E_REG_NOKEY);
  EXPECT_EQ(reg->OpenKey(Cs("Nowhere"), KEY_WRITE), E_NOTFOUND);
  EXPECT_EQ(reg->WriteDword(Cs("X0"), 3), E_REG_NOKEY) << "a failed open leaves no key open";
}

TEST_F(RegistryAccess, DeleteValueRemovesThatValueOnly) {
  {
    ComPtr<IKTRegistryAccess> reg = WritableKey("Quellvox\\#1");
    reg->WriteDword(Cs("X0"), 1);
    reg->WriteDword(Cs("Y0"), 2);
    EXPECT_EQ(reg->DeleteValue(Cs("x0")), S_OK);
    EXPECT_EQ(reg->DeleteValue(Cs("x0")), E_NOTFOUND);
  }
  ComPtr<IKTRegistryAccess> reg = ReadableKey("Quellvox\\#1");
  uint32_t v = 0;
  EXPECT_EQ(ReadDw(reg.Get(), "X0", v), E_NOTFOUND);
  EXPECT_EQ(ReadDw(reg.Get(), "Y0", v), S_OK);
}

TEST_F(RegistryAccess, TwoKeysKeepTheirOwnValues) {
  WritableKey("Quellvox\\#1")->WriteDword(Cs("X0"), 1);
  WritableKey("Quellvox\\#2")->WriteDword(Cs("X0"), 2);
  EXPECT_EQ(StoredDword("Quellvox\\#1", "X0"), 1u);
  EXPECT_EQ(StoredDword("Quellvox\\#2", "X0"), 2u);
}

TEST_F(RegistryAccess, RefusesTextsAndTypesItCannotKeepExactly) {
  ComPtr<IKTRegistryAccess> reg = WritableKey("Quellvox\\#1");
  const char16_t lone[] = {u'a', 0xD800, u'b'};
  EXPECT_EQ(reg->WriteString(Cs("S"), Cs(std::u16string_view(lone, 3)), REG_SZ), E_INVALIDARG);
  EXPECT_EQ(reg->WriteDword(Cs(std::u16string_view(lone, 3)), 1), E_INVALIDARG);
  EXPECT_EQ(reg->WriteString(Cs("S"), Cs("a"), 2 /* REG_EXPAND_SZ */), E_INVALIDARG);
}

// Reads the store through a connection of its own, as another process would.
int64_t CountStoredValues(const std::string& path) {
  sqlite3* db = nullptr;
  int64_t n = -1;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT count(*) FROM vals", -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW) {
      n = sqlite3_column_int64(s, 0);
    }
    sqlite3_finalize(s);
  }
  sqlite3_close(db);
  return n;
}

// A save that uses several instances, one inside the other, reaches the
// store as one transaction when the outermost instance is released.
TEST_F(RegistryAccess, NestedInstancesOfOneSaveCommitTogetherWhenTheLastIsReleased) {
  ComPtr<IKTRegistryAccess> outer = WritableKey("Quellvox\\#1");
  outer->WriteDword(Cs("AutoStart"), 1);
  outer->CloseKey();
  {
    ComPtr<IKTRegistryAccess> inner = WritableKey("Quellvox\\#1");
    inner->WriteDword(Cs("CpuPriority"), 2);
    inner->CloseKey();
  }
  EXPECT_EQ(CountStoredValues(StorePath()), 0);
  outer = nullptr;
  EXPECT_EQ(CountStoredValues(StorePath()), 2);
}

TEST_F(RegistryAccess, ReleasingAnInstanceClosesItsKeyAndKeepsItsWrites) {
  WritableKey("Quellvox\\#1")->WriteDword(Cs("X0"), 42);  // released with the key open
  EXPECT_EQ(CountStoredValues(StorePath()), 1);
  EXPECT_EQ(StoredDword("Quellvox\\#1", "X0"), 42u);
}

TEST_F(RegistryAccess, EveryInstanceIsReleasedAfterUse) {
  const int64_t before = ComObjectBase::LiveObjects();
  {
    ComPtr<IKTRegistryAccess> reg = WritableKey("Quellvox\\#1");
    ComPtr<IKTRegRoot> root;
    ComPtr<IRegistryBrowse> browse;
    EXPECT_EQ(reg.As(root), S_OK);
    EXPECT_EQ(reg.As(browse), S_OK);
  }
  EXPECT_EQ(ComObjectBase::LiveObjects(), before);
}

}  // namespace
}  // namespace quellvox::test
