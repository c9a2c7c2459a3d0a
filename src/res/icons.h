// The program's icons, drawn in code so that each size is drawn for itself
// (crisp at the 16 x 16 of the notification area and at the 22, 24 and 32
// pixels that Linux panels use) and nothing has to be found on disk.
//
//   310 NotInitialized  grey disc, grey mark
//   311 StartRecording  white disc, mark half green
//   312 Running         white disc, bright green mark (also the program icon 128)
//   313 StopRecording   white disc, mark green above and blue below
//   314 Stopped         grey disc, blue mark, red cross over the upper left
//   315 ErrorState      red disc, green mark
//
// The mark is a "play" triangle: the relay goes through when it is green.
#pragma once

#include <QIcon>
#include <QImage>
#include <cstdint>

namespace quellvox {

// Sizes drawn into every icon, in pixels.
inline constexpr int kIconSizes[] = {16, 22, 24, 32, 48, 64, 128, 256};

// Icon resource `id` (128 or 310..315) drawn at `size` x `size` pixels; a
// null image for another id. Needs no display.
QImage DrawIconResource(uint32_t id, int size);

// Icon resource `id` with every size of kIconSizes; a null icon for another
// id. Needs a QGuiApplication.
QIcon LoadIconResource(uint32_t id);

}  // namespace quellvox
