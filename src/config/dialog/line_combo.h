// The line combo boxes of the settings dialog: the 24 line texts in list
// order (Stereo#1..8, Left#1..8, Right#1..8) and the reference they select.
// User-interface thread only.
#pragma once

#include "config/settings.h"

class QComboBox;

namespace quellvox {

inline constexpr int kLineComboItems = 24;

// The list position of a reference: 8 x Kind + Pair for the three kinds,
// Stereo for any other Kind; -1 for a Pair outside the eight pairs offered.
int LineComboPosition(const AudioLineRef& ref);

// Appends the 24 line texts to `combo` and selects `ref`. A reference whose
// pair lies outside 0..7 selects the first line (Stereo#1), never a line of
// another kind that its raw position would land on.
void FillLineCombo(QComboBox& combo, const AudioLineRef& ref);

// The reference of the selected position; Stereo, pair 0 when nothing is selected.
AudioLineRef ReadLineCombo(const QComboBox& combo);

}  // namespace quellvox
