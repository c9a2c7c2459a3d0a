// Hostile descriptions and files: every one is refused with a message that
// names the problem, and none crashes, hangs or sizes memory from an
// unchecked value.
#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <fstream>

#include "platform/media/audio_generators.h"
#include "studio_fixture.h"

namespace quellvox::testing_studio {
namespace {

class StudioBadInput : public StudioFixture {
 protected:
  void SetUp() override {
    StudioFixture::SetUp();
    dir_ = std::filesystem::temp_directory_path() / ("quellvox-bad-input-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    std::filesystem::remove_all(dir_);
    st::LoadDefaultDescription();
    StudioFixture::TearDown();
  }
  std::string Refusal(const std::string& json) {
    const Status refused = st::LoadDescriptionText(json);
    EXPECT_FALSE(refused.IsOk()) << json;
    return refused.Message();
  }
  std::string FileRefusal(const std::string& path) {
    const Status refused = st::LoadDescriptionFile(path);
    EXPECT_FALSE(refused.IsOk()) << path;
    return refused.Message();
  }
  // A stereo float WAV of `frames` sample frames.
  std::string WriteWav(const std::string& name, int64_t frames) {
    const std::string path = (dir_ / name).string();
    SF_INFO info{};
    info.samplerate = 48000;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    EXPECT_NE(f, nullptr);
    const std::vector<float> samples(static_cast<size_t>(2 * frames), 0.25f);
    sf_writef_float(f, samples.data(), frames);
    sf_close(f);
    return path;
  }

  std::filesystem::path dir_;
};

TEST_F(StudioBadInput, IntegersBeyondTheirRangeAreRefusedNamingTheKeyNeverWrapped) {
  const struct {
    const char* Json;
    const char* Key;
  } cases[] = {
      {R"({"devices": [{"channels": 2, "audio": [{"source": "file", "path": "/x.wav",
          "fileChannels": [4294967296, 4294967297]}]}]})",
       "devices[0].audio[0].fileChannels[0]"},
      {R"({"devices": [{"channels": 2, "audio": [{"source": "file", "path": "/x.wav",
          "fileChannels": [0, -1]}]}]})",
       "fileChannels[1]"},
      {R"({"devices": [{"width": 4294969216}]})", "devices[0].width"},
      {R"({"devices": [{"startPosition": 18446744073709551615}]})", "devices[0].startPosition"},
      {R"({"devices": [{"audio": [{"source": "speech", "seed": 18446744073709551615}]}]})", "audio[0].seed"},
      {R"({"engines": [{"reports": {"stereoLines": 4294967298}}]})", "engines[0].reports.stereoLines"},
      {R"({"faults": [{"operation": "ReadFrame", "code": 18446744073709551611}]})", "faults[0].code"},
      {R"({"faults": [{"operation": "ReadFrame", "code": "-5"}]})", "faults[0].code"},
      {R"({"faults": [{"operation": "ReadFrame", "mode": "every", "every": 18446744073709551615}]})",
       "faults[0].every"},
  };
  for (const auto& c : cases) {
    const std::string error = Refusal(c.Json);
    EXPECT_NE(error.find(c.Key), std::string::npos) << c.Json << "\n" << error;
  }
}

// Both forms of a rate keep to one rule: from 1000/1001 to 1000 frames/s,
// and a text is digits, a "/" and digits, nothing else.
TEST_F(StudioBadInput, RatesAsNumbersAndAsTextsHaveTheSameBounds) {
  for (const char* rate : {R"("1/1000000")", R"("1/2")", R"("999/1000")", R"("1001/1")", R"(" 25/1")", R"("+25/1")",
                           R"("25/1 ")", R"("25 /1")", R"("25/0")", R"("25")", R"("/25")", "0.5", "1000.5"}) {
    const std::string error = Refusal(std::string(R"({"devices": [{"channels": 2, "rate": )") + rate + "}]}");
    EXPECT_NE(error.find("devices[0].rate"), std::string::npos) << rate << ": " << error;
  }
  Load(R"({"devices": [{"channels": 2, "rate": "1000/1001"}, {"channels": 2, "rate": "1000/1"},
                       {"channels": 2, "rate": 0.999}]})");
  VideoFormat slowest, fastest, slowestNumber;
  Video(0, kDeviceKindPrimary)->GetVideoFormat(&slowest);
  Video(1, kDeviceKindPrimary)->GetVideoFormat(&fastest);
  Video(2, kDeviceKindPrimary)->GetVideoFormat(&slowestNumber);
  EXPECT_DOUBLE_EQ(slowest.Rate, 1000.0 / 1001.0);
  EXPECT_DOUBLE_EQ(fastest.Rate, 1000.0);
  EXPECT_DOUBLE_EQ(slowestNumber.Rate, 1000.0 / 1001.0);
}

// A fifo deeper than an engine can hold is refused with a result code, as
// a real engine refuses it; the caller's stored delay never sizes memory
// unchecked.
TEST_F(StudioBadInput, AFifoBeyondWhatAnEngineHoldsIsRefusedWithACode) {
  Load(R"({"engines": [{"name": "Slow", "width": 192, "height": 16, "rate": "1000/1001", "sampleRate": 192000}]})");
  auto target = AttachTarget(0);
  auto layer = MakeLayer(target, 1);
  ASSERT_TRUE(layer.Audio);
  EXPECT_EQ(layer.Audio->CreateFifo(0, INT32_MAX), E_OUTOFMEMORY);
  EXPECT_EQ(layer.Audio->CreateFifo(1, 25), S_OK);
}

