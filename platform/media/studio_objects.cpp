// The component objects of the virtual studio: the device enumerator,
// capture objects, the auxiliary device, the title-engine list, title
// targets and layers. Each holds its own reference to the studio it was
// made from.
#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <tuple>

#include "platform/com/com_object.h"
#include "platform/media_api/formats.h"
#include "platform/media/studio.h"
#include "platform/media/studio_clock.h"

namespace quellvox::studio {

namespace {

// A query the description or the test API makes fail.
bool QueryFault(FaultTable& faults, const Guid& iid, Scope scope, int32_t index, HResult& code) {
  const FaultHit hit = faults.Check(Op::QueryInterface, scope, index, InterfaceIndex(iid));
  code = hit.Code;
  return hit.Fired;
}

void CopyText(char16_t* dst, size_t units, const std::string& utf8) {
  const std::u16string text = Utf8ToUtf16(utf8);
  const size_t n = std::min(text.size(), units - 1);
  std::memcpy(dst, text.data(), n * sizeof(char16_t));
  dst[n] = u'\0';
}

// ---------------------------------------------------------------------------
// Capture objects

class CaptureObject final : public ComObject<IZRCaptureVideoEx, IZRCaptureAudio> {
 public:
  CaptureObject(std::shared_ptr<Studio> studio, CaptureDevice* device)
      : studio_(std::move(studio)), device_(device), serial_(device->NewObjectSerial()) {}

  bool RefuseQuery(const Guid& iid, HResult& code) override {
    return QueryFault(studio_->Faults(), iid, Scope::Device, device_->Index(), code);
  }

  HResult ReadFrame(uint8_t* buffer, int32_t size, int32_t linePitch, int64_t* position, int32_t* notRead,
                    int32_t mode) override {
    return Read(Op::ReadFrame, buffer, size, linePitch, position, notRead, mode, 0, 1);
  }

  HResult ReadField(uint8_t* buffer, int32_t size, int32_t linePitch, int64_t* position, int32_t* notRead,
                    int32_t mode, int32_t firstLineField) override {
    return Read(Op::ReadField, buffer, size, linePitch, position, notRead, mode, firstLineField ? 0 : 1, 2);
  }

  HResult GetStartPosition(int64_t* position, int64_t* time100ns) override {
    if (const FaultHit hit = Check(Op::GetStartPosition); hit.Fired) return hit.Code;
    if (!position || !time100ns) return E_POINTER;
    const int64_t newest = device_->NewestAt(ClockNow());
    *position = newest;
    *time100ns = device_->PositionTime(newest);
    return S_OK;
  }

  HResult GetVideoFormat(VideoFormat* format) override {
    if (const FaultHit hit = Check(Op::GetVideoFormat); hit.Fired) return hit.Code;
    if (!format) return E_POINTER;
    const auto& d = device_->Desc();
    const auto rep = device_->Reports();
    *format = PictureFormat(rep.Width.value_or(d.Width), rep.Height.value_or(d.Height),
                            rep.Rate.value_or(d.Rate.Value()), d.Interlaced, d.FieldOrder);
    format->FieldPhase1 = rep.FieldPhase1.value_or(format->FieldPhase1);
    format->FieldPhase2 = rep.FieldPhase2.value_or(format->FieldPhase2);
    return S_OK;
  }

  HResult GetPosition(uint32_t* word1, uint32_t* word2, int64_t* position, uint32_t* word3) override {
    if (const FaultHit hit = Check(Op::GetPosition); hit.Fired) return hit.Code;
    if (!position) return E_POINTER;
    ClearWords(word1, word2, word3);
    *position = device_->NewestAt(ClockNow());
    device_->CountPositionRead(serial_);
    return S_OK;
  }

  HResult ReadAudio(void* buffer, int32_t capacity, int64_t* position, int32_t* byteCount, int32_t mode,
                    uint32_t channelMask) override {
    const FaultHit hit = Check(Op::ReadAudio);
    if (hit.Fired && hit.LaterFrames == 0) return hit.Code;
    if (!buffer || !position || !byteCount) return E_POINTER;
    if (mode != 2) return E_INVALIDARG;
    const auto& d = device_->Desc();
    const uint32_t mask = d.Channels >= 32 ? channelMask : channelMask & ((1u << d.Channels) - 1u);
    if (mask == 0) return E_INVALIDARG;
    int64_t p = 0;
    if (const HResult hr = Locate(*position, hit.LaterFrames, p); hr != S_OK) return hr;
    const int64_t bytes = static_cast<int64_t>(device_->SamplesInFrame(p)) * std::popcount(mask) * 4;
    if (bytes > capacity) return kInsufficientBuffer;
    device_->RenderAudio(p, mask, static_cast<float*>(buffer));
    *byteCount = static_cast<int32_t>(bytes);
    *position = p;
    return S_OK;
  }

