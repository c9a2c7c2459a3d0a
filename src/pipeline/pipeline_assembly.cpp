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

// A result code as "0x%X/%d" wants it: the same bits, unsigned and signed.
unsigned Hex(HResult code) { return static_cast<uint32_t>(code); }

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

// The capture object of the selected source, as the main capture and each row's capture are created.
HResult CreateCaptureObject(const DuckerSettings& settings, const CaptureSourceCatalogue& captures,
                            ComPtr<Unknown>& object) {
  IZRDeviceEnumerator* enumerator = captures.Enumerator();
  if (!enumerator || settings.CaptureSource < 0 || settings.CaptureSource >= captures.Count()) return E_FAIL;
  const CaptureSourceEntry& entry = captures.Entries()[static_cast<size_t>(settings.CaptureSource)];
  return enumerator->CreateDevice(entry.DeviceIndex, entry.PrimaryKind ? kDeviceKindPrimary : kDeviceKindSecondary,
                                  object.Put());
}

}  // namespace

static std::string AssembleSteps(MediaPipeline& pipeline, const DuckerSettings& settings,
                          const CaptureSourceCatalogue& captures, const TitleEngineCatalogue& engines) {
  // The main capture object and its two interfaces.
  ComPtr<Unknown> capture;
  HResult hr = CreateCaptureObject(settings, captures, capture);
  if (hr < 0) return Format("Can't create capture object, error = 0x%X/%d.", Hex(hr), hr);
  ComPtr<IZRCaptureVideoEx> video;
  ComPtr<IZRCaptureAudio> audio;
  if (capture.As(video) < 0 || !video || capture.As(audio) < 0 || !audio) {
    return "System error: Capture object don't support required interfaces.";
  }
  capture.Reset();

  // Formats.
  VideoFormat input;
  hr = video->GetVideoFormat(&input);
  if (hr < 0) return Format("System error: Can't obtain input video format, error = 0x%X/%d.", Hex(hr), hr);
  AudioFormat audioFormat;
  hr = audio->GetAudioFormat(&audioFormat);
  if (hr < 0) return Format("System error: Can't obtain input audio format, error = 0x%X/%d.", Hex(hr), hr);

  // Every source line in use, and the floor line, must exist.
  const int32_t pairs = audioFormat.Channels / 2;
  for (int32_t n = 1; n <= kVoiceOverLines; ++n) {
    const VoiceOverLine& row = settings.Lines[static_cast<size_t>(n - 1)];
    if (row.Use && !PairPresent(row.From.Pair, pairs)) {
      return Format(
          "Wrong configuration for Lang.#%d:\r\nSource audio don't have stereo line #%d\r\n(it have %d stereo lines "
          "only).",
          n, Ordinal(row.From.Pair), pairs);
    }
  }
  if (!PairPresent(settings.CommonLine.Pair, pairs)) {
    return Format(
        "Wrong configuration for Sinderlift:\r\nSource audio don't have stereo line #%d\r\n(it have %d stereo lines "
        "only).",
        Ordinal(settings.CommonLine.Pair), pairs);
  }

  // 6.
  pipeline.MainVideo = video;
  pipeline.MainAudio = audio;
  pipeline.InputChannels = audioFormat.Channels;
  pipeline.SamplesPerFrame = static_cast<double>(audioFormat.SampleRate) / audioFormat.Rate;
  pipeline.SampleRate = audioFormat.SampleRate;

  // One row per selected engine, in catalogue order.
  int32_t r = 0;
  for (int32_t k = 0; k < kMaxTargets; ++k) {
    if ((settings.TitleEngineMask & (1u << k)) == 0) continue;

    ComPtr<Unknown> target;
    hr = engines.CreateTitleTarget(k, target);
    if (hr < 0) return Format("Can't create title target[%d], error = 0x%X/%d.", k, Hex(hr), hr);
    ComPtr<IZRTitleRegions> regions;
    ComPtr<IZRTitleClock> clock;
    ComPtr<IZRTitleEngine> engine;
    if (target.As(regions) < 0 || !regions || target.As(clock) < 0 || !clock || target.As(engine) < 0 || !engine) {
      return Format("System error: Target[%d] object don't support required interfaces.", k);
    }
    target.Reset();

    int32_t width = 0;
    int32_t height = 0;
    int32_t notRead1 = 0;
    int32_t notRead2 = 0;
    int32_t notRead3 = 0;
    hr = regions->GetRegionSize(&width, &height, &notRead1, &notRead2, &notRead3);
    if (hr < 0) return Format("Can't obtain title[%d] region size, error = 0x%X/%d.", k, Hex(hr), hr);
    if (width != input.Width || height != input.Height) {
      return Format("Wrong configuration: Source and target[%d] has different video format", k);
    }

    VideoFormat targetFormat;
    hr = engine->GetFrameRate(&targetFormat);
    if (hr < 0) return Format("Can't obtain title[%d] region frame rate, error = 0x%X/%d.", k, Hex(hr), hr);
    const double q = input.Rate / targetFormat.Rate;
    bool weave = false;
    if (0.999 < q && q < 1.001) {
      weave = false;
    } else if (1.999 < q && q < 2.001 && input.FieldPhase1 < 0.001 && input.FieldPhase2 < 0.001 &&
               (targetFormat.FieldPhase1 >= 0.001 || targetFormat.FieldPhase2 >= 0.001)) {
      weave = true;
    } else {
      return Format("Wrong configuration: Source and target[%d] has different frame rate", k);
    }
    pipeline.WeaveFields[r] = weave;
    pipeline.TopFieldFirst[r] = targetFormat.FieldOrder != 0;

    // The layer: the first free number of -1000 .. -1015.
    ComPtr<Unknown> layerObject;
    for (int32_t number = kFirstLayerNumber; number > kFirstLayerNumber - kLayerNumbersTried; --number) {
      const ComStringHolder name(ComStringFromUtf8(settings.RegionName));  // for this call only
      hr = regions->CreateLayer(name.Get(), number, 0, Depth(settings.DelayInFrames, 10), layerObject.Put());
      if (hr == 0) break;
    }
    if (hr < 0) return Format("Can't create title[%d] region (layer), error = 0x%X/%d.", k, Hex(hr), hr);
    ComPtr<IZRLayer> layer;
    ComPtr<IZRLayerAudio> layerAudio;
    if (layerObject.As(layer) < 0 || !layer || layerObject.As(layerAudio) < 0 || !layerAudio) {
      return Format("System error: Layer (title[%d] region) don't support required interfaces.", k);
    }
    layerObject.Reset();

    // Every value but 0 (leave the layer as it is) and 1 (show) hides.
    const bool manage = settings.ShowOnStartType != 0;
    const bool show = settings.ShowOnStartType == 1;
    if (manage) {
      const uint32_t zero = 0;
      LayerVisibilityBlock block;
      block.SetShown(show);
      hr = layer->SetProperty(kLayerPropertyVisibility, &zero, &block);
      if (hr < 0) return Format("Can't manage title[%d] region (layer), error = 0x%X/%d.", k, Hex(hr), hr);
    }

    int32_t lines = 0;
    hr = layerAudio->GetAudioInfo(&lines);
    if (hr < 0) return Format("System error: Can't obtain target[%d] audio info, error = 0x%X/%d.", k, Hex(hr), hr);
    // Line 0 of a target with more than one line is not written.
    const int32_t usable = lines > 1 ? lines - 1 : 1;
    const int32_t first = lines > 1 ? 1 : 0;

    for (int32_t n = 1; n <= kVoiceOverLines; ++n) {
      const VoiceOverLine& row = settings.Lines[static_cast<size_t>(n - 1)];
      if (row.Use && !PairPresent(row.To.Pair, usable)) {
        return Format(
            "Wrong configuration for Lang.#%d:\r\nTarget[%d] audio don't have stereo line #%d\r\n(it have %d stereo "
            "lines only).",
            n, k, Ordinal(row.To.Pair), usable);
      }
    }

    for (int32_t j = 0; j < usable; ++j) {
      const int32_t f = first + j;
      hr = layerAudio->CreateFifo(f, Depth(settings.DelayInFrames, 15));
      if (hr < 0) return Format("Can't create output audio fifo #%d, error = 0x%X/%d.", j + 1, Hex(hr), hr);
      hr = layerAudio->InitFifo(f, 0);
      if (hr < 0) return Format("Can't init target[%d] audio fifo #%d, error = 0x%X/%d.", k, j + 1, Hex(hr), hr);
      if (manage) {
        hr = layerAudio->SetMute(f, show ? 0 : 1);
        if (hr < 0) return Format("Can't unmute target[%d] audio fifo #%d, error = 0x%X/%d.", k, j + 1, Hex(hr), hr);
        hr = layerAudio->SetVolume(f, 1.0);
        if (hr < 0) {
          return Format("Can't set volume for target[%d] audio fifo #%d, error = 0x%X/%d.", k, j + 1, Hex(hr), hr);
        }
      }
    }

    pipeline.Layer[r] = layer;
    pipeline.LayerAudio[r] = layerAudio;
    pipeline.Clock[r] = clock;
    pipeline.FirstFifo[r] = first;
    pipeline.FifoCount[r] = usable;
    ++r;
  }
  pipeline.TargetCount = r;

  // A capture object of the same source per row, pacing its video.
  for (int32_t i = 0; i < pipeline.TargetCount; ++i) {
    ComPtr<Unknown> rowCapture;
    hr = CreateCaptureObject(settings, captures, rowCapture);
    if (hr < 0) {
      return Format("Can't create capture object for TE[%d/%d], error = 0x%X/%d.", i + 1, pipeline.TargetCount,
                    Hex(hr), hr);
    }
    if (rowCapture.As(pipeline.RegionCapture[i]) < 0 || !pipeline.RegionCapture[i]) {
      return Format("System error: Capture object don't support interface IZRCaptureVideoEx, region[%d/%d].", i + 1,
                    pipeline.TargetCount);
    }
  }
  return {};
}

std::string AssemblePipeline(MediaPipeline& pipeline, const DuckerSettings& settings,
                             const CaptureSourceCatalogue& captures, const TitleEngineCatalogue& engines) {
  TakeErrorDescription();  // a reason left from an earlier call is not this assembly's
  std::string message = AssembleSteps(pipeline, settings, captures, engines);
  // A component that failed a call may have said why: the reason goes on a
  // line of its own under the message that carries the call's code.
  const std::string reason = TakeErrorDescription();
  if (!reason.empty() && message.find("error = 0x") != std::string::npos) message += "\r\n" + reason;
  return message;
}

void ReleasePipeline(MediaPipeline& pipeline) {
  pipeline.MainVideo.Reset();
  pipeline.MainAudio.Reset();
  for (int32_t i = 0; i < kMaxTargets; ++i) {
    pipeline.Layer[i].Reset();
    pipeline.LayerAudio[i].Reset();
    pipeline.Clock[i].Reset();
    pipeline.RegionCapture[i].Reset();
  }
  pipeline.TargetCount = 0;
}

}  // namespace quellvox
