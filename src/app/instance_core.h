// Everything one running instance owns beyond a single command, without the
// desktop: its identifier and the names formed from it, both catalogues, the
// settings with AutoStart and RunOnLogon, the pipeline and its statistics.
// The desktop main frame owns one and forwards its commands to it. Every
// operation here runs on the user-interface thread.
#pragma once

#include <cstdint>
#include <string>

#include "app/user_messages.h"
#include "audio/pipeline_stats.h"
#include "config/catalogues.h"
#include "config/mixer_handoff.h"
#include "config/settings.h"
#include "pipeline/media_pipeline.h"

namespace quellvox {

class InstanceCore {
 public:
  // `programPath` is the running program file (for the logon command).
  InstanceCore(std::string instanceId, std::string programPath, UserMessages& messages);
  ~InstanceCore();  // stops the pipeline
  InstanceCore(const InstanceCore&) = delete;
  InstanceCore& operator=(const InstanceCore&) = delete;

  // Pipeline: start (stop, assemble, show the assembly's message on failure,
  // reset the skip counters, start the pump), stop (join every thread,
  // release every reference).
  bool StartPipeline();
  // The same start for a caller without a desktop (the remote interface):
  // the assembly's message goes into `failure` instead of a message box.
  bool StartPipeline(std::string* failure);
  void StopPipeline();
  std::string AssemblePipeline();
  std::string BuildStatisticsText() const;

  // After the user applied a change to Settings: hands the mixer part (the
  // eight rows, the floor, the three parameters, CpuPriority) to a running
  // pump, which takes it on its next pass. Where the settings say "mixer
  // changed", this is the call. Never waits for the pump.
  void PublishMixerSettings();

  // Settings and the logon entry through the registry component.
  void LoadSettings();
  void SaveSettings();
  bool SaveStatsWindowPosition(int32_t x, int32_t y);
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

  UserMessages& Messages;
};

}  // namespace quellvox
