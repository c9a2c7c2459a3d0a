// The settings and statistics dialogs as the frame's Settings and Log
// commands run them. For now these are simple stand-ins: the settings
// dialog offers OK and Cancel, the statistics dialog shows the statistics
// text twice a second.
#include <QDialog>
#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTimer>
#include <QVBoxLayout>

#include "app/main_frame.h"

namespace quellvox {

int32_t RunSettingsDialog(CMainFrame& frame) {
  QDialog dialog(&frame);
  dialog.setObjectName(QStringLiteral("IDD_SETTINGS"));
  dialog.setWindowTitle(QString::fromStdString("Quellvox " + frame.InstanceId() + " Settings"));
  auto* text = new QLabel(QStringLiteral("The settings of this instance are kept in its store\n"
                                         "(quellvox-reg changes them from a shell)."),
                          &dialog);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
  QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  auto* layout = new QVBoxLayout(&dialog);
  layout->addWidget(text);
  layout->addWidget(buttons);
  MakeModalToFrame(dialog, frame);
  return dialog.exec() == QDialog::Accepted ? IDOK : 2;
}

void RunLogDialog(CMainFrame& frame) {
  QDialog dialog(&frame);
  dialog.setObjectName(QStringLiteral("IDD_STATISTICS"));
  dialog.setWindowTitle(QString::fromStdString("Quellvox " + frame.InstanceId() + " Statistics"));
  auto* text = new QPlainTextEdit(&dialog);
  text->setReadOnly(true);
  text->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  text->setMinimumSize(420, 260);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, &dialog);
  QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  auto* layout = new QVBoxLayout(&dialog);
  layout->addWidget(text);
  layout->addWidget(buttons);
  const auto refresh = [&frame, text] { text->setPlainText(QString::fromStdString(frame.Core().BuildStatisticsText())); };
  refresh();
  QTimer timer;
  QObject::connect(&timer, &QTimer::timeout, &dialog, refresh);
  timer.start(500);
  MakeModalToFrame(dialog, frame);
  dialog.exec();
}

}  // namespace quellvox
