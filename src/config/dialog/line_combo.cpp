#include "config/dialog/line_combo.h"

#include <QComboBox>
#include <QString>

#include "config/line_text.h"

namespace quellvox {

int LineComboPosition(const AudioLineRef& ref) {
  if (ref.Pair < 0 || ref.Pair >= kLinePairsOffered) return -1;
  const int32_t kind = ref.Kind == Left || ref.Kind == Right ? ref.Kind : Stereo;
  return kind * kLinePairsOffered + ref.Pair;
}

void FillLineCombo(QComboBox& combo, const AudioLineRef& ref) {
  for (const int32_t kind : {Stereo, Left, Right}) {
    for (int32_t pair = 0; pair < kLinePairsOffered; ++pair) {
      combo.addItem(QString::fromStdString(FormatLineRef({kind, pair})));
    }
  }
  // A stored Left pair of -3 would otherwise land on Stereo#6 and a Stereo
  // pair of 8 on Left#1: applying the dialog would then quietly route
  // another line. Such a reference shows the first line instead.
  const int position = LineComboPosition(ref);
  combo.setCurrentIndex(position < 0 ? 0 : position);
}

AudioLineRef ReadLineCombo(const QComboBox& combo) {
  const int s = combo.currentIndex();
  if (s >= 2 * kLinePairsOffered) return {Right, s - 2 * kLinePairsOffered};
  if (s >= kLinePairsOffered) return {Left, s - kLinePairsOffered};
  return {Stereo, s < 0 ? 0 : s};
}

}  // namespace quellvox
