// The capture-source and title-engine catalogues, filled from the virtual studio.
#include <gtest/gtest.h>

#include "config/catalogues.h"
#include "tests/media/studio_fixture.h"
#include "tests/support/status_assert.h"

namespace quellvox {
namespace {

namespace st = studio_test;

// The studio tests' set-up; the default studio is put back before the
// count of live objects is checked.
class Catalogues : public testing_studio::StudioFixture {
 protected:
  void TearDown() override {
    st::ClearFaults();
    st::LoadDefaultDescription();
    StudioFixture::TearDown();
  }
};

TEST_F(Catalogues, DefaultStudioListsThePrimaryThenTheSecondaryCaptureAndBothEngines) {
  st::LoadDefaultDescription();
  CaptureSourceCatalogue sources;
  ASSERT_EQ(sources.Refresh(), 0);
  ASSERT_EQ(sources.Count(), 2);
  EXPECT_EQ(sources.NameAt(0), "Quellvox Virtual Capture 1");
  EXPECT_TRUE(sources.Entries()[0].PrimaryKind);
  EXPECT_EQ(sources.Entries()[1].DeviceIndex, 1);
  EXPECT_FALSE(sources.Entries()[1].PrimaryKind);
  EXPECT_TRUE(sources.HasAuxiliaryDevice());
  TitleEngineCatalogue engines;
  ASSERT_EQ(engines.Refresh(), 0);
  EXPECT_EQ(engines.Count(), 2);
  EXPECT_EQ(engines.NameAt(1), "Engine 2");
}

TEST_F(Catalogues, UnusableEnginesAreLeftOut) {
  Load(R"({"engines": [{"name": "E0"}, {"name": "E1", "usable": false}, {"name": "E2"}]})");
  TitleEngineCatalogue engines;
  ASSERT_EQ(engines.Refresh(), 0);
  ASSERT_EQ(engines.Count(), 2);
  EXPECT_EQ(engines.Entries()[0].EngineIndex, 0);
  EXPECT_EQ(engines.Entries()[1].EngineIndex, 2);
  EXPECT_EQ(engines.NameAt(1), "E2");
}

TEST_F(Catalogues, AnEngineWhoseQueryFailsIsLeftOut) {
  Load(R"({"engines": [{"name": "E0"}, {"name": "E1"}]})");
  ASSERT_TRUE(test_support::IsOk(st::AddFault(st::FaultRule::On("GetEngine").At("engine 0"))));
  TitleEngineCatalogue engines;
  ASSERT_EQ(engines.Refresh(), 0);
  ASSERT_EQ(engines.Count(), 1);
  EXPECT_EQ(engines.Entries()[0].EngineIndex, 1);
}

TEST_F(Catalogues, NoUsableEngineGivesOne) {
  Load(R"({"engines": [{"usable": false}]})");
  TitleEngineCatalogue engines;
  EXPECT_EQ(engines.Refresh(), 1);
  EXPECT_EQ(engines.Count(), 0);
  EXPECT_NE(engines.List(), nullptr);
}

TEST_F(Catalogues, AFailedCreationReturnsItsCodeAndLeavesTheCatalogueEmpty) {
  st::LoadDefaultDescription();
  TitleEngineCatalogue engines;
  ASSERT_EQ(engines.Refresh(), 0);
  ASSERT_TRUE(test_support::IsOk(st::AddFault(st::FaultRule::On("CreateTitleEngineList").Returning(REGDB_E_CLASSNOTREG))));
  EXPECT_EQ(engines.Refresh(), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(engines.Count(), 0);
  EXPECT_EQ(engines.List(), nullptr);
  ASSERT_TRUE(test_support::IsOk(st::AddFault(st::FaultRule::On("CreateDeviceEnumerator").Returning(E_OUTOFMEMORY))));
  CaptureSourceCatalogue sources;
  EXPECT_EQ(sources.Refresh(), E_OUTOFMEMORY);
  EXPECT_EQ(sources.Count(), 0);
}

TEST_F(Catalogues, AKindNineDeviceEnumeratedFirstIsListedAfterTheKindTwoDevice) {
  Load(R"({"devices": [{"kind": 9, "name": "Second", "channels": 2},
                       {"kind": 12, "name": "Aux"},
                       {"kind": 2, "name": "First", "channels": 2}]})");
  CaptureSourceCatalogue sources;
  ASSERT_EQ(sources.Refresh(), 0);
  ASSERT_EQ(sources.Count(), 2);
  EXPECT_EQ(sources.Entries()[0].DeviceIndex, 2);
  EXPECT_TRUE(sources.Entries()[0].PrimaryKind);
  EXPECT_EQ(sources.Entries()[1].DeviceIndex, 0);
  EXPECT_FALSE(sources.Entries()[1].PrimaryKind);
}

TEST_F(Catalogues, StoredAndDisplayNamesJoinTheBoardWithTheNameAndTheLabel) {
  Load(R"({"devices": [{"kind": 2, "board": "Board X", "name": "In 1", "label": "Input one", "channels": 2}]})");
  CaptureSourceCatalogue sources;
  ASSERT_EQ(sources.Refresh(), 0);
  EXPECT_EQ(sources.Entries()[0].StoredName, "Board X In 1");
  EXPECT_EQ(sources.Entries()[0].DisplayName, "Board X Input one");
}

TEST_F(Catalogues, EitherNameFindsASourceIgnoringCase) {
  Load(R"({"devices": [{"kind": 2, "board": "B", "name": "One", "label": "Eins", "channels": 2},
                       {"kind": 2, "board": "B", "name": "Zwei", "label": "Two", "channels": 2}]})");
  CaptureSourceCatalogue sources;
  ASSERT_EQ(sources.Refresh(), 0);
  EXPECT_EQ(sources.FindByName("b one"), 0);
  EXPECT_EQ(sources.FindByName("B TWO"), 1);
  EXPECT_EQ(sources.FindByName("B Drei"), -1);
}

