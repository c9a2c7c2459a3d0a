// Everything one running instance owns beyond a single command, without the
// desktop: its identifier and the names formed from it, both catalogues, the
// settings with AutoStart and RunOnLogon, the pipeline and its statistics.
// The desktop main frame owns one and forwards its commands to it. Every
// operation here runs on the user-interface thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "app/floor_gain_history.h"
#include "app/user_messages.h"
#include "audio/loudness_meter.h"
#include "audio/pipeline_stats.h"
#include "config/catalogues.h"
#include "config/mixer_handoff.h"
#include "config/persistence.h"
#include "config/settings.h"
#include "pipeline/media_pipeline.h"
#include "platform/com/status.h"

namespace quellvox {

// One line per mix plane that a voice-over line in use goes to, among the
// planes metered: momentary and short-term loudness, integrated loudness
// since the start (LUFS) and the true-peak maximum (dBTP), "--" where not
// known yet; then how many blocks the meters missed, when any. Lines end
// with "\n", columns are separated by "\t"; empty when nothing is metered.
std::string BuildLoudnessText(const LoudnessSnapshot& figures, const DuckerSettings& settings);

class InstanceCore {
 public:
  // `programPath` is the running program file (for the logon command).
  InstanceCore(std::string instanceId, std::string programPath, UserMessages& messages);
  ~InstanceCore();  // stops the pipeline
  InstanceCore(const InstanceCore&) = delete;
  InstanceCore& operator=(const InstanceCore&) = delete;

  // Pipeline: start (stop, assemble, show the assembly's message on failure,
  // reset the skip counters, the strip's history and the loudness meters,
  // start the meters and the pump), stop (join every thread, release every
  // reference; the history and the last figures stay).
  bool StartPipeline();
  // The same start for a caller without a desktop (the remote interface):
  // the assembly's failure is returned instead of shown in a message box.
  // A thread the system refused fails with no message.
  Status StartPipelineQuietly();
  // For callers written against the text form (bench/control): null shows
  // the message as StartPipeline() does, else it goes into `failure`.
  bool StartPipeline(std::string* failure);
  void StopPipeline();
  Status AssemblePipeline();
  std::string BuildStatisticsText() const;
  // Whether a relay was started and not stopped since.
  bool RelayRunning() const { return Pipeline.AudioThread.joinable(); }

  // One sample of the strip's history, while the relay runs (the main frame
  // calls it every FloorGainHistory::kPeriodMs); nothing while stopped.
  void SampleStripHistory();
  // The instance's clock for the history: milliseconds since it was made.
  int64_t HistoryNowMs() const;

  // The loudness figures of the relay's mix planes (the last run's when
  // stopped). Any thread.
  LoudnessSnapshot LoudnessFigures() const { return Loudness.Figures(); }
  // The statistics window's loudness lines (BuildLoudnessText below).
  std::string BuildLoudnessText() const;

  // After the user applied a change to Settings: hands the mixer part (the
  // eight rows, the floor, the three parameters, CpuPriority) to a running
  // pump, which takes it on its next pass. Where the settings say "mixer
  // changed", this is the call. Never waits for the pump.
  void PublishMixerSettings();

  // Settings and the logon entry through the registry component. Each shows
  // its own message on failure and also returns it (for the faces of the
  // instance that show none); the first run (no key yet) is no failure.
  // Values read past or set into range are traced.
  Status LoadSettings();
  // A failed save says so; the record and the flags keep the values given
  // (the next save tries them again), and the store keeps its old ones
  // whole: a save is stored complete or not at all.
  Status SaveSettings();
  // When the store's values changed since this instance last read or wrote
  // them (another program wrote them meanwhile, e.g. quellvox-reg), takes
  // them into Settings, AutoStart and RunOnLogon, traces it and returns
  // true; otherwise (also when the store cannot be read) changes nothing.
  // No message. For the settings dialog, which opens on what is stored.
  bool TakeStoreChanges();
  // What a reload of the settings from the store changed.
  enum class SettingsChange {
    None,
    Mixer,  // only the mixer part: PublishMixerSettings hands it to a running pump
    Relay,  // the capture source, the engines, the layer or its show type, or the delay:
            // a running relay takes these only with a restart
  };
  // Loads the settings again (LoadSettings, with its messages) and compares
  // them with what was held before. AutoStart and RunOnLogon are read but do
  // not count as a change.
  SettingsChange ReloadSettings();

  // The statistics window's corner, in the instance's key; a key not made
  // yet is not made for it (a position alone makes no instance).
  Status SaveStatsWindowPosition(int32_t x, int32_t y);
  // False when no position is stored.
  bool LoadStatsWindowPosition(int32_t& x, int32_t& y);

  const std::string InstanceId;
  const std::string InstanceKeyPath;  // "Quellvox\<id>"
  const std::string RunValueName;     // "Quellvox<id>"
  const std::string RunCommand;       // "\"<program path>\" <id>"

  TitleEngineCatalogue TitleEngines;
  CaptureSourceCatalogue CaptureSources;
  bool RunOnLogon = false;
  bool AutoStart = false;
  DuckerSettings Settings;
  MixerHandoff Mixer;  // Settings' mixer part on its way to the pump
  MediaPipeline Pipeline;
  PipelineStats Stats;
  FloorGainHistory StripHistory;  // from the start of the relay
  LoudnessMeter Loudness;         // one meter per mix plane, fed by the pump

  UserMessages& Messages;

 private:
  const std::chrono::steady_clock::time_point createdAt_ = std::chrono::steady_clock::now();
  // What the store held when this instance last read or wrote it.
  struct StoredState {
    DuckerSettings Settings;
    bool AutoStart = false;
    bool RunOnLogon = false;
  };
  // Reads the store into `state` (on top of what it holds); `messages` null
  // for a silent read.
  Status ReadStore(StoredState& state, UserMessages* messages);
  StoredState stored_;
};

}  // namespace quellvox
