// What a user waits for at start-up: from exec of the real program to its main window
// mapped on an X server, next to exec of a bare Qt window with a tab sheet to its window
// mapped. Both run as fresh processes on a private Xvfb, alternated A B, B A in one run;
// the ratio of the medians is the figure (target: at most 1.3).
//
// The program starts as a user's would: its own profile (no splash), a private pcscd
// with the virtual readers (no card), and vendor modules installed (the test module over
// SoftHSM2 under the vendors' file names, one token each). Needs root for the private
// pcscd, Xvfb on PATH.
//
//   bench_startup [--rounds N] [--modules 0..4] [--program PATH]
// (--program: another build of the program, e.g. to compare two in one run.)
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "P11Rig.h"
#include "PcscRig.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

// Starts argv in a child that dies with this process; stdout and stderr go to /dev/null
// unless keepFd names a descriptor to hand on (it stays open in the child).
pid_t Spawn(const std::vector<std::string>& argv, int keepFd = -1) {
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != parent) ::_exit(1);
  const int null = ::open("/dev/null", O_RDWR);
  if (null >= 0) {
    ::dup2(null, STDIN_FILENO);
    ::dup2(null, STDOUT_FILENO);
    ::dup2(null, STDERR_FILENO);
  }
  if (keepFd >= 0) ::fcntl(keepFd, F_SETFD, 0);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  ::execvp(args[0], args.data());
  ::_exit(127);
}

// SIGTERM, then SIGKILL after 10 s; returns once the child is reaped.
void Stop(pid_t pid) {
  ::kill(pid, SIGTERM);
  const auto end = Clock::now() + std::chrono::seconds(10);
  while (::waitpid(pid, nullptr, WNOHANG) == 0) {
    if (Clock::now() > end) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
      return;
    }
    ::usleep(2000);
  }
}

// A private X server for the whole run.
class Xvfb {
 public:
  Xvfb() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    pid_ = Spawn({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", "1024x768x24", "-nolisten",
                  "tcp"},
                 fds[1]);
    ::close(fds[1]);
    std::string number;
    pollfd p{fds[0], POLLIN, 0};
    while (::poll(&p, 1, 10000) > 0) {
      char c;
      if (::read(fds[0], &c, 1) != 1 || c == '\n') break;
      number += c;
    }
    ::close(fds[0]);
    if (number.empty()) throw std::runtime_error("Xvfb did not start (is it installed?)");
    display_ = ":" + number;
  }
  ~Xvfb() { Stop(pid_); }
  const std::string& Display() const { return display_; }

 private:
  pid_t pid_ = -1;
  std::string display_;
};

// Watches the root window for top-level windows being mapped.
class MapWatcher {
 public:
  explicit MapWatcher(const std::string& display) {
    connection_ = xcb_connect(display.c_str(), nullptr);
    if (xcb_connection_has_error(connection_)) throw std::runtime_error("cannot connect to " + display);
    root_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data->root;
    const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(connection_, root_, XCB_CW_EVENT_MASK, &mask);
    const char name[] = "_NET_WM_PID";
    std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> atom(
        xcb_intern_atom_reply(connection_, xcb_intern_atom(connection_, 0, sizeof name - 1, name), nullptr),
        &std::free);
    if (!atom) throw std::runtime_error("no _NET_WM_PID atom");
    pidAtom_ = atom->atom;
  }
  ~MapWatcher() { xcb_disconnect(connection_); }

