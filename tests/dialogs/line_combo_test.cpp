#include <gtest/gtest.h>

#include <QComboBox>

#include "config/dialog/line_combo.h"

namespace quellvox {
namespace {

struct FillCase {
  AudioLineRef Ref;
  int Selected;
  const char* Text;
};

TEST(LineCombo, FillSelectsTheReferenceOrTheFirstLine) {
  const FillCase cases[] = {
      {{Stereo, 0}, 0, "Stereo#1"}, {{Right, 7}, 23, "Right#8"}, {{Left, 0}, 8, "Left#1"},
      {{5, 2}, 2, "Stereo#3"},      // any other kind is Stereo
      {{Stereo, 30}, 0, "Stereo#1"},
      {{Stereo, 8}, 0, "Stereo#1"},  // a stored "Stereo#9": not Left#1
      {{Left, -3}, 0, "Stereo#1"},   // not Stereo#6
      {{Right, 8}, 0, "Stereo#1"},  {{Right, -49}, 0, "Stereo#1"},
  };
  for (const FillCase& c : cases) {
    QComboBox combo;
    FillLineCombo(combo, c.Ref);
    ASSERT_EQ(combo.count(), 24);
    EXPECT_EQ(combo.currentIndex(), c.Selected) << c.Ref.Kind << "/" << c.Ref.Pair;
    EXPECT_EQ(combo.currentText(), c.Text) << c.Ref.Kind << "/" << c.Ref.Pair;
  }
}

TEST(LineCombo, ReadGivesTheReferenceOfTheSelection) {
  QComboBox combo;
  FillLineCombo(combo, {});
  const struct {
    int Position;
    AudioLineRef Ref;
  } cases[] = {{8, {Left, 0}}, {15, {Left, 7}}, {16, {Right, 0}}, {23, {Right, 7}}, {7, {Stereo, 7}}, {-1, {Stereo, 0}}};
  for (const auto& c : cases) {
    combo.setCurrentIndex(c.Position);
    EXPECT_EQ(ReadLineCombo(combo), c.Ref) << c.Position;
  }
  // Every offered line reads back as itself.
  for (const int32_t kind : {Stereo, Left, Right}) {
    for (int32_t pair = 0; pair < 8; ++pair) {
      QComboBox fresh;
      FillLineCombo(fresh, {kind, pair});
      EXPECT_EQ(ReadLineCombo(fresh), (AudioLineRef{kind, pair}));
    }
  }
}

}  // namespace
}  // namespace quellvox