  HResult GetAudioFormat(AudioFormat* format) override {
    if (const FaultHit hit = Check(Op::GetAudioFormat); hit.Fired) return hit.Code;
    if (!format) return E_POINTER;
    const auto& d = device_->Desc();
    const auto rep = device_->Reports();
    *format = SoundFormat(rep.SampleRate.value_or(d.SampleRate), rep.Channels.value_or(d.Channels),
                          rep.Rate.value_or(d.Rate.Value()));
    return S_OK;
  }

 private:
  FaultHit Check(Op op) { return studio_->Faults().Check(op, Scope::Device, device_->Index()); }

  // The position a read of `asked` delivers: E_PENDING when not captured
  // yet, the oldest held when it left the ring, `later` further on when a
  // fault says so (never beyond the newest), or back for a negative `later`
  // (never before the oldest held).
  HResult Locate(int64_t asked, int64_t later, int64_t& delivered) const {
    const int64_t newest = device_->NewestAt(ClockNow());
    if (asked >= newest || newest <= 0) return kNotCaptured;
    const int64_t oldest = device_->OldestHeld(newest);
    int64_t p = std::max(asked, oldest);
    if (later > 0) p = std::min(p + later, newest - 1);
    if (later < 0) p = std::max(p + later, oldest);
    delivered = p;
    return S_OK;
  }

  HResult Read(Op op, uint8_t* buffer, int32_t size, int32_t pitch, int64_t* position, int32_t* notRead, int32_t mode,
               int32_t firstLine, int32_t lineStep) {
    const FaultHit hit = Check(op);
    if (hit.Fired && hit.LaterFrames == 0) return hit.Code;
    if (!buffer || !position) return E_POINTER;
    if (mode != 2) return E_INVALIDARG;
    const auto& d = device_->Desc();
    const int64_t lines = (d.Height - firstLine + lineStep - 1) / lineStep;
    const int64_t rowBytes = static_cast<int64_t>(d.Width) * 2;
    if (pitch < rowBytes || size < 0 || (lines - 1) * pitch + rowBytes > size) return kInsufficientBuffer;
    int64_t p = 0;
    if (const HResult hr = Locate(*position, hit.LaterFrames, p); hr != S_OK) return hr;
    device_->RenderFrame(p, buffer, pitch, firstLine, lineStep);
    *position = p;
    if (notRead) *notRead = 0;
    return S_OK;
  }

  std::shared_ptr<Studio> studio_;
  CaptureDevice* device_;
  const int32_t serial_;  // the order this object was made in, for the position-read counts
};

// The kind-12 device: it exists and is held, nothing more.
class AuxiliaryDevice final : public ComObject<Unknown> {
 public:
  explicit AuxiliaryDevice(std::shared_ptr<Studio> studio) : studio_(std::move(studio)) {}
  bool RefuseQuery(const Guid& iid, HResult& code) override {
    return QueryFault(studio_->Faults(), iid, Scope::Any, -1, code);
  }

 private:
  std::shared_ptr<Studio> studio_;
};

class DeviceEnumerator final : public ComObject<IZRDeviceEnumerator> {
 public:
  explicit DeviceEnumerator(std::shared_ptr<Studio> studio) : studio_(std::move(studio)) {}

  bool RefuseQuery(const Guid& iid, HResult& code) override {
    return QueryFault(studio_->Faults(), iid, Scope::Any, -1, code);
  }

