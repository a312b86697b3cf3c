#include "platform/Profile.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <thread>

#include "platform/EventLog.h"
#include "platform/LastError.h"

using Platform::Profile;
using Platform::ProfileValue;
using Platform::ValueType;

namespace {

// Points the user and machine profile folders at a private temp folder for one test.
class ProfileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tvr-profile-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    ::setenv("XDG_CONFIG_HOME", (root_ + "/user").c_str(), 1);
    ::setenv("TVR_SYSTEM_CONFIG_DIR", (root_ + "/system").c_str(), 1);
  }
  void TearDown() override {
    std::filesystem::remove_all(root_);
    ::unsetenv("XDG_CONFIG_HOME");
    ::unsetenv("TVR_SYSTEM_CONFIG_DIR");
  }
  void WriteMachineFile(const std::string& app, const std::string& text) {
    std::filesystem::create_directories(root_ + "/system/Tavrenic");
    std::ofstream(root_ + "/system/Tavrenic/" + app + ".conf") << text;
  }
  std::string UserFolder() const { return root_ + "/user/Tavrenic"; }
  std::string UserFile(const std::string& app) const { return UserFolder() + "/" + app + ".conf"; }
  void WriteUserFile(const std::string& app, const std::string& text) {
    std::filesystem::create_directories(UserFolder());
    std::ofstream(UserFile(app), std::ios::binary) << text;
  }
  std::string ReadUserFile(const std::string& app) const {
    std::ifstream in(UserFile(app), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }
  std::string root_;
};

TEST_F(ProfileTest, TypedValuesSurviveTheFileUnchanged) {
  const std::vector<std::pair<std::string, ProfileValue>> cases = {
      {"Plain", ProfileValue::String("ENG")},
      {"Tricky", ProfileValue::String("a \"quoted\" \\ back\nslash\ttab ; # [x] =, é Ő")},
      {"Empty", ProfileValue::String("")},
      {"Control", ProfileValue::String(std::string("nul\x01\x7f end"))},
      {"Expand", ProfileValue::ExpandString("%HOME%/certs")},
      {"Zero", ProfileValue::Dword(0)},
      {"AllOnes", ProfileValue::Dword(0xFFFFFFFFu)},
      {"RevokedKeys", ProfileValue::MultiString({"0aff", "a,b", "\"q\"", ""})},
      {"NoItems", ProfileValue::MultiString({})},
      {"Blob", ProfileValue::Binary({0x00, 0x0a, 0xff})},
      {"EmptyBlob", ProfileValue::Binary({})},
  };
  Profile writer("kelmardin");
  for (const auto& [name, value] : cases) ASSERT_TRUE(writer.Write("", name, value)) << name;
  Profile reader("kelmardin");
  for (const auto& [name, value] : cases) {
    auto read = reader.Read("", name);
    ASSERT_TRUE(read.has_value()) << name;
    EXPECT_EQ(*read, value) << name;
    EXPECT_EQ(reader.TypeOf("", name), value.type) << name;
  }
}

TEST_F(ProfileTest, TypedGettersGiveTheDefaultForAbsentOrOtherTypes) {
  Profile p("kelmardin");
  ASSERT_TRUE(p.WriteDword("", "EventLogLevel", 3));
  ASSERT_TRUE(p.Write("", "Path", ProfileValue::ExpandString("x")));
  EXPECT_EQ(p.GetDword("", "EventLogLevel", 7), 3u);
  EXPECT_EQ(p.GetString("", "EventLogLevel", "def"), "def");
  EXPECT_EQ(p.GetString("", "Path", "def"), "def");  // an expandable string is another type
  EXPECT_EQ(p.GetDword("", "Missing", 7), 7u);
  EXPECT_EQ(p.TypeOf("", "Missing"), ValueType::None);
  EXPECT_EQ(p.GetInt("", "Missing", -1), -1);
  ASSERT_TRUE(p.WriteInt("", "Negative", -1));
  EXPECT_EQ(p.GetDword("", "Negative"), 0xFFFFFFFFu);
}