  // Drops events of earlier rounds.
  void Drain() {
    while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) std::free(event);
  }

  // When a top-level window of that process was mapped; nothing after the deadline.
  std::optional<Clock::time_point> WaitForMap(pid_t pid, Clock::time_point deadline) {
    const int fd = xcb_get_file_descriptor(connection_);
    for (;;) {
      while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
        const auto at = Clock::now();
        bool hit = false;
        if ((event->response_type & 0x7f) == XCB_MAP_NOTIFY) {
          auto* map = reinterpret_cast<xcb_map_notify_event_t*>(event);
          hit = !map->override_redirect && WindowPid(map->window) == pid;
        }
        std::free(event);
        if (hit) return at;
      }
      if (xcb_connection_has_error(connection_)) return std::nullopt;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return std::nullopt;
      pollfd p{fd, POLLIN, 0};
      ::poll(&p, 1, static_cast<int>(left));
    }
  }

 private:
  pid_t WindowPid(xcb_window_t window) {
    std::unique_ptr<xcb_get_property_reply_t, decltype(&std::free)> reply(
        xcb_get_property_reply(connection_,
                               xcb_get_property(connection_, 0, window, pidAtom_, XCB_ATOM_CARDINAL, 0, 1),
                               nullptr),
        &std::free);
    if (!reply || xcb_get_property_value_length(reply.get()) != 4) return -1;
    return static_cast<pid_t>(*static_cast<uint32_t*>(xcb_get_property_value(reply.get())));
  }

  xcb_connection_t* connection_ = nullptr;
  xcb_window_t root_ = 0;
  xcb_atom_t pidAtom_ = 0;
};

// CPU time of all the process's threads so far (the scheduler's own count, in ns).
double CpuMs(pid_t pid) {
  namespace fs = std::filesystem;
  double ns = 0;
  std::error_code error;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
    std::ifstream stat(task.path() / "schedstat");
    double run = 0;
    if (stat >> run) ns += run;
  }
  return ns / 1e6;
}

struct Start {
  double wallMs;  // what the user waits
  double cpuMs;   // what the process spent meanwhile: less swayed by a busy machine
};

