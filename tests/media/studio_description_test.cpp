// Descriptions of the virtual studio: the default, files, and refusals.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "studio_fixture.h"
#include "tests/support/status_assert.h"

namespace quellvox::testing_studio {
namespace {

class StudioDescription : public StudioFixture {
 protected:
  int32_t CountDevices(int32_t kind) {
    ComPtr<IZRDeviceEnumerator> en;
    EXPECT_EQ(CreateInstance(kClsidDeviceEnumerator, en), S_OK);
    int32_t cursor = 0, n = 0;
    DeviceInfo info;
    while (en->FindNextDevice(&cursor, kind, &info) == S_OK) ++n;
    return n;
  }
  int32_t CountEngines() {
    ComPtr<IZRTitleEngineList> list;
    EXPECT_EQ(CreateInstance(kClsidTitleEngineList, list), S_OK);
    int32_t count = -1;
    list->GetEngineCount(&count);
    return count;
  }
  std::string Refusal(const std::string& json) {
    const Status refused = st::LoadDescriptionText(json);
    EXPECT_FALSE(refused.IsOk()) << json;
    EXPECT_EQ(CountDevices(kDeviceKindPrimary), 0);
    EXPECT_EQ(CountEngines(), 0);
    return refused.Message();
  }
};

TEST_F(StudioDescription, DefaultHasThePrimaryAndSecondaryCapturesTheAuxiliaryAndTwoEngines) {
  st::LoadDefaultDescription();
  EXPECT_EQ(CountDevices(kDeviceKindPrimary), 1);
  EXPECT_EQ(CountDevices(kDeviceKindSecondary), 1);
  EXPECT_EQ(CountDevices(kDeviceKindAuxiliary), 1);
  EXPECT_EQ(CountEngines(), 2);
  auto audio = Audio(0, kDeviceKindPrimary);
  AudioFormat af;
  ASSERT_EQ(audio->GetAudioFormat(&af), S_OK);
  EXPECT_EQ(af.SampleRate, 48000);
  EXPECT_EQ(af.Channels, 8);
  EXPECT_EQ(af.Rate, 25.0);
  auto second = Video(1, kDeviceKindSecondary);
  VideoFormat vf;
  ASSERT_EQ(second->GetVideoFormat(&vf), S_OK);
  EXPECT_EQ(vf.Rate, 50.0);
  EXPECT_EQ(vf.Width, 1920);
  EXPECT_EQ(vf.Height, 1080);
  EXPECT_LT(vf.FieldPhase2, 0.001);
}

TEST_F(StudioDescription, DefaultVoiceOverPairsCarrySpeechWithPausesAndTheFloorNeverStops) {
  st::LoadDefaultDescription();
  // Mean level per second of pair 1 (floor) and pair 2 (voice) over 30 s.
  int silentVoiceSeconds = 0, silentFloorSeconds = 0;
  for (int64_t second = 0; second < 30; ++second) {
    double floor = 0, voice = 0;
    for (int64_t f = 0; f < 25; ++f) {
      const auto block = st::ExpectedCaptureAudio(0, 1'000'000 + second * 25 + f);
      for (size_t i = 0; i < block.size(); i += 8) {
        floor += std::abs(block[i]);
        voice += std::abs(block[i + 2]);
      }
    }
    silentFloorSeconds += floor < 1.0;
    silentVoiceSeconds += voice < 1.0;
  }
  EXPECT_EQ(silentFloorSeconds, 0);
  EXPECT_GE(silentVoiceSeconds, 3);
  EXPECT_LE(silentVoiceSeconds, 20);
}

TEST_F(StudioDescription, UnknownKeysAreRefused) {
  const std::string error = Refusal(R"({"devices": [{"kind": 2, "widht": 1920}]})");
  EXPECT_NE(error.find("devices[0].widht"), std::string::npos) << error;
}

TEST_F(StudioDescription, ImpossibleFormatsAreRefused) {
  EXPECT_NE(Refusal(R"({"devices": [{"rate": 0}]})").find("rate"), std::string::npos);
  EXPECT_NE(Refusal(R"({"devices": [{"channels": 0}]})").find("channels"), std::string::npos);
  EXPECT_NE(Refusal(R"({"devices": [{"channels": 5}]})").find("channels"), std::string::npos);
  EXPECT_NE(Refusal(R"({"devices": [{"rate": 23.5}]})").find("rate"), std::string::npos);
  EXPECT_NE(Refusal(R"({"engines": [{"height": 1081}]})").find("height"), std::string::npos);
  EXPECT_NE(Refusal(R"({"devices": [{"kind": 3}]})").find("kind"), std::string::npos);
  EXPECT_NE(Refusal(R"({"devices": [{"channels": 2, "audio": [{}, {}]}]})").find("audio"), std::string::npos);
}

TEST_F(StudioDescription, TextThatIsNotJsonIsRefused) {
  EXPECT_NE(Refusal("{\"devices\": [").find("JSON"), std::string::npos);
}

TEST_F(StudioDescription, AMissingAudioFileIsRefusedNamingTheFile) {
  const std::string error =
      Refusal(R"({"devices": [{"channels": 2, "audio": [{"source": "file", "path": "/nonexistent/x.wav"}]}]})");
  EXPECT_NE(error.find("/nonexistent/x.wav"), std::string::npos) << error;
}

TEST_F(StudioDescription, NumberedRatesAndNtscRatesAreExact) {
  Load(R"({"devices": [{"rate": "30000/1001", "channels": 2}, {"rate": 59.94, "channels": 2}]})");
  VideoFormat a, b;
  Video(0, kDeviceKindPrimary)->GetVideoFormat(&a);
  Video(1, kDeviceKindPrimary)->GetVideoFormat(&b);
  EXPECT_DOUBLE_EQ(a.Rate, 30000.0 / 1001.0);
  EXPECT_DOUBLE_EQ(b.Rate, 60000.0 / 1001.0);
}

// A bad file named by the environment: one message on standard error that
// names the file and the problem, then no devices and no engines.
TEST(StudioDescriptionFile, ABadFileGivesOneMessageAndAnEmptyStudio) {
  const std::string path = (std::filesystem::temp_directory_path() /
                            ("quellvox-bad-studio-" + std::to_string(::getpid()) + ".json"))
                               .string();
  std::ofstream(path) << R"({"devices": [{"kind": 2, "rate": -25}]})";
  setenv("QUELLVOX_STUDIO", path.c_str(), 1);
  RegisterVirtualStudio();
  ShutdownVirtualStudio();  // the next component loads from the environment
  ::testing::internal::CaptureStderr();
  ComPtr<IZRDeviceEnumerator> en;
  ASSERT_EQ(CreateInstance(kClsidDeviceEnumerator, en), S_OK);
  ComPtr<IZRTitleEngineList> list;
  ASSERT_EQ(CreateInstance(kClsidTitleEngineList, list), S_OK);
  const std::string err = ::testing::internal::GetCapturedStderr();
  unsetenv("QUELLVOX_STUDIO");
  EXPECT_NE(err.find(path), std::string::npos) << err;
  EXPECT_NE(err.find("devices[0].rate"), std::string::npos) << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  int32_t cursor = 0;
  DeviceInfo info;
  EXPECT_NE(en->FindNextDevice(&cursor, kDeviceKindPrimary, &info), S_OK);
  int32_t count = -1;
  list->GetEngineCount(&count);
  EXPECT_EQ(count, 0);
  en = nullptr;
  list = nullptr;
  st::LoadDefaultDescription();
  std::filesystem::remove(path);
}

TEST(StudioDescriptionFile, AFileDescriptionIsLoadedWithFilesRelativeToIt) {
  const auto dir = std::filesystem::temp_directory_path() / ("quellvox-studio-desc-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "studio.json") << R"({"devices": [{"name": "From File", "channels": 2}]})";
  ASSERT_TRUE(test_support::IsOk(st::LoadDescriptionFile((dir / "studio.json").string())));
  const Status missing = st::LoadDescriptionFile((dir / "missing.json").string());
  EXPECT_FALSE(missing.IsOk());
  EXPECT_FALSE(missing.Message().empty());
  std::filesystem::remove_all(dir);
  st::LoadDefaultDescription();
}

}  // namespace
}  // namespace quellvox::testing_studio

namespace quellvox::testing_studio {
namespace {

TEST_F(StudioDescription, APreallocatingEngineLendsEveryBufferOfItsDepthAndThenRefuses) {
  Load(R"({"devices": [], "engines": [{"name": "Ready", "width": 192, "height": 64, "rate": 25,
           "preallocate": true}]})");
  auto target = AttachTarget(0);
  auto layer = MakeLayer(target, -1000, 3);
  ASSERT_TRUE(layer.Video);
  const int32_t bytes = 192 * 64 * 2;
  layer.Video->SetPosition(1, 1, 1000);  // every frame stays queued, none is late
  for (int32_t f = 0; f < 3; ++f) {
    uint8_t* buffer = nullptr;
    int32_t size = bytes;
    ASSERT_EQ(layer.Video->GetBuffer(bytes, bytes, &buffer, &size, 0), S_OK);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(buffer[bytes - 1], 0) << "a prepared buffer is paged in and clear";
    FrameDescriptor d{2, f, 192, 64, bytes};
    ASSERT_EQ(layer.Video->SubmitBuffer(0, bytes, &d), S_OK);
  }
  uint8_t* buffer = nullptr;
  int32_t size = bytes;
  EXPECT_NE(layer.Video->GetBuffer(bytes, bytes, &buffer, &size, 0), S_OK);
}

}  // namespace
}  // namespace quellvox::testing_studio
