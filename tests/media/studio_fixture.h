// Shared helpers of the virtual-studio tests: a small studio on the manual
// clock and short ways to the component objects.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/media_api/media_components.h"
#include "platform/media/studio_test_api.h"
#include "platform/media/virtual_studio.h"
#include "tests/support/status_assert.h"

namespace quellvox::testing_studio {

namespace st = quellvox::studio_test;

inline constexpr int32_t kW = 384;
inline constexpr int32_t kH = 216;
inline constexpr int64_t kStart = 5'000'000'000;  // capture positions far beyond 32 bits

// Device 0: kind 2, 25 frames/s, 8 channels, 2 s ring. Device 1: kind 9,
// 50 frames/s. Engine 0: 25p, 3 lines. Engine 1: 25i top first, 1 line.
inline std::string SmallStudio(const std::string& extraEngineKeys = "") {
  return R"({
  "devices": [
    {"kind": 2, "name": "Cap A", "width": 384, "height": 216, "rate": 25, "channels": 8,
     "ringSeconds": 2, "startPosition": 5000000000,
     "audio": [{"source": "floor"}, {"source": "speech", "seed": 1}, {"source": "tone", "frequency": 1000}]},
    {"kind": 9, "name": "Cap B", "width": 384, "height": 216, "rate": 50, "channels": 4,
     "ringSeconds": 2, "startPosition": 5000000000},
    {"kind": 12, "name": "Aux"}
  ],
  "engines": [
    {"name": "Eng A", "width": 384, "height": 216, "rate": 25, "stereoLines": 3, "startPosition": 700000)" +
         extraEngineKeys + R"(},
    {"name": "Eng B", "width": 384, "height": 216, "rate": 25, "interlaced": true, "fieldOrder": "top",
     "stereoLines": 1, "startPosition": 900000}
  ]
})";
}

class StudioFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    RegisterVirtualStudio();
    st::UseManualClock(0);
    live_ = st::LiveObjects();
  }
  void TearDown() override {
    st::ClearFaults();
    EXPECT_EQ(st::LiveObjects(), live_) << "a component object was not released";
  }

  void Load(const std::string& json) {
    ASSERT_TRUE(test_support::IsOk(st::LoadDescriptionText(json)));
  }

  ComPtr<IZRCaptureVideoEx> Video(int32_t device, int32_t kind) {
    ComPtr<IZRDeviceEnumerator> en;
    EXPECT_EQ(CreateInstance(kClsidDeviceEnumerator, en), S_OK);
    ComPtr<Unknown> object;
    EXPECT_EQ(en->CreateDevice(device, kind, object.Put()), S_OK);
    ComPtr<IZRCaptureVideoEx> video;
    if (object) object.As(video);
    return video;
  }
  ComPtr<IZRCaptureAudio> Audio(int32_t device, int32_t kind) {
    ComPtr<IZRCaptureAudio> audio;
    auto video = Video(device, kind);
    if (video) video.As(audio);
    return audio;
  }

  struct Target {
    ComPtr<IZRTitleEngine> Engine;
    ComPtr<IZRTitleRegions> Regions;
    ComPtr<IZRTitleClock> Clock;
  };
  Target AttachTarget(int32_t engine) {
    Target t;
    EXPECT_EQ(CreateInstance(kClsidTitleTarget, t.Engine), S_OK);
    EXPECT_EQ(t.Engine->Attach(&kClsidTitleEngineList, engine), S_OK);
    t.Engine.As(t.Regions);
    t.Engine.As(t.Clock);
    return t;
  }

  struct LayerSet {
    ComPtr<IZRLayer> Layer;
    ComPtr<IZRLayerAudio> Audio;
    ComPtr<IZRLayerVideo> Video;
  };
  LayerSet MakeLayer(const Target& t, int32_t number, int32_t depth = 8) {
    LayerSet l;
    ComPtr<Unknown> object;
    ComStringHolder name(ComStringFromUtf8("Relay"));
    EXPECT_EQ(t.Regions->CreateLayer(name.Get(), number, 0, depth, object.Put()), S_OK);
    if (object) {
      object.As(l.Layer);
      object.As(l.Audio);
      object.As(l.Video);
    }
    return l;
  }

  int64_t live_ = 0;
};

}  // namespace quellvox::testing_studio