// One start: exec to the window mapped, the process then ended.
Start TimeStart(MapWatcher& watcher, const std::string& path) {
  watcher.Drain();
  const auto start = Clock::now();
  const pid_t pid = Spawn({path});
  const std::optional<Clock::time_point> mapped = watcher.WaitForMap(pid, start + std::chrono::seconds(30));
  const double cpu = CpuMs(pid);
  Stop(pid);
  if (!mapped) throw std::runtime_error(path + ": no window within 30 s");
  return {Ms(*mapped - start), cpu};
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

void Report(const char* name, const std::vector<Start>& starts, double Start::*field) {
  std::vector<double> v;
  for (const Start& s : starts) v.push_back(s.*field);
  std::printf("  %-12s median %7.1f ms   min %7.1f   max %7.1f\n", name, Median(v),
              *std::min_element(v.begin(), v.end()), *std::max_element(v.begin(), v.end()));
}

double MedianOf(const std::vector<Start>& starts, double Start::*field) {
  std::vector<double> v;
  for (const Start& s : starts) v.push_back(s.*field);
  return Median(v);
}

// The profile and data folders the program reads, private to this run.
void WriteProfile(const std::string& root) {
  namespace fs = std::filesystem;
  for (const char* dir : {"/config/Tavrenic", "/data", "/runtime"}) fs::create_directories(root + dir);
  fs::permissions(root + "/runtime", fs::perms::owner_all);
  std::ofstream(root + "/config/Tavrenic/kelmardin.conf")
      << "\"Language\"=\"HUN\"\n\"ShowSplashScreen\"=dword:00000000\n";
  ::setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
  ::setenv("XDG_DATA_HOME", (root + "/data").c_str(), 1);
  ::setenv("XDG_RUNTIME_DIR", (root + "/runtime").c_str(), 1);
  ::setenv("TVR_SYSTEM_CONFIG_DIR", (root + "/config").c_str(), 1);
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 15;
  int moduleCount = 1;
  std::string program = TVR_KELMARDIN_PATH;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--rounds")) rounds = std::max(1, std::atoi(argv[i + 1]));
    if (!std::strcmp(argv[i], "--modules")) moduleCount = std::clamp(std::atoi(argv[i + 1]), 0, 4);
    if (!std::strcmp(argv[i], "--program")) program = argv[i + 1];
  }
  try {
    TvrTest::PcscSocketPath();  // the programs' PC/SC goes to the private pcscd only
    if (const std::string reason = TvrTest::PcscRigUnavailableReason(); !reason.empty()) {
      std::printf("bench_startup skipped: %s\n", reason.c_str());
      return 0;
    }
    TvrTest::TempDir dir;
    WriteProfile(dir.Path());
    const std::string modules = dir.Path() + "/modules";
    std::filesystem::create_directories(modules);
    ::setenv("TVR_TEST_MODULE_DIR", modules.c_str(), 1);
    ::setenv("LD_LIBRARY_PATH", modules.c_str(), 1);

    TvrTest::PrivatePcscd pcscd;
    try {
      pcscd.Start();
    } catch (const TvrTest::PcscRigUnavailable& e) {
      std::printf("bench_startup skipped: %s\n", e.what());
      return 0;
    }
    TvrTest::SoftHsmTokens tokens;
    const char* files[] = {"libgclib.so", "libbit4ipki.so", "libeTPKCS11.so", "libOCSCryptoki.so"};
    std::vector<std::unique_ptr<TvrTest::InstalledShim>> shims;
    for (int i = 0; i < moduleCount; ++i) {
      TvrTest::TokenSpec token;
      token.label = "Card" + std::to_string(i);
      token.withKeyAndCertificate = false;
      tokens.AddToken(token);
      TvrTest::ShimOptions options;
      options.version = "2.20";
      options.readers = {{token.label, TvrTest::PrivatePcscd::ReaderName(0)}};
      shims.push_back(std::make_unique<TvrTest::InstalledShim>(files[i], options));
    }

    Xvfb xvfb;
    ::setenv("DISPLAY", xvfb.Display().c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    // Nothing from the caller's desktop: no session manager, no D-Bus tray, no Wayland.
    for (const char* name : {"WAYLAND_DISPLAY", "SESSION_MANAGER", "DBUS_SESSION_BUS_ADDRESS"}) ::unsetenv(name);
    MapWatcher watcher(xvfb.Display());

    const std::string bare = TVR_BARE_WINDOW_PATH;
    // Caches (fonts, the dynamic loader's, the page cache) are warm for both sides.
    TimeStart(watcher, program);
    TimeStart(watcher, bare);

    const std::string loadBefore = LoadAverage();
    std::vector<Start> ours, baseline;
    for (int r = 0; r < rounds; ++r) {
      if (r % 2 == 0) {
        ours.push_back(TimeStart(watcher, program));
        baseline.push_back(TimeStart(watcher, bare));
      } else {
        baseline.push_back(TimeStart(watcher, bare));
        ours.push_back(TimeStart(watcher, program));
      }
    }
    std::printf("Start to window mapped, Xvfb, %d rounds alternated (A B, B A), %d vendor module%s\n  %s\n",
                rounds, moduleCount, moduleCount == 1 ? "" : "s", program.c_str());
    std::printf("  load average before %s, after %s (%ld cores)\n", loadBefore.c_str(), LoadAverage().c_str(),
                ::sysconf(_SC_NPROCESSORS_ONLN));
    std::printf(" exec to mapped (wall):\n");
    Report("kelmardin", ours, &Start::wallMs);
    Report("bare window", baseline, &Start::wallMs);
    std::printf(" CPU time of the process until mapped:\n");
    Report("kelmardin", ours, &Start::cpuMs);
    Report("bare window", baseline, &Start::cpuMs);
    std::printf("  ratio of medians, wall %.2f (target at most 1.30), CPU %.2f\n",
                MedianOf(ours, &Start::wallMs) / MedianOf(baseline, &Start::wallMs),
                MedianOf(ours, &Start::cpuMs) / MedianOf(baseline, &Start::cpuMs));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_startup: %s\n", e.what());
    return 1;
  }
  return 0;
}
