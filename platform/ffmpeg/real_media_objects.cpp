// The component objects of the real-media provider: a device enumerator
// and a title target that play the described inputs and outputs and hand
// every other device and engine to the factories they were registered in
// front of; capture objects on an input's feed; layers on an output engine.
#include <bit>
#include <cstring>

#include "platform/com/com_object.h"
#include "platform/media_api/formats.h"
#include "platform/ffmpeg/provider.h"

namespace quellvox::realmedia {

namespace {


// ---------------------------------------------------------------------------
// Capture

class RealCapture final : public ComObject<IZRCaptureVideoEx, IZRCaptureAudio> {
 public:
  RealCapture(std::shared_ptr<Provider> provider, std::shared_ptr<InputFeed> feed, const DeviceEntry& device)
      : provider_(std::move(provider)), feed_(std::move(feed)), picture_(device.Picture) {}

  HResult ReadFrame(uint8_t* buffer, int32_t size, int32_t linePitch, int64_t* position, int32_t*,
                    int32_t mode) override {
    return Read(buffer, size, linePitch, position, mode, 0, 1);
  }
  HResult ReadField(uint8_t* buffer, int32_t size, int32_t linePitch, int64_t* position, int32_t*, int32_t mode,
                    int32_t firstLineField) override {
    return Read(buffer, size, linePitch, position, mode, firstLineField ? 0 : 1, 2);
  }

  HResult GetStartPosition(int64_t* position, int64_t* time100ns) override {
    if (!position || !time100ns) return E_POINTER;
    const int64_t newest = feed_->Newest();
    *position = newest;
    *time100ns = feed_->PositionTime(newest);
    return S_OK;
  }

  HResult GetVideoFormat(VideoFormat* format) override {
    if (!format) return E_POINTER;
    *format = PictureFormat(picture_.Width, picture_.Height, picture_.Rate.Value(), picture_.Interlaced,
                            picture_.FieldOrder);
    return S_OK;
  }

  HResult GetPosition(uint32_t* word1, uint32_t* word2, int64_t* position, uint32_t* word3) override {
    if (!position) return E_POINTER;
    ClearWords(word1, word2, word3);
    *position = feed_->Newest();
    return S_OK;
  }

  HResult ReadAudio(void* buffer, int32_t capacity, int64_t* position, int32_t* byteCount, int32_t mode,
                    uint32_t channelMask) override {
    if (!buffer || !position || !byteCount) return E_POINTER;
    if (mode != 2) return E_INVALIDARG;
    const uint32_t mask = picture_.Channels >= 32 ? channelMask : channelMask & ((1u << picture_.Channels) - 1u);
    if (mask == 0) return E_INVALIDARG;
    return feed_->ReadAudio(position, mask, static_cast<float*>(buffer), capacity, byteCount);
  }

  HResult GetAudioFormat(AudioFormat* format) override {
    if (!format) return E_POINTER;
    *format = SoundFormat(picture_.SampleRate, picture_.Channels, picture_.Rate.Value());
    return S_OK;
  }

 private:
  HResult Read(uint8_t* buffer, int32_t size, int32_t pitch, int64_t* position, int32_t mode, int32_t firstLine,
               int32_t lineStep) {
    if (!buffer || !position) return E_POINTER;
    if (mode != 2) return E_INVALIDARG;
    const int64_t lines = (picture_.Height - firstLine + lineStep - 1) / lineStep;
    const int64_t rowBytes = static_cast<int64_t>(picture_.Width) * 2;
    if (pitch < rowBytes || size < 0 || (lines - 1) * pitch + rowBytes > size) {
      return static_cast<HResult>(0x8007007Au);  // the caller's buffer is too small
    }
    return feed_->ReadPicture(position, buffer, pitch, firstLine, lineStep);
  }

  std::shared_ptr<Provider> provider_;
  std::shared_ptr<InputFeed> feed_;
  MediaPicture picture_;
};

class DeviceEnumerator final : public ComObject<IZRDeviceEnumerator> {
 public:
  DeviceEnumerator(std::shared_ptr<Provider> provider, ComPtr<IZRDeviceEnumerator> inner)
      : provider_(std::move(provider)), inner_(std::move(inner)) {}

