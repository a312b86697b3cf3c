#include <PCSC/winscard.h>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "PcscRig.h"

extern char** environ;

namespace TvrTest {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The folder layout of this process's rig, made once:
//   <base>/runroot/pcscd/   the daemon's socket folder (seen as /run/pcscd inside)
//   <base>/conf/vpcd        the reader configuration
//   <base>/nodrivers/       bound over the USB driver folder inside the namespace
//   <base>/libifdvpcd.so    a copy of the vpcd driver, outside the hidden folder
//   <base>/libifdpinpad.so  the PIN-pad double over it (when enabled), and its .conf
//   <base>/pinpad.log       the modify blocks the PIN-pad double received
//   <base>/pcscd.log        the daemon's output
struct RigPaths {
  std::string base;
  std::string runRoot;
  std::string runDir;
  std::string socket;
  std::string confDir;
  std::string noDrivers;
  std::string driver;
  std::string pinPadDriver;
  std::string pinPadRecord;
  std::string log;

  RigPaths() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/pcsc-XXXXXX";
    // A Unix socket path has room for 107 bytes.
    if (pattern.size() + 30 > 107) pattern = "/tmp/pcsc-XXXXXX";
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed for " + pattern);
    base = pattern;
    runRoot = base + "/runroot";
    runDir = runRoot + "/pcscd";
    socket = runDir + "/pcscd.comm";
    confDir = base + "/conf";
    noDrivers = base + "/nodrivers";
    driver = base + "/libifdvpcd.so";
    pinPadDriver = base + "/libifdpinpad.so";
    pinPadRecord = base + "/pinpad.log";
    log = base + "/pcscd.log";
    fs::create_directories(runDir);
    fs::create_directories(confDir);
    fs::create_directories(noDrivers);
    ::setenv("PCSCLITE_CSOCK_NAME", socket.c_str(), 1);
  }
  ~RigPaths() {
    std::error_code ignored;
    fs::remove_all(base, ignored);
  }
};

RigPaths& Paths() {
  static RigPaths paths;
  return paths;
}

std::atomic<bool> gDaemonRunning{false};

constexpr const char* kUsbDriverDir = "/usr/lib/pcsc/drivers";

bool IsDirectory(const char* path) {
  struct stat st{};
  return ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

void WriteConf(const RigPaths& paths, bool pinPad) {
  std::ofstream conf(paths.confDir + "/vpcd");
  char port[16];
  std::snprintf(port, sizeof port, "0x%X", PrivatePcscd::kVpcdPort);
  conf << "FRIENDLYNAME \"Virtual PCD\"\n"
       << "DEVICENAME /dev/null:" << port << "\n"
       << "LIBPATH " << (pinPad ? paths.pinPadDriver : paths.driver) << "\n"
       << "CHANNELID " << port << "\n";
  if (!conf) throw std::runtime_error("cannot write " + paths.confDir + "/vpcd");
}

// What a failing child reports through the pipe before exec.
struct ChildFailure {
  int stage;
  int error;
};
enum Stage { kStageUnshare = 1, kStagePrivate, kStageBindRun, kStageHideDrivers, kStageLoopback,
             kStageExec };
const char* StageText(int stage) {
  switch (stage) {
    case kStageUnshare: return "unshare(mount, network)";
    case kStagePrivate: return "making / private";
    case kStageBindRun: return "binding the socket folder";
    case kStageHideDrivers: return "hiding the USB drivers";
    case kStageLoopback: return "bringing up lo";
    case kStageExec: return "exec pcscd";
    default: return "?";
  }
}

[[noreturn]] void ChildFail(int pipeFd, int stage) {
  ChildFailure failure{stage, errno};
  (void)!::write(pipeFd, &failure, sizeof failure);
  ::_exit(127);
}

bool ReapWithin(pid_t pid, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  for (;;) {
    int status = 0;
    const pid_t got = ::waitpid(pid, &status, WNOHANG);
    if (got == pid || (got < 0 && errno == ECHILD)) return true;
    if (Clock::now() >= deadline) return false;
    ::usleep(2000);
  }
}

}  // namespace

Bytes HexBytes(const std::string& hex) {
  std::string digits;
  for (char c : hex) {
    if (c == ' ' || c == ':') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) throw std::invalid_argument("not hex: " + hex);
    digits += c;
  }
  if (digits.size() % 2) throw std::invalid_argument("odd hex digits: " + hex);
  Bytes bytes;
  for (size_t k = 0; k < digits.size(); k += 2) {
    bytes.push_back(static_cast<uint8_t>(std::stoul(digits.substr(k, 2), nullptr, 16)));
  }
  return bytes;
}