TEST_F(Catalogues, PositionsOutsideGiveTheErrorTexts) {
  st::LoadDefaultDescription();
  CaptureSourceCatalogue sources;
  TitleEngineCatalogue engines;
  EXPECT_EQ(sources.NameAt(0), "--- ERROR INDEX ---");
  ASSERT_EQ(sources.Refresh(), 0);
  ASSERT_EQ(engines.Refresh(), 0);
  EXPECT_EQ(sources.NameAt(-1), "--- ERROR INDEX ---");
  EXPECT_EQ(sources.NameAt(2), "--- ERROR INDEX ---");
  EXPECT_EQ(engines.NameAt(-1), "--- ERROR TE ---");
  EXPECT_EQ(engines.NameAt(2), "--- ERROR TE ---");
}

TEST_F(Catalogues, TheFirstOfTwoEqualNamesIsFound) {
  Load(R"({"engines": [{"name": "Same"}, {"name": "same"}]})");
  TitleEngineCatalogue engines;
  ASSERT_EQ(engines.Refresh(), 0);
  EXPECT_EQ(engines.FindByName("SAME"), 0);
  EXPECT_EQ(engines.FindByName("Sam"), -1);
}

TEST_F(Catalogues, TheAuxiliaryDeviceIsHeldUntilTheCatalogueGoes) {
  st::LoadDefaultDescription();
  const int64_t before = st::LiveObjects();
  {
    CaptureSourceCatalogue sources;
    ASSERT_EQ(sources.Refresh(), 0);
    const int64_t afterFirst = st::LiveObjects();  // enumerator and auxiliary device
    EXPECT_EQ(afterFirst, before + 2);
    ASSERT_EQ(sources.Refresh(), 0);
    EXPECT_EQ(st::LiveObjects(), afterFirst) << "a second refresh keeps the one auxiliary device";
    EXPECT_TRUE(sources.HasAuxiliaryDevice());
  }
  EXPECT_EQ(st::LiveObjects(), before);
}

TEST_F(Catalogues, CreateTitleTargetAttachesToTheEntrysEngine) {
  Load(R"({"engines": [{"name": "A", "rate": 25}, {"name": "B", "usable": false}, {"name": "C", "rate": 50}]})");
  TitleEngineCatalogue engines;
  ASSERT_EQ(engines.Refresh(), 0);
  ComPtr<Unknown> target;
  ASSERT_EQ(engines.CreateTitleTarget(1, target), S_OK);
  ComPtr<IZRTitleEngine> engine;
  ASSERT_EQ(target.As(engine), S_OK);
  VideoFormat f;
  ASSERT_EQ(engine->GetFrameRate(&f), S_OK);
  EXPECT_EQ(f.Rate, 50.0);
}

TEST_F(Catalogues, CreateTitleTargetFailsOutsideTheCatalogueOrWithoutAList) {
  TitleEngineCatalogue empty;
  ComPtr<Unknown> target;
  EXPECT_EQ(empty.CreateTitleTarget(0, target), E_FAIL);
  st::LoadDefaultDescription();
  TitleEngineCatalogue engines;
  ASSERT_EQ(engines.Refresh(), 0);
  EXPECT_EQ(engines.CreateTitleTarget(-1, target), E_FAIL);
  EXPECT_EQ(engines.CreateTitleTarget(2, target), E_FAIL);
  EXPECT_FALSE(target);
}

