// The start-up benchmark's baselines: the least a Qt program pays to show what the program
// shows. Without arguments, a top-level widget holding a sheet of five tabs, like the
// program's window; with --tray, one tray icon with the program's picture (a PNG built
// into the executable) and a tooltip, like the program started into the tray.
#include <QApplication>
#include <QIcon>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QVBoxLayout>
#include <cstring>

int main(int argc, char** argv) {
  const bool tray = argc > 1 && !std::strcmp(argv[1], "--tray");
  QApplication app(argc, argv);
  const QString title = QStringLiteral("TAVRENIC - Olvanta Zavadorerido");
  if (tray) {
    QApplication::setQuitOnLastWindowClosed(false);
    QSystemTrayIcon icon(QIcon(QStringLiteral(":/bare-icon.png")));
    icon.setToolTip(title);
    icon.show();
    return QApplication::exec();
  }
  QWidget window;
  window.setWindowTitle(title);
  auto* layout = new QVBoxLayout(&window);
  auto* sheet = new QTabWidget(&window);
  for (const char* name : {"Tulajdonságok", "Tartalom", "PIN", "Beállítások", "Haladó beállítások"})
    sheet->addTab(new QWidget(sheet), QString::fromUtf8(name));
  layout->addWidget(sheet);
  window.resize(600, 480);
  window.show();
  return QApplication::exec();
}
