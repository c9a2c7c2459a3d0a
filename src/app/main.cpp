// quellvox [#id]: the tray program of one instance.
#include <QApplication>
#include <csignal>
#include <string>

#include "app/brenmoor_app.h"
#include "app/exit_signals.h"
#include "app/message_boxes.h"
#include "app/system_tray.h"
#include "config/instance_id.h"
#include "platform/media_loader/real_media_loader.h"
#include "platform/media/virtual_studio.h"
#include "platform/registry/registry_component.h"
#include "platform/system/module_path.h"

#if defined(__SANITIZE_ADDRESS__)
// Under AddressSanitizer only: the font configuration library and the D-Bus
// library keep caches that they never free (made inside Qt's font database
// and its desktop connection), which the leak checker would report at every
// exit.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\nleak:libdbus-1.so\n"; }
#endif

#if defined(__SANITIZE_THREAD__)
// Under ThreadSanitizer only: Qt's libraries are not built for it; races it
// reports inside them (their own thread pool) are not the program's. The
// pipeline's threads stay checked.
extern "C" const char* __tsan_default_suppressions() { return "race:libQt6Gui.so\nrace:libQt6Core.so\n"; }
#endif

int main(int argc, char** argv) {
  using namespace quellvox;
  // The command line is the instance identifier and nothing else: it is
  // taken before Qt could read options out of it, and Qt sees none (its
  // settings come from the environment, QT_QPA_PLATFORM and the like).
  // Before anything else, Qt above all: a SIGTERM in the first moments must
  // take the Exit path too. SIGHUP (the session or the terminal went away)
  // is an Exit as well.
  InstallExitSignalHandlers({SIGTERM, SIGINT, SIGHUP});
  const std::string commandLine = CommandLineFromArguments(argc, argv);
  RegisterRegistryAccess();
  RegisterVirtualStudio();
  // Real inputs and outputs where the description names them, in front of
  // the studio, which plays every other device and engine.
  LoadRealMediaWhereDescribed();

  int qtArgc = 1;
  char* qtArgv[] = {argv[0], nullptr};
  QApplication application(qtArgc, qtArgv);
  // Dialogs and message boxes come and go; only Exit ends the program.
  QApplication::setQuitOnLastWindowClosed(false);

  MessageBoxes messages;
  QtNotificationArea area;
  int exitCode = kExitOk;
  {
    CBrenmoorApp app(messages, area, ModulePath());
    ExitSignals exitSignals([&app] { app.RequestExit(); });
    // The session's end takes the same way out as Exit.
    QObject::connect(&application, &QGuiApplication::commitDataRequest, &application, [&app] { app.RequestExit(); });
    // A signal that came while Qt started: start-up ends at once, as after
    // a signal during it.
    exitSignals.DeliverPending();
    if (app.InitInstance(commandLine)) application.exec();
    exitCode = app.ExitInstance();
  }
  // Engines write their reports and recordings now.
  ShutdownLoadedRealMedia();
  ShutdownVirtualStudio();
  return exitCode;
}
