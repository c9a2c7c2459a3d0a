// The request rules and the settings record of the remote interface, as
// tables: each row a request or a body and what it must come to.
#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "control/control_request.h"
#include "control/control_settings.h"
#include "control/loudness_json.h"
#include "control/metrics.h"

namespace quellvox {
namespace {

struct RouteRow {
  const char* Name;
  const char* Method;
  const char* Path;
  int Status;
  bool NeedsToken;
};

class ControlRoutes : public ::testing::TestWithParam<RouteRow> {};

TEST_P(ControlRoutes, AnswerAsTheTableSays) {
  const RouteRow& row = GetParam();
  const RouteMatch m = MatchRoute(row.Method, row.Path);
  EXPECT_EQ(m.HttpStatus, row.Status);
  if (row.Status == 200) {
    EXPECT_EQ(m.NeedsToken, row.NeedsToken);
  }
  if (row.Status == 405) {
    EXPECT_STRNE(m.Allow, "");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ControlRoutes,
    ::testing::Values(RouteRow{"Page", "GET", "/", 200, false}, RouteRow{"PageHead", "HEAD", "/", 200, false},
                      RouteRow{"Metrics", "GET", "/metrics", 200, false},
                      RouteRow{"Health", "GET", "/health", 200, false},
                      RouteRow{"Status", "GET", "/api/v1/status", 200, false},
                      RouteRow{"Start", "POST", "/api/v1/start", 200, true},
                      RouteRow{"ResetSkips", "POST", "/api/v1/reset-skips", 200, true},
                      RouteRow{"SettingsRead", "GET", "/api/v1/settings", 200, true},
                      RouteRow{"SettingsPatch", "PATCH", "/api/v1/settings", 200, true},
                      RouteRow{"Events", "GET", "/api/v1/events", 200, true},
                      RouteRow{"StartByGet", "GET", "/api/v1/start", 405, false},
                      RouteRow{"MetricsByPost", "POST", "/metrics", 405, false},
                      RouteRow{"SettingsDelete", "DELETE", "/api/v1/settings", 405, false},
                      RouteRow{"CaseMatters", "POST", "/API/v1/start", 404, false},
                      RouteRow{"TrailingSlash", "POST", "/api/v1/start/", 404, false},
                      RouteRow{"OtherVersion", "GET", "/api/v2/status", 404, false},
                      RouteRow{"Empty", "", "", 404, false}, RouteRow{"DotDot", "GET", "/../metrics", 404, false}),
    [](const auto& param) { return std::string(param.param.Name); });

TEST(ControlBearer, TakesOnlyAWellFormedBearerHeader) {
  EXPECT_EQ(BearerToken("Bearer abc"), "abc");
  EXPECT_EQ(BearerToken("bearer   abc  "), "abc");
  EXPECT_FALSE(BearerToken("Bearer"));
  EXPECT_FALSE(BearerToken("Bearer "));
  EXPECT_FALSE(BearerToken("Bearerabc"));
  EXPECT_FALSE(BearerToken("Basic abc"));
  EXPECT_FALSE(BearerToken("Bearer a b"));
  EXPECT_FALSE(BearerToken(std::string_view("Bearer a\0b", 10)));
}

TEST(ControlOrigin, TakesNoOriginOrTheInterfacesOwnPageOnly) {
  EXPECT_TRUE(OriginAllowed(std::nullopt, "127.0.0.1:8480"));
  EXPECT_TRUE(OriginAllowed("http://127.0.0.1:8480", "127.0.0.1:8480"));
  EXPECT_TRUE(OriginAllowed("http://LOCALHOST:8480", "localhost:8480"));
  EXPECT_FALSE(OriginAllowed("http://127.0.0.1:8481", "127.0.0.1:8480"));
  EXPECT_FALSE(OriginAllowed("http://evil.example", "127.0.0.1:8480"));
  EXPECT_FALSE(OriginAllowed("null", "127.0.0.1:8480"));
  EXPECT_FALSE(OriginAllowed("http://127.0.0.1:8480", ""));
  EXPECT_FALSE(OriginAllowed("https://127.0.0.1:8480", "127.0.0.1:8480"));
}

TEST(ControlAddress, KnowsLoopbackFromOtherAddresses) {
  for (const char* a : {"127.0.0.1", "127.1.2.3", "::1", "[::1]", "localhost"}) EXPECT_TRUE(IsLoopbackAddress(a)) << a;
  for (const char* a : {"0.0.0.0", "192.168.1.5", "127.0.0", "127.0.0.1.5", "127.a.0.1", "::", ""}) {
    EXPECT_FALSE(IsLoopbackAddress(a)) << a;
  }
}

TEST(ControlRestartQuery, TakesOnlyTheRestartFlag) {
  bool restart = true;
  EXPECT_TRUE(ParseRestartQuery("", restart));
  EXPECT_FALSE(restart);
  EXPECT_TRUE(ParseRestartQuery("restart=1", restart));
  EXPECT_TRUE(restart);
  EXPECT_FALSE(ParseRestartQuery("restart=yes", restart));
  EXPECT_FALSE(ParseRestartQuery("restart=1&x=2", restart));
}

// ---------------------------------------------------------------------------
// Settings bodies

CatalogueNames Names() { return CatalogueNames{{"Engine 1", "Engine 2"}, {"Capture A", "Capture B"}}; }

RemoteSettings Complete() {
  RemoteSettings r;
  r.Settings.CaptureSource = 1;
  r.Settings.TitleEngineMask = 0b10;
  r.Settings.RegionName = "Lower";
  r.Settings.Lines[0].Use = true;
  r.Settings.Lines[0].From = {Stereo, 1};
  return r;
}

struct BodyRow {
  const char* Name;
  const char* Body;
  int Status;
};

class ControlSettingsBodies : public ::testing::TestWithParam<BodyRow> {};

TEST_P(ControlSettingsBodies, RefusedBodiesLeaveTheRecordAlone) {
  const BodyRow& row = GetParam();
  RemoteSettings record = Complete();
  const std::string before = SettingsToJson(record, Names());
  const SettingsParseResult result = ApplySettingsJson(row.Body, false, record, Names());
  EXPECT_EQ(result.HttpStatus, row.Status) << result.Message;
  EXPECT_FALSE(result.Message.empty());
  EXPECT_EQ(SettingsToJson(record, Names()), before);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ControlSettingsBodies,
    ::testing::Values(
        BodyRow{"NotJson", "{", 400}, BodyRow{"Array", "[1]", 400}, BodyRow{"EmptyObject", "{}", 400},
        BodyRow{"Empty", "", 400}, BodyRow{"UnknownName", R"({"Bogus": 1})", 400},
        BodyRow{"StoredNameCaseWrong", R"({"delayinframes": 10})", 400},
        BodyRow{"DelayBelowRange", R"({"DelayInFrames": 4})", 400},
        BodyRow{"DelayAboveRange", R"({"DelayInFrames": 251})", 400},
        BodyRow{"DelayAsText", R"({"DelayInFrames": "10"})", 400},
        BodyRow{"DelayFraction", R"({"DelayInFrames": 10.5})", 400},
        BodyRow{"DelayHuge", R"({"DelayInFrames": 99999999999999999999})", 400},
        BodyRow{"VolumeBelowRange", R"({"VolumeDB4Line3": -25})", 400},
        BodyRow{"PriorityAboveRange", R"({"CpuPriority": 4})", 400},
        BodyRow{"UseAsNumber", R"({"UseLine1": 1})", 400},
        BodyRow{"LineNinthPair", R"({"From4Line1": "Stereo#9"})", 400},
        BodyRow{"LineNoNumber", R"({"From4Line1": "Stereo#"})", 400},
        BodyRow{"LineTrailing", R"({"From4Line1": "Stereo#1x"})", 400},
        BodyRow{"UnknownCapture", R"({"CaptureSource": "Capture Z"})", 400},
        BodyRow{"UnknownEngine", R"({"TitleEngines": ["Engine 1", "Engine 9"]})", 400},
        BodyRow{"EnginesNotList", R"({"TitleEngines": "Engine 1"})", 400},
        BodyRow{"GoodThenBad", R"({"RegionName": "Other", "DelayInFrames": 0})", 400},
        BodyRow{"NoCapture", R"({"CaptureSource": null})", 422},
        BodyRow{"NoEngine", R"({"TitleEngines": []})", 422}, BodyRow{"NoLayer", R"({"RegionName": ""})", 422},
        BodyRow{"NoLine", R"({"UseLine1": false})", 422}),
    [](const auto& param) { return std::string(param.param.Name); });

TEST(ControlSettings, RefusesWithTheDialogsMessageOfTheFirstFailingCheck) {
  RemoteSettings record;  // nothing selected: the capture check comes first
  SettingsParseResult r = ApplySettingsJson(R"({"RegionName": "X"})", false, record, Names());
  EXPECT_EQ(r.HttpStatus, 422);
  EXPECT_EQ(r.Message, "Select capture source first!");
  r = ApplySettingsJson(R"({"CaptureSource": "capture a"})", false, record, Names());
  EXPECT_EQ(r.Message, "Select title engine first!");
  r = ApplySettingsJson(R"({"CaptureSource": "Capture A", "TitleEngines": ["Engine 2"]})", false, record, Names());
  EXPECT_EQ(r.Message, "Select name for output layer!");
  r = ApplySettingsJson(R"({"CaptureSource": "Capture A", "TitleEngines": ["Engine 2"], "RegionName": "L"})", false,
                        record, Names());
  EXPECT_EQ(r.Message, "Select at least one audio line!");
}

TEST(ControlSettings, PutNeedsEveryValueAndRoundTripsTheRecord) {
  RemoteSettings record = Complete();
  record.Settings.Lines[4].VolumeDB = -7;
  record.Settings.CommonLine = {Right, 3};
  record.AutoStart = true;
  const std::string text = SettingsToJson(record, Names());
  RemoteSettings other = Complete();
  other.Settings.DelayInFrames = 40;
  const SettingsParseResult whole = ApplySettingsJson(text, true, other, Names());
  ASSERT_EQ(whole.HttpStatus, 200) << whole.Message;
  EXPECT_EQ(SettingsToJson(other, Names()), text);
  EXPECT_TRUE(whole.NeedsRestart);  // the delay went back

  const SettingsParseResult part = ApplySettingsJson(R"({"RegionName": "Other"})", true, other, Names());
  EXPECT_EQ(part.HttpStatus, 400);
  EXPECT_NE(part.Message.find("missing setting"), std::string::npos);
}

TEST(ControlSettings, SaysWhetherAChangeNeedsARestartOrReachesThePump) {
  RemoteSettings record = Complete();
  SettingsParseResult r = ApplySettingsJson(R"({"DecreaseDB": 6, "VolumeDB4Line1": 3})", false, record, Names());
  EXPECT_TRUE(r.MixerChanged);
  EXPECT_FALSE(r.NeedsRestart);
  EXPECT_EQ(record.Settings.DecreaseDB, 6);
  for (const char* body : {R"({"DelayInFrames": 11})", R"({"RegionName": "New"})", R"({"ShowOnStartType": 2})",
                           R"({"CaptureSource": "Capture A"})", R"({"TitleEngines": ["Engine 1", "Engine 2"]})"}) {
    r = ApplySettingsJson(body, false, record, Names());
    EXPECT_TRUE(r.NeedsRestart) << body;
    EXPECT_FALSE(r.MixerChanged) << body;
  }
  r = ApplySettingsJson(R"({"AutoStart": true})", false, record, Names());
  EXPECT_FALSE(r.NeedsRestart);
  EXPECT_FALSE(r.MixerChanged);
}

TEST(MonotonicCount, NeverGoesDownOverResetsAndWraps) {
  MonotonicCount skips;
  skips.FeedResettable(5);
  skips.FeedResettable(2);  // reset to 0, then 2 more
  skips.FeedResettable(3);
  EXPECT_EQ(skips.Total, 8u);
  MonotonicCount passes;
  passes.FeedWrapping(0xFFFFFFF0u);
  passes.FeedWrapping(0x10u);
  EXPECT_EQ(passes.Total, uint64_t{0xFFFFFFF0u} + 0x20u);
}

// Each metered plane's figures in /metrics and in the JSON while the relay
// runs; a figure not known yet is NaN there and null here; a stopped relay
// has no plane series, and the missed blocks count on.
TEST(ControlLoudness, EachPlaneWhileRunningWithUnknownFiguresAsNanAndNull) {
  const double inf = std::numeric_limits<double>::infinity();
  LoudnessSnapshot loudness;
  loudness.Planes = 2;
  loudness.Plane[0] = {-20.5, -21.25, -23.0, 4.5, -1.5};
  loudness.Plane[1] = {-inf, -inf, -inf, 0.0, -inf};  // silence so far
  loudness.BlocksMetered = 250;
  loudness.BlocksDropped = 3;
  InstanceSnapshot snapshot;
  snapshot.InstanceId = "#L";
  snapshot.Running = true;
  PipelineStats stats;
  MetricsExporter exporter;
  const std::string text = exporter.Render(stats, snapshot, loudness);
  const char* const present[] = {
      "quellvox_loudness_momentary_lufs{instance=\"#L\",plane=\"1\"} -20.5\n",
      "quellvox_loudness_short_term_lufs{instance=\"#L\",plane=\"1\"} -21.25\n",
      "quellvox_loudness_integrated_lufs{instance=\"#L\",plane=\"1\"} -23\n",
      "quellvox_loudness_range_lu{instance=\"#L\",plane=\"1\"} 4.5\n",
      "quellvox_loudness_true_peak_max_dbtp{instance=\"#L\",plane=\"1\"} -1.5\n",
      "quellvox_loudness_momentary_lufs{instance=\"#L\",plane=\"2\"} Nan\n",
      "quellvox_loudness_integrated_lufs{instance=\"#L\",plane=\"2\"} Nan\n",
      "quellvox_loudness_range_lu{instance=\"#L\",plane=\"2\"} 0\n",
      "quellvox_loudness_true_peak_max_dbtp{instance=\"#L\",plane=\"2\"} Nan\n",
      "# TYPE quellvox_loudness_blocks_dropped_total counter\nquellvox_loudness_blocks_dropped_total{instance=\"#L\"} 3\n",
  };
  for (const char* line : present) EXPECT_NE(text.find(line), std::string::npos) << line << "\nin\n" << text;
  EXPECT_EQ(text.find("plane=\"3\""), std::string::npos);  // only the metered planes

  const nlohmann::json json = LoudnessJson(loudness, true);
  ASSERT_EQ(json["planes"].size(), 2u);
  EXPECT_EQ(json["planes"][0]["plane"], 1);
  EXPECT_EQ(json["planes"][0]["shortTermLufs"], -21.25);
  EXPECT_EQ(json["planes"][0]["truePeakMaxDbtp"], -1.5);
  EXPECT_TRUE(json["planes"][1]["momentaryLufs"].is_null());
  EXPECT_TRUE(json["planes"][1]["truePeakMaxDbtp"].is_null());
  EXPECT_EQ(json["planes"][1]["rangeLu"], 0.0);
  EXPECT_EQ(json["blocksDropped"], 3);

  // Stopped: the figures stay in the meters, but no plane series or rows.
  snapshot.Running = false;
  loudness.BlocksDropped = 1;  // a new run that missed one block: the count never goes down
  const std::string stopped = exporter.Render(stats, snapshot, loudness);
  EXPECT_EQ(stopped.find("quellvox_loudness_momentary_lufs{"), std::string::npos) << stopped;
  EXPECT_NE(stopped.find("quellvox_loudness_blocks_dropped_total{instance=\"#L\"} 4\n"), std::string::npos) << stopped;
  EXPECT_TRUE(LoudnessJson(loudness, false)["planes"].empty());
}

}  // namespace
}  // namespace quellvox
