// The settings dialog: the operator edits the instance's settings record and
// its two start-up flags, validates them and applies them, also while the
// pipeline runs. Every control carries its control id as object name.
// User-interface thread only.
#pragma once

#include <QDialog>
#include <array>
#include <string>

#include "config/catalogues.h"
#include "config/settings.h"

class QCheckBox;
class QComboBox;
class QGridLayout;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QSpinBox;

namespace quellvox {

// What the dialog needs of the frame that opens it.
class SettingsDlgFrame {
 public:
  virtual ~SettingsDlgFrame() = default;
  virtual std::string InstanceId() const = 0;
  // Writes the record, AutoStart and the logon entry, with its own messages;
  // false when the save failed (and said so).
  virtual bool SaveSettings() = 0;
  // Hands the mixer part of the record to a running pump, which takes it
  // whole on its next pass: the record's "mixer changed".
  virtual void PublishMixerSettings() = 0;
};

// Control ids of the settings dialog.
enum SettingsControl : int {
  IDC_RUN_ON_LOGON = 1000,
  IDC_AUTO_START = 1001,
  IDC_REGION_NAME = 1003,
  IDC_CAPTURE = 1004,
  IDC_USE_LINE_0 = 1010,  // + row 1..8
  IDC_FROM_0 = 1020,      // + row
  IDC_TO_0 = 1030,        // + row
  IDC_ATTENUATION_LABEL = 1041,
  IDC_ATTENUATION_UNIT = 1042,
  IDC_THRESHOLD_LABEL = 1043,
  IDC_THRESHOLD_UNIT = 1044,
  IDC_TIMEOUT_LABEL = 1045,
  IDC_TIMEOUT_UNIT = 1046,
  IDC_VOLUME_0 = 1050,  // + row: the gain field (its spin arrows are 1060 + row)
  IDC_USE_COMMON = 1071,
  IDC_COMMON_LINE = 1072,
  IDC_DELAY = 1073,  // with its spin arrows (1074)
  IDC_DECREASE = 1075,
  IDC_NOISE_LEVEL = 1077,
  IDC_TIMEOUT = 1079,
  IDC_ENGINES = 1082,
  IDC_SHOW_ON_START = 1084,
  IDC_PRIORITY = 1085,
  IDC_APPLY = 1086,
  IDC_OK = 1,
};

// Number fields: the value taken is always inside the field's range, and
// the field's tooltip gives the range. A number typed beyond the range is
// set to the nearest bound when the field is left and before every apply
// (300 as the delay becomes 250, -30 dB becomes -24), and the tooltip then
// says what was typed and what was taken; a lone sign or an empty field
// takes the value in range nearest to 0 (5 for the delay, 0 for the others).
// Stored values outside a range are shown at the nearest bound and applied
// as shown.
//
// Title engines at catalogue position 32 and beyond cannot be held in
// TitleEngineMask: they are listed greyed, without a check box, with a note
// saying why.
class CSettingsDlg : public QDialog {
 public:
  CSettingsDlg(SettingsDlgFrame& frame, bool& runOnLogon, bool& autoStart, DuckerSettings& settings,
               const TitleEngineCatalogue& engines, const CaptureSourceCatalogue& sources, bool pipelineRunning,
               QWidget* parent = nullptr);

  // The first failing check shows its message (owned by the dialog, on top),
  // moves the focus and returns false.
  bool Validate();
  // Every control into the record and the flags, the mixer part to a
  // running pump, then save; false when the save failed (the dialog keeps
  // the operator's values, and OK leaves it open).
  bool ApplyToSettings();

 private:
  void BuildControls();
  QGroupBox* BuildStartupGroup();
  QGroupBox* BuildCaptureGroup();
  QGroupBox* BuildTargetGroup();
  QGridLayout* BuildMixerRows();
  QGridLayout* BuildFloorParameters();
  void Initialise();
  void OnRowEnable(int row);  // 1..8
  void OnFloorEnable();
  void OnApply();
  void OnOK();
  void Warn(const char* text);

  SettingsDlgFrame& frame_;
  bool& runOnLogon_;
  bool& autoStart_;
  DuckerSettings& settings_;
  const TitleEngineCatalogue& engines_;
  const CaptureSourceCatalogue& sources_;
  const bool pipelineRunning_;

  QCheckBox* runOnLogonBox_ = nullptr;
  QCheckBox* autoStartBox_ = nullptr;
  QComboBox* priority_ = nullptr;
  QComboBox* capture_ = nullptr;
  QSpinBox* delay_ = nullptr;
  QLineEdit* name_ = nullptr;
  QComboBox* showOnStart_ = nullptr;
  QListWidget* engineList_ = nullptr;
  std::array<QCheckBox*, kVoiceOverLines> use_{};
  std::array<QComboBox*, kVoiceOverLines> from_{};
  std::array<QComboBox*, kVoiceOverLines> to_{};
  std::array<QSpinBox*, kVoiceOverLines> volume_{};
  QCheckBox* useCommon_ = nullptr;
  QComboBox* commonLine_ = nullptr;
  QSpinBox* decrease_ = nullptr;
  QSpinBox* noiseLevel_ = nullptr;
  QSpinBox* timeout_ = nullptr;
  std::array<QLabel*, 6> floorLabels_{};  // 1041..1046
  QPushButton* ok_ = nullptr;
  QPushButton* apply_ = nullptr;
};

}  // namespace quellvox