TEST_F(ProfileTest, SectionsAndNamesCompareWithoutCase) {
  Profile p("kelmardin");
  ASSERT_TRUE(p.WriteDword("RenewCertificatesSettings", "Mode", 2));
  ASSERT_TRUE(p.WriteDword("", "Mode", 1));
  EXPECT_EQ(p.GetDword("renewcertificatessettings", "MODE"), 2u);
  EXPECT_EQ(p.GetDword("", "mode"), 1u);
  ASSERT_TRUE(p.WriteDword("RENEWCERTIFICATESSETTINGS", "mode", 5));  // replaces, no duplicate
  EXPECT_EQ(p.GetDword("RenewCertificatesSettings", "Mode"), 5u);
  EXPECT_FALSE(p.WriteString("Bad]Section", "x", "y"));
}

TEST_F(ProfileTest, UserFileComesFirstThenMachineFile) {
  WriteMachineFile("kelmardin", "\"Language\"=\"ENG\"\n\"EventLogLevel\"=dword:00000002\n");
  Profile merged("kelmardin");
  Profile user("kelmardin", Profile::Scope::User);
  Profile machine("kelmardin", Profile::Scope::Machine);
  EXPECT_EQ(merged.GetString("", "Language"), "ENG");
  EXPECT_EQ(user.GetString("", "Language", "none"), "none");
  ASSERT_TRUE(merged.WriteString("", "Language", "HUN"));
  EXPECT_EQ(merged.GetString("", "Language"), "HUN");
  EXPECT_EQ(machine.GetString("", "Language"), "ENG");
  EXPECT_FALSE(machine.WriteString("", "Language", "X"));  // the program never writes it
  // A user value of another type hides the machine value rather than mixing them.
  ASSERT_TRUE(merged.WriteString("", "EventLogLevel", "3"));
  EXPECT_EQ(merged.GetDword("", "EventLogLevel", 0), 0u);
}

// A header without its ']' starts no section: what follows it, up to the next header,
// belongs to none. "[]" returns to the application's own key.
TEST_F(ProfileTest, HandEditedFileWithBrokenLinesStillReads) {
  WriteMachineFile("app",
                   "\xEF\xBB\xBF\"First\"=dword:00000001\n"
                   "garbage line\n"
                   "\"Unterminated=\"x\n"
                   "\"BadDword\"=dword:xyz\n"
                   "\"TooLong\"=dword:123456789\n"
                   "\"BadHex\"=hex:0g\n"
                   "\"Good\"=dword:00000002\r\n"
                   "[Section\n"
                   "\"Good\"=dword:0000000a\r\n"
                   "\"Stray\"=dword:0000000b\n"
                   "; comment\n"
                   "[Other]\n"
                   "\"Good\"=\"other\"\n"
                   "[]\n"
                   "\"Top\"=dword:00000003\n");
  Profile p("app");
  EXPECT_EQ(p.GetDword("", "First"), 1u);  // a byte-order mark hides nothing
  EXPECT_EQ(p.GetDword("", "Good"), 2u);
  EXPECT_EQ(p.GetString("Other", "Good"), "other");
  EXPECT_EQ(p.GetDword("", "Top"), 3u);
  EXPECT_EQ(p.TypeOf("Other", "Top"), ValueType::None);
  for (const char* name : {"Unterminated", "BadDword", "TooLong", "BadHex", "Stray"})
    EXPECT_EQ(p.TypeOf("", name), ValueType::None) << name;
  EXPECT_EQ(p.TypeOf("Section", "Stray"), ValueType::None);
}

