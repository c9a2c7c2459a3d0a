#include "platform/ffmpeg/real_media.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/com/current_object.h"
#include "platform/ffmpeg/local_files.h"
#include "platform/ffmpeg/provider.h"
#include "platform/ffmpeg/real_media_test_api.h"

extern "C" {
#include <libavdevice/avdevice.h>
}

namespace quellvox {

namespace realmedia {

ClassFactoryFn gInnerDeviceEnumerator = nullptr;
ClassFactoryFn gInnerTitleTarget = nullptr;

Provider::Provider(MediaDescription desc) : desc_(std::move(desc)) {
  for (size_t i = 0; i < desc_.Devices.size(); ++i) counters_.push_back(std::make_shared<InputCounters>());
  feeds_.resize(desc_.Devices.size());
  for (const EngineEntry& e : desc_.Engines) {
    outputs_.push_back(e.Output ? std::make_shared<OutputEngine>(e.Name, *e.Output, e.Picture) : nullptr);
  }
}

HResult Provider::Feed(int32_t i, std::shared_ptr<InputFeed>& out) {
  const DeviceEntry* d = Device(i);
  if (!d || !d->Input) return E_INVALIDARG;
  std::lock_guard lock(feedMu_);
  out = feeds_[static_cast<size_t>(i)].lock();
  if (out) return S_OK;
  auto feed = std::make_shared<InputFeed>(d->Name, *d->Input, d->Picture, counters_[static_cast<size_t>(i)]);
  const HResult hr = feed->Start();
  if (hr != S_OK) return hr;
  feeds_[static_cast<size_t>(i)] = feed;
  out = std::move(feed);
  return S_OK;
}

HResult Provider::CheckOutput(int32_t i) {
  const EngineEntry* e = Engine(i);
  if (!e || !e->Output) return E_INVALIDARG;
  const std::string& url = e->Output->Url;
  auto refuse = [&](const std::string& why) {
    const std::string line = "engine \"" + e->Name + "\": output \"" + url + "\" " + why;
    ReportLine("Real media: " + line);
    SetErrorDescription(line);
    return E_INVALIDARG;
  };
  if (const std::string file = OutputFile(url); !file.empty()) {
    for (const DeviceEntry& d : desc_.Devices) {
      if (!d.Input) continue;
      std::vector<std::string> files;
      (void)InputFiles(*d.Input, files);  // a bad input has its own message
      for (const std::string& f : files) {
        if (SameExistingFile(file, f)) return refuse("is the input of capture \"" + d.Name + "\"; it is not overwritten");
      }
    }
  }
  for (size_t j = 0; j < desc_.Engines.size(); ++j) {
    const EngineEntry& other = desc_.Engines[j];
    if (static_cast<int32_t>(j) == i || !other.Output || !outputs_[j] || !SameOutput(url, other.Output->Url)) continue;
    if (outputs_[j]->Active()) return refuse("is written by engine \"" + other.Name + "\" already");
  }
  return S_OK;
}

std::shared_ptr<InputFeed> Provider::RunningFeed(int32_t i) {
  std::lock_guard lock(feedMu_);
  return i >= 0 && i < static_cast<int32_t>(feeds_.size()) ? feeds_[static_cast<size_t>(i)].lock() : nullptr;
}

namespace {

CurrentObject<Provider>& Current() {
  static CurrentObject<Provider> current;
  return current;
}

std::shared_ptr<Provider> Load(std::string_view text, const std::string& source, const std::string& baseDir,
                               std::string* problemsOut) {
  std::vector<std::string> problems;
  MediaDescription desc = ReadMediaDescription(text, source, baseDir, problems);
  std::string joined;
  for (const std::string& p : problems) {
    ReportLine(p);
    joined += p + "\n";
  }
  if (problemsOut) *problemsOut = joined;
  return std::make_shared<Provider>(std::move(desc));
}

std::shared_ptr<Provider> LoadFromEnvironment() {
  const char* path = std::getenv("QUELLVOX_STUDIO");
  if (!path || !*path) return std::make_shared<Provider>(MediaDescription{});
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  if (in) text << in.rdbuf();
  if (!in) return std::make_shared<Provider>(MediaDescription{});  // the studio reports the file
  return Load(text.str(), path, std::filesystem::path(path).parent_path().string(), nullptr);
}

}  // namespace

std::shared_ptr<Provider> CurrentProvider() { return Current().Get(LoadFromEnvironment); }

// The provider before ends as its last user lets go, and its outputs with it.
void ReplaceProvider(std::shared_ptr<Provider> provider) { Current().Replace(std::move(provider)); }

}  // namespace realmedia

void RegisterRealMedia() {
  static std::once_flag devices;
  std::call_once(devices, [] {
    avdevice_register_all();
    // The libraries' own chatter would mix with the traces on standard
    // error; their errors stay, and every failure has a line of our own.
    av_log_set_level(AV_LOG_ERROR);
  });
  // Hands the rest to what was registered before, never to itself.
  const ClassFactoryFn enumerator = FindClassFactory(kClsidDeviceEnumerator);
  if (enumerator != &realmedia::CreateDeviceEnumerator) realmedia::gInnerDeviceEnumerator = enumerator;
  const ClassFactoryFn target = FindClassFactory(kClsidTitleTarget);
  if (target != &realmedia::CreateTitleTarget) realmedia::gInnerTitleTarget = target;
  RegisterClassFactory(kClsidDeviceEnumerator, &realmedia::CreateDeviceEnumerator);
  RegisterClassFactory(kClsidTitleTarget, &realmedia::CreateTitleTarget);
}

void ShutdownRealMedia() { realmedia::ReplaceProvider(nullptr); }

namespace realmedia_test {

bool LoadDescriptionText(std::string_view json, const std::string& baseDir, std::string* problems) {
  auto provider = realmedia::Load(json, "test description", baseDir, problems);
  realmedia::ReplaceProvider(std::move(provider));
  return true;
}

void LoadFromEnvironment() { realmedia::ReplaceProvider(nullptr); }

InputReport GetInputReport(int32_t deviceIndex) {
  InputReport r;
  auto provider = realmedia::CurrentProvider();
  const realmedia::DeviceEntry* d = provider->Device(deviceIndex);
  if (!d) return r;
  r.Played = d->Played();
  const auto& c = *provider->Counters(deviceIndex);
  r.Open = c.Open.load();
  if (auto feed = provider->RunningFeed(deviceIndex)) r.Newest = feed->Newest();
  r.Captured = c.Captured.load();
  r.Gaps = c.Gaps.load();
  r.Dropped = c.Dropped.load();
  r.AudioFilled = c.AudioFilled.load();
  r.OpenFailures = c.OpenFailures.load();
  r.Reconnects = c.Reconnects.load();
  r.Ends = c.Ends.load();
  r.Stalls = c.Stalls.load();
  r.DecodeErrors = c.DecodeErrors.load();
  return r;
}

realmedia::OutputReport GetOutputReport(int32_t engineIndex) {
  auto provider = realmedia::CurrentProvider();
  if (!provider->Engine(engineIndex) || !provider->Output(engineIndex)) return {};
  return provider->Output(engineIndex)->Report();
}

bool WaitForOutputClosed(int32_t engineIndex, int32_t milliseconds) {
  auto provider = realmedia::CurrentProvider();
  if (!provider->Engine(engineIndex) || !provider->Output(engineIndex)) return true;
  return provider->Output(engineIndex)->WaitUntilClosed(milliseconds);
}

}  // namespace realmedia_test

}  // namespace quellvox
