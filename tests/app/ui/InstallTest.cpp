// Installing like a Linux program: `cmake --install` into a prefix a user owns (or a
// staging DESTDIR) writes nothing outside it, a reinstall keeps the configuration an
// administrator edited, and a new user's first start, with nothing but what the
// installation put in place, shows the main window and no error box.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "P11Rig.h"
#include "PcscRig.h"
#include "ProgramRig.h"

namespace {

using namespace UiTest;
namespace fs = std::filesystem;

constexpr const char* kMainTitle = "TAVRENIC - Olvanta Zavadorerido";

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// `cmake --install` of the build folder; its output, or a failure of the test.
std::string Install(const std::string& prefix, const std::string& destdir) {
  std::string output;
  const int status = TvrTest::RunCommand(
      {"env", destdir.empty() ? "--unset=DESTDIR" : "DESTDIR=" + destdir, TVR_CMAKE_COMMAND, "--install",
       TVR_BUILD_DIR, "--prefix", prefix},
      &output);
  EXPECT_EQ(status, 0) << output;
  return output;
}

// Every path the installation reports ("-- Installing: ...", "-- Up-to-date: ...",
// "-- Kept: ...").
std::vector<std::string> ReportedPaths(const std::string& output) {
  std::vector<std::string> paths;
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    for (const char* what : {"-- Installing: ", "-- Up-to-date: ", "-- Kept: "}) {
      const std::string lead = what;
      if (line.rfind(lead, 0) == 0) paths.push_back(line.substr(lead.size()));
    }
  }
  return paths;
}