// Users edit the file by hand: a write rewrites the one line of its value, or adds one
// line in the value's section, and leaves every other byte as the user wrote it.
TEST_F(ProfileTest, WritesChangeOnlyTheLineOfTheirValue) {
  const std::string topAfterSection = "[S]\n\"B\"=\"2\"\n[]\n\"A\"=\"1\"\n";
  const std::string brokenHeader =
      "\"Mode\"=dword:00000002\n[RenewCertificatesSettings\n\"Mode\"=dword:00000005\n";
  const std::string handWritten =
      "\xEF\xBB\xBF; my settings\n"
      "\"Language\" = \"ENG\"\n"
      "\"EventLogLevel\"=dword:00000003 \n"
      "# note\r\n"
      "whatever\n"
      "\"ShowKeys\"=dword:00000001\r\n"
      "\n"
      "[RenewCertificatesSettings]\n"
      "; ldap\n"
      "  \"mode\"=dword:00000001\n"
      "\n";
  auto replace = [](std::string text, const std::string& from, const std::string& to) {
    return text.replace(text.find(from), from.size(), to);
  };
  struct Case {
    const char* what;
    std::string before;
    std::function<bool(Profile&)> change;
    std::string after;
  };
  const std::vector<Case> cases = {
      {"new section after a [] line", topAfterSection,
       [](Profile& p) { return p.WriteDword("Other", "X", 1); },
       topAfterSection + "\n[Other]\n\"X\"=dword:00000001\n"},
      {"new top-level value after a [] line", topAfterSection,
       [](Profile& p) { return p.WriteString("", "C", "3"); },
       topAfterSection + "\"C\"=\"3\"\n"},
      {"top-level value into a file that starts with a header", "[S]\n\"B\"=\"2\"\n",
       [](Profile& p) { return p.WriteString("", "A", "1"); },
       "\"A\"=\"1\"\n[S]\n\"B\"=\"2\"\n"},
      {"value under a broken header is not the top-level one", brokenHeader,
       [](Profile& p) { return p.WriteDword("", "Mode", 3); },
       replace(brokenHeader, "00000002", "00000003")},
      {"new value ahead of a broken header", brokenHeader,
       [](Profile& p) { return p.WriteDword("", "Other", 1); },
       replace(brokenHeader, "[", "\"Other\"=dword:00000001\n[")},
      {"changed value keeps its line end", handWritten,
       [](Profile& p) { return p.WriteDword("", "ShowKeys", 0); },
       replace(handWritten, "dword:00000001\r", "dword:00000000\r")},
      {"changed value keeps its indentation and spelling", handWritten,
       [](Profile& p) { return p.WriteDword("renewcertificatessettings", "Mode", 2); },
       replace(handWritten, "  \"mode\"=dword:00000001", "  \"mode\"=dword:00000002")},
      {"new value goes to the end of its section", handWritten,
       [](Profile& p) { return p.WriteString("RenewCertificatesSettings", "LDAPHostname", "h"); },
       replace(handWritten, "00001\n\n", "00001\n\"LDAPHostname\"=\"h\"\n\n")},
      {"a line the format does not know gets a value of its own", handWritten,
       [](Profile& p) { return p.WriteString("", "Language", "HUN"); },
       replace(handWritten, "\r\n\n[", "\r\n\"Language\"=\"HUN\"\n\n[")},
      {"deleting removes the one line", handWritten,
       [](Profile& p) { return p.Delete("", "ShowKeys"); },
       replace(handWritten, "\"ShowKeys\"=dword:00000001\r\n", "")},
      {"no line end after the last line", "\"A\"=\"1\"",
       [](Profile& p) { return p.WriteString("", "B", "2"); }, "\"A\"=\"1\"\n\"B\"=\"2\"\n"},
  };
  for (const auto& c : cases) {
    WriteUserFile("app", c.before);
    Profile p("app", Profile::Scope::User);
    ASSERT_TRUE(c.change(p)) << c.what;
    EXPECT_EQ(ReadUserFile("app"), c.after) << c.what;
  }
  // What the issue saw through the public interface.
  WriteUserFile("kelmardin", "[S]\n\"B\"=\"2\"\n[]\n\"EventLogLevel\"=dword:00000003\n");
  Profile p("kelmardin");
  ASSERT_TRUE(p.WriteDword("Other", "X", 1));
  EXPECT_EQ(p.GetDword("", "EventLogLevel"), 3u);
  EXPECT_EQ(p.GetString("S", "B"), "2");
  EXPECT_EQ(p.TypeOf("S", "EventLogLevel"), ValueType::None);
}

