// control_load PORT [RATE [SECONDS]]: a small load client for the remote
// interface. Sends RATE requests a second (default 200) for SECONDS
// (default 60), alternating GET /metrics and GET /api/v1/status on one
// keep-alive connection, paced on the steady clock; prints how many it
// sent, how many failed and the mean answer time.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "http_client.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: control_load PORT [RATE [SECONDS]]\n");
    return 2;
  }
  const int port = std::atoi(argv[1]);
  const int rate = argc > 2 ? std::atoi(argv[2]) : 200;
  const int seconds = argc > 3 ? std::atoi(argv[3]) : 60;
  if (port <= 0 || rate <= 0 || seconds <= 0) return 2;
  quellvox::bench::HttpClient client(port);
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  const auto period = std::chrono::nanoseconds(1'000'000'000LL / rate);
  long sent = 0;
  long failed = 0;
  double answerSeconds = 0;
  std::string body;
  for (auto next = start; next < start + std::chrono::seconds(seconds); next += period) {
    std::this_thread::sleep_until(next);
    const auto t0 = Clock::now();
    const int status = client.Get(sent % 2 == 0 ? "/metrics" : "/api/v1/status", &body);
    answerSeconds += std::chrono::duration<double>(Clock::now() - t0).count();
    ++sent;
    if (status != 200) ++failed;
  }
  std::printf("sent %ld, failed %ld, mean answer %.3f ms, %.1f requests/s\n", sent, failed,
              sent > 0 ? answerSeconds / static_cast<double>(sent) * 1e3 : 0.0,
              static_cast<double>(sent) / std::chrono::duration<double>(Clock::now() - start).count());
  return failed == 0 ? 0 : 1;
}
