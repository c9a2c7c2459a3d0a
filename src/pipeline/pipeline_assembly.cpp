#include "pipeline/pipeline_assembly.h"

#include <cstdarg>
#include <cstdio>
#include <limits>

namespace quellvox {

namespace {

std::string Format(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

std::string Format(const char* format, ...) {
  char buffer[512];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n <= 0) return {};
  return std::string(buffer, static_cast<size_t>(n) < sizeof buffer ? static_cast<size_t>(n) : sizeof buffer - 1);
}

// A component call that failed. The component may have said why: the reason
// goes on a line of its own under the message that carries the call's code.
Status CallFailed(HResult code, const std::string& what) {
  const Status failed = Status::CallFailed(code, what);
  const std::string reason = TakeErrorDescription();
  if (reason.empty()) return failed;
  return Status::Failed(failed.Code(), failed.Message() + "\r\n" + reason);
}

// Pair + 1 for a message, without overflowing for a stored INT32_MAX.
int32_t Ordinal(int32_t pair) { return static_cast<int32_t>(static_cast<uint32_t>(pair) + 1u); }

// A pair index that the lines of a source or target actually have. A
// negative index read back from the store is as absent as one too high.
bool PairPresent(int32_t pair, int32_t lines) { return pair >= 0 && pair < lines; }

// DelayInFrames plus a margin as a depth in frames, saturated for a stored
// delay near the 32-bit limit.
int32_t Depth(int32_t delay, int32_t margin) {
  const int64_t d = static_cast<int64_t>(delay) + margin;
  return d > std::numeric_limits<int32_t>::max() ? std::numeric_limits<int32_t>::max() : static_cast<int32_t>(d);
}

// The main capture as the rows are checked against it.
struct MainCapture {
  ComPtr<IZRCaptureVideoEx> Video;
  ComPtr<IZRCaptureAudio> Audio;
  VideoFormat Input;
  AudioFormat Sound;
};

// The three interfaces of one title target.
struct TargetObjects {
  ComPtr<IZRTitleRegions> Regions;
  ComPtr<IZRTitleClock> Clock;
  ComPtr<IZRTitleEngine> Engine;
};

// The capture object of the selected source, as the main capture and each row's capture are created.
HResult CreateCaptureObject(const DuckerSettings& settings, const CaptureSourceCatalogue& captures,
                            ComPtr<Unknown>& object) {
  IZRDeviceEnumerator* enumerator = captures.Enumerator();
  if (!enumerator || settings.CaptureSource < 0 || settings.CaptureSource >= captures.Count()) return E_FAIL;
  const CaptureSourceEntry& entry = captures.Entries()[static_cast<size_t>(settings.CaptureSource)];
  return enumerator->CreateDevice(entry.DeviceIndex, entry.PrimaryKind ? kDeviceKindPrimary : kDeviceKindSecondary,
                                  object.Put());
}

// The main capture object, its video and audio interfaces and their formats.
Status OpenCapture(const DuckerSettings& settings, const CaptureSourceCatalogue& captures, MainCapture& main) {
  ComPtr<Unknown> capture;
  HResult hr = CreateCaptureObject(settings, captures, capture);
  if (hr < 0) return CallFailed(hr, "Can't create capture object");
  if (capture.As(main.Video) < 0 || !main.Video || capture.As(main.Audio) < 0 || !main.Audio) {
    return Status::Failed("System error: Capture object don't support required interfaces.");
  }
  capture.Reset();
  hr = main.Video->GetVideoFormat(&main.Input);
  if (hr < 0) return CallFailed(hr, "System error: Can't obtain input video format");
  hr = main.Audio->GetAudioFormat(&main.Sound);
  if (hr < 0) return CallFailed(hr, "System error: Can't obtain input audio format");
  return Status::Ok();
}

// Every source line in use, and the floor line, must exist among the
// capture's `pairs` stereo lines.
Status CheckSourceLines(const DuckerSettings& settings, int32_t pairs) {
  for (int32_t n = 1; n <= kVoiceOverLines; ++n) {
    const VoiceOverLine& row = settings.Lines[static_cast<size_t>(n - 1)];
    if (row.Use && !PairPresent(row.From.Pair, pairs)) {
      return Status::Failed(Format(
          "Wrong configuration for Lang.#%d:\r\nSource audio don't have stereo line #%d\r\n(it have %d stereo lines "
          "only).",
          n, Ordinal(row.From.Pair), pairs));
    }
  }
  if (!PairPresent(settings.CommonLine.Pair, pairs)) {
    return Status::Failed(Format(
        "Wrong configuration for Sinderlift:\r\nSource audio don't have stereo line #%d\r\n(it have %d stereo lines "
        "only).",
        Ordinal(settings.CommonLine.Pair), pairs));
  }
  return Status::Ok();
}

// The title target of catalogue entry k and its three interfaces.
Status OpenTarget(const TitleEngineCatalogue& engines, int32_t k, TargetObjects& target) {
  ComPtr<Unknown> object;
  const HResult hr = engines.CreateTitleTarget(k, object);
  if (hr < 0) return CallFailed(hr, Format("Can't create title target[%d]", k));
  if (object.As(target.Regions) < 0 || !target.Regions || object.As(target.Clock) < 0 || !target.Clock ||
      object.As(target.Engine) < 0 || !target.Engine) {
    return Status::Failed(Format("System error: Target[%d] object don't support required interfaces.", k));
  }
  return Status::Ok();
}

// The target's region must have the capture's size, and its rate the
// capture's (frame for frame) or half of it with fields (woven from two
// progressive frames). Sets the row's field flags.
Status CheckTargetVideo(const TargetObjects& target, int32_t k, const VideoFormat& input, TargetRow& row) {
  int32_t width = 0;
  int32_t height = 0;
  int32_t notRead1 = 0;
  int32_t notRead2 = 0;
  int32_t notRead3 = 0;
  HResult hr = target.Regions->GetRegionSize(&width, &height, &notRead1, &notRead2, &notRead3);
  if (hr < 0) return CallFailed(hr, Format("Can't obtain title[%d] region size", k));
  if (width != input.Width || height != input.Height) {
    return Status::Failed(Format("Wrong configuration: Source and target[%d] has different video format", k));
  }

  VideoFormat targetFormat;
  hr = target.Engine->GetFrameRate(&targetFormat);
  if (hr < 0) return CallFailed(hr, Format("Can't obtain title[%d] region frame rate", k));
  const double q = input.Rate / targetFormat.Rate;
  bool weave = false;
  if (0.999 < q && q < 1.001) {
    weave = false;
  } else if (1.999 < q && q < 2.001 && input.FieldPhase1 < 0.001 && input.FieldPhase2 < 0.001 &&
             (targetFormat.FieldPhase1 >= 0.001 || targetFormat.FieldPhase2 >= 0.001)) {
    weave = true;
  } else {
    return Status::Failed(Format("Wrong configuration: Source and target[%d] has different frame rate", k));
  }
  row.WeaveFields = weave;
  row.TopFieldFirst = targetFormat.FieldOrder != 0;
  return Status::Ok();
}

// The relay's layer on the target: the first number of -1000 .. -1015 the
// engine does not refuse, and the layer's two interfaces.
Status CreateRowLayer(const TargetObjects& target, const DuckerSettings& settings, int32_t k,
                      ComPtr<IZRLayer>& layer, ComPtr<IZRLayerAudio>& layerAudio) {
  ComPtr<Unknown> layerObject;
  HResult hr = S_OK;
  for (int32_t number = kFirstLayerNumber; number > kFirstLayerNumber - kLayerNumbersTried; --number) {
    const ComStringHolder name(ComStringFromUtf8(settings.RegionName));  // for this call only
    hr = target.Regions->CreateLayer(name.Get(), number, 0, Depth(settings.DelayInFrames, 10), layerObject.Put());
    if (hr == 0) break;
  }
  if (hr < 0) return CallFailed(hr, Format("Can't create title[%d] region (layer)", k));
  if (layerObject.As(layer) < 0 || !layer || layerObject.As(layerAudio) < 0 || !layerAudio) {
    return Status::Failed(Format("System error: Layer (title[%d] region) don't support required interfaces.", k));
  }
  return Status::Ok();
}

// Every ShowOnStartType but 0 (leave the layer as it is) manages the layer:
// 1 shows it, every other value hides it.
bool ManagesLayer(const DuckerSettings& settings) { return settings.ShowOnStartType != 0; }
bool ShowsLayer(const DuckerSettings& settings) { return settings.ShowOnStartType == 1; }

Status SetLayerVisibility(IZRLayer& layer, const DuckerSettings& settings, int32_t k) {
  if (!ManagesLayer(settings)) return Status::Ok();
  const uint32_t zero = 0;
  LayerVisibilityBlock block;
  block.SetShown(ShowsLayer(settings));
  const HResult hr = layer.SetProperty(kLayerPropertyVisibility, &zero, &block);
  if (hr < 0) return CallFailed(hr, Format("Can't manage title[%d] region (layer)", k));
  return Status::Ok();
}

// Every target line in use must exist among the target's `usable` lines.
Status CheckTargetLines(const DuckerSettings& settings, int32_t k, int32_t usable) {
  for (int32_t n = 1; n <= kVoiceOverLines; ++n) {
    const VoiceOverLine& row = settings.Lines[static_cast<size_t>(n - 1)];
    if (row.Use && !PairPresent(row.To.Pair, usable)) {
      return Status::Failed(Format(
          "Wrong configuration for Lang.#%d:\r\nTarget[%d] audio don't have stereo line #%d\r\n(it have %d stereo "
          "lines only).",
          n, k, Ordinal(row.To.Pair), usable));
    }
  }
  return Status::Ok();
}

// Creates and starts fifos first .. first + count - 1; a managed layer's
// fifos are muted or unmuted with it, at full volume.
Status CreateRowFifos(IZRLayerAudio& layerAudio, const DuckerSettings& settings, int32_t k, int32_t first,
                      int32_t count) {
  for (int32_t j = 0; j < count; ++j) {
    const int32_t f = first + j;
    HResult hr = layerAudio.CreateFifo(f, Depth(settings.DelayInFrames, 15));
    if (hr < 0) return CallFailed(hr, Format("Can't create output audio fifo #%d", j + 1));
    hr = layerAudio.InitFifo(f, 0);
    if (hr < 0) return CallFailed(hr, Format("Can't init target[%d] audio fifo #%d", k, j + 1));
    if (!ManagesLayer(settings)) continue;
    hr = layerAudio.SetMute(f, ShowsLayer(settings) ? 0 : 1);
    if (hr < 0) return CallFailed(hr, Format("Can't unmute target[%d] audio fifo #%d", k, j + 1));
    hr = layerAudio.SetVolume(f, 1.0);
    if (hr < 0) return CallFailed(hr, Format("Can't set volume for target[%d] audio fifo #%d", k, j + 1));
  }
  return Status::Ok();
}

// Catalogue entry k as `row`: target, video checks, layer, lines and fifos.
// The field flags are set once the rates fit; the references and the fifo
// range only when all of it is in place.
Status AddTargetRow(TargetRow& row, const DuckerSettings& settings, const TitleEngineCatalogue& engines, int32_t k,
                    const VideoFormat& input) {
  TargetObjects target;
  Status status = OpenTarget(engines, k, target);
  if (!status.IsOk()) return status;
  status = CheckTargetVideo(target, k, input, row);
  if (!status.IsOk()) return status;

  ComPtr<IZRLayer> layer;
  ComPtr<IZRLayerAudio> layerAudio;
  status = CreateRowLayer(target, settings, k, layer, layerAudio);
  if (!status.IsOk()) return status;
  status = SetLayerVisibility(*layer.Get(), settings, k);
  if (!status.IsOk()) return status;

  int32_t lines = 0;
  const HResult hr = layerAudio->GetAudioInfo(&lines);
  if (hr < 0) return CallFailed(hr, Format("System error: Can't obtain target[%d] audio info", k));
  // Line 0 of a target with more than one line is not written.
  const int32_t usable = lines > 1 ? lines - 1 : 1;
  const int32_t first = lines > 1 ? 1 : 0;
  status = CheckTargetLines(settings, k, usable);
  if (!status.IsOk()) return status;
  status = CreateRowFifos(*layerAudio.Get(), settings, k, first, usable);
  if (!status.IsOk()) return status;

  row.Layer = layer;
  row.LayerAudio = layerAudio;
  row.Clock = target.Clock;
  row.FirstFifo = first;
  row.FifoCount = usable;
  return Status::Ok();
}

// A capture object of the same source per row, pacing its video.
Status AddRowCaptures(MediaPipeline& pipeline, const DuckerSettings& settings, const CaptureSourceCatalogue& captures) {
  for (int32_t i = 0; i < pipeline.TargetCount; ++i) {
    ComPtr<Unknown> rowCapture;
    const HResult hr = CreateCaptureObject(settings, captures, rowCapture);
    if (hr < 0) return CallFailed(hr, Format("Can't create capture object for TE[%d/%d]", i + 1, pipeline.TargetCount));
    ComPtr<IZRCaptureVideoEx>& video = pipeline.Rows[i].RegionCapture;
    if (rowCapture.As(video) < 0 || !video) {
      return Status::Failed(Format(
          "System error: Capture object don't support interface IZRCaptureVideoEx, region[%d/%d].", i + 1,
          pipeline.TargetCount));
    }
  }
  return Status::Ok();
}

Status AssembleSteps(MediaPipeline& pipeline, const DuckerSettings& settings, const CaptureSourceCatalogue& captures,
                     const TitleEngineCatalogue& engines) {
  MainCapture main;
  Status status = OpenCapture(settings, captures, main);
  if (!status.IsOk()) return status;
  status = CheckSourceLines(settings, main.Sound.Channels / 2);
  if (!status.IsOk()) return status;

  pipeline.MainVideo = main.Video;
  pipeline.MainAudio = main.Audio;
  pipeline.InputChannels = main.Sound.Channels;
  pipeline.SamplesPerFrame = static_cast<double>(main.Sound.SampleRate) / main.Sound.Rate;
  pipeline.SampleRate = main.Sound.SampleRate;

  // One row per selected engine, in catalogue order. TargetCount counts
  // the rows only once all of them are in place.
  int32_t rows = 0;
  for (int32_t k = 0; k < kMaxTargets; ++k) {
    if ((settings.TitleEngineMask & (1u << k)) == 0) continue;
    status = AddTargetRow(pipeline.Rows[rows], settings, engines, k, main.Input);
    if (!status.IsOk()) return status;
    ++rows;
  }
  pipeline.TargetCount = rows;
  return AddRowCaptures(pipeline, settings, captures);
}

}  // namespace

Status AssemblePipeline(MediaPipeline& pipeline, const DuckerSettings& settings, const CaptureSourceCatalogue& captures,
                        const TitleEngineCatalogue& engines) {
  TakeErrorDescription();  // a reason left from an earlier call is not this assembly's
  const Status status = AssembleSteps(pipeline, settings, captures, engines);
  TakeErrorDescription();  // nor is one a successful call left to the next
  return status;
}

void ReleasePipeline(MediaPipeline& pipeline) {
  pipeline.MainVideo.Reset();
  pipeline.MainAudio.Reset();
  for (TargetRow& row : pipeline.Rows) {
    row.Layer.Reset();
    row.LayerAudio.Reset();
    row.Clock.Reset();
    row.RegionCapture.Reset();
  }
  pipeline.TargetCount = 0;
}

}  // namespace quellvox