// Root reads every file, so the writer runs as an ordinary user in a child process.
TEST_F(ProfileTest, WriteFailsWhenTheFileCannotBeReadAndKeepsIt) {
  WriteMachineFile("kelmardin", "\"EventLogLevel\"=dword:00000001\n");
  const std::string text = "; mine\n\"Language\"=\"ENG\"\n[RenewCertificatesSettings]\n\"Mode\"=dword:00000002\n";
  WriteUserFile("kelmardin", text);
  const std::string path = UserFile("kelmardin");
  uid_t uid = ::geteuid();
  gid_t gid = ::getegid();
  if (uid == 0) {
    const passwd* nobody = ::getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    uid = nobody->pw_uid;
    gid = nobody->pw_gid;
    ASSERT_EQ(::chmod(root_.c_str(), 0755), 0);
    for (const std::string& item : {root_ + "/user", UserFolder(), path})
      ASSERT_EQ(::chown(item.c_str(), uid, gid), 0) << item;
  }
  ASSERT_EQ(::chmod(path.c_str(), 0200), 0);  // its owner may write it, not read it

  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::geteuid() != uid && (::setgid(gid) != 0 || ::setuid(uid) != 0)) ::_exit(10);
    Profile::SetApplicationName("kelmardin");
    auto sink = std::make_shared<Platform::RecordingEventSink>();
    Platform::SetEventSink(sink);
    Platform::RegisterEventSource();
    if (Profile("kelmardin").WriteDword("", "ShowKeys", 1)) ::_exit(1);
    if (Platform::GetLastError() != Platform::kErrorAccessDenied) ::_exit(2);
    const auto events = sink->Entries();
    if (events.size() != 1 || events[0].type != Platform::kEventError ||
        events[0].text.find(path) == std::string::npos)
      ::_exit(3);
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the write succeeded, 2: wrong error, 3: no event";
  ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
  EXPECT_EQ(ReadUserFile("kelmardin"), text);
}

// Temp files are named "<file>.<writer pid>.XXXXXX.tmp". A write clears those whose
// writer is gone, or that are older than any write takes, and nothing else.
TEST_F(ProfileTest, WriteClearsTempFilesOfDeadWritersOnly) {
  Profile p("kelmardin");
  ASSERT_TRUE(p.WriteDword("", "A", 1));
  pid_t dead = ::fork();
  ASSERT_GE(dead, 0);
  if (dead == 0) ::_exit(0);
  ASSERT_EQ(::waitpid(dead, nullptr, 0), dead);
  pid_t live = ::fork();
  ASSERT_GE(live, 0);
  if (live == 0) {
    ::pause();
    ::_exit(0);
  }
  const std::string base = UserFile("kelmardin");
  const std::string ofDead = base + "." + std::to_string(dead) + ".aB3xYz.tmp";
  const std::string ofLive = base + "." + std::to_string(live) + ".aB3xYz.tmp";
  const std::string oldOfLive = base + "." + std::to_string(live) + ".q1w2e3.tmp";
  const std::vector<std::string> kept = {
      ofLive, base + ".backup", base + ".bak.tmp", base + "." + std::to_string(dead) + ".tmp",
      UserFolder() + "/other.conf." + std::to_string(dead) + ".aB3xYz.tmp"};
  for (const auto& file : kept) std::ofstream(file) << "x";
  for (const auto& file : {ofDead, oldOfLive}) std::ofstream(file) << "x";
  std::filesystem::last_write_time(
      oldOfLive, std::filesystem::file_time_type::clock::now() - std::chrono::hours(2));

  EXPECT_TRUE(p.WriteDword("", "B", 2));
  ::kill(live, SIGKILL);
  ::waitpid(live, nullptr, 0);
  EXPECT_FALSE(std::filesystem::exists(ofDead));
  EXPECT_FALSE(std::filesystem::exists(oldOfLive));
  for (const auto& file : kept) EXPECT_TRUE(std::filesystem::exists(file)) << file;
}

