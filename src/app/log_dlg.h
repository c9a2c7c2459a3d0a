// The statistics window: the statistics text refreshed twice a second, the
// live floor-gain strip under it (the operator may stretch the window, and
// the strip takes the height), the loudness of the mix planes in use under
// that, "Reset skips" and "Restart". It reopens
// where the operator last left it, when that place still lies on a screen.
// User-interface thread only.
#pragma once

#include <QDialog>
#include <QRect>
#include <cstdint>
#include <functional>
#include <vector>

class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTimer;

namespace quellvox {

class CFloorGainStrip;
class InstanceCore;

// Control and timer ids of the statistics window.
enum LogDlgId : int {
  IDC_STATS_TEXT = 1081,
  IDC_RESET_SKIPS = 1083,
  IDC_RESTART = 1087,
  IDC_LOUDNESS = 1090,  // the loudness lines under the strip
  kStatsRefreshTimer = 100,  // every 500 ms
  kPlacementTimer = 102,     // once, 10 ms after opening
};

// The window rectangle (left, top, right, bottom; right and bottom
// exclusive) shares at least one pixel with the monitor rectangle `m`:
// touching along an edge is not enough. 64-bit, so that a stored position
// near the 32-bit limits cannot wrap.
struct ScreenRect {
  int64_t Left = 0;
  int64_t Top = 0;
  int64_t Right = 0;
  int64_t Bottom = 0;
};
bool SharesAPixel(const ScreenRect& window, const QRect& m);

class CLogDlg : public QDialog {
 public:
  // `core` gives the text, the counters, the identifier and the position
  // storage; `onRestart` is the frame's Restart command, run directly.
  CLogDlg(InstanceCore& core, std::function<void()> onRestart, QWidget* parent = nullptr);

  // Moves the window to the saved position when that shares a pixel with a
  // screen; otherwise it stays where it is.
  void PlaceAtSavedPosition();

 protected:
  void showEvent(QShowEvent* event) override;
  void done(int result) override;

 private:
  void OnTimer(int id);

  InstanceCore& core_;
  std::function<void()> onRestart_;
  QPlainTextEdit* text_ = nullptr;
  CFloorGainStrip* strip_ = nullptr;
  QLabel* loudness_ = nullptr;
  QTimer* refresh_ = nullptr;
  QTimer* placement_ = nullptr;
  bool initialised_ = false;
};

}  // namespace quellvox
