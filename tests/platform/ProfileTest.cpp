#include "platform/Profile.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

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

TEST_F(ProfileTest, HandEditedFileWithBrokenLinesStillReads) {
  WriteMachineFile("app",
                   "garbage line\n"
                   "\"Unterminated=\"x\n"
                   "\"BadDword\"=dword:xyz\n"
                   "\"TooLong\"=dword:123456789\n"
                   "\"BadHex\"=hex:0g\n"
                   "[Section\n"
                   "\"Good\"=dword:0000000a\r\n"
                   "; comment\n"
                   "[Other]\n"
                   "\"Good\"=\"other\"\n");
  Profile p("app");
  EXPECT_EQ(p.GetDword("", "Good"), 10u);
  EXPECT_EQ(p.GetString("Other", "Good"), "other");
  for (const char* name : {"Unterminated", "BadDword", "TooLong", "BadHex"})
    EXPECT_EQ(p.TypeOf("", name), ValueType::None) << name;
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
