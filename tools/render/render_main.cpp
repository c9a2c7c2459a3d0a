// quellvox-render [options] INPUT OUTPUT: the ducking engine over a
// recording. Exit code 0 on success, 2 on any mistake or failure.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/render/render_options.h"
#include "tools/render/renderer.h"

int main(int argc, char** argv) {
  using namespace quellvox;
  std::vector<std::string> args(argv + 1, argv + argc);
  RenderOptions options;
  const Status parsed = ParseRenderOptions(args, options);
  if (!parsed.IsOk()) {
    std::fprintf(stderr, "quellvox-render: %s\n%s", parsed.Message().c_str(), kRenderUsage);
    return 2;
  }
  if (options.Help) {
    std::fputs(kRenderUsage, stdout);
    return 0;
  }
  RenderSummary summary;
  if (const Status rendered = Render(options, summary); !rendered.IsOk()) {
    std::fprintf(stderr, "quellvox-render: %s\n", rendered.Message().c_str());
    return 2;
  }
  if (summary.InputTruncated) {
    std::fprintf(stderr,
                 "quellvox-render: warning: %s is shorter than its header says (cut off?): rendered the %lld "
                 "sample frames (%.3f s) it holds\n",
                 options.Input.c_str(), static_cast<long long>(summary.Frames), summary.AudioSeconds);
  }
  const double times = summary.WallSeconds > 0.0 ? summary.AudioSeconds / summary.WallSeconds : 0.0;
  std::printf("quellvox-render: %lld blocks, %.3f s of audio, %.3f s wall, %.1f times real time\n",
              static_cast<long long>(summary.Blocks), summary.AudioSeconds, summary.WallSeconds, times);
  for (size_t k = 0; k < summary.Loudness.size(); ++k) {
    const LoudnessFigures& f = summary.Loudness[k];
    std::printf("quellvox-render: plane %zu: integrated %.1f LUFS, loudness range %.1f LU, true peak %.1f dBTP\n",
                k + 1, f.IntegratedLufs, f.RangeLu, f.TruePeakDbtp);
  }
  return 0;
}