std::string PcscRigUnavailableReason() {
  if (::geteuid() != 0) {
    return "the PC/SC rig needs root: the private pcscd runs in its own mount namespace";
  }
  if (std::string(TVR_PCSCD).empty() || ::access(TVR_PCSCD, X_OK) != 0) {
    return "pcscd is not installed (package pcscd)";
  }
  if (std::string(TVR_VPCD_DRIVER).empty() || ::access(TVR_VPCD_DRIVER, R_OK) != 0) {
    return "the vpcd reader driver is not installed (package vsmartcard-vpcd)";
  }
  return {};
}

std::string PcscSocketPath() { return Paths().socket; }

std::string PrivatePcscd::ReaderName(int index) {
  return "Virtual PCD 00 0" + std::to_string(index);
}

std::string PrivatePcscd::Log() const {
  std::ifstream in(Paths().log);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

PrivatePcscd::~PrivatePcscd() { Stop(); }

void PrivatePcscd::Start() {
  if (Running()) return;
  if (const std::string reason = PcscRigUnavailableReason(); !reason.empty()) {
    throw PcscRigUnavailable(reason);
  }
  if (gDaemonRunning.exchange(true)) {
    throw std::logic_error("a private pcscd already runs in this process");
  }
  try {
    const RigPaths& paths = Paths();
    // A stale pid file would make pcscd believe another daemon runs.
    std::error_code ignored;
    fs::remove(paths.runDir + "/pcscd.pid", ignored);
    fs::remove(paths.socket, ignored);
    if (!fs::exists(paths.driver)) fs::copy_file(TVR_VPCD_DRIVER, paths.driver);
    if (pinPadReader_ >= 0) {
      fs::copy_file(TVR_PINPAD_IFD, paths.pinPadDriver, fs::copy_options::overwrite_existing);
      fs::remove(paths.pinPadRecord, ignored);
      std::ofstream conf(paths.pinPadDriver + ".conf", std::ios::trunc);
      conf << "driver=" << paths.driver << "\n"
           << "slots=" << pinPadReader_ << "\n"
           << "first=" << pinPadFirst_ << "\n"
           << "new=" << pinPadNew_ << "\n"
           << "record=" << paths.pinPadRecord << "\n";
      if (!conf.flush()) throw std::runtime_error("cannot write the PIN-pad configuration");
    }
    WriteConf(paths, pinPadReader_ >= 0);

    // Everything the child needs is made before fork: after it only system calls run.
    const bool bindRunDir = IsDirectory("/run/pcscd");
    const bool hideDrivers = IsDirectory(kUsbDriverDir);
    const std::string bindSource = bindRunDir ? paths.runDir : paths.runRoot;
    const char* bindTarget = bindRunDir ? "/run/pcscd" : "/run";
    std::vector<std::string> envText;
    for (char** e = environ; *e; ++e) {
      const std::string entry = *e;
      // Not a systemd service: no socket activation, no readiness notification.
      if (entry.starts_with("LISTEN_") || entry.starts_with("NOTIFY_SOCKET=")) continue;
      envText.push_back(entry);
    }
    std::vector<char*> env;
    for (std::string& entry : envText) env.push_back(entry.data());
    env.push_back(nullptr);
    std::string arg0 = "pcscd", arg1 = "--foreground", arg2 = "--config", arg3 = paths.confDir;
    char* argv[] = {arg0.data(), arg1.data(), arg2.data(), arg3.data(), nullptr};
    struct ifreq loopback{};
    std::strncpy(loopback.ifr_name, "lo", IFNAMSIZ - 1);

    const int logFd = ::open(paths.log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int nullFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    int report[2];
    if (logFd < 0 || nullFd < 0 || ::pipe2(report, O_CLOEXEC) != 0) {
      if (logFd >= 0) ::close(logFd);
      if (nullFd >= 0) ::close(nullFd);
      throw std::runtime_error("cannot prepare the pcscd child");
    }
    const pid_t parent = ::getpid();
    const auto started = Clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() != parent) ::_exit(1);
      ::dup2(nullFd, STDIN_FILENO);
      ::dup2(logFd, STDOUT_FILENO);
      ::dup2(logFd, STDERR_FILENO);
      if (::unshare(CLONE_NEWNS | CLONE_NEWNET) != 0) ChildFail(report[1], kStageUnshare);
      if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        ChildFail(report[1], kStagePrivate);
      }
      if (::mount(bindSource.c_str(), bindTarget, nullptr, MS_BIND, nullptr) != 0) {
        ChildFail(report[1], kStageBindRun);
      }
      if (hideDrivers &&
          ::mount(paths.noDrivers.c_str(), kUsbDriverDir, nullptr, MS_BIND, nullptr) != 0) {
        ChildFail(report[1], kStageHideDrivers);
      }
      const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      if (s < 0 || ::ioctl(s, SIOCGIFFLAGS, &loopback) != 0) ChildFail(report[1], kStageLoopback);
      loopback.ifr_flags |= IFF_UP;
      if (::ioctl(s, SIOCSIFFLAGS, &loopback) != 0) ChildFail(report[1], kStageLoopback);
      ::execve(TVR_PCSCD, argv, env.data());
      ChildFail(report[1], kStageExec);
    }
    ::close(report[1]);
    ::close(logFd);
    ::close(nullFd);
    if (pid < 0) {
      ::close(report[0]);
      throw std::runtime_error("fork failed");
    }
    pid_ = pid;

    ChildFailure failure{};
    ssize_t got;
    do {
      got = ::read(report[0], &failure, sizeof failure);
    } while (got < 0 && errno == EINTR);
    ::close(report[0]);
    if (got == static_cast<ssize_t>(sizeof failure)) {
      ReapWithin(pid_, std::chrono::seconds(3));
      pid_ = -1;
      const std::string text = std::string("private pcscd: ") + StageText(failure.stage) +
                               " failed: " + std::strerror(failure.error);
      if (failure.stage == kStageUnshare && failure.error == EPERM) throw PcscRigUnavailable(text);
      throw std::runtime_error(text);
    }

    // Ready when the daemon lists both virtual readers.
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    for (;;) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        throw std::runtime_error("private pcscd exited at start:\n" + Log());
      }
      if (fs::exists(paths.socket) && ListPcscReaders().size() == kReaderCount) break;
      if (Clock::now() >= deadline) {
        Stop();
        throw std::runtime_error("private pcscd did not list the virtual readers within 5 s:\n" +
                                 Log());
      }
      ::usleep(1000);
    }
    startTime_ = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - started);
    netns_ = ::open(("/proc/" + std::to_string(pid_) + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC);
    if (netns_ < 0) {
      Stop();
      throw std::runtime_error("cannot open the private pcscd's network namespace");
    }
  } catch (...) {
    if (!Running()) gDaemonRunning = false;
    throw;
  }
}

