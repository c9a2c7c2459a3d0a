#include "config/dialog/settings_dlg.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>
#include <limits>

#include <algorithm>

#include "config/dialog/line_combo.h"

namespace quellvox {

namespace {

constexpr const char* kProgramName = "Quellvox";
constexpr const char* kPriorityTexts[] = {"Normal", "Above Normal", "Highest", "Realtime"};
constexpr const char* kShowOnStartTexts[] = {"Auto", "Show", "Hide"};

template <class W>
W* Named(W* widget, int id) {
  widget->setObjectName(QString::number(id));
  return widget;
}

QComboBox* DropDownList(int id) {
  auto* combo = Named(new QComboBox, id);
  combo->setEditable(false);  // a drop-down list: items only, in the order added
  combo->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  return combo;
}

// A number field that takes digits, and a leading minus where the range
// goes below 0; nothing else (no plus sign, no blanks). Every number can be
// typed in full: one beyond the range stays as typed until the field is left
// or applied, then becomes the nearest bound (Qt on its own would take the
// value nearest to 0 instead, or refuse the keystroke and keep a number
// with a digit less: -3 for -30).
class NumberSpin final : public QSpinBox {
 public:
  QValidator::State validate(QString& text, int& pos) const override {
    for (qsizetype i = 0; i < text.size(); ++i) {
      const QChar c = text[i];
      if (c.isDigit() && c.unicode() < 128) continue;
      if (i == 0 && c == u'-' && minimum() < 0) continue;
      return QValidator::Invalid;
    }
    const QValidator::State state = QSpinBox::validate(text, pos);
    if (state != QValidator::Invalid) return state;
    // Digits beyond the range: not yet a value, never refused. At most ten
    // digits (a 32-bit number).
    const qsizetype digits = text.size() - (text.startsWith(u'-') ? 1 : 0);
    return digits > 0 && digits <= 10 ? QValidator::Intermediate : QValidator::Invalid;
  }

  void fixup(QString& text) const override {
    bool ok = false;
    const qlonglong typed = text.toLongLong(&ok);
    if (!ok) return;  // a lone sign or nothing: Qt takes the value nearest to 0
    const qlonglong taken = std::clamp<qlonglong>(typed, minimum(), maximum());
    if (taken == typed) return;
    text = QString::number(taken);
    // The field shows the bound; its tooltip says why.
    const_cast<NumberSpin*>(this)->setToolTip(QString("%1 is beyond the range %2: %3 is taken.")
                                                   .arg(typed)
                                                   .arg(RangeText())
                                                   .arg(taken));
  }

