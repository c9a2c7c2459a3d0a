// Settings persistence tests: their own $XDG_CONFIG_HOME, the registry
// component behind a recorder, and catalogues filled from a virtual studio
// with distinct names.
#pragma once

#include <string>
#include <vector>

#include "config/catalogues.h"
#include "config/settings.h"
#include "platform/media/studio_test_api.h"
#include "platform/media/virtual_studio.h"
#include "recording_registry.h"
#include "tests/registry/registry_fixture.h"
#include "tests/support/status_assert.h"

namespace quellvox::test {

// Four capture sources (three primary, one secondary) and six title engines.
inline constexpr const char* kStudio = R"({
  "devices": [
    {"kind": 2, "name": "Cam North", "board": "Board 1"},
    {"kind": 2, "name": "Cam South", "board": "Board 1"},
    {"kind": 9, "name": "Replay", "board": "Board 2"},
    {"kind": 2, "name": "Cam West", "board": "Board 2"}
  ],
  "engines": [
    {"name": "Engine A"}, {"name": "Engine B"}, {"name": "Engine C"},
    {"name": "Engine D"}, {"name": "Engine E"}, {"name": "Engine F"}
  ]
})";

class PersistenceTest : public RegistryTest {
 protected:
  void SetUp() override {
    RegistryTest::SetUp();
    InstallRecordingRegistry();
    RegisterVirtualStudio();
    LoadStudio(kStudio);
  }

  void TearDown() override {
    RemoveRecordingRegistry();
    studio_test::LoadDefaultDescription();
    RegistryTest::TearDown();
  }

  void LoadStudio(const std::string& json) {
    ASSERT_TRUE(test_support::IsOk(studio_test::LoadDescriptionText(json)));
    engines_ = TitleEngineCatalogue();
    sources_ = CaptureSourceCatalogue();
    ASSERT_EQ(engines_.Refresh(), S_OK);
    ASSERT_EQ(sources_.Refresh(), S_OK);
  }

  // A complete record that differs from the defaults in every field.
  static DuckerSettings FullRecord() {
    DuckerSettings s;
    s.CpuPriority = 3;
    s.TitleEngineMask = 0b101001;  // positions 0, 3, 5
    s.RegionName = "Lower Third ü";
    s.ShowOnStartType = 2;
    s.CaptureSource = 2;
    s.DelayInFrames = 250;
    for (int n = 0; n < kVoiceOverLines; ++n) {
      VoiceOverLine& line = s.Lines[static_cast<size_t>(n)];
      line.Use = n % 2 == 0;
      line.From = {n % 3, n};
      line.To = {(n + 1) % 3, 8 - n};
      line.VolumeDB = n * 3 - 12;
    }
    s.UseCommon = false;
    s.CommonLine = {Right, 8};
    s.DecreaseDB = 24;
    s.NoiseLevelDB = 48;
    s.TimeoutInFrames = 99;
    return s;
  }

  TitleEngineCatalogue engines_;
  CaptureSourceCatalogue sources_;
};

// Every persisted field equal.
inline void ExpectSameRecord(const DuckerSettings& a, const DuckerSettings& b) {
  EXPECT_EQ(a.CpuPriority.Load(), b.CpuPriority.Load());
  EXPECT_EQ(a.TitleEngineMask, b.TitleEngineMask);
  EXPECT_EQ(a.RegionName, b.RegionName);
  EXPECT_EQ(a.ShowOnStartType, b.ShowOnStartType);
  EXPECT_EQ(a.CaptureSource, b.CaptureSource);
  EXPECT_EQ(a.DelayInFrames, b.DelayInFrames);
  for (size_t n = 0; n < a.Lines.size(); ++n) {
    EXPECT_EQ(a.Lines[n].Use, b.Lines[n].Use) << "row " << n + 1;
    EXPECT_EQ(a.Lines[n].From, b.Lines[n].From) << "row " << n + 1;
    EXPECT_EQ(a.Lines[n].To, b.Lines[n].To) << "row " << n + 1;
    EXPECT_EQ(a.Lines[n].VolumeDB, b.Lines[n].VolumeDB) << "row " << n + 1;
  }
  EXPECT_EQ(a.UseCommon, b.UseCommon);
  EXPECT_EQ(a.CommonLine, b.CommonLine);
  EXPECT_EQ(a.DecreaseDB, b.DecreaseDB);
  EXPECT_EQ(a.NoiseLevelDB, b.NoiseLevelDB);
  EXPECT_EQ(a.TimeoutInFrames, b.TimeoutInFrames);
}

}  // namespace quellvox::test