  HResult CreateDevice(int32_t deviceIndex, int32_t kind, Unknown** object) override {
    const DeviceEntry* d = provider_->Device(deviceIndex);
    if (!d || !d->Played()) return inner_->CreateDevice(deviceIndex, kind, object);
    if (!object) return E_POINTER;
    *object = nullptr;
    if (!d->Input) {
      SetErrorDescription("capture \"" + d->Name + "\": " + d->Problem);  // its line was written when loaded
      return E_INVALIDARG;
    }
    if (d->Kind != kind) return E_INVALIDARG;
    std::shared_ptr<InputFeed> feed;
    if (const HResult hr = provider_->Feed(deviceIndex, feed); hr != S_OK) return hr;
    *object = static_cast<IZRCaptureVideoEx*>(new RealCapture(provider_, std::move(feed), *d));
    return S_OK;
  }

  // The list is the description's, as the studio enumerates it.
  HResult FindNextDevice(int32_t* cursor, int32_t kind, DeviceInfo* info) override {
    return inner_->FindNextDevice(cursor, kind, info);
  }

 private:
  std::shared_ptr<Provider> provider_;
  ComPtr<IZRDeviceEnumerator> inner_;
};

// ---------------------------------------------------------------------------
// Engines

class RealLayer final : public ComObject<IZRLayer, IZRLayerAudio, IZRLayerVideo> {
 public:
  RealLayer(std::shared_ptr<OutputEngine> engine, OutputEngine::Layer* layer)
      : engine_(std::move(engine)), layer_(layer) {}
  ~RealLayer() override { engine_->ReleaseLayer(layer_); }

  HResult SetProperty(int32_t property, const uint32_t* zeroWord, const LayerVisibilityBlock* block) override {
    if (!zeroWord || !block) return E_POINTER;
    if (property != kLayerPropertyVisibility) return E_INVALIDARG;
    return engine_->SetShown(layer_, block->Shown());
  }
  HResult CreateFifo(int32_t fifo, int32_t depthFrames) override {
    return engine_->CreateFifo(layer_, fifo, depthFrames);
  }
  HResult InitFifo(int32_t fifo, int32_t startPosition) override {
    return engine_->InitFifo(layer_, fifo, startPosition);
  }
  HResult WriteFifo(int32_t fifo, int32_t byteCount, const float* data, uint32_t* outCount, int32_t) override {
    return engine_->WriteFifo(layer_, fifo, byteCount, data, outCount);
  }
  HResult SetMute(int32_t fifo, int32_t mute) override {
    if (mute != 0 && mute != 1) return E_INVALIDARG;
    return engine_->SetMute(layer_, fifo, mute == 1);
  }
  HResult SetVolume(int32_t fifo, double gain) override { return engine_->SetVolume(layer_, fifo, gain); }
  HResult GetAudioInfo(int32_t* stereoLines) override {
    if (!stereoLines) return E_POINTER;
    *stereoLines = engine_->Picture().StereoLines;
    return S_OK;
  }
  HResult GetStatus(LayerStatus* status) override { return engine_->GetStatus(layer_, status); }
  HResult SetPosition(int32_t one, int32_t one2, int32_t position) override {
    if (one != 1 || one2 != 1) return E_INVALIDARG;
    return engine_->SetPosition(layer_, position);
  }
  HResult GetBuffer(int32_t size, int32_t, uint8_t** address, int32_t* inOutSize, int32_t) override {
    return engine_->GetBuffer(layer_, size, address, inOutSize);
  }
  HResult SubmitBuffer(int32_t, int32_t size, const FrameDescriptor* descriptor) override {
    return engine_->SubmitBuffer(layer_, size, descriptor);
  }
  HResult FrameDone(int32_t, int32_t) override { return engine_->FrameDone(layer_); }

 private:
  std::shared_ptr<OutputEngine> engine_;
  OutputEngine::Layer* layer_;
};

// A title target: before Attach it is nobody's; attached to an engine with
// an output it plays it, otherwise every call goes to the inner target.
class TitleTarget final : public ComObject<IZRTitleEngine, IZRTitleRegions, IZRTitleClock> {
 public:
  TitleTarget(std::shared_ptr<Provider> provider, ComPtr<IZRTitleEngine> inner)
      : provider_(std::move(provider)), inner_(std::move(inner)) {}

