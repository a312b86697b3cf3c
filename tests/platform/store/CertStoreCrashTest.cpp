// A writer killed (SIGKILL) at random points, many times over: after every kill the store
// reads back consistently and holds what the writer had committed.
#include <gtest/gtest.h>

#include <dirent.h>
#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "StoreFixture.h"

namespace {

using Platform::CertAddDisposition;
using Platform::CertContextPtr;
using Platform::CertStore;

constexpr size_t kCertificates = 6;
constexpr int kKills = 100;
constexpr auto kTimeBudget = std::chrono::seconds(40);
// Large properties: a write in place would be caught half-done more often.
constexpr size_t kPadding = 64 * 1024;

// The writer's operations form one fixed sequence: operation n acts on certificate
// n % kCertificates, deleting it every third pass and otherwise adding it (replacing) with
// properties that name n.
struct Operation {
  size_t certificate;
  bool add;
};
Operation OperationAt(int64_t n) {
  return {static_cast<size_t>(n) % kCertificates, (n / static_cast<int64_t>(kCertificates)) % 3 != 2};
}
std::string Container(int64_t n) { return "op" + std::to_string(n); }
std::string FriendlyName(int64_t n) { return Container(n) + std::string(kPadding, 'p'); }

// Runs operations from `first` on, reporting each one's number once it has returned.
[[noreturn]] void Writer(int reportFd, int64_t first, const std::vector<std::vector<uint8_t>>& ders) {
  auto store = CertStore::OpenSystem("MY");
  if (!store) ::_exit(2);
  for (int64_t n = first;; ++n) {
    const Operation op = OperationAt(n);
    auto context = Platform::CertContext::Create(ders[op.certificate].data(), ders[op.certificate].size());
    if (op.add) {
      context->SetKeyProvInfo(Platform::CertKeyProvInfo{Container(n), "Crash Provider", 1, 0, 2});
      context->SetFriendlyName(FriendlyName(n));
      if (!store->Add(*context, CertAddDisposition::ReplaceExisting)) ::_exit(3);
    } else if (!store->Delete(*context)) {
      ::_exit(4);
    }
    if (::write(reportFd, &n, sizeof n) != sizeof n) ::_exit(5);
  }
}

// Where the stores live for this test. A writer killed by a signal loses nothing that its
// calls handed to the kernel, so syncing plays no part here; on a memory file system (when
// there is one) the writer does not wait for the disk and the test runs fast.
class DataFolder {
 public:
  explicit DataFolder(const std::string& fallback) {
    struct stat st;
    char name[] = "/dev/shm/tvr-store-crash-XXXXXX";
    if (::stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && ::mkdtemp(name)) {
      path_ = name;
      owned_ = true;
      inMemory_ = true;
    } else {
      path_ = fallback;
    }
    ::setenv("XDG_DATA_HOME", path_.c_str(), 1);
  }
  ~DataFolder() {
    std::error_code ignored;
    if (owned_) std::filesystem::remove_all(path_, ignored);
  }
  std::string StoreFolder(const std::string& name) const { return path_ + "/Tavrenic/stores/" + name; }
  bool InMemory() const { return inMemory_; }

