// The start-up benchmark's baseline: the least a Qt program pays to show a window like
// the program's, a top-level widget holding a sheet of five tabs.
#include <QApplication>
#include <QTabWidget>
#include <QVBoxLayout>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QWidget window;
  window.setWindowTitle(QStringLiteral("TAVRENIC - Olvanta Zavadorerido"));
  auto* layout = new QVBoxLayout(&window);
  auto* sheet = new QTabWidget(&window);
  for (const char* title : {"Tulajdonságok", "Tartalom", "PIN", "Beállítások", "Haladó beállítások"})
    sheet->addTab(new QWidget(sheet), QString::fromUtf8(title));
  layout->addWidget(sheet);
  window.resize(600, 480);
  window.show();
  return QApplication::exec();
}
