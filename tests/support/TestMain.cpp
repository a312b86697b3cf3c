// Test main for tests that load PKCS#11 modules by name. ld.so reads
// LD_LIBRARY_PATH only at start-up and ctest runs the cases of one binary in
// parallel processes, so each process makes its own module folder, puts it on
// LD_LIBRARY_PATH and runs itself again; the first process only waits and cleans up.
// The child also gets a private TMPDIR below the same folder.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

volatile sig_atomic_t gChild = 0;

void ForwardSignal(int signal) {
  if (gChild > 0) ::kill(gChild, signal);
}

int RunInPrivateModuleDir(char** argv) {
  const char* tmp = std::getenv("TMPDIR");
  std::string root = std::string(tmp && *tmp ? tmp : "/tmp") + "/tvrtests-XXXXXX";
  if (!::mkdtemp(root.data())) {
    std::perror("mkdtemp");
    return 1;
  }
  // The tests' own temporary files go below the same root, so they are
  // removed even when a test crashes.
  const std::string dir = root + "/modules";
  const std::string privateTmp = root + "/tmp";
  std::error_code error;
  std::filesystem::create_directory(dir, error);
  if (!error) std::filesystem::create_directory(privateTmp, error);
  if (error) {
    std::fprintf(stderr, "cannot create %s: %s\n", root.c_str(), error.message().c_str());
    return 1;
  }
  const char* oldPath = std::getenv("LD_LIBRARY_PATH");
  const std::string path = oldPath && *oldPath ? dir + ":" + oldPath : dir;
  ::setenv("TVR_TEST_MODULE_DIR", dir.c_str(), 1);
  ::setenv("LD_LIBRARY_PATH", path.c_str(), 1);
  ::setenv("TMPDIR", privateTmp.c_str(), 1);

  const pid_t parent = ::getpid();
  const pid_t child = ::fork();
  if (child < 0) {
    std::perror("fork");
    return 1;
  }
  if (child == 0) {
    // Dies with the waiting process, e.g. when ctest kills it on a time-out.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(1);
    ::execv("/proc/self/exe", argv);
    std::perror("execv /proc/self/exe");
    ::_exit(127);
  }
  gChild = child;
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) std::signal(signal, ForwardSignal);

  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  std::filesystem::remove_all(root, error);
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 1;
}

}  // namespace

// Runs the tests in the private module folder. A test binary that needs more around its
// tests (a QApplication) defines its own.
__attribute__((weak)) int TvrRunTests(int argc, char** argv) {
  ::testing::InitGoogleMock(&argc, argv);
  return RUN_ALL_TESTS();
}

int main(int argc, char** argv) {
  const char* moduleDir = std::getenv("TVR_TEST_MODULE_DIR");
  if (!moduleDir || !*moduleDir) return RunInPrivateModuleDir(argv);
  return TvrRunTests(argc, argv);
}
