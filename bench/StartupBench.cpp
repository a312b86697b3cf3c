// What a user waits for at start-up, as fresh processes on a private Xvfb that has a
// system tray:
//   window: exec of the real program to its main window mapped, against exec of a bare Qt
//           window with a tab sheet to its window mapped;
//   tray:   exec of the real program with "/system_tray" (the autostart entry's way) to
//           its icon handed to the tray, against exec of a bare program that shows one
//           tray icon.
// The bench itself is the tray host: it owns the XEmbed system tray selection of the
// Xvfb and takes the time when a dock request comes, so the icon's moment is exact and
// no third program's timing gets into it.
//
// Starts go in alternated pairs (A B, B A, ...). The figures are the ratio of the two
// fastest starts (min/min) and the median of the per-pair ratios with its 95 % interval;
// pairs are added until that interval is within +-2.5 % of the median (between
// --min-pairs and --max-pairs), so that two runs agree within about 5 %. Target for both
// ratios: at most 1.20. The load average is printed before and after.
//
// The program starts as a user's would: its own profile (no splash), a private pcscd
// with the virtual readers (no card), and vendor modules installed (the test module over
// SoftHSM2 under the vendors' file names, one token each). Needs root for the private
// pcscd, Xvfb on PATH.
//
//   bench_startup [--mode window|tray|both] [--min-pairs N] [--max-pairs N] [--modules 0..4]
//                 [--program PATH] [--under "COMMAND ARGS"] [--session-bus 0|1]
// --program: another build of the program, e.g. to compare two in one run.
// --under: the program runs under that command (perf record, strace, ltrace), e.g.
//   --under "perf record -g -o /tmp/start.data --"; the figures then include its cost.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
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

// A private session bus for the whole run (--session-bus). Without one, as by default,
// both sides first try to start one (D-Bus autolaunch, which fails without dbus-launch);
// with one, both ask it for the accessibility bus and the desktop's services, which a bare
// bus starts or lacks. Neither is a real desktop; the default keeps figures comparable
// with earlier runs. It has no StatusNotifier host, so tray icons go to the XEmbed tray.
class SessionBus {
 public:
  SessionBus() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    pid_ = Spawn({"dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address=" + std::to_string(fds[1])},
                 fds[1]);
    ::close(fds[1]);
    pollfd p{fds[0], POLLIN, 0};
    while (::poll(&p, 1, 10000) > 0) {
      char c;
      if (::read(fds[0], &c, 1) != 1 || c == '\n') break;
      address_ += c;
    }
    ::close(fds[0]);
    if (address_.empty()) throw std::runtime_error("dbus-daemon did not start (is it installed?)");
  }
  ~SessionBus() { Stop(pid_); }
  const std::string& Address() const { return address_; }

 private:
  pid_t pid_ = -1;
  std::string address_;
};

template <typename T>
using XcbReply = std::unique_ptr<T, decltype(&std::free)>;

// The desktop as the starts see it: top-level windows being mapped, and a system tray
// (the XEmbed tray selection of the screen, owned here) that takes dock requests.
class Desktop {
 public:
  enum class Wait { WindowMapped, IconDocked };

