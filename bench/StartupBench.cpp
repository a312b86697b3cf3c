// Start-up of the program to its main window shown, without the splash pause and the
// service waits (the profile switches off the splash; the waits are skipped), against a
// bare Qt window with the same tab sheet. Resident memory after start is reported as a
// counter.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QTabWidget>
#include <QVBoxLayout>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "Application.h"
#include "platform/Profile.h"

namespace {

double ResidentMegabytes() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return static_cast<double>(resident) * static_cast<double>(::sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

void BM_ProgramStartToWindowShown(benchmark::State& state) {
  Application::Options options;
  options.waitForServices = false;
  for (auto _ : state) {
    Application program(nullptr, options);
    if (program.Start({"kelmardin"}) != -1) {
      state.SkipWithError("start-up ended early");
      break;
    }
    QApplication::processEvents();
    benchmark::DoNotOptimize(program.Window()->isVisible());
    state.PauseTiming();
    state.counters["rss_MB"] = ResidentMegabytes();
    program.Exit();
    QApplication::processEvents();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_ProgramStartToWindowShown)->Unit(benchmark::kMillisecond);

void BM_BareWindowShown(benchmark::State& state) {
  for (auto _ : state) {
    QWidget window;
    auto* layout = new QVBoxLayout(&window);
    auto* sheet = new QTabWidget(&window);
    sheet->addTab(new QWidget(sheet), QStringLiteral("Beállítások"));
    layout->addWidget(sheet);
    window.show();
    QApplication::processEvents();
    benchmark::DoNotOptimize(window.isVisible());
  }
}
BENCHMARK(BM_BareWindowShown)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  // A private profile: Hungarian, no splash.
  char dir[] = "/tmp/tvr-startup-bench-XXXXXX";
  if (!::mkdtemp(dir)) return 1;
  const std::string root = dir;
  std::filesystem::create_directories(root + "/config/Tavrenic");
  std::filesystem::create_directories(root + "/runtime");
  std::filesystem::permissions(root + "/runtime", std::filesystem::perms::owner_all);
  std::ofstream(root + "/config/Tavrenic/kelmardin.conf")
      << "\"Language\"=\"HUN\"\n\"ShowSplashScreen\"=dword:00000000\n";
  ::setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
  ::setenv("TVR_SYSTEM_CONFIG_DIR", (root + "/config").c_str(), 1);
  ::setenv("XDG_RUNTIME_DIR", (root + "/runtime").c_str(), 1);
  // The profile is named after the executable; this one reads the program's.
  Platform::Profile::SetApplicationName("kelmardin");
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::filesystem::remove_all(root);
  return 0;
}