TEST_F(Catalogues, AFailedAttachReleasesTheTargetAndReturnsTheCode) {
  st::LoadDefaultDescription();
  TitleEngineCatalogue engines;
  ASSERT_EQ(engines.Refresh(), 0);
  const int64_t before = st::LiveObjects();
  ASSERT_TRUE(test_support::IsOk(st::AddFault(st::FaultRule::On("Attach").Returning(E_ACCESSDENIED))));
  ComPtr<Unknown> target;
  EXPECT_EQ(engines.CreateTitleTarget(0, target), E_ACCESSDENIED);
  EXPECT_FALSE(target);
  EXPECT_EQ(st::LiveObjects(), before);
}

TEST_F(Catalogues, CreateTitleTargetReplacesWhatTheOutHeld) {
  st::LoadDefaultDescription();
  TitleEngineCatalogue engines;
  ASSERT_EQ(engines.Refresh(), 0);
  ComPtr<Unknown> target;
  ASSERT_EQ(engines.CreateTitleTarget(0, target), S_OK);
  const int64_t one = st::LiveObjects();
  ASSERT_EQ(engines.CreateTitleTarget(1, target), S_OK);
  EXPECT_EQ(st::LiveObjects(), one);
}

// An enumerator that reports a device of every kind without moving its cursor on.
class StuckEnumerator final : public ComObjectBase, public IZRDeviceEnumerator {
 public:
  QUELLVOX_COM_REFCOUNT
  HResult QueryInterface(const Guid& iid, void** out) override {
    if (!(iid == Unknown::kIid || iid == IZRDeviceEnumerator::kIid)) return E_NOINTERFACE;
    AddRef();
    *out = static_cast<IZRDeviceEnumerator*>(this);
    return S_OK;
  }
  HResult Reserved3() override { return E_NOTIMPL; }
  HResult Reserved4() override { return E_NOTIMPL; }
  HResult Reserved5() override { return E_NOTIMPL; }
  HResult Reserved6() override { return E_NOTIMPL; }
  HResult Reserved8() override { return E_NOTIMPL; }
  HResult Reserved9() override { return E_NOTIMPL; }
  HResult CreateDevice(int32_t, int32_t, Unknown**) override { return E_FAIL; }
  HResult FindNextDevice(int32_t*, int32_t, DeviceInfo* info) override {
    *info = DeviceInfo{};
    return S_OK;
  }
  static HResult Create(const Guid& iid, void** out) {
    auto* e = new StuckEnumerator;
    const HResult hr = e->QueryInterface(iid, out);
    e->Release();
    return hr;
  }
};

TEST_F(Catalogues, AnEnumeratorWhoseCursorDoesNotMoveOnEndsTheWalk) {
  RegisterClassFactory(kClsidDeviceEnumerator, &StuckEnumerator::Create);
  CaptureSourceCatalogue sources;
  EXPECT_EQ(sources.Refresh(), 1);
  EXPECT_EQ(sources.Count(), 0);
  RegisterVirtualStudio();
}

struct FoldCase {
  const char* A;
  const char* B;
  bool Equal;
};

class EqualsIgnoringCaseTest : public ::testing::TestWithParam<FoldCase> {};

TEST_P(EqualsIgnoringCaseTest, ComparesLettersOfAnyScript) {
  const FoldCase& c = GetParam();
  EXPECT_EQ(EqualsIgnoringCase(c.A, c.B), c.Equal) << c.A << " / " << c.B;
}

INSTANTIATE_TEST_SUITE_P(Letters, EqualsIgnoringCaseTest,
                         ::testing::Values(FoldCase{"Studio A", "sTUDIO a", true},
                                           FoldCase{"Ümlaut Ärger", "ümlaut ärger", true},
                                           FoldCase{"ΣΟΦΙΑ", "σοφια", true},
                                           FoldCase{"Москва", "МОСКВА", true},
                                           FoldCase{"Straße", "STRASSE", false},
                                           FoldCase{"abc", "abcd", false},
                                           FoldCase{"", "", true},
                                           FoldCase{"Å", "å", true},
                                           FoldCase{"a\xff", "A\xff", true},
                                           FoldCase{"a\xff", "a\xfe", false}));

}  // namespace
}  // namespace quellvox