// A writer killed at any point leaves a file that reads whole: what was there before
// and every write that reported success.
TEST_F(ProfileTest, KilledWritersNeverDamageTheFile) {
  constexpr int kFill = 1000;
  constexpr int kRounds = 150;
  std::string text = "; kept by hand\n";
  for (int i = 0; i < kFill; ++i) {
    char line[64];
    std::snprintf(line, sizeof line, "\"Fill%d\"=dword:%08x\n", i, i);
    text += line;
  }
  WriteUserFile("kelmardin", text);
  auto fill = [](int i) { return static_cast<uint32_t>(i); };

  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> delayMicroseconds(0, 40000);
  std::vector<int> committed;
  Profile reader("kelmardin");
  for (int round = 0; round < kRounds; ++round) {
    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    const int first = committed.empty() ? 0 : committed.back() + 1;
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::close(report[0]);
      Profile writer("kelmardin");
      for (int i = first;; ++i) {
        if (!writer.WriteDword("", "Key" + std::to_string(i), static_cast<uint32_t>(i))) ::_exit(1);
        if (::write(report[1], &i, sizeof i) != sizeof i) ::_exit(2);
      }
    }
    ::close(report[1]);
    ::usleep(static_cast<useconds_t>(delayMicroseconds(random)));
    ASSERT_EQ(::kill(child, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer failed: " << WEXITSTATUS(status);
    int done = 0;
    while (::read(report[0], &done, sizeof done) == sizeof done) committed.push_back(done);
    ::close(report[0]);

    ASSERT_EQ(ReadUserFile("kelmardin").rfind("; kept by hand\n", 0), 0u) << "round " << round;
    for (int i : {0, kFill / 2, kFill - 1})
      ASSERT_EQ(reader.GetDword("", "Fill" + std::to_string(i)), fill(i)) << "round " << round;
    if (!committed.empty()) {
      ASSERT_EQ(reader.GetDword("", "Key" + std::to_string(committed.back()), 0xFFFFFFFFu),
                static_cast<uint32_t>(committed.back()))
          << "round " << round;
    }
  }
  for (int i : committed)
    EXPECT_EQ(reader.GetDword("", "Key" + std::to_string(i), 0xFFFFFFFFu),
              static_cast<uint32_t>(i));

  // The next write clears the temp files the killed writers left.
  ASSERT_TRUE(reader.WriteDword("", "After", 1));
  for (const auto& entry : std::filesystem::directory_iterator(UserFolder())) {
    const std::string name = entry.path().filename().string();
    EXPECT_TRUE(name == "kelmardin.conf" || name == "kelmardin.conf.lock") << name;
  }
  RecordProperty("committed", static_cast<int>(committed.size()));
}

// A profile kept elsewhere and linked in (dotfiles) stays a link: the write goes to the
// file it names, through a relative link and a link to a link alike, and a dangling
// link gets its file created.
TEST_F(ProfileTest, WriteThroughASymlinkKeepsTheLink) {
  namespace fs = std::filesystem;
  const std::string dotfiles = root_ + "/dotfiles";
  fs::create_directories(dotfiles);
  fs::create_directories(UserFolder());
  std::ofstream(dotfiles + "/kelmardin.conf") << "\"Kept\"=\"yes\"\n";
  fs::create_symlink(dotfiles + "/kelmardin.conf", dotfiles + "/middle.conf");
  fs::create_symlink("../../dotfiles/middle.conf", UserFile("kelmardin"));
  fs::create_symlink(dotfiles + "/not-yet.conf", UserFile("other"));

  Profile profile("kelmardin", Profile::Scope::User);
  ASSERT_TRUE(profile.WriteString("", "Language", "ENG"));
  ASSERT_TRUE(profile.Delete("", "Kept"));
  ASSERT_TRUE(profile.WriteDword("", "ShowKeys", 1));
  EXPECT_TRUE(fs::is_symlink(UserFile("kelmardin")));
  EXPECT_TRUE(fs::is_symlink(dotfiles + "/middle.conf"));
  EXPECT_EQ(fs::read_symlink(UserFile("kelmardin")), "../../dotfiles/middle.conf");
  EXPECT_EQ(profile.GetString("", "Language"), "ENG");
  EXPECT_EQ(profile.GetInt("", "ShowKeys", 0), 1);
  std::ifstream in(dotfiles + "/kelmardin.conf");
  std::ostringstream target;
  target << in.rdbuf();
  EXPECT_NE(target.str().find("\"Language\"=\"ENG\""), std::string::npos) << target.str();
  EXPECT_EQ(target.str().find("Kept"), std::string::npos) << target.str();
  // No temp file left beside the link or the target.
  for (const std::string& folder : {UserFolder(), dotfiles})
    for (const auto& entry : fs::directory_iterator(folder))
      EXPECT_EQ(entry.path().extension(), entry.path().extension() == ".lock" ? ".lock" : ".conf") << entry.path();

  Profile other("other", Profile::Scope::User);
  ASSERT_TRUE(other.WriteString("", "Language", "HUN"));
  EXPECT_TRUE(fs::is_symlink(UserFile("other")));
  EXPECT_TRUE(fs::is_regular_file(dotfiles + "/not-yet.conf"));
  EXPECT_EQ(other.GetString("", "Language"), "HUN");
}

TEST_F(ProfileTest, DeleteRemovesAndMissingValueIsFine) {
  Profile p("kelmardin");
  ASSERT_TRUE(p.WriteString("", "A", "1"));
  ASSERT_TRUE(p.WriteString("", "B", "2"));
  EXPECT_TRUE(p.Delete("", "a"));
  EXPECT_EQ(p.TypeOf("", "A"), ValueType::None);
  EXPECT_EQ(p.GetString("", "B"), "2");
  EXPECT_TRUE(p.Delete("", "A"));
  EXPECT_TRUE(p.Delete("NoSuchSection", "A"));
}

// What outsiders can put in place of a settings file: a link to a device, a FIFO, a file
// far larger than any settings file. Reading gives the machine's value, a write fails and
// leaves it; neither blocks or aborts (each case runs in a child with a deadline).
TEST_F(ProfileTest, FileThatIsNoSettingsFileIsRefusedPromptly) {
  WriteMachineFile("kelmardin", "\"Language\"=\"ENG\"\n");
  std::filesystem::create_directories(UserFolder());
  const std::string path = UserFile("kelmardin");
  struct Case {
    const char* name;
    std::filesystem::file_type type;
    std::function<void()> make;
  } cases[] = {
      {"link to /dev/zero", std::filesystem::file_type::symlink,
       [&] { std::filesystem::create_symlink("/dev/zero", path); }},
      {"FIFO", std::filesystem::file_type::fifo, [&] { ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0); }},
      {"oversized file", std::filesystem::file_type::regular,
       [&] {
         std::ofstream out(path, std::ios::binary);
         out << "\"Language\"=\"HUN\"\n";
         out << std::string(8u << 20, ';');
       }},
  };
  for (const Case& c : cases) {
    std::filesystem::remove(path);
    c.make();
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::alarm(10);
      Profile p("kelmardin");
      if (p.GetString("", "Language") != "ENG") ::_exit(1);
      if (p.WriteDword("", "ShowKeys", 1)) ::_exit(2);
      ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << c.name << ": " << (WIFSIGNALED(status) ? "signal " + std::to_string(WTERMSIG(status))
                                                 : "exit " + std::to_string(WEXITSTATUS(status)));
    std::error_code ec;
    EXPECT_EQ(std::filesystem::symlink_status(path, ec).type(), c.type) << c.name << ": the write replaced it";
  }
}

