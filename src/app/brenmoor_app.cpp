#include "app/brenmoor_app.h"

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <optional>

#include "app/load_res_string.h"
#include "app/message_boxes.h"
#include "config/instance_id.h"
#include "platform/system/debug_trace.h"
#include "res/icons.h"
#include "res/resource_ids.h"

namespace quellvox {

CBrenmoorApp::CBrenmoorApp(UserMessages& messages, NotificationArea& area, std::string programPath)
    : messages_(messages), area_(area), programPath_(std::move(programPath)) {
  QCoreApplication::setApplicationName(QString::fromStdString(LoadResString(AFX_IDS_APP_TITLE)));
  // The desktop entry quellvox.desktop is the application's identity on
  // the desktop (the panel groups its windows under it).
  QGuiApplication::setDesktopFileName(QStringLiteral("quellvox"));
  QGuiApplication::setWindowIcon(LoadIconResource(IDR_MAINFRAME));
}

CBrenmoorApp::~CBrenmoorApp() {
  frame_.reset();
  CloseInstanceGuard(InstanceGuard);
}

bool CBrenmoorApp::InitInstance(const std::string& commandLine) {
  // The organisation under which Qt would keep its own settings; the
  // program's settings go through the registry component.
  QCoreApplication::setOrganizationName(QStringLiteral("Orvanta"));

  const std::optional<std::string> instanceId = InstanceIdFromCommandLine(commandLine);
  if (!instanceId) {
    messages_.Show(kBadCommandLineMessage, kProgramName, MB_ICONERROR);
    exitCode_ = kExitBadCommandLine;
    return false;
  }
  const GuardResult guard = CreateInstanceGuard(InstanceGuardName(kProgramName, *instanceId), InstanceGuard);
  if (guard == GuardResult::AlreadyExists) {
    // The identifier runs already: end without a box, leaving it alone, but
    // with one trace line, so that a user who saw nothing happen can find
    // out why (the guard is machine-wide: the other process may be another
    // user's).
    CloseInstanceGuard(InstanceGuard);
    const std::string lockFile =
        InstanceGuardFolder() + "/" + InstanceGuardFileName(InstanceGuardName(kProgramName, *instanceId));
    DebugTrace("Quellvox%s::InitInstance -- runs already on this machine (lock %s held): this start ends.\n",
               instanceId->c_str(), lockFile.c_str());
    return false;
  }
  if (exitRequested_) return false;

  frame_ = std::make_unique<CMainFrame>(*instanceId, programPath_, messages_, area_);
  frame_->AboutHandler = [this] { OnAppAbout(); };
  frame_->WindowDestroyed = [] { QCoreApplication::exit(kExitOk); };
  if (auto* boxes = dynamic_cast<MessageBoxes*>(&messages_)) boxes->SetOwner(frame_.get());
  if (!frame_->OnCreate()) {
    if (auto* boxes = dynamic_cast<MessageBoxes*>(&messages_)) boxes->SetOwner(nullptr);
    frame_.reset();
    exitCode_ = kExitNoMedia;
    return false;
  }
  return true;
}

int CBrenmoorApp::ExitInstance() {
  if (frame_) {
    // The window goes first (timer, icon), then the frame object (pipeline,
    // catalogues), as after Exit; also when the loop ended another way.
    frame_->OnDestroy();
    if (auto* boxes = dynamic_cast<MessageBoxes*>(&messages_)) boxes->SetOwner(nullptr);
    frame_.reset();
  }
  CloseInstanceGuard(InstanceGuard);
  return exitCode_;
}

void CBrenmoorApp::RequestExit() {
  exitRequested_ = true;
  if (frame_) {
    frame_->RequestExit();
  } else {
    CloseOpenWindows();
  }
}

void CBrenmoorApp::OnAppAbout() {
  if (!frame_) return;
  if (aboutOpen_) {
    frame_->BringToFront();
    return;
  }
  aboutOpen_ = true;
  // Template 100: 170 x 62 dialog units, the program icon, two lines of
  // text and OK.
  QDialog dialog;
  dialog.setObjectName(QStringLiteral("IDD_ABOUTBOX"));
  dialog.setWindowTitle(QStringLiteral("About Quellvox"));
  auto* iconLabel = new QLabel(&dialog);
  iconLabel->setPixmap(LoadIconResource(IDR_MAINFRAME).pixmap(32, 32));
  iconLabel->setAlignment(Qt::AlignTop);
  auto* name = new QLabel(QStringLiteral("Quellvox, Version 1"), &dialog);
  auto* line = new QLabel(QStringLiteral("Copyright (C) Orvanta"), &dialog);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, &dialog);
  QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
  auto* texts = new QVBoxLayout;
  texts->addWidget(name);
  texts->addWidget(line);
  texts->addStretch();
  auto* row = new QHBoxLayout;
  row->addWidget(iconLabel);
  row->addSpacing(12);
  row->addLayout(texts, 1);
  auto* layout = new QVBoxLayout(&dialog);
  layout->addLayout(row);
  layout->addWidget(buttons);
  dialog.setMinimumWidth(255);  // 170 dialog units at the usual 1.5 pixels per unit
  MakeModalToFrame(dialog, *frame_);
  dialog.exec();
  aboutOpen_ = false;
}

}  // namespace quellvox
