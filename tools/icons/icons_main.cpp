// quellvox-icons DIR: writes the program's icons as PNG files, for
// installation and documentation: DIR/<size>/<name>.png for every size the
// program draws, where <name> is "quellvox" for the program icon and
// "quellvox-<state>" for the six state icons.
#include <QDir>
#include <QGuiApplication>
#include <cstdio>
#include <string>

#include "res/icons.h"
#include "res/resource_ids.h"

int main(int argc, char** argv) {
  using namespace quellvox;
  if (argc != 2) {
    std::fprintf(stderr, "usage: quellvox-icons DIR\n");
    return 2;
  }
  struct Named {
    uint32_t Id;
    const char* Name;
  };
  const Named icons[] = {{IDR_MAINFRAME, "quellvox"},
                         {IDI_NOT_INITIALIZED, "quellvox-not-initialized"},
                         {IDI_START_RECORDING, "quellvox-start-recording"},
                         {IDI_RUNNING, "quellvox-running"},
                         {IDI_STOP_RECORDING, "quellvox-stop-recording"},
                         {IDI_STOPPED, "quellvox-stopped"},
                         {IDI_ERROR_STATE, "quellvox-error"}};
  const QString root = QString::fromLocal8Bit(argv[1]);
  for (const int size : kIconSizes) {
    const QString dir = root + QStringLiteral("/%1").arg(size);
    if (!QDir().mkpath(dir)) {
      std::fprintf(stderr, "quellvox-icons: cannot make %s\n", dir.toLocal8Bit().constData());
      return 2;
    }
    for (const Named& icon : icons) {
      const QString path = dir + QLatin1Char('/') + QLatin1String(icon.Name) + QStringLiteral(".png");
      if (!DrawIconResource(icon.Id, size).save(path)) {
        std::fprintf(stderr, "quellvox-icons: cannot write %s\n", path.toLocal8Bit().constData());
        return 2;
      }
    }
  }
  return 0;
}
