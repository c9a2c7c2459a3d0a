// The media components the program drives: capture objects, the device
// enumerator, the title-engine list, title targets and their layers.
// Operations sit in the slots the components define; slots the program
// never calls are kept as Reserved so that every operation keeps its place;
// they answer E_NOTIMPL unless a provider says otherwise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/com/com.h"

namespace quellvox {

#define QUELLVOX_INTERFACE_DTOR(Name) \
 protected:                           \
  ~Name() = default;                  \
                                      \
 public:

struct VideoFormat {
  int32_t Width = 0;
  int32_t Height = 0;
  double Rate = 0.0;         // frames per second
  double FieldPhase1 = 0.0;  // both below 0.001 when progressive
  double FieldPhase2 = 0.0;
  int32_t FieldOrder = 0;  // non-zero: the field on the first line is the earlier
};

struct AudioFormat {
  uint32_t Reserved0 = 0;
  int32_t SampleRate = 0;
  int32_t Channels = 0;  // two per stereo line
  uint32_t Reserved1 = 0;
  double Rate = 0.0;  // capture frames per second
};

struct FrameDescriptor {
  int32_t Format = 2;
  int32_t FrameNumber = 0;
  int32_t Width = 0;
  int32_t Height = 0;
  int32_t Size = 0;  // bytes
};

// 48-byte status block of a layer; the 32-bit word at byte 28 is the target
// position the layer presents now.
struct LayerStatus {
  uint8_t Bytes[48] = {};
  int32_t OutputFrame() const {
    int32_t v;
    std::memcpy(&v, Bytes + 28, sizeof v);
    return v;
  }
  void SetOutputFrame(int32_t v) { std::memcpy(Bytes + 28, &v, sizeof v); }
};
static_assert(sizeof(LayerStatus) == 48);

// The block passed to IZRLayer::SetProperty(4, ...): the word at byte 20 is
// 255 to show the layer, 0 to hide it.
struct LayerVisibilityBlock {
  uint32_t Words[8] = {};
  void SetShown(bool shown) { Words[5] = shown ? 255u : 0u; }
  bool Shown() const { return Words[5] != 0; }
};
inline constexpr int32_t kLayerPropertyVisibility = 4;

// Description of one capture device, 1304 bytes, filled by FindNextDevice.
struct DeviceInfo {
  uint8_t Header[8] = {};
  char16_t Text8[256] = {};    // byte offset 8
  char16_t Text520[136] = {};  // byte offset 520
  char16_t Text792[256] = {};  // byte offset 792
};
static_assert(sizeof(DeviceInfo) == 1304);
static_assert(offsetof(DeviceInfo, Text8) == 8);
static_assert(offsetof(DeviceInfo, Text520) == 520);
static_assert(offsetof(DeviceInfo, Text792) == 792);

// Device kinds of the enumerator.
inline constexpr int32_t kDeviceKindPrimary = 2;
inline constexpr int32_t kDeviceKindSecondary = 9;
inline constexpr int32_t kDeviceKindAuxiliary = 12;

// Class identifiers of the components.
inline constexpr Guid kClsidDeviceEnumerator = {0x5d1f0a21, 0x3c47, 0x4b8e, {0x9a, 0x61, 0x0b, 0x77, 0x21, 0x4e, 0x90, 0x01}};
inline constexpr Guid kClsidTitleEngineList = {0x5d1f0a21, 0x3c47, 0x4b8e, {0x9a, 0x61, 0x0b, 0x77, 0x21, 0x4e, 0x90, 0x02}};
inline constexpr Guid kClsidTitleTarget = {0x5d1f0a21, 0x3c47, 0x4b8e, {0x9a, 0x61, 0x0b, 0x77, 0x21, 0x4e, 0x90, 0x03}};

class IZRCaptureVideoEx : public Unknown {
  QUELLVOX_INTERFACE_DTOR(IZRCaptureVideoEx)
  static constexpr Guid kIid = {0x7a3e5b10, 0x1111, 0x4c2a, {0x80, 0x01, 0, 0, 0, 0, 0, 0x01}};
  virtual HResult Reserved3() { return E_NOTIMPL; }
  virtual HResult Reserved4() { return E_NOTIMPL; }
  // Video threads. Never blocks; allocates nothing.
  // Fills buffer (size bytes, linePitch bytes per line) with the frame at
  // *position; on success *position names the frame delivered, which may be
  // later than the one asked for.
  virtual HResult ReadFrame(uint8_t* buffer, int32_t size, int32_t linePitch, int64_t* position, int32_t* notRead,
                            int32_t mode) = 0;
  // Video threads. Never blocks; allocates nothing.
  // Like ReadFrame, but writes one field: every second line of the frame
  // starting at the frame's first line (firstLineField 1) or its second (0),
  // to buffer lines linePitch apart (the caller passes the doubled pitch).
  virtual HResult ReadField(uint8_t* buffer, int32_t size, int32_t linePitch, int64_t* position, int32_t* notRead,
                            int32_t mode, int32_t firstLineField) = 0;
  virtual HResult Reserved7() { return E_NOTIMPL; }
  virtual HResult Reserved8() { return E_NOTIMPL; }
  virtual HResult Reserved9() { return E_NOTIMPL; }
  // Audio pump, once before the relay starts. Never blocks; allocates nothing.
  // Newest captured position and its clock time (100 ns units).
  virtual HResult GetStartPosition(int64_t* position, int64_t* time100ns) = 0;
  // UI thread (assembly) and audio pump at start-up. Never blocks; allocates nothing.
  virtual HResult GetVideoFormat(VideoFormat* format) = 0;
  virtual HResult Reserved12() { return E_NOTIMPL; }
  // Audio pump and video threads on every pass. Never blocks; allocates nothing.
  // Newest position: frames below it can be read.
  virtual HResult GetPosition(uint32_t* word1, uint32_t* word2, int64_t* position, uint32_t* word3) = 0;
};

class IZRCaptureAudio : public Unknown {
  QUELLVOX_INTERFACE_DTOR(IZRCaptureAudio)
  static constexpr Guid kIid = {0x7a3e5b10, 0x1111, 0x4c2a, {0x80, 0x01, 0, 0, 0, 0, 0, 0x02}};
  // Audio pump. Never blocks; allocates nothing.
  // Delivers the interleaved float audio of the frame at *position into
  // buffer (capacity bytes); *byteCount receives the bytes written and
  // *position the frame delivered.
  virtual HResult ReadAudio(void* buffer, int32_t capacity, int64_t* position, int32_t* byteCount, int32_t mode,
                            uint32_t channelMask) = 0;
  virtual HResult Reserved4() { return E_NOTIMPL; }
  virtual HResult Reserved5() { return E_NOTIMPL; }
  // UI thread (assembly). Never blocks; may allocate.
  virtual HResult GetAudioFormat(AudioFormat* format) = 0;
};

class IZRDeviceEnumerator : public Unknown {
  QUELLVOX_INTERFACE_DTOR(IZRDeviceEnumerator)
  static constexpr Guid kIid = {0x7a3e5b10, 0x1111, 0x4c2a, {0x80, 0x01, 0, 0, 0, 0, 0, 0x03}};
  virtual HResult Reserved3() { return E_NOTIMPL; }
  virtual HResult Reserved4() { return E_NOTIMPL; }
  virtual HResult Reserved5() { return E_NOTIMPL; }
  virtual HResult Reserved6() { return E_NOTIMPL; }
  // UI thread (assembly). May block while the device opens; allocates.
  virtual HResult CreateDevice(int32_t deviceIndex, int32_t kind, Unknown** object) = 0;
  virtual HResult Reserved8() { return E_NOTIMPL; }
  virtual HResult Reserved9() { return E_NOTIMPL; }
  // UI thread (catalogue). May block on the driver; may allocate.
  // 0 when a device of that kind was found at or after *cursor; *cursor then
  // holds its index plus one. A cursor of 0 starts from the beginning.
  virtual HResult FindNextDevice(int32_t* cursor, int32_t kind, DeviceInfo* info) = 0;
};

class IZRTitleEngineList : public Unknown {
  QUELLVOX_INTERFACE_DTOR(IZRTitleEngineList)
  static constexpr Guid kIid = {0x7a3e5b10, 0x1111, 0x4c2a, {0x80, 0x01, 0, 0, 0, 0, 0, 0x04}};
  // UI thread (catalogue). May block; may allocate.
  virtual HResult GetEngineCount(int32_t* count) = 0;
  virtual HResult Reserved4() { return E_NOTIMPL; }
  // UI thread (catalogue). May block; allocates the name.
  // *name is allocated by the component and freed by the caller.
  virtual HResult GetEngine(int32_t index, ComString* name, uint8_t* usable) = 0;
};

class IZRTitleEngine : public Unknown {
  QUELLVOX_INTERFACE_DTOR(IZRTitleEngine)
  static constexpr Guid kIid = {0x7a3e5b10, 0x1111, 0x4c2a, {0x80, 0x01, 0, 0, 0, 0, 0, 0x05}};
  virtual HResult Reserved3() { return E_NOTIMPL; }
  // UI thread (assembly). May block while the engine attaches; allocates.
  virtual HResult Attach(const Guid* listClassId, int32_t engineIndex) = 0;
  virtual HResult Reserved5() { return E_NOTIMPL; }
  // UI thread (assembly). Never blocks.
  virtual HResult GetFrameRate(VideoFormat* format) = 0;
};

class IZRTitleRegions : public Unknown {
  QUELLVOX_INTERFACE_DTOR(IZRTitleRegions)
  static constexpr Guid kIid = {0x7a3e5b10, 0x1111, 0x4c2a, {0x80, 0x01, 0, 0, 0, 0, 0, 0x06}};
  // UI thread (assembly). Never blocks.
  virtual HResult GetRegionSize(int32_t* width, int32_t* height, int32_t* notRead1, int32_t* notRead2,
                                int32_t* notRead3) = 0;
  // UI thread (assembly). May block; allocates the layer and its buffers.
  // 0 creates the layer; a positive code refuses the layer number.
  virtual HResult CreateLayer(const char16_t* name, int32_t layerNumber, int32_t zero, int32_t depthFrames,
                              Unknown** layer) = 0;
};

class IZRTitleClock : public Unknown {
  QUELLVOX_INTERFACE_DTOR(IZRTitleClock)
  static constexpr Guid kIid = {0x7a3e5b10, 0x1111, 0x4c2a, {0x80, 0x01, 0, 0, 0, 0, 0, 0x07}};
  // Audio pump, once while it positions the layers. Never blocks; allocates nothing.
  // The output position now (target frames) and its clock time (100 ns units).
  virtual HResult GetClock(int64_t* position, uint32_t* word1, int64_t* time100ns, uint32_t* word2) = 0;
};

class IZRLayer : public Unknown {
  QUELLVOX_INTERFACE_DTOR(IZRLayer)
  static constexpr Guid kIid = {0x7a3e5b10, 0x1111, 0x4c2a, {0x80, 0x01, 0, 0, 0, 0, 0, 0x08}};
  // UI thread (assembly). May block.
  virtual HResult SetProperty(int32_t property, const uint32_t* zeroWord, const LayerVisibilityBlock* block) = 0;
};

class IZRLayerAudio : public Unknown {
  QUELLVOX_INTERFACE_DTOR(IZRLayerAudio)
  static constexpr Guid kIid = {0x7a3e5b10, 0x1111, 0x4c2a, {0x80, 0x01, 0, 0, 0, 0, 0, 0x09}};
  // UI thread (assembly). May block; allocates the fifo.
  virtual HResult CreateFifo(int32_t fifo, int32_t depthFrames) = 0;
  // UI thread (assembly) and audio pump (positions, re-bases). Never blocks; allocates nothing.
  // Sets the write position of the fifo in target frames counted like the
  // layer's frame numbers: the next sample written is presented with frame
  // number startPosition, that is at output position SetPosition base +
  // startPosition.
  virtual HResult InitFifo(int32_t fifo, int32_t startPosition) = 0;
  // Audio pump on every block. Never blocks (a full fifo refuses); allocates nothing.
  // Appends byteCount / 8 stereo sample frames of interleaved floats.
  virtual HResult WriteFifo(int32_t fifo, int32_t byteCount, const float* data, uint32_t* outCount, int32_t zero) = 0;
  virtual HResult Reserved6() { return E_NOTIMPL; }
  virtual HResult Reserved7() { return E_NOTIMPL; }
  // UI thread (assembly). May block.
  virtual HResult SetMute(int32_t fifo, int32_t mute) = 0;
  virtual HResult Reserved9() { return E_NOTIMPL; }
  // UI thread (assembly). May block.
  virtual HResult SetVolume(int32_t fifo, double gain) = 0;
  virtual HResult Reserved11() { return E_NOTIMPL; }
  virtual HResult Reserved12() { return E_NOTIMPL; }
  // UI thread (assembly). Never blocks.
  // Number of stereo lines of the target's audio.
  virtual HResult GetAudioInfo(int32_t* stereoLines) = 0;
};

class IZRLayerVideo : public Unknown {
  QUELLVOX_INTERFACE_DTOR(IZRLayerVideo)
  static constexpr Guid kIid = {0x7a3e5b10, 0x1111, 0x4c2a, {0x80, 0x01, 0, 0, 0, 0, 0, 0x0A}};
  virtual HResult Reserved3() { return E_NOTIMPL; }
  // Audio pump and video threads. Never blocks; allocates nothing.
  // OutputFrame: the frame number (as submitted) of the output position
  // presented now, i.e. output position minus the SetPosition base.
  virtual HResult GetStatus(LayerStatus* status) = 0;
  // Audio pump before the video threads start. Never blocks; allocates nothing.
  // Submitted frame f is presented at output position `position` + f.
  virtual HResult SetPosition(int32_t one, int32_t one2, int32_t position) = 0;
  virtual HResult Reserved6() { return E_NOTIMPL; }
  // Video threads. Never blocks (no free buffer refuses); allocates nothing after the first lends.
  // Lends a writable frame buffer of at least size bytes.
  virtual HResult GetBuffer(int32_t size, int32_t size2, uint8_t** address, int32_t* inOutSize, int32_t zero) = 0;
  // Video threads. Never blocks; allocates nothing.
  // Queues the lent buffer with its descriptor.
  virtual HResult SubmitBuffer(int32_t zero, int32_t size, const FrameDescriptor* descriptor) = 0;
  virtual HResult Reserved9() { return E_NOTIMPL; }
  virtual HResult Reserved10() { return E_NOTIMPL; }
  virtual HResult Reserved11() { return E_NOTIMPL; }
  virtual HResult Reserved12() { return E_NOTIMPL; }
  virtual HResult Reserved13() { return E_NOTIMPL; }
  virtual HResult Reserved14() { return E_NOTIMPL; }
  // Not called by the program; kept in its slot.
  virtual HResult FrameDone(int32_t a, int32_t b) = 0;
};

}  // namespace quellvox