 private:
  std::string path_;
  bool owned_ = false;
  bool inMemory_ = false;
};

// What the store shows for one certificate: absent, or the operation its properties name.
std::string Describe(const CertContextPtr& context) {
  if (!context) return "absent";
  const auto& info = context->Properties().keyProvInfo;
  if (!info) return "present without properties";
  const std::string n = info->containerName.substr(2);
  if (context->Properties().friendlyName != FriendlyName(std::stoll(n))) return "present, damaged properties";
  return "added by " + info->containerName;
}
std::string Expected(int64_t n) {
  if (n < 0) return "absent";
  return OperationAt(n).add ? "added by " + Container(n) : "absent";
}

// Lets the writer (stopped at its start) run to a random point and kills it there. Traced,
// where the system allows it, the writer stops at every system call's entry and exit, the
// points between which what it left on disk can change, and is killed at a random one of
// them. Otherwise it is killed after a random number of reported operations and a random part
// of the next. Operations read on the way go to `early`. Returns a fault text, or "".
std::string KillAtRandomPoint(pid_t child, int reportFd, std::mt19937& random, bool inMemory,
                              std::vector<int64_t>& early) {
  std::string fault;
  int status = 0;
  if (::waitpid(child, &status, WUNTRACED) != child || !WIFSTOPPED(status)) {
    fault = "the writer did not start";
  } else if (::ptrace(PTRACE_SETOPTIONS, child, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL) == 0) {
    int pending = 0;  // a signal the writer got is passed on
    for (int stops = std::uniform_int_distribution<int>(1, 400)(random); stops > 0 && fault.empty(); --stops) {
      if (::ptrace(PTRACE_SYSCALL, child, nullptr, pending) != 0 || ::waitpid(child, &status, 0) != child ||
          !WIFSTOPPED(status)) {
        fault = "the writer stopped by itself";
      } else {
        pending = WSTOPSIG(status) == (SIGTRAP | 0x80) ? 0 : WSTOPSIG(status);
      }
    }
  } else {
    ::kill(child, SIGCONT);
    for (int wanted = std::uniform_int_distribution<int>(0, 6)(random); wanted > 0 && fault.empty(); --wanted) {
      pollfd pfd{reportFd, POLLIN, 0};
      int64_t n = 0;
      if (::poll(&pfd, 1, 10000) != 1 || ::read(reportFd, &n, sizeof n) != sizeof n)
        fault = "the writer stopped writing";
      else
        early.push_back(n);
    }
    const int microseconds = std::uniform_int_distribution<int>(0, inMemory ? 1500 : 40000)(random);
    std::this_thread::sleep_for(std::chrono::microseconds(microseconds));
  }
  ::kill(child, SIGKILL);
  ::waitpid(child, &status, 0);
  if (fault.empty() && !(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL))
    fault = "the writer ended by itself: status " + std::to_string(status);
  return fault;
}

TEST_F(StoreFixture, StoreSurvivesAWriterKilledAtRandomPoints) {
  std::vector<std::vector<uint8_t>> ders;
  std::vector<std::string> thumbprints;
  for (size_t i = 0; i < kCertificates; ++i) {
    ders.push_back(StoreTest::MakeNumberedCertificate("Crash", static_cast<long>(i) + 1));
    thumbprints.push_back(Context(ders.back())->Thumbprint());
  }
  const DataFolder data(dir_->Path() + "/data");
  std::mt19937 random(std::random_device{}());

  std::vector<int64_t> committed(kCertificates, -1);  // last operation known done, per certificate
  int64_t next = 0;
  const auto deadline = std::chrono::steady_clock::now() + kTimeBudget;
  int kills = 0;
  int64_t reported = 0;
  for (; kills < kKills && std::chrono::steady_clock::now() < deadline; ++kills) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t child = ::fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
      ::close(fds[0]);
      // Fewer memory system calls: fewer stops that cannot change what is on disk.
      ::mallopt(M_MMAP_THRESHOLD, 16 << 20);
      ::mallopt(M_TRIM_THRESHOLD, 256 << 20);
      ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);  // where allowed
      ::raise(SIGSTOP);
      Writer(fds[1], next, ders);
    }
    ::close(fds[1]);
    int64_t last = next - 1;
    auto note = [&](int64_t n) {
      committed[OperationAt(n).certificate] = n;
      last = n;
      ++reported;
    };
    std::vector<int64_t> early;
    const std::string fault = KillAtRandomPoint(child, fds[0], random, data.InMemory(), early);
    for (int64_t n : early) note(n);
    ASSERT_EQ(fault, "") << "kill " << kills;

    int64_t n = 0;
    while (::read(fds[0], &n, sizeof n) == sizeof n) note(n);
    ::close(fds[0]);
    // The operation after the last reported one may have completed too.
    const int64_t inFlight = last + 1;
    next = last + 2;

    auto store = CertStore::OpenSystem("MY");
    std::vector<CertContextPtr> all;
    ASSERT_TRUE(store->Enumerate(all)) << "after kill " << kills;
    std::map<std::string, CertContextPtr> shown;
    for (const auto& c : all) shown[c->Thumbprint()] = c;
    for (size_t i = 0; i < kCertificates; ++i) {
      const std::string state = Describe(shown.count(thumbprints[i]) ? shown[thumbprints[i]] : nullptr);
      std::set<std::string> allowed{Expected(committed[i])};
      if (OperationAt(inFlight).certificate == i) allowed.insert(Expected(inFlight));
      ASSERT_TRUE(allowed.count(state)) << "certificate " << i << " after kill " << kills << ": " << state
                                        << ", expected " << *allowed.begin();
      // Whether the unreported operation happened is now known: later rounds build on it.
      if (OperationAt(inFlight).certificate == i && state == Expected(inFlight)) committed[i] = inFlight;
      shown.erase(thumbprints[i]);
    }
    ASSERT_TRUE(shown.empty()) << "a certificate the writer never added";
    ASSERT_TRUE(Events().empty()) << Events().front();

    // Left over by the kill and removed under the lock: temp files and properties files
    // without their certificate.
    DIR* dir = ::opendir(data.StoreFolder("MY").c_str());
    ASSERT_NE(dir, nullptr);
    std::set<std::string> names;
    while (const dirent* entry = ::readdir(dir)) names.emplace(entry->d_name);
    ::closedir(dir);
    for (const auto& name : names) {
      if (name == "." || name == ".." || name == ".lock" || name.ends_with(".der")) continue;
      ASSERT_TRUE(name.ends_with(".props") && names.count(name.substr(0, 40) + ".der"))
          << name << " left after kill " << kills;
    }
  }
  EXPECT_GE(kills, 20) << "too few kills in the time allowed";
  EXPECT_GE(reported, static_cast<int64_t>(kills)) << "the writer hardly got to write";
}

}  // namespace