// Starts the installed program as a new user of a machine whose own settings folders hold
// nothing, until its first start has settled the language (taken from the installation's
// machine-wide file); the user's profile it wrote.
std::string FirstStartProfile(const std::string& program, const std::string& dir) {
  const std::string home = dir + "/home";
  fs::remove_all(home);
  fs::create_directories(home);
  fs::create_directories(dir + "/run");
  fs::permissions(dir + "/run", fs::perms::owner_all);
  fs::create_directories(dir + "/machine");
  const pid_t pid = Spawn({program}, EnvironmentWith({{"HOME", home},
                                                      {"XDG_CONFIG_HOME", ""},
                                                      {"XDG_DATA_HOME", ""},
                                                      {"XDG_CONFIG_DIRS", dir + "/machine"},
                                                      {"XDG_RUNTIME_DIR", dir + "/run"},
                                                      {"TVR_SYSTEM_CONFIG_DIR", ""},
                                                      {"QT_QPA_PLATFORM", "offscreen"},
                                                      {"SESSION_MANAGER", ""},
                                                      {"DBUS_SESSION_BUS_ADDRESS", ""}}));
  EXPECT_GT(pid, 0);
  const std::string profile = home + "/.config/Tavrenic/kelmardin.conf";
  std::string text;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < end) {
    text = ReadText(profile);
    if (text.find("\"Language\"=") != std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (pid > 0) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  return text;
}

struct Layout {
  const char* name;
  const char* prefix;  // under the test folder unless absolute
  bool staged;         // DESTDIR set to the test folder's "stage"
  const char* etc;     // the sysconfdir expected, under the installed root
};

void PrintTo(const Layout& layout, std::ostream* out) { *out << layout.name; }

class InstallTest : public ::testing::TestWithParam<Layout> {};

TEST_P(InstallTest, StaysInThePrefixAndKeepsEditedConfiguration) {
  const Layout& layout = GetParam();
  TvrTest::TempDir dir;
  const std::string prefix = layout.prefix[0] == '/' ? layout.prefix : dir.Path() + "/" + layout.prefix;
  const std::string destdir = layout.staged ? dir.Path() + "/stage" : "";
  const std::string root = destdir + prefix;
  const std::string etc = destdir + (layout.etc[0] == '/' ? std::string(layout.etc) : prefix + "/" + layout.etc);

  const std::string first = Install(prefix, destdir);
  EXPECT_NE(first.find("-- Configuration folder: " + (layout.etc[0] == '/' ? std::string(layout.etc) : prefix + "/" + layout.etc) + "/xdg\n"),
            std::string::npos) << first;
  const std::vector<std::string> paths = ReportedPaths(first);
  ASSERT_FALSE(paths.empty()) << first;
  for (const std::string& path : paths) EXPECT_EQ(path.rfind(dir.Path() + "/", 0), 0u) << path;

  const std::string program = root + "/" + TVR_INSTALL_PROGRAM_DIR + "/kelmardin";
  EXPECT_EQ(::access(program.c_str(), X_OK), 0) << program;
  EXPECT_TRUE(fs::equivalent(root + "/bin/kelmardin", program));
  const std::string shipped = root + "/share/kelmardin";
  const std::string source = std::string(TVR_SOURCE_DIR) + "/res";
  EXPECT_EQ(ReadText(shipped + "/smartcards.conf"), ReadText(source + "/smartcards.conf"));
  EXPECT_EQ(ReadText(shipped + "/kelmardin.conf"), ReadText(source + "/kelmardin.conf"));
  const std::string cards = etc + "/xdg/Tavrenic/smartcards.conf";
  const std::string profile = etc + "/xdg/Tavrenic/kelmardin.conf";
  EXPECT_EQ(ReadText(cards), ReadText(source + "/smartcards.conf"));
  EXPECT_EQ(ReadText(profile), ReadText(source + "/kelmardin.conf"));
  const std::string autostart = ReadText(etc + "/xdg/autostart/kelmardin.desktop");
  EXPECT_NE(autostart.find("\nExec=kelmardin /system_tray\n"), std::string::npos) << autostart;

  const std::string editedCards = ReadText(cards) + "\n[Edited Card]\nATR = 3B 02 14 50\n";
  const std::string editedProfile = "\"Language\"=\"ENG\"\n";
  std::ofstream(cards, std::ios::trunc) << editedCards;
  std::ofstream(profile, std::ios::trunc) << editedProfile;
  const std::string second = Install(prefix, destdir);
  for (const std::string& path : ReportedPaths(second)) EXPECT_EQ(path.rfind(dir.Path() + "/", 0), 0u) << path;
  EXPECT_EQ(ReadText(cards), editedCards);
  EXPECT_EQ(ReadText(profile), editedProfile);

  // Started from the installed tree, the program reads the administrator's value.
  const std::string settled = FirstStartProfile(program, dir.Path());
  EXPECT_NE(settled.find("\"Language\"=\"ENG\""), std::string::npos) << settled;
}

INSTANTIATE_TEST_SUITE_P(Layouts, InstallTest,
                         // None is the configured prefix (/usr/local): each install chooses its own.
                         ::testing::Values(Layout{"UserPrefix", ".local", false, "etc"},
                                           Layout{"StagedUsr", "/usr", true, "/etc"},
                                           Layout{"StagedOpt", "/opt/kel-test", true, "/etc/opt/kel-test"}),
                         [](const auto& info) { return std::string(info.param.name); });

// The visible top-level windows' names on a display.
std::vector<std::string> VisibleWindows(const std::string& display) {
  std::string names;
  TvrTest::RunCommand({"sh", "-c",
                       "for w in $(DISPLAY=" + display + " xdotool search --onlyvisible --name .); do DISPLAY=" +
                           display + " xdotool getwindowname $w; done"},
                      &names);
  std::vector<std::string> list;
  std::istringstream lines(names);
  std::string line;
  while (std::getline(lines, line))
    if (!line.empty()) list.push_back(line);
  return list;
}

struct Program {
  const char* name;
  bool installed;  // else the build folder's program, as scripts/run.sh starts it
};

void PrintTo(const Program& program, std::ostream* out) { *out << program.name; }

class FirstStartTest : public ::testing::TestWithParam<Program> {
 protected:
  void SetUp() override {
    TvrTest::PcscSocketPath();  // the program inherits the private service's address
    if (const std::string reason = TvrTest::PcscRigUnavailableReason(); !reason.empty()) GTEST_SKIP() << reason;
    for (const char* tool : {"Xvfb", "xdotool"})
      if (!OnPath(tool)) GTEST_SKIP() << tool << " is not installed";
    try {
      pcscd_.Start();  // a running service: the start does not wait for one
    } catch (const TvrTest::PcscRigUnavailable& e) {
      GTEST_SKIP() << e.what();
    }
  }
  void TearDown() override {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    pcscd_.Stop();
  }

  TvrTest::PrivatePcscd pcscd_;
  pid_t pid_ = -1;
};

TEST_P(FirstStartTest, ShowsTheWindowAndNoErrorBox) {
  TvrTest::TempDir dir;
  std::string program = TVR_KELMARDIN_PATH;
  if (GetParam().installed) {
    Install(dir.Path() + "/.local", "");
    program = dir.Path() + "/.local/bin/kelmardin";
  }
  const std::string home = dir.Path() + "/home";
  fs::create_directories(home);
  fs::create_directories(dir.Path() + "/run");
  fs::permissions(dir.Path() + "/run", fs::perms::owner_all);
  fs::create_directories(dir.Path() + "/machine");  // no machine-wide file of this computer counts

  PrivateDisplay display;
  ASSERT_FALSE(display.Display().empty());
  pid_ = Spawn({program}, EnvironmentWith({{"HOME", home},
                                           {"XDG_CONFIG_HOME", ""},
                                           {"XDG_DATA_HOME", ""},
                                           {"XDG_CONFIG_DIRS", dir.Path() + "/machine"},
                                           {"XDG_RUNTIME_DIR", dir.Path() + "/run"},
                                           {"TVR_SYSTEM_CONFIG_DIR", ""},
                                           {"QT_QPA_PLATFORM", "xcb"},
                                           {"DISPLAY", display.Display()},
                                           {"SESSION_MANAGER", ""},
                                           {"DBUS_SESSION_BUS_ADDRESS", ""}}));
  ASSERT_GT(pid_, 0);

  std::vector<std::string> windows;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < end) {
    windows = VisibleWindows(display.Display());
    if (std::find(windows.begin(), windows.end(), kMainTitle) != windows.end()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  ASSERT_NE(std::find(windows.begin(), windows.end(), kMainTitle), windows.end())
      << "visible: " << ::testing::PrintToString(windows);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  for (const std::string& name : VisibleWindows(display.Display())) EXPECT_EQ(name, kMainTitle);
  // The first start settled the language from the installed machine-wide profile.
  EXPECT_NE(ReadText(home + "/.config/Tavrenic/kelmardin.conf").find("\"Language\"=\"HUN\""), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Programs, FirstStartTest,
                         ::testing::Values(Program{"Installed", true}, Program{"BuildFolder", false}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
