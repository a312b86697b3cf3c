// kelmardin: the resident smart-card and USB-token manager.
#include <QApplication>

#include "Application.h"

int main(int argc, char** argv) {
  SystemServiceControl services;
  // Begun before Qt: their waits overlap Qt's start.
  EarlyStartChecks early(services, Application::kCertificateManagerProcess);
  QApplication app(argc, argv);
  // The program lives on in the tray when its window is closed or hidden.
  QApplication::setQuitOnLastWindowClosed(false);
  Application::Options options;
  options.early = &early;
  options.exitAtEnd = true;
  Application program(&services, options);
  program.InstallSignalHandlers();
  const int code = program.Start(QApplication::arguments());
  if (code >= 0) {
    program.Exit();
    return code;
  }
  const int result = QApplication::exec();
  program.Exit();
  return result;
}
