// The version probes against a dpkg status database of the test and a machine-wide
// profile that adds package names.
#include "VersionProbes.h"
#include "ServicesFixture.h"
#include "SharedUtilities.h"

#include <dlfcn.h>

#include <filesystem>
#include <fstream>

using TvrServices::VersionProbes;

namespace {

class VersionProbesTest : public ServicesFixture {
 protected:
  void SetUp() override {
    ServicesFixture::SetUp();
    root_ = dir_->Path() + "/root";
    std::filesystem::create_directories(root_ + "/var/lib/dpkg");
    machine_ = dir_->Path() + "/machine";
    std::filesystem::create_directories(machine_ + "/Tavrenic");
    ::setenv("TVR_SYSTEM_CONFIG_DIR", machine_.c_str(), 1);
  }
  void Status(const std::string& text) { std::ofstream(root_ + "/var/lib/dpkg/status") << text; }
  void MachineProfile(const std::string& text) { std::ofstream(machine_ + "/Tavrenic/kelmardin.conf") << text; }
  static std::string Package(const std::string& name, const std::string& version,
                             const std::string& status = "install ok installed") {
    return "Package: " + name + "\nStatus: " + status + "\nPriority: optional\nVersion: " + version +
           "\nDescription: middleware\n long description line\n\n";
  }

  std::string root_;
  std::string machine_;
};

TEST_F(VersionProbesTest, OwnVersionIsTheProjectVersion) {
  EXPECT_EQ(TvrServices::GetOwnFileVersion(), TVR_TEST_PROGRAM_VERSION);
}

TEST_F(VersionProbesTest, PrefixOrderFirstAnswerWinsLastMatchWithinAPrefix) {
  MachineProfile(
      "[MiddlewarePackages]\n"
      "\"Gemalto\"=multi:\"classicclient62\",\"classicclient\"\n"
      "\"Oberthur\"=multi:\"awp\"\n"
      "\"Bit4ID\"=multi:\"bit4id-ipki\"\n");
  Status(Package("classicclient63", "6.3.0-1") +              // second prefix, not asked
         Package("classicclient62", "1:6.2.1-4") +            // first prefix answers
         Package("classicclient62-tools", "6.2.7-1") +        // and its last match wins
         Package("awp", "4.4.0-2", "deinstall ok config-files") +  // not installed
         Package("xbit4id-ipki", "9.9.9-1") +                 // prefix not at the start
         Package("bit4id-ipki", "1:4.2.0-3"));
  VersionProbes probes(root_);
  EXPECT_EQ(probes.Prefixes("Gemalto").size(), 6u);
  EXPECT_EQ(probes.Prefixes("Gemalto")[4], "classicclient62");
  EXPECT_EQ(probes.GetClassicClientVersion(), "6.2.7");
  EXPECT_EQ(probes.GetAuthentICWebpackVersion(), "");
  EXPECT_EQ(probes.GetSafeNetClientVersion(), "");  // no Debian names configured
  EXPECT_EQ(probes.GetBit4idMiddlewareVersion(), "4.2.0");
  VersionNumber v(probes.GetBit4idMiddlewareVersion());
  EXPECT_EQ((std::vector<int>{v.major, v.minor, v.build, v.revision}), (std::vector<int>{4, 2, 0, 0}));
}

TEST_F(VersionProbesTest, MissingDatabaseOrProfileAnswersEmpty) {
  VersionProbes probes(root_);  // no status file
  EXPECT_EQ(probes.GetClassicClientVersion(), "");
  Status(Package("classicclient", "6.3-1"));
  EXPECT_EQ(probes.GetClassicClientVersion(), "");  // no profile: product names match no package
  EXPECT_EQ(probes.Prefixes("Bit4ID"), (std::vector<std::string>{"Bit4ID Universal Middleware"}));
}

TEST_F(VersionProbesTest, DebianVersionsLoseEpochAndRevision) {
  const std::pair<const char*, const char*> cases[] = {
      {"1:4.2.0-3", "4.2.0"}, {"4.2.0", "4.2.0"}, {"2:10.6-1+deb12u1", "10.6"},
      {"4.2-rc1-2", "4.2-rc1"}, {"", ""},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(TvrServices::UpstreamVersion(in), out) << in;
}

TEST_F(VersionProbesTest, InstallLocationIsTheLoadedModulesFolder) {
  VersionProbes probes(root_);
  EXPECT_EQ(probes.GetClassicClientInstallLocation(), "");  // libgclib.so is not loaded here
  Dl_info info{};
  ASSERT_TRUE(dladdr(reinterpret_cast<void*>(&::dlsym), &info));
  std::string path = info.dli_fname;
  std::string name = path.substr(path.rfind('/') + 1);
  EXPECT_EQ(TvrServices::LoadedModuleFolder(name), path.substr(0, path.rfind('/')));
}

}  // namespace