// A layer's buffers made ready up front, and an engine's recording, are
// sized from the description: what could not be held is refused, by the
// layer with a code and by the description with a message.
TEST_F(StudioBadInput, BuffersAndRecordingsBeyondWhatAnEngineHoldsAreRefused) {
  Load(R"({"engines": [{"name": "Big", "width": 8192, "height": 8192, "preallocate": true}]})");
  auto target = AttachTarget(0);
  ComPtr<Unknown> object;
  ComStringHolder name(ComStringFromUtf8("Relay"));
  EXPECT_EQ(target.Regions->CreateLayer(name.Get(), 1, 0, 1000, object.Put()), E_OUTOFMEMORY);
  EXPECT_FALSE(object);
  target = {};
  const std::string error = Refusal(R"({"engines": [{"record": true, "sampleRate": 192000, "stereoLines": 16}],
                                       "recording": {"maxSeconds": 86400}})");
  EXPECT_NE(error.find("engines[0].record"), std::string::npos) << error;
  EXPECT_NE(error.find("maxSeconds"), std::string::npos) << error;
}

// Only regular files are read: a FIFO without a writer would block the
// open, /dev/zero never ends, a folder is no description.
TEST_F(StudioBadInput, ADescriptionThatIsNoRegularFileOrTooLargeIsRefusedAtOnce) {
  const std::string fifo = (dir_ / "fifo").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_NE(FileRefusal(fifo).find("not a regular file"), std::string::npos);
  EXPECT_NE(FileRefusal("/dev/zero").find("not a regular file"), std::string::npos);
  EXPECT_NE(FileRefusal(dir_.string()).find("is a folder"), std::string::npos);
  const std::string large = (dir_ / "large.json").string();
  std::ofstream(large) << "{}" << std::string(1 << 20, ' ');
  EXPECT_NE(FileRefusal(large).find("larger than"), std::string::npos);
}

// The same through the environment, as the program loads it: one message
// naming the file and the reason, then an empty studio.
TEST_F(StudioBadInput, QuellvoxStudioNamingAFifoAFolderOrADeviceGivesOneMessage) {
  const std::string fifo = (dir_ / "fifo").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path : {fifo, dir_.string(), std::string("/dev/zero")}) {
    setenv("QUELLVOX_STUDIO", path.c_str(), 1);
    ShutdownVirtualStudio();  // the next component loads from the environment
    RegisterVirtualStudio();
    ::testing::internal::CaptureStderr();
    ComPtr<IZRTitleEngineList> list;
    ASSERT_EQ(CreateInstance(kClsidTitleEngineList, list), S_OK);
    const std::string err = ::testing::internal::GetCapturedStderr();
    unsetenv("QUELLVOX_STUDIO");
    EXPECT_NE(err.find("\"" + path + "\""), std::string::npos) << err;
    EXPECT_TRUE(err.find("not a regular file") != std::string::npos || err.find("is a folder") != std::string::npos)
        << err;
    EXPECT_EQ(err.find("JSON"), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    int32_t count = -1;
    list->GetEngineCount(&count);
    EXPECT_EQ(count, 0);
  }
}

TEST_F(StudioBadInput, AFileSourceNamingAFifoOrADeviceIsRefusedWithoutWaiting) {
  const std::string fifo = (dir_ / "voice.au").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path : {fifo, std::string("/dev/zero")}) {
    const std::string error = Refusal(R"({"devices": [{"channels": 2, "audio": [{"source": "file", "path": ")" +
                                      path + R"("}]}]})");
    EXPECT_NE(error.find("devices[0].audio[0].path"), std::string::npos) << error;
    EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
  }
}

// What the file sources may hold is capped; a file that holds more is
// refused, whatever length its header declares, and a file within the cap
// loads whole.
TEST_F(StudioBadInput, AFileSourceLoadsUpToTheCapAndNoFurther) {
  const std::string wav = WriteWav("voice.wav", 1000);
  std::string error;
  auto whole = studio::LoadAudioFile(wav, 2000, error);
  ASSERT_TRUE(whole) << error;
  EXPECT_EQ(whole->Frames, 1000);
  EXPECT_EQ(whole->Samples.size(), 2000u);
  EXPECT_FALSE(studio::LoadAudioFile(wav, 1999, error));
  EXPECT_NE(error.find("more than the 1999 samples"), std::string::npos) << error;

  // An AU file whose header leaves the data size open ("unknown"), as a
  // stream writes it: read piece by piece, capped as any other.
  const std::string au = (dir_ / "open.au").string();
  {
    std::ofstream out(au, std::ios::binary);
    const unsigned char header[24] = {'.', 's', 'n', 'd', 0, 0, 0, 24, 0xFF, 0xFF, 0xFF, 0xFF,
                                      0,   0,   0,   6,   0, 0, 0xBB, 0x80, 0, 0, 0, 2};
    out.write(reinterpret_cast<const char*>(header), sizeof header);
    out << std::string(8 * 500, '\0');  // 500 stereo frames of 32-bit float zero
  }
  auto open = studio::LoadAudioFile(au, 1000, error);
  ASSERT_TRUE(open) << error;
  EXPECT_EQ(open->Frames, 500);
  EXPECT_FALSE(studio::LoadAudioFile(au, 999, error));
}

}  // namespace
}  // namespace quellvox::testing_studio
