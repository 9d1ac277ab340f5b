// KestraGangA4: the programming console.
#include <QApplication>
#include <QPixmap>
#include <QTimer>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "console/MainWindow.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  // Log lines and file names use the user's date and time formats.
  std::setlocale(LC_ALL, "");
  // The application title (message box captions). Not set as the display
  // name: Qt would append that to the caption of every other form ("About",
  // "Chip Selection Dialog", ...).
  QApplication::setApplicationName(QStringLiteral("KestraGangA4 Programmer Wizard"));

  auto program = std::make_unique<kestra::console::ConsoleProgram>();
  kestra::console::TProgramArmFrm& frm = program->ProgramArmFrm;
  QObject::connect(&app, &QApplication::lastWindowClosed, &app, &QApplication::quit);
  frm.show();

  // KESTRA_SCREENSHOT=<file.png>: save a picture of the main window once it
  // has started up, then end.
  if (const char* shot = std::getenv("KESTRA_SCREENSHOT"); shot && *shot) {
    const QString path = QString::fromLocal8Bit(shot);
    QTimer::singleShot(1000, &frm, [&frm, path] {
      const bool saved = frm.grab().save(path, "PNG");
      std::fprintf(stderr, "%s %s\n", saved ? "saved" : "could not save",
                   path.toLocal8Bit().constData());
      frm.close();
    });
  }
  const int rc = QApplication::exec();
  program.reset();
  return rc;
}
