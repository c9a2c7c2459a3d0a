// The one clock of the studio: the steady clock for real runs, a manual
// clock that tests move. 100 ns units since the studio epoch.
#pragma once

#include <cstdint>

namespace quellvox::studio {

// Any thread; lock-free.
int64_t ClockNow();

void ClockUseManual(int64_t time100ns);
void ClockUseSteady();
bool ClockIsManual();
// Manual clock only; ignored when it would move the clock backwards.
void ClockSet(int64_t time100ns);

}  // namespace quellvox::studio