  // Set-up thread, once, before the other calls.
  HResult Attach(const Guid* listClassId, int32_t engineIndex) override {
    if (engine_ || innerRegions_) return E_UNEXPECTED;
    const EngineEntry* e = provider_->Engine(engineIndex);
    if (e && e->Played()) {
      if (!listClassId) return E_POINTER;
      if (!(*listClassId == kClsidTitleEngineList)) return E_INVALIDARG;
      if (!provider_->Output(engineIndex)) {  // a bad output, reported when loaded
        SetErrorDescription("engine \"" + e->Name + "\": " + e->Problem);
        return E_INVALIDARG;
      }
      if (const HResult hr = provider_->CheckOutput(engineIndex); hr != S_OK) return hr;
      engine_ = provider_->Output(engineIndex);
      return S_OK;
    }
    const HResult hr = inner_->Attach(listClassId, engineIndex);
    if (hr < 0) return hr;
    if (inner_.As(innerRegions_) < 0 || inner_.As(innerClock_) < 0) return E_NOINTERFACE;
    return hr;
  }

  HResult GetFrameRate(VideoFormat* format) override {
    if (!engine_) return inner_->GetFrameRate(format);
    if (!format) return E_POINTER;
    const MediaPicture& p = engine_->Picture();
    *format = PictureFormat(p.Width, p.Height, p.Rate.Value(), p.Interlaced, p.FieldOrder);
    return S_OK;
  }

  HResult GetRegionSize(int32_t* width, int32_t* height, int32_t* notRead1, int32_t* notRead2,
                        int32_t* notRead3) override {
    if (!engine_) {
      return innerRegions_ ? innerRegions_->GetRegionSize(width, height, notRead1, notRead2, notRead3) : E_UNEXPECTED;
    }
    if (!width || !height) return E_POINTER;
    *width = engine_->Picture().Width;
    *height = engine_->Picture().Height;
    if (notRead1) *notRead1 = 0;
    if (notRead2) *notRead2 = 0;
    if (notRead3) *notRead3 = 0;
    return S_OK;
  }

  HResult CreateLayer(const char16_t* name, int32_t layerNumber, int32_t zero, int32_t depthFrames,
                      Unknown** layer) override {
    if (!engine_) {
      return innerRegions_ ? innerRegions_->CreateLayer(name, layerNumber, zero, depthFrames, layer) : E_UNEXPECTED;
    }
    if (!layer) return E_POINTER;
    *layer = nullptr;
    OutputEngine::Layer* state = nullptr;
    const HResult hr = engine_->CreateLayer(ComStringToUtf8(name), layerNumber, depthFrames, state);
    if (hr != S_OK) return hr;
    *layer = static_cast<IZRLayer*>(new RealLayer(engine_, state));
    return S_OK;
  }

  HResult GetClock(int64_t* position, uint32_t* word1, int64_t* time100ns, uint32_t* word2) override {
    if (!engine_) return innerClock_ ? innerClock_->GetClock(position, word1, time100ns, word2) : E_UNEXPECTED;
    if (!position || !time100ns) return E_POINTER;
    const int64_t p = engine_->OutputPositionAt(NowTicks());
    *position = p;
    *time100ns = engine_->PositionTime(p);
    ClearWords(word1, word2);
    return S_OK;
  }

 private:
  std::shared_ptr<Provider> provider_;
  ComPtr<IZRTitleEngine> inner_;
  ComPtr<IZRTitleRegions> innerRegions_;
  ComPtr<IZRTitleClock> innerClock_;
  std::shared_ptr<OutputEngine> engine_;
};

}  // namespace

HResult CreateDeviceEnumerator(const Guid& iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!gInnerDeviceEnumerator) return REGDB_E_CLASSNOTREG;
  ComPtr<IZRDeviceEnumerator> inner;
  if (const HResult hr = gInnerDeviceEnumerator(IZRDeviceEnumerator::kIid, inner.PutVoid()); hr < 0) return hr;
  return HandOut(new DeviceEnumerator(CurrentProvider(), std::move(inner)), iid, out);
}

HResult CreateTitleTarget(const Guid& iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!gInnerTitleTarget) return REGDB_E_CLASSNOTREG;
  ComPtr<IZRTitleEngine> inner;
  if (const HResult hr = gInnerTitleTarget(IZRTitleEngine::kIid, inner.PutVoid()); hr < 0) return hr;
  return HandOut(new TitleTarget(CurrentProvider(), std::move(inner)), iid, out);
}

}  // namespace quellvox::realmedia