  HResult CreateDevice(int32_t deviceIndex, int32_t kind, Unknown** object) override {
    if (const FaultHit hit = studio_->Faults().Check(Op::CreateDevice, Scope::Device, deviceIndex); hit.Fired) {
      return hit.Code;
    }
    if (!object) return E_POINTER;
    *object = nullptr;
    CaptureDevice* device = studio_->Device(deviceIndex);
    if (!device || device->Desc().Kind != kind) return E_INVALIDARG;
    if (device->Desc().External) return REGDB_E_CLASSNOTREG;  // its input is played by another provider
    if (!device->IsCapture()) {
      auto* aux = new AuxiliaryDevice(studio_);
      *object = aux;
      return S_OK;
    }
    auto* capture = new CaptureObject(studio_, device);
    *object = static_cast<IZRCaptureVideoEx*>(capture);
    return S_OK;
  }

  HResult FindNextDevice(int32_t* cursor, int32_t kind, DeviceInfo* info) override {
    if (const FaultHit hit = studio_->Faults().Check(Op::FindNextDevice, Scope::Any, -1); hit.Fired) return hit.Code;
    if (!cursor || !info) return E_POINTER;
    if (*cursor < 0) return E_INVALIDARG;
    for (int32_t i = *cursor; i < studio_->DeviceCount(); ++i) {
      const auto& d = studio_->Device(i)->Desc();
      if (d.Kind != kind) continue;
      *info = DeviceInfo{};
      std::memcpy(info->Header, &i, sizeof i);
      std::memcpy(info->Header + 4, &kind, sizeof kind);
      CopyText(info->Text792, std::size(info->Text792), d.Board);
      CopyText(info->Text8, std::size(info->Text8), d.Name);
      CopyText(info->Text520, std::size(info->Text520), d.Label);
      *cursor = i + 1;
      return S_OK;
    }
    return S_FALSE;
  }

 private:
  std::shared_ptr<Studio> studio_;
};

// ---------------------------------------------------------------------------
// Title engines

class TitleEngineList final : public ComObject<IZRTitleEngineList> {
 public:
  explicit TitleEngineList(std::shared_ptr<Studio> studio) : studio_(std::move(studio)) {}

  bool RefuseQuery(const Guid& iid, HResult& code) override {
    return QueryFault(studio_->Faults(), iid, Scope::Any, -1, code);
  }

  HResult GetEngineCount(int32_t* count) override {
    if (const FaultHit hit = studio_->Faults().Check(Op::GetEngineCount, Scope::Any, -1); hit.Fired) return hit.Code;
    if (!count) return E_POINTER;
    *count = studio_->EngineCount();
    return S_OK;
  }

  HResult GetEngine(int32_t index, ComString* name, uint8_t* usable) override {
    if (const FaultHit hit = studio_->Faults().Check(Op::GetEngine, Scope::Engine, index); hit.Fired) return hit.Code;
    if (!name || !usable) return E_POINTER;
    EngineState* e = studio_->Engine(index);
    if (!e) return E_INVALIDARG;
    *name = ComStringFromUtf8(e->Desc().Name);  // an out string: what the caller passed is not ours to free
    *usable = e->Desc().Usable ? 1 : 0;
    return S_OK;
  }

 private:
  std::shared_ptr<Studio> studio_;
};

class LayerObject final : public ComObject<IZRLayer, IZRLayerAudio, IZRLayerVideo> {
 public:
  LayerObject(std::shared_ptr<Studio> studio, EngineState* engine, EngineState::Layer* layer)
      : studio_(std::move(studio)), engine_(engine), layer_(layer) {}
  ~LayerObject() override { engine_->ReleaseLayer(layer_); }

  bool RefuseQuery(const Guid& iid, HResult& code) override {
    return QueryFault(studio_->Faults(), iid, Scope::Engine, engine_->Index(), code);
  }

  // IZRLayer
  HResult SetProperty(int32_t property, const uint32_t* zeroWord, const LayerVisibilityBlock* block) override {
    if (const FaultHit hit = Check(Op::SetProperty); hit.Fired) return hit.Code;
    if (!zeroWord || !block) return E_POINTER;
    if (property != kLayerPropertyVisibility) return E_INVALIDARG;
    return engine_->SetShown(layer_, block->Shown());
  }