void PrivatePcscd::Stop() {
  if (netns_ >= 0) ::close(netns_);
  netns_ = -1;
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  if (!ReapWithin(pid_, std::chrono::seconds(3))) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  pid_ = -1;
  gDaemonRunning = false;
}

void PrivatePcscd::EnablePinPad(int readerIndex, const std::string& firstValue,
                                const std::string& newValue) {
  if (Running()) throw std::logic_error("EnablePinPad must come before Start");
  pinPadReader_ = readerIndex;
  pinPadFirst_ = firstValue;
  pinPadNew_ = newValue;
}

std::vector<Bytes> PrivatePcscd::PinPadBlocks() const {
  std::vector<Bytes> blocks;
  std::ifstream in(Paths().pinPadRecord);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) blocks.push_back(HexBytes(line));
  }
  return blocks;
}

std::vector<std::string> ListPcscReaders() {
  PcscSocketPath();
  std::vector<std::string> names;
  SCARDCONTEXT context = 0;
  if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context) != SCARD_S_SUCCESS) {
    return names;
  }
  DWORD length = 0;
  if (SCardListReaders(context, nullptr, nullptr, &length) == SCARD_S_SUCCESS && length > 0) {
    std::string buffer(length, '\0');
    if (SCardListReaders(context, nullptr, buffer.data(), &length) == SCARD_S_SUCCESS) {
      for (size_t at = 0; at < buffer.size() && buffer[at];) {
        names.emplace_back(buffer.c_str() + at);
        at += names.back().size() + 1;
      }
    }
  }
  SCardReleaseContext(context);
  return names;
}

std::optional<Bytes> WaitForCard(const std::string& reader, bool present,
                                 std::chrono::milliseconds timeout) {
  PcscSocketPath();
  SCARDCONTEXT context = 0;
  if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context) != SCARD_S_SUCCESS) {
    return std::nullopt;
  }
  std::optional<Bytes> result;
  SCARD_READERSTATE state{};
  state.szReader = reader.c_str();
  state.dwCurrentState = SCARD_STATE_UNAWARE;
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() < 0) break;
    const LONG rv = SCardGetStatusChange(context, static_cast<DWORD>(left.count()), &state, 1);
    if (rv != SCARD_S_SUCCESS) break;
    const DWORD now = state.dwEventState;
    if (now & (SCARD_STATE_UNKNOWN | SCARD_STATE_IGNORE)) break;
    if (present && (now & SCARD_STATE_PRESENT) && !(now & SCARD_STATE_MUTE)) {
      result = Bytes(state.rgbAtr, state.rgbAtr + std::min<DWORD>(state.cbAtr, sizeof state.rgbAtr));
      break;
    }
    if (!present && (now & SCARD_STATE_EMPTY)) {
      result = Bytes();
      break;
    }
    state.dwCurrentState = now & ~SCARD_STATE_CHANGED;
  }
  SCardReleaseContext(context);
  return result;
}

}  // namespace TvrTest