  explicit Desktop(const std::string& display) {
    int screenNumber = 0;
    connection_ = xcb_connect(display.c_str(), &screenNumber);
    if (xcb_connection_has_error(connection_)) throw std::runtime_error("cannot connect to " + display);
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection_));
    for (int i = 0; i < screenNumber; ++i) xcb_screen_next(&screens);
    const xcb_screen_t* screen = screens.data;
    root_ = screen->root;
    const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(connection_, root_, XCB_CW_EVENT_MASK, &mask);
    pidAtom_ = Atom("_NET_WM_PID");
    opcodeAtom_ = Atom("_NET_SYSTEM_TRAY_OPCODE");
    TakeTraySelection(*screen, screenNumber);
  }
  ~Desktop() { xcb_disconnect(connection_); }

  // Drops events of earlier starts.
  void Drain() {
    while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) std::free(event);
  }

  // When that process (any, for pid 0) mapped a top-level window, or asked the tray to
  // dock its icon; nothing after the deadline.
  std::optional<Clock::time_point> WaitFor(Wait what, pid_t pid, Clock::time_point deadline) {
    const int fd = xcb_get_file_descriptor(connection_);
    for (;;) {
      while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
        const auto at = Clock::now();
        bool hit = false;
        const uint8_t type = event->response_type & 0x7f;
        if (what == Wait::WindowMapped && type == XCB_MAP_NOTIFY) {
          auto* map = reinterpret_cast<xcb_map_notify_event_t*>(event);
          hit = !map->override_redirect && (pid == 0 || WindowPid(map->window) == pid);
        } else if (what == Wait::IconDocked && type == XCB_CLIENT_MESSAGE) {
          auto* message = reinterpret_cast<xcb_client_message_event_t*>(event);
          constexpr uint32_t kRequestDock = 0;
          hit = message->type == opcodeAtom_ && message->format == 32 &&
                message->data.data32[1] == kRequestDock && (pid == 0 || WindowPid(message->data.data32[2]) == pid);
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
  xcb_atom_t Atom(const char* name) {
    XcbReply<xcb_intern_atom_reply_t> atom(
        xcb_intern_atom_reply(connection_, xcb_intern_atom(connection_, 0, std::strlen(name), name), nullptr),
        &std::free);
    if (!atom) throw std::runtime_error(std::string("no atom ") + name);
    return atom->atom;
  }

  // An XEmbed system tray manager as the freedesktop.org system tray protocol has it: the
  // selection owned by a window of ours, its orientation and visual set, and the MANAGER
  // message sent to the root window for clients that wait for a tray. Dock requests then
  // come to that window as client messages. The icons are not embedded: the bench needs
  // only the moment they are handed over.
  void TakeTraySelection(const xcb_screen_t& screen, int screenNumber) {
    const xcb_window_t manager = xcb_generate_id(connection_);
    xcb_create_window(connection_, XCB_COPY_FROM_PARENT, manager, root_, -1, -1, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen.root_visual, 0, nullptr);
    const uint32_t horizontal = 0;
    xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, manager, Atom("_NET_SYSTEM_TRAY_ORIENTATION"),
                        XCB_ATOM_CARDINAL, 32, 1, &horizontal);
    xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, manager, Atom("_NET_SYSTEM_TRAY_VISUAL"),
                        XCB_ATOM_VISUALID, 32, 1, &screen.root_visual);
    const xcb_atom_t selection = Atom(("_NET_SYSTEM_TRAY_S" + std::to_string(screenNumber)).c_str());
    xcb_set_selection_owner(connection_, manager, selection, XCB_CURRENT_TIME);
    XcbReply<xcb_get_selection_owner_reply_t> owner(
        xcb_get_selection_owner_reply(connection_, xcb_get_selection_owner(connection_, selection), nullptr),
        &std::free);
    if (!owner || owner->owner != manager) throw std::runtime_error("another tray owns the tray selection");
    xcb_client_message_event_t announce{};
    announce.response_type = XCB_CLIENT_MESSAGE;
    announce.format = 32;
    announce.window = root_;
    announce.type = Atom("MANAGER");
    announce.data.data32[0] = XCB_CURRENT_TIME;
    announce.data.data32[1] = selection;
    announce.data.data32[2] = manager;
    xcb_send_event(connection_, 0, root_, XCB_EVENT_MASK_STRUCTURE_NOTIFY, reinterpret_cast<const char*>(&announce));
    xcb_flush(connection_);
  }

  pid_t WindowPid(xcb_window_t window) {
    XcbReply<xcb_get_property_reply_t> reply(
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
  xcb_atom_t opcodeAtom_ = 0;
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

struct Side {
  std::string name;
  std::vector<std::string> argv;
  bool underCommand = false;  // argv[0] starts the program: its windows carry another pid
};

// One start: exec to the window mapped or the icon docked, the process then ended.
Start TimeStart(Desktop& desktop, Desktop::Wait what, const Side& side) {
  desktop.Drain();
  const auto start = Clock::now();
  const pid_t pid = Spawn(side.argv);
  const std::optional<Clock::time_point> seen =
      desktop.WaitFor(what, side.underCommand ? 0 : pid, start + std::chrono::seconds(30));
  const double cpu = CpuMs(pid);
  Stop(pid);
  if (!seen) {
    throw std::runtime_error(side.argv[0] + (what == Desktop::Wait::WindowMapped ? ": no window" : ": no tray icon") +
                             " within 30 s");
  }
  return {Ms(*seen - start), cpu};
}

std::vector<double> Sorted(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v;
}

double Median(const std::vector<double>& values) {
  const std::vector<double> v = Sorted(values);
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The median of the per-pair ratios and its 95 % interval from the order statistics
// (binomial, normal approximation): no assumption about the ratios' distribution.
struct RatioFigure {
  double median = 0, low = 0, high = 0;
  double HalfWidth() const { return std::max(median - low, high - median) / median; }
};

RatioFigure PairRatios(const std::vector<Start>& ours, const std::vector<Start>& bare, double Start::*field) {
  std::vector<double> ratios;
  for (size_t i = 0; i < ours.size(); ++i) ratios.push_back(ours[i].*field / bare[i].*field);
  ratios = Sorted(ratios);
  const double n = static_cast<double>(ratios.size());
  const double spread = 0.98 * std::sqrt(n);
  const auto at = [&](double rank) {
    return ratios[static_cast<size_t>(std::clamp(rank, 1.0, n)) - 1];
  };
  return {Median(ratios), at(std::floor(n / 2 - spread)), at(std::ceil(n / 2 + 1 + spread))};
}

double MinOf(const std::vector<Start>& starts, double Start::*field) {
  double m = starts.front().*field;
  for (const Start& s : starts) m = std::min(m, s.*field);
  return m;
}

double MedianOf(const std::vector<Start>& starts, double Start::*field) {
  std::vector<double> v;
  for (const Start& s : starts) v.push_back(s.*field);
  return Median(v);
}

struct PairLimits {
  int min = 30;
  int max = 300;
  double halfWidth = 0.025;  // of the wall ratio's interval, relative to its median
};

// Alternated pairs until the wall ratio's median is known within the limits; prints the
// figures.
void Compare(const char* title, Desktop& desktop, Desktop::Wait what, const Side& ours, const Side& bare,
             const PairLimits& limits) {
  // Caches (fonts, the dynamic loader's, the page cache) are warm for both sides.
  TimeStart(desktop, what, ours);
  TimeStart(desktop, what, bare);

  const std::string loadBefore = LoadAverage();
  std::vector<Start> a, b;
  int pairs = 0;
  while (pairs < limits.max) {
    if (pairs % 2 == 0) {
      a.push_back(TimeStart(desktop, what, ours));
      b.push_back(TimeStart(desktop, what, bare));
    } else {
      b.push_back(TimeStart(desktop, what, bare));
      a.push_back(TimeStart(desktop, what, ours));
    }
    ++pairs;
    if (pairs >= limits.min && pairs % 2 == 0 && PairRatios(a, b, &Start::wallMs).HalfWidth() <= limits.halfWidth)
      break;
  }
  std::printf("%s: %d pairs alternated (A B, B A)\n", title, pairs);
  std::printf("  load average before %s, after %s (%ld cores)\n", loadBefore.c_str(), LoadAverage().c_str(),
              ::sysconf(_SC_NPROCESSORS_ONLN));
  for (const auto& [label, field] : {std::pair{"wall", &Start::wallMs}, std::pair{"CPU ", &Start::cpuMs}}) {
    const RatioFigure ratio = PairRatios(a, b, field);
    std::printf("  %s  %-12s min %7.1f ms  median %7.1f | %-12s min %7.1f ms  median %7.1f\n", label,
                ours.name.c_str(), MinOf(a, field), MedianOf(a, field), bare.name.c_str(), MinOf(b, field),
                MedianOf(b, field));
    std::printf("        ratio min/min %.3f   median of pair ratios %.3f (95 %% interval %.3f-%.3f)%s\n",
                MinOf(a, field) / MinOf(b, field), ratio.median, ratio.low, ratio.high,
                field == &Start::wallMs ? "   target at most 1.20" : "");
  }
  if (pairs >= limits.max)
    std::printf("  (stopped at %d pairs before the interval was within +-%.1f %%)\n", pairs, limits.halfWidth * 100);
  std::fflush(stdout);
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

std::vector<std::string> Words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = "both";
  PairLimits limits;
  int moduleCount = 1;
  std::string program = TVR_KELMARDIN_PATH;
  std::vector<std::string> under;
  bool sessionBus = false;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i], value = argv[i + 1];
    if (option == "--mode") mode = value;
    else if (option == "--min-pairs") limits.min = std::max(2, std::atoi(value.c_str()));
    else if (option == "--max-pairs") limits.max = std::max(2, std::atoi(value.c_str()));
    else if (option == "--modules") moduleCount = std::clamp(std::atoi(value.c_str()), 0, 4);
    else if (option == "--program") program = value;
    else if (option == "--under") under = Words(value);
    else if (option == "--session-bus") sessionBus = value == "1";
    else {
      std::fprintf(stderr, "bench_startup: unknown option %s\n", option.c_str());
      return 2;
    }
  }
  limits.max = std::max(limits.max, limits.min);
  if (mode != "window" && mode != "tray" && mode != "both") {
    std::fprintf(stderr, "bench_startup: --mode is window, tray or both\n");
    return 2;
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
    for (const char* name : {"WAYLAND_DISPLAY", "SESSION_MANAGER"}) ::unsetenv(name);
    std::unique_ptr<SessionBus> bus;
    if (sessionBus) {
      bus = std::make_unique<SessionBus>();
      ::setenv("DBUS_SESSION_BUS_ADDRESS", bus->Address().c_str(), 1);
    } else {
      ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    }
    Desktop desktop(xvfb.Display());

    std::printf("bench_startup: %s\n  %d vendor module%s, Xvfb %s with an XEmbed tray, %s\n", program.c_str(),
                moduleCount, moduleCount == 1 ? "" : "s", xvfb.Display().c_str(),
                sessionBus ? "a private session bus" : "no session bus");
    auto programSide = [&](std::vector<std::string> args) {
      std::vector<std::string> argv = under;
      argv.push_back(program);
      argv.insert(argv.end(), args.begin(), args.end());
      return Side{"kelmardin", argv, !under.empty()};
    };
    if (mode != "tray") {
      Compare("exec to the main window mapped", desktop, Desktop::Wait::WindowMapped, programSide({}),
              Side{"bare window", {TVR_BARE_WINDOW_PATH}}, limits);
    }
    if (mode != "window") {
      Compare("exec to the tray icon docked, /system_tray", desktop, Desktop::Wait::IconDocked,
              programSide({"/system_tray"}), Side{"bare tray", {TVR_BARE_WINDOW_PATH, "--tray"}}, limits);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_startup: %s\n", e.what());
    return 1;
  }
  return 0;
}