  // IZRLayerAudio
  HResult CreateFifo(int32_t fifo, int32_t depthFrames) override {
    if (const FaultHit hit = Check(Op::CreateFifo); hit.Fired) return hit.Code;
    return engine_->CreateFifo(layer_, fifo, depthFrames);
  }
  HResult InitFifo(int32_t fifo, int32_t startPosition) override {
    if (const FaultHit hit = Check(Op::InitFifo); hit.Fired) return hit.Code;
    return engine_->InitFifo(layer_, fifo, startPosition);
  }
  HResult WriteFifo(int32_t fifo, int32_t byteCount, const float* data, uint32_t* outCount, int32_t) override {
    if (const FaultHit hit = Check(Op::WriteFifo); hit.Fired) return hit.Code;
    return engine_->WriteFifo(layer_, fifo, byteCount, data, outCount);
  }
  HResult SetMute(int32_t fifo, int32_t mute) override {
    if (const FaultHit hit = Check(Op::SetMute); hit.Fired) return hit.Code;
    if (mute != 0 && mute != 1) return E_INVALIDARG;
    return engine_->SetMute(layer_, fifo, mute == 1);
  }
  HResult SetVolume(int32_t fifo, double gain) override {
    if (const FaultHit hit = Check(Op::SetVolume); hit.Fired) return hit.Code;
    return engine_->SetVolume(layer_, fifo, gain);
  }
  HResult GetAudioInfo(int32_t* stereoLines) override {
    if (const FaultHit hit = Check(Op::GetAudioInfo); hit.Fired) return hit.Code;
    if (!stereoLines) return E_POINTER;
    *stereoLines = engine_->Reports().StereoLines.value_or(engine_->Desc().StereoLines);
    return S_OK;
  }

  // IZRLayerVideo
  HResult GetStatus(LayerStatus* status) override {
    if (const FaultHit hit = Check(Op::GetStatus); hit.Fired) return hit.Code;
    return engine_->GetStatus(layer_, status);
  }
  HResult SetPosition(int32_t one, int32_t one2, int32_t position) override {
    if (const FaultHit hit = Check(Op::SetPosition); hit.Fired) return hit.Code;
    if (one != 1 || one2 != 1) return E_INVALIDARG;
    return engine_->SetPosition(layer_, position);
  }
  HResult GetBuffer(int32_t size, int32_t, uint8_t** address, int32_t* inOutSize, int32_t) override {
    if (const FaultHit hit = Check(Op::GetBuffer); hit.Fired) return hit.Code;
    return engine_->GetBuffer(layer_, size, address, inOutSize);
  }
  HResult SubmitBuffer(int32_t, int32_t size, const FrameDescriptor* descriptor) override {
    if (const FaultHit hit = Check(Op::SubmitBuffer); hit.Fired) return hit.Code;
    return engine_->SubmitBuffer(layer_, size, descriptor);
  }
  HResult FrameDone(int32_t, int32_t) override {
    if (const FaultHit hit = Check(Op::FrameDone); hit.Fired) return hit.Code;
    return engine_->FrameDone(layer_);
  }

 private:
  FaultHit Check(Op op) { return studio_->Faults().Check(op, Scope::Engine, engine_->Index()); }

  std::shared_ptr<Studio> studio_;
  EngineState* engine_;
  EngineState::Layer* layer_;
};

class TitleTarget final : public ComObject<IZRTitleEngine, IZRTitleRegions, IZRTitleClock> {
 public:
  explicit TitleTarget(std::shared_ptr<Studio> studio) : studio_(std::move(studio)) {}

  bool RefuseQuery(const Guid& iid, HResult& code) override {
    EngineState* e = engine_.load(std::memory_order_acquire);
    return QueryFault(studio_->Faults(), iid, e ? Scope::Engine : Scope::Any, e ? e->Index() : -1, code);
  }

  HResult Attach(const Guid* listClassId, int32_t engineIndex) override {
    if (const FaultHit hit = studio_->Faults().Check(Op::Attach, Scope::Engine, engineIndex); hit.Fired) {
      return hit.Code;
    }
    if (!listClassId) return E_POINTER;
    if (!(*listClassId == kClsidTitleEngineList)) return E_INVALIDARG;
    EngineState* e = studio_->Engine(engineIndex);
    if (!e) return E_INVALIDARG;
    if (!e->Desc().Usable) return E_FAIL;
    if (e->Desc().External) return REGDB_E_CLASSNOTREG;  // its output is played by another provider
    EngineState* expected = nullptr;
    // Release: the attached engine is complete before any thread that sees it.
    if (!engine_.compare_exchange_strong(expected, e, std::memory_order_acq_rel)) return kUnexpected;
    return S_OK;
  }

