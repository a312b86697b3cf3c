// Where machine-wide settings files are found: the folders of $XDG_CONFIG_DIRS in their
// order (the first that has the file wins), then the installation's own <sysconfdir>/xdg
// (which only an installed program has: InstallTest); $TVR_SYSTEM_CONFIG_DIR alone when
// set. The shipped defaults stand below the machine file value by value.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/FileHelpers.h"
#include "platform/Profile.h"

namespace {

class ConfigFoldersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tvr-folders-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    ::setenv("XDG_CONFIG_HOME", (root_ + "/user").c_str(), 1);
    ::unsetenv("TVR_SYSTEM_CONFIG_DIR");
  }
  void TearDown() override {
    std::filesystem::remove_all(root_);
    ::unsetenv("XDG_CONFIG_HOME");
    ::unsetenv("XDG_CONFIG_DIRS");
  }
  void WriteLanguage(const std::string& folder, const std::string& language) const {
    std::filesystem::create_directories(root_ + "/" + folder + "/Tavrenic");
    std::ofstream(root_ + "/" + folder + "/Tavrenic/folders.conf") << "\"Language\"=\"" << language << "\"\n";
  }
  std::string root_;
};

TEST_F(ConfigFoldersTest, FirstXdgFolderWithTheFileWins) {
  ::setenv("XDG_CONFIG_DIRS", ("relative/xdg::" + root_ + "/a/:" + root_ + "/b").c_str(), 1);
  const auto folders = Platform::SystemConfigDirectories();
  ASSERT_EQ(folders.size(), 2u);  // a relative entry is invalid, an empty one too
  EXPECT_EQ(folders[0], root_ + "/a");
  EXPECT_EQ(folders[1], root_ + "/b");

  const Platform::Profile machine("folders", Platform::Profile::Scope::Machine);
  WriteLanguage("b", "ENG");
  EXPECT_EQ(machine.MachineFilePath(), root_ + "/b/Tavrenic/folders.conf");
  EXPECT_EQ(machine.GetString("", "Language"), "ENG");
  WriteLanguage("a", "HUN");
  EXPECT_EQ(machine.GetString("", "Language"), "HUN");
  // The user's own value stands above every machine-wide one.
  WriteLanguage("user", "DEU");
  EXPECT_EQ(Platform::Profile("folders").GetString("", "Language"), "DEU");
}

// An administrator's edited file keeps its values; what it lacks (a value a later version
// ships) comes from the shipped defaults, and those alone stand in without it.
TEST_F(ConfigFoldersTest, ShippedDefaultsStandBelowTheMachineFileValueByValue) {
  const std::string shipped = Platform::ShippedDefaultsDirectory();
  ASSERT_FALSE(shipped.empty());
  std::filesystem::create_directories(shipped);
  const std::string defaults = shipped + "/folders.conf";
  std::ofstream(defaults) << "\"Language\"=\"HUN\"\n\"NewValue\"=dword:00000007\n[Section]\n\"Inner\"=\"shipped\"\n";
  ::setenv("XDG_CONFIG_DIRS", (root_ + "/a").c_str(), 1);
  const Platform::Profile machine("folders", Platform::Profile::Scope::Machine);
  EXPECT_EQ(machine.GetString("", "Language"), "HUN");
  EXPECT_EQ(machine.MachineFilePath(), defaults);
  WriteLanguage("a", "ENG");
  EXPECT_EQ(machine.GetString("", "Language"), "ENG");
  EXPECT_EQ(machine.GetInt("", "NewValue", 0), 7);
  EXPECT_EQ(machine.GetString("Section", "Inner"), "shipped");
  EXPECT_EQ(machine.GetString("", "Absent", "none"), "none");
  EXPECT_EQ(Platform::Profile("folders").GetInt("", "NewValue", 0), 7);
  std::filesystem::remove(defaults);
}

TEST_F(ConfigFoldersTest, TestFolderReplacesEveryMachineFolder) {
  ::setenv("XDG_CONFIG_DIRS", (root_ + "/a").c_str(), 1);
  WriteLanguage("a", "ENG");
  ::setenv("TVR_SYSTEM_CONFIG_DIR", (root_ + "/t").c_str(), 1);
  EXPECT_EQ(Platform::SystemConfigDirectories(), std::vector<std::string>{root_ + "/t"});
  EXPECT_EQ(Platform::ShippedDefaultsDirectory(), "");
  EXPECT_EQ(Platform::Profile("folders", Platform::Profile::Scope::Machine).GetString("", "Language"), "");
  ::unsetenv("TVR_SYSTEM_CONFIG_DIR");
}

}  // namespace