  QString RangeText() const { return QString("from %1 to %2").arg(minimum()).arg(maximum()); }
};

QSpinBox* NumberField(int id, NumberRange range) {
  auto* spin = Named(new NumberSpin, id);
  spin->setRange(range.Min, range.Max);
  spin->setToolTip(QString("From %1 to %2.").arg(range.Min).arg(range.Max));
  spin->setCorrectionMode(QAbstractSpinBox::CorrectToNearestValue);
  spin->setAlignment(Qt::AlignRight);
  spin->setAccelerated(true);
  return spin;
}

// The value of a number field with whatever is typed in it taken in first
// (an unfinished entry is set into range, see the class comment).
int FieldValue(QSpinBox* spin) {
  spin->interpretText();
  return spin->value();
}

QString EngineText(const std::string& name, int position) {
  const QString text = QString::fromStdString(name);
  if (position < kMaxTargets) return text;
  return QString("%1  (not selectable: only the first %2 engines can be used)").arg(text).arg(kMaxTargets);
}

}  // namespace

CSettingsDlg::CSettingsDlg(SettingsDlgFrame& frame, bool& runOnLogon, bool& autoStart, DuckerSettings& settings,
                           const TitleEngineCatalogue& engines, const CaptureSourceCatalogue& sources,
                           bool pipelineRunning, QWidget* parent)
    : QDialog(parent),
      frame_(frame),
      runOnLogon_(runOnLogon),
      autoStart_(autoStart),
      settings_(settings),
      engines_(engines),
      sources_(sources),
      pipelineRunning_(pipelineRunning) {
  setObjectName("321");
  // Caption and close box only: no help or resize grip on a modal frame.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
  BuildControls();
  Initialise();
}

QGroupBox* CSettingsDlg::BuildStartupGroup() {
  auto* startup = new QGroupBox("Startup settings");
  auto* startupGrid = new QGridLayout(startup);
  runOnLogonBox_ = Named(new QCheckBox("Run appliation on system logon"), IDC_RUN_ON_LOGON);
  autoStartBox_ = Named(new QCheckBox("Start on Run"), IDC_AUTO_START);
  priority_ = DropDownList(IDC_PRIORITY);
  startupGrid->addWidget(runOnLogonBox_, 0, 0, 1, 2);
  startupGrid->addWidget(autoStartBox_, 1, 0);
  startupGrid->addWidget(priority_, 1, 1);
  startupGrid->setColumnStretch(1, 1);
  return startup;
}

QGroupBox* CSettingsDlg::BuildCaptureGroup() {
  auto* captureGroup = new QGroupBox("Capture source");
  auto* captureGrid = new QGridLayout(captureGroup);
  capture_ = DropDownList(IDC_CAPTURE);
  capture_->setMinimumContentsLength(24);  // the longest display name sets the width beyond that
  delay_ = NumberField(IDC_DELAY, kDelayRange);
  delay_->setProperty("spinId", 1074);
  captureGrid->addWidget(new QLabel("Input:"), 0, 0);
  captureGrid->addWidget(capture_, 0, 1, 1, 3);
  captureGrid->addWidget(new QLabel("Delay:"), 1, 0);
  captureGrid->addWidget(delay_, 1, 1);
  captureGrid->addWidget(new QLabel("frames"), 1, 2);
  captureGrid->setColumnStretch(3, 1);
  return captureGroup;
}

QGroupBox* CSettingsDlg::BuildTargetGroup() {
  auto* target = new QGroupBox("Target");
  auto* targetGrid = new QGridLayout(target);
  name_ = Named(new QLineEdit, IDC_REGION_NAME);
  // Qt's default of 32,767 characters would cut a longer stored name
  // without a word, and OK would then save the cut one: no limit of its own.
  name_->setMaxLength(std::numeric_limits<int>::max());
  showOnStart_ = DropDownList(IDC_SHOW_ON_START);
  engineList_ = Named(new QListWidget, IDC_ENGINES);
  engineList_->setSelectionMode(QAbstractItemView::NoSelection);
  engineList_->setFocusPolicy(Qt::StrongFocus);
  targetGrid->addWidget(new QLabel("Name:"), 0, 0);
  targetGrid->addWidget(name_, 0, 1);
  targetGrid->addWidget(showOnStart_, 0, 2);
  targetGrid->addWidget(engineList_, 1, 0, 1, 3);
  targetGrid->setColumnStretch(1, 1);
  targetGrid->setRowStretch(1, 1);
  return target;
}

// The eight rows under the column heads, then the floor line.
QGridLayout* CSettingsDlg::BuildMixerRows() {
  auto* rows = new QGridLayout;
  rows->addWidget(new QLabel("From:"), 0, 1, Qt::AlignHCenter);
  rows->addWidget(new QLabel("To:"), 0, 2, Qt::AlignHCenter);
  for (int n = 1; n <= kVoiceOverLines; ++n) {
    const size_t i = static_cast<size_t>(n - 1);
    use_[i] = Named(new QCheckBox(QString("VoiceOver #%1").arg(n)), IDC_USE_LINE_0 + n);
    from_[i] = DropDownList(IDC_FROM_0 + n);
    to_[i] = DropDownList(IDC_TO_0 + n);
    volume_[i] = NumberField(IDC_VOLUME_0 + n, kVolumeRange);
    volume_[i]->setProperty("spinId", 1060 + n);
    rows->addWidget(use_[i], n, 0);
    rows->addWidget(from_[i], n, 1);
    rows->addWidget(to_[i], n, 2);
    rows->addWidget(volume_[i], n, 3);
    rows->addWidget(new QLabel("dB"), n, 4);
    connect(use_[i], &QCheckBox::clicked, this, [this, n] { OnRowEnable(n); });
  }
  useCommon_ = Named(new QCheckBox("Floor Audio"), IDC_USE_COMMON);
  commonLine_ = DropDownList(IDC_COMMON_LINE);
  rows->addWidget(useCommon_, kVoiceOverLines + 1, 0);
  rows->addWidget(commonLine_, kVoiceOverLines + 1, 1);
  rows->setColumnStretch(5, 1);
  connect(useCommon_, &QCheckBox::clicked, this, [this] { OnFloorEnable(); });
  return rows;
}

// The floor's three parameters, each with its label and unit.
QGridLayout* CSettingsDlg::BuildFloorParameters() {
  auto* parameters = new QGridLayout;
  decrease_ = NumberField(IDC_DECREASE, kDecreaseRange);
  decrease_->setProperty("spinId", 1076);
  noiseLevel_ = NumberField(IDC_NOISE_LEVEL, kNoiseLevelRange);
  noiseLevel_->setProperty("spinId", 1078);
  timeout_ = NumberField(IDC_TIMEOUT, kTimeoutRange);
  timeout_->setProperty("spinId", 1080);
  const struct {
    const char* Label;
    const char* Unit;
    QSpinBox* Field;
  } parameterRows[] = {{"Floor Audio Attenuation:", "dB", decrease_},
                       {"Voice Threshold:", "dB", noiseLevel_},
                       {"Voice timeout:", "frames", timeout_}};
  for (int r = 0; r < 3; ++r) {
    auto* label = Named(new QLabel(parameterRows[r].Label), IDC_ATTENUATION_LABEL + 2 * r);
    auto* unit = Named(new QLabel(parameterRows[r].Unit), IDC_ATTENUATION_UNIT + 2 * r);
    floorLabels_[static_cast<size_t>(2 * r)] = label;
    floorLabels_[static_cast<size_t>(2 * r + 1)] = unit;
    label->setBuddy(parameterRows[r].Field);
    parameters->addWidget(label, r, 0);
    parameters->addWidget(parameterRows[r].Field, r, 1);
    parameters->addWidget(unit, r, 2);
  }
  parameters->setColumnStretch(3, 1);
  return parameters;
}

void CSettingsDlg::BuildControls() {
  QGroupBox* startup = BuildStartupGroup();
  QGroupBox* captureGroup = BuildCaptureGroup();
  QGroupBox* target = BuildTargetGroup();
  auto* left = new QVBoxLayout;
  left->addWidget(startup);
  left->addWidget(captureGroup);
  left->addWidget(target, 1);

  // Mixer settings: the rows and the floor line, then its parameters.
  auto* mixer = new QGroupBox("Mixer settings");
  auto* mixerLayout = new QVBoxLayout(mixer);
  QGridLayout* rows = BuildMixerRows();
  QGridLayout* parameters = BuildFloorParameters();
  mixerLayout->addLayout(rows);
  mixerLayout->addSpacing(6);
  mixerLayout->addLayout(parameters);
  mixerLayout->addStretch(1);

  ok_ = Named(new QPushButton("OK"), IDC_OK);
  apply_ = Named(new QPushButton("Apply"), IDC_APPLY);
  ok_->setDefault(true);  // Enter in a field means OK
  apply_->setAutoDefault(false);
  connect(ok_, &QPushButton::clicked, this, [this] { OnOK(); });
  connect(apply_, &QPushButton::clicked, this, [this] { OnApply(); });

  // Start-up, capture and target on the left, the mixer on the right; OK
  // under the left column, Apply under the right one.
  auto* grid = new QGridLayout(this);
  grid->addLayout(left, 0, 0);
  grid->addWidget(mixer, 0, 1);
  auto* okRow = new QHBoxLayout;
  okRow->setContentsMargins(12, 0, 12, 0);
  okRow->addWidget(ok_);
  auto* applyRow = new QHBoxLayout;
  applyRow->setContentsMargins(12, 0, 12, 0);
  applyRow->addWidget(apply_);
  grid->addLayout(okRow, 1, 0);
  grid->addLayout(applyRow, 1, 1);
  grid->setSizeConstraint(QLayout::SetFixedSize);
}

void CSettingsDlg::Initialise() {
  const DuckerSettings& s = settings_;
  setWindowTitle(QString("%1 %2 Settings").arg(kProgramName, QString::fromStdString(frame_.InstanceId())));
  runOnLogonBox_->setChecked(runOnLogon_);
  autoStartBox_->setChecked(autoStart_);

  for (const char* text : kPriorityTexts) priority_->addItem(text);
  // Outside 0..3 nothing is selected (-1 is a position no item has).
  const int32_t priority = s.CpuPriority.Load(std::memory_order_relaxed);
  priority_->setCurrentIndex(priority >= 0 && priority < priority_->count() ? priority : -1);

  for (const CaptureSourceEntry& e : sources_.Entries()) capture_->addItem(QString::fromStdString(e.DisplayName));
  capture_->setCurrentIndex(s.CaptureSource >= 0 && s.CaptureSource < capture_->count() ? s.CaptureSource : -1);

  delay_->setValue(s.DelayInFrames);
  name_->setText(QString::fromStdString(s.RegionName));

  const auto& entries = engines_.Entries();
  for (size_t i = 0; i < entries.size(); ++i) {
    const int position = static_cast<int>(i);
    auto* item = new QListWidgetItem(EngineText(entries[i].Name, position), engineList_);
    if (position < kMaxTargets) {
      item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
      item->setCheckState((s.TitleEngineMask >> position) & 1u ? Qt::Checked : Qt::Unchecked);
    } else {
      item->setFlags(Qt::NoItemFlags);
      item->setToolTip(QString("The settings hold at most %1 title engines.").arg(kMaxTargets));
    }
  }

  for (const char* text : kShowOnStartTexts) showOnStart_->addItem(text);
  showOnStart_->setCurrentIndex(s.ShowOnStartType >= 0 && s.ShowOnStartType < showOnStart_->count() ? s.ShowOnStartType
                                                                                                      : -1);

  for (size_t i = 0; i < s.Lines.size(); ++i) {
    const VoiceOverLine& line = s.Lines[i];
    FillLineCombo(*from_[i], line.From);
    FillLineCombo(*to_[i], line.To);
    use_[i]->setChecked(line.Use);
    from_[i]->setEnabled(line.Use);
    to_[i]->setEnabled(line.Use);
    volume_[i]->setValue(line.VolumeDB);
  }

  FillLineCombo(*commonLine_, s.CommonLine);
  useCommon_->setChecked(s.UseCommon);
  decrease_->setValue(s.DecreaseDB);
  noiseLevel_->setValue(s.NoiseLevelDB);
  timeout_->setValue(s.TimeoutInFrames);
  OnFloorEnable();

  if (pipelineRunning_) {
    // What the running pipeline was assembled from cannot change under it.
    for (QWidget* w : std::initializer_list<QWidget*>{capture_, delay_, name_, showOnStart_, engineList_}) {
      w->setEnabled(false);
    }
  }
  // The focus goes to the first control of the tab order when the dialog shows.
}

void CSettingsDlg::OnRowEnable(int row) {
  const size_t i = static_cast<size_t>(row - 1);
  const bool on = use_[i]->isChecked();
  from_[i]->setEnabled(on);
  to_[i]->setEnabled(on);
}

void CSettingsDlg::OnFloorEnable() {
  const bool on = useCommon_->isChecked();
  for (QWidget* w : std::initializer_list<QWidget*>{commonLine_, decrease_, noiseLevel_, timeout_}) w->setEnabled(on);
  for (QLabel* label : floorLabels_) label->setEnabled(on);
}

void CSettingsDlg::Warn(const char* text) {
  QMessageBox box(QMessageBox::Warning, kProgramName, text, QMessageBox::Ok, this);
  box.setWindowFlag(Qt::WindowStaysOnTopHint, true);
  box.exec();
}

bool CSettingsDlg::Validate() {
  bool engineChecked = false;
  for (int i = 0; i < engineList_->count(); ++i) {
    engineChecked = engineChecked || engineList_->item(i)->checkState() == Qt::Checked;
  }
  bool rowChecked = false;
  for (QCheckBox* box : use_) rowChecked = rowChecked || box->isChecked();
  // A name of blanks names nothing an operator could find on the engine.
  // Refused only where the field can be changed: while the pipeline runs
  // it shows the running layer's name, as it is.
  const bool named = !name_->text().isEmpty() && (!name_->isEnabled() || !name_->text().trimmed().isEmpty());
  const SettingsProblem problem =
      FirstSettingsProblem(capture_->currentIndex() >= 0, engineChecked, named, rowChecked);
  if (problem == SettingsProblem::None) return true;
  Warn(SettingsProblemText(problem));
  switch (problem) {
    case SettingsProblem::NoCaptureSource:
      capture_->setCurrentIndex(capture_->count() > 0 ? 0 : -1);
      capture_->setFocus();
      break;
    case SettingsProblem::NoTitleEngine: engineList_->setFocus(); break;
    case SettingsProblem::NoLayerName: name_->setFocus(); break;
    default: break;
  }
  return false;
}

bool CSettingsDlg::ApplyToSettings() {
  DuckerSettings& s = settings_;
  runOnLogon_ = runOnLogonBox_->isChecked();
  autoStart_ = autoStartBox_->isChecked();
  s.CpuPriority.Store(priority_->currentIndex(), std::memory_order_relaxed);
  s.CaptureSource = capture_->currentIndex();
  s.DelayInFrames = FieldValue(delay_);
  s.RegionName = name_->text().toStdString();
  s.ShowOnStartType = showOnStart_->currentIndex();
  uint32_t mask = 0;
  for (int i = 0; i < engineList_->count() && i < kMaxTargets; ++i) {
    if (engineList_->item(i)->checkState() == Qt::Checked) mask |= 1u << i;
  }
  s.TitleEngineMask = mask;
  for (size_t i = 0; i < s.Lines.size(); ++i) {
    VoiceOverLine& line = s.Lines[i];
    line.From = ReadLineCombo(*from_[i]);
    line.To = ReadLineCombo(*to_[i]);
    line.Use = use_[i]->isChecked();
    line.VolumeDB = FieldValue(volume_[i]);
  }
  s.CommonLine = ReadLineCombo(*commonLine_);
  s.UseCommon = useCommon_->isChecked();
  s.DecreaseDB = FieldValue(decrease_);
  s.NoiseLevelDB = FieldValue(noiseLevel_);
  s.TimeoutInFrames = FieldValue(timeout_);
  frame_.PublishMixerSettings();
  return frame_.SaveSettings();
}

void CSettingsDlg::OnApply() {
  if (Validate()) ApplyToSettings();
}

void CSettingsDlg::OnOK() {
  if (!Validate()) return;
  if (ApplyToSettings()) accept();
}

}  // namespace quellvox
