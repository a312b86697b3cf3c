#include "platform/Process.h"

#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>

extern char** environ;

namespace {

namespace fs = std::filesystem;

// Reads one line from a pipe; "" at its end.
std::string ReadLine(int fd) {
  std::string line;
  char c = 0;
  while (::read(fd, &c, 1) == 1 && c != '\n') line += c;
  return line;
}

struct ProbeAnswer {
  std::string name;
  std::string directory;
};

// Runs `binary`, lets `change` act on the file while it runs, then asks for its name.
template <typename Change>
ProbeAnswer RunProbe(const fs::path& binary, Change change) {
  int toChild[2];
  int fromChild[2];
  if (::pipe(toChild) != 0 || ::pipe(fromChild) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
  posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
  for (int fd : {toChild[0], toChild[1], fromChild[0], fromChild[1]})
    posix_spawn_file_actions_addclose(&actions, fd);
  const std::string path = binary.string();
  char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
  pid_t pid = 0;
  const int spawned = ::posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(toChild[0]);
  ::close(fromChild[1]);
  ProbeAnswer answer;
  if (spawned == 0 && ReadLine(fromChild[0]) == "ready") {
    change(binary);
    const char line[] = "go\n";
    if (::write(toChild[1], line, sizeof line - 1) == static_cast<ssize_t>(sizeof line - 1)) {
      answer.name = ReadLine(fromChild[0]);
      answer.directory = ReadLine(fromChild[0]);
    }
  }
  ::close(toChild[1]);
  ::close(fromChild[0]);
  if (spawned == 0) {
    int status = 0;
    ::waitpid(pid, &status, 0);
  }
  return answer;
}

TEST(Process, NameStaysTheStartNameWhenTheBinaryIsRemovedOrReplaced) {
  const fs::path dir = fs::path(::testing::TempDir()) / ("process-name-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);

  const auto keep = [](const fs::path&) {};
  const auto remove = [](const fs::path& binary) { fs::remove(binary); };
  const auto replace = [](const fs::path& binary) {  // as a package update does
    const fs::path next = binary.string() + ".new";
    fs::copy_file(TVR_PROCESS_NAME_PROBE, next);
    fs::rename(next, binary);
  };
  struct Case {
    const char* file;
    std::function<void(const fs::path&)> change;
    const char* expected;
  };
  const Case cases[] = {
      {"kelmardin", keep, "kelmardin"},
      {"kelmardin", remove, "kelmardin"},
      {"kelmardin", replace, "kelmardin"},
      // A file really named so keeps its whole name, also once it is removed.
      {"kelmardin (deleted)", keep, "kelmardin (deleted)"},
      {"kelmardin (deleted)", remove, "kelmardin (deleted)"},
  };
  for (const Case& c : cases) {
    const fs::path binary = dir / c.file;
    fs::remove(binary);
    fs::copy_file(TVR_PROCESS_NAME_PROBE, binary);
    const ProbeAnswer answer = RunProbe(binary, c.change);
    EXPECT_EQ(answer.name, c.expected) << c.file;
    EXPECT_EQ(answer.directory, dir.string()) << c.file;
  }
  fs::remove_all(dir);
}

}  // namespace