  HResult GetFrameRate(VideoFormat* format) override {
    EngineState* e = Attached();
    if (const FaultHit hit = Check(Op::GetFrameRate, e); hit.Fired) return hit.Code;
    if (!e) return kUnexpected;
    if (!format) return E_POINTER;
    const auto& d = e->Desc();
    const auto rep = e->Reports();
    *format = PictureFormat(rep.Width.value_or(d.Width), rep.Height.value_or(d.Height),
                            rep.Rate.value_or(d.Rate.Value()), d.Interlaced, d.FieldOrder);
    format->FieldPhase1 = rep.FieldPhase1.value_or(format->FieldPhase1);
    format->FieldPhase2 = rep.FieldPhase2.value_or(format->FieldPhase2);
    format->FieldOrder = rep.FieldOrder.value_or(format->FieldOrder);
    return S_OK;
  }

  HResult GetRegionSize(int32_t* width, int32_t* height, int32_t* notRead1, int32_t* notRead2,
                        int32_t* notRead3) override {
    EngineState* e = Attached();
    if (const FaultHit hit = Check(Op::GetRegionSize, e); hit.Fired) return hit.Code;
    if (!e) return kUnexpected;
    if (!width || !height) return E_POINTER;
    const auto rep = e->Reports();
    *width = rep.Width.value_or(e->Desc().Width);
    *height = rep.Height.value_or(e->Desc().Height);
    if (notRead1) *notRead1 = 0;
    if (notRead2) *notRead2 = 0;
    if (notRead3) *notRead3 = 0;
    return S_OK;
  }

  HResult CreateLayer(const char16_t* name, int32_t layerNumber, int32_t, int32_t depthFrames,
                      Unknown** layer) override {
    EngineState* e = Attached();
    if (const FaultHit hit = Check(Op::CreateLayer, e); hit.Fired) return hit.Code;
    if (!e) return kUnexpected;
    if (!layer) return E_POINTER;
    *layer = nullptr;
    if (depthFrames < 1 || depthFrames > 1000) return E_INVALIDARG;
    EngineState::Layer* state = nullptr;
    const HResult hr = e->CreateLayer(ComStringToUtf8(name), layerNumber, depthFrames, state);
    if (hr != S_OK) return hr;
    auto* object = new LayerObject(studio_, e, state);
    *layer = static_cast<IZRLayer*>(object);
    return S_OK;
  }

  HResult GetClock(int64_t* position, uint32_t* word1, int64_t* time100ns, uint32_t* word2) override {
    EngineState* e = Attached();
    if (const FaultHit hit = Check(Op::GetClock, e); hit.Fired) return hit.Code;
    if (!e) return kUnexpected;
    if (!position || !time100ns) return E_POINTER;
    const int64_t p = e->OutputPositionAt(ClockNow());
    *position = p;
    *time100ns = e->PositionTime(p);
    ClearWords(word1, word2);
    return S_OK;
  }

 private:
  EngineState* Attached() const { return engine_.load(std::memory_order_acquire); }
  FaultHit Check(Op op, EngineState* e) {
    return studio_->Faults().Check(op, e ? Scope::Engine : Scope::Any, e ? e->Index() : -1);
  }

  std::shared_ptr<Studio> studio_;
  std::atomic<EngineState*> engine_{nullptr};
};

}  // namespace

HResult CreateDeviceEnumerator(const Guid& iid, void** out) {
  auto studio = CurrentStudio();
  if (const FaultHit hit = studio->Faults().Check(Op::CreateDeviceEnumerator, Scope::Any, -1); hit.Fired) {
    return hit.Code;
  }
  return HandOut(new DeviceEnumerator(std::move(studio)), iid, out);
}

HResult CreateTitleEngineList(const Guid& iid, void** out) {
  auto studio = CurrentStudio();
  if (const FaultHit hit = studio->Faults().Check(Op::CreateTitleEngineList, Scope::Any, -1); hit.Fired) {
    return hit.Code;
  }
  return HandOut(new TitleEngineList(std::move(studio)), iid, out);
}

HResult CreateTitleTarget(const Guid& iid, void** out) {
  auto studio = CurrentStudio();
  if (const FaultHit hit = studio->Faults().Check(Op::CreateTitleTarget, Scope::Any, -1); hit.Fired) {
    return hit.Code;
  }
  return HandOut(new TitleTarget(std::move(studio)), iid, out);
}

}  // namespace quellvox::studio
