// Priority of the calling thread for the CpuPriority setting.
#pragma once

#include <cstdint>

namespace quellvox {

// The thread priority a CpuPriority value stands for: 0 Normal (0),
// 1 Above Normal (1), 3 Time-critical (15), 2 and every other value
// Highest (2).
int32_t ThreadPriorityFor(int32_t cpuPriority);

// Sets the calling thread's priority: a nice value per level, and SCHED_FIFO
// for time-critical where the process may use it. A change the system
// refuses is ignored. Allocates nothing, takes no lock.
void ApplyThreadPriority(int32_t cpuPriority);

}  // namespace quellvox