// Read-modify-write from two processes with two threads each: the lock must keep every
// update, and no reader may ever see a half-written file.
TEST_F(ProfileTest, ConcurrentWritersLoseNothing) {
  constexpr int kPerWriter = 40;
  auto writeMany = [](const std::string& prefix) {
    Profile p("kelmardin");
    for (int i = 0; i < kPerWriter; ++i)
      if (!p.WriteDword("", prefix + std::to_string(i), static_cast<uint32_t>(i))) return false;
    return true;
  };
  auto run = [&](const std::string& tag) {
    bool ok1 = false, ok2 = false;
    std::thread t1([&] { ok1 = writeMany(tag + "a"); });
    std::thread t2([&] { ok2 = writeMany(tag + "b"); });
    t1.join();
    t2.join();
    return ok1 && ok2;
  };
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) ::_exit(run("child") ? 0 : 1);
  EXPECT_TRUE(run("parent"));
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);

  Profile p("kelmardin");
  for (const char* tag : {"childa", "childb", "parenta", "parentb"})
    for (int i = 0; i < kPerWriter; ++i)
      EXPECT_EQ(p.GetDword("", tag + std::to_string(i), 999), static_cast<uint32_t>(i))
          << tag << i;
}

TEST(ExpandEnvironmentStrings, ReplacesKnownNamesOnly) {
  ::setenv("TVR_X", "val", 1);
  ::unsetenv("TVR_UNSET");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"%TVR_X%/a", "val/a"},
      {"%TVR_UNSET%/a", "%TVR_UNSET%/a"},
      {"100%", "100%"},
      {"%%", "%%"},
      {"a%TVR_UNSET%TVR_X%b", "a%TVR_UNSETvalb"},
      {"", ""},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(Platform::ExpandEnvironmentStrings(in), out) << in;
}

}  // namespace
