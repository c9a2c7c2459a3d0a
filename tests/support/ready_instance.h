// A ready instance for the tests that need one: the instance core with both
// catalogues filled, as the main frame has it after its start, and the
// settings that make it relay.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "app/instance_core.h"
#include "app/user_messages.h"
#include "config/settings.h"

namespace quellvox::test_support {

// Instance `id` of the program at `program`, both catalogues filled from
// the components registered; a catalogue that cannot be filled fails the
// test that asked.
inline std::unique_ptr<InstanceCore> MakeInstance(const std::string& id, UserMessages& messages,
                                                  const std::string& program = "/opt/quellvox/quellvox") {
  auto core = std::make_unique<InstanceCore>(id, program, messages);
  EXPECT_EQ(core->TitleEngines.Refresh(), S_OK);
  EXPECT_EQ(core->CaptureSources.Refresh(), S_OK);
  return core;
}

// Complete settings that relay catalogue capture `capture` into the engines
// of `mask` on a layer named `region`: row 1 takes the second stereo pair
// onto the engines' first, over the floor of the first pair.
inline void MakeRelaySettings(DuckerSettings& s, int32_t capture, uint32_t mask, const std::string& region) {
  s.CaptureSource = capture;
  s.TitleEngineMask = mask;
  s.RegionName = region;
  s.Lines[0].Use = true;
  s.Lines[0].From = {Stereo, 1};
  s.Lines[0].To = {Stereo, 0};
}

}  // namespace quellvox::test_support
