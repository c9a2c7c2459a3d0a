#include "platform/system/thread_priority.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace quellvox {

int32_t ThreadPriorityFor(int32_t cpuPriority) {
  switch (cpuPriority) {
    case 0:
      return 0;
    case 1:
      return 1;
    case 3:
      return 15;
    default:
      return 2;
  }
}

void ApplyThreadPriority(int32_t cpuPriority) {
  const int32_t level = ThreadPriorityFor(cpuPriority);
  // Nice values per level; lowering below 0 needs CAP_SYS_NICE or an
  // RLIMIT_NICE allowance, otherwise it is refused and ignored.
  int niceValue = 0;
  if (level == 1) niceValue = -5;
  if (level == 2) niceValue = -10;
  if (level == 15) niceValue = -15;

  const pid_t tid = static_cast<pid_t>(::syscall(SYS_gettid));
  sched_param param{};
  if (level == 15) {
    param.sched_priority = sched_get_priority_min(SCHED_FIFO) + 10;
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0) return;
  } else {
    // Leave a real-time class set earlier for this thread.
    int policy = SCHED_OTHER;
    if (pthread_getschedparam(pthread_self(), &policy, &param) == 0 && policy != SCHED_OTHER) {
      param.sched_priority = 0;
      pthread_setschedparam(pthread_self(), SCHED_OTHER, &param);
    }
  }
  (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), niceValue);
}

}  // namespace quellvox
