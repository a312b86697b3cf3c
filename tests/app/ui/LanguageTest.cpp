#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <thread>
#include <regex>

#include "Language.h"
#include "P11Rig.h"
#include "Strings.h"
#include "UiTestSupport.h"
#include "platform/Profile.h"

using Platform::Profile;
using Res::StringId;

namespace {

constexpr const char* kHungarianTitle = "TAVRENIC - Olvanta Zavadorerido";
constexpr const char* kEnglishTitle = "TAVRENIC - Olvanta Kelmardin";

class LanguageTest : public ::testing::Test {
 protected:
  void TearDown() override {
    Res::UnloadEnglishResources();
    std::filesystem::remove(TvrTest::ModuleDir() + "/libkelmardin_eng.so");
  }
  // The English resource set where the dynamic loader finds it by bare name.
  void InstallEnglishLibrary() {
    std::filesystem::copy_file(TVR_ENGLISH_LIBRARY,
                               TvrTest::ModuleDir() + "/libkelmardin_eng.so",
                               std::filesystem::copy_options::overwrite_existing);
  }
  // What start-up does with the language.
  std::string StartUp() {
    const std::string language = ResolveLanguage(port);
    if (WantsEnglishResources(language)) Res::LoadEnglishResources();
    return language;
  }

  UiTest::ProfileSandbox sandbox;
  UiTest::ScriptedUserPort port;
  Profile user{{}, Profile::Scope::User};
};

TEST_F(LanguageTest, EnglishOnlyForExactlyENG) {
  InstallEnglishLibrary();
  user.WriteString("", "Language", "eng");
  EXPECT_EQ(StartUp(), "eng");
  EXPECT_EQ(Res::Text(Res::kString182), kHungarianTitle);

  user.WriteString("", "Language", "ENG");
  sandbox.WriteMachineProfile("\"Language\"=\"HUN\"\n");
  EXPECT_EQ(StartUp(), "ENG");
  EXPECT_EQ(Res::Text(Res::kString182), kEnglishTitle);
  EXPECT_TRUE(port.boxes.empty());
}

TEST_F(LanguageTest, MissingEnglishLibraryStaysHungarianSilently) {
  user.WriteString("", "Language", "ENG");
  EXPECT_EQ(StartUp(), "ENG");
  EXPECT_FALSE(Res::EnglishResourcesLoaded());
  EXPECT_EQ(Res::Text(Res::kString182), kHungarianTitle);
  EXPECT_TRUE(port.boxes.empty());
}

TEST_F(LanguageTest, NoMachineProfileAsksOnceAndWritesHUN) {
  EXPECT_EQ(StartUp(), "HUN");
  ASSERT_EQ(port.boxes.size(), 1u);
  EXPECT_EQ(port.boxes[0].text, "Hiba történt a beállításjegyzék megnyitása során!");
  EXPECT_EQ(port.boxes[0].flags, Platform::kMbIconError);
  EXPECT_EQ(user.GetString("", "Language"), "HUN");
  EXPECT_EQ(StartUp(), "HUN");
  EXPECT_EQ(port.boxes.size(), 1u);
}

TEST_F(LanguageTest, MachineProfileGivesTheFirstLanguage) {
  InstallEnglishLibrary();
  sandbox.WriteMachineProfile("\"Language\"=\"ENG\"\n");
  EXPECT_EQ(StartUp(), "ENG");
  EXPECT_TRUE(port.boxes.empty());
  EXPECT_EQ(user.GetString("", "Language"), "ENG");
  EXPECT_EQ(Res::Text(StringId::TrayClose), "Close");
}

TEST_F(LanguageTest, MachineProfileWithoutLanguageGivesHUN) {
  sandbox.WriteMachineProfile("\"Other\"=dword:00000001\n");
  EXPECT_EQ(StartUp(), "HUN");
  EXPECT_TRUE(port.boxes.empty());
  EXPECT_EQ(user.GetString("", "Language"), "HUN");
}

// A FIFO in the machine profile's place is refused at once (reported like a missing
// profile), never waited for: no writer ever comes.
TEST_F(LanguageTest, FifoMachineProfileIsRefusedAtOnce) {
  const std::string fifo = sandbox.Root() + "/system/Tavrenic/kelmardin.conf";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  std::packaged_task<std::string()> start([this] { return ResolveLanguage(port); });
  std::future<std::string> language = start.get_future();
  std::thread thread(std::move(start));
  const bool ended = language.wait_for(std::chrono::seconds(3)) == std::future_status::ready;
  if (!ended) ::close(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK));  // lets a stuck reader go
  thread.join();
  ASSERT_TRUE(ended);
  EXPECT_EQ(language.get(), "HUN");
  ASSERT_EQ(port.boxes.size(), 1u);
  EXPECT_EQ(port.boxes[0].text, "Hiba történt a beállításjegyzék megnyitása során!");
}

// Every string has an English text with the same placeholders in the same order.
TEST_F(LanguageTest, EnglishSetCoversEveryStringWithItsPlaceholders) {
  InstallEnglishLibrary();
  ASSERT_TRUE(Res::LoadEnglishResources());
  const std::regex placeholder("%[-0-9]*[sdXxu]");
  auto placeholders = [&](const std::string& text) {
    std::string all;
    for (std::sregex_iterator it(text.begin(), text.end(), placeholder), end; it != end; ++it) {
      all += it->str();
    }
    return all;
  };
  int count = 0;
  Res::ForEachStringId([&](StringId id) {
    ++count;
    const char* hungarian = Res::HungarianText(id);
    ASSERT_NE(hungarian, nullptr) << static_cast<int>(id);
    const std::string english = Res::Text(id);
    EXPECT_FALSE(english.empty()) << hungarian;
    EXPECT_EQ(placeholders(english), placeholders(hungarian)) << hungarian;
  });
  EXPECT_GT(count, 60);
  EXPECT_EQ(Res::Text(StringId::ModuleLoadError), "An error occurred while loading the module: %s");
}

}  // namespace
