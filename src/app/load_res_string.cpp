#include "app/load_res_string.h"

#include "app/pipeline_state.h"
#include "res/resource_ids.h"
#include "res/string_table.h"

namespace quellvox {

std::string LoadResString(uint32_t id) {
  const char* text = FindResString(id);
  return text != nullptr ? std::string(text) : std::string("UNTRANSLATED");
}

uint32_t StateStringId(PipelineState state) {
  switch (state) {
    case PipelineState::NotInitialized: return IDS_STATE_NOT_INITIALIZED;
    case PipelineState::StartRecording: return IDS_STATE_START_RECORDING;
    case PipelineState::Running: return IDS_STATE_RUNNING;
    case PipelineState::StopRecording: return IDS_STATE_STOP_RECORDING;
    case PipelineState::Stopped: return IDS_STATE_STOPPED;
    case PipelineState::ErrorState: return IDS_STATE_ERROR;
  }
  return IDS_STATE_UNKNOWN;
}

}  // namespace quellvox
