// The support report from a fixture root against its golden text, byte for byte, and the
// smart-card service block's states.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "ServicesFixture.h"
#include "SystemInfoReport.h"
#include "platform/CardDatabase.h"

namespace {

const std::string kFixtures = TVR_SERVICES_FIXTURE_DIR;

class FakeVersions : public IVersionSource {
 public:
  std::string ProgramVersion() override { return "3.2.1.0"; }
  std::string MiddlewareVersion(const std::string& key) override {
    return key == "Bit4ID" ? "1.4.10.613" : key == "Gemalto2" ? "10.6.0" : "";
  }
  std::string MiddlewareFolder(const std::string& key) override {
    return key == "Bit4ID" ? "/usr/lib/bit4id" : key == "Gemalto2" ? "/usr/share/eToken" : "";
  }
};

SystemInfoProbes FixtureProbes() {
  SystemInfoProbes probes;
  probes.root = kFixtures + "/sysinfo";
  probes.diskSpace = [](const std::string& mountPoint, uint64_t& total, uint64_t& free) {
    if (mountPoint != "/") return false;
    total = 250059350016;
    free = 123456789012;
    return true;
  };
  probes.readers = [] { return std::string("Gemalto PC Twin Reader 00 00\r\n  VendorName: Gemalto\r\n"); };
  probes.smartCardServiceReachable = [] { return true; };
  probes.unitProperties = [](const std::string& unit) {
    // What systemctl tells of a unit that is not installed.
    if (unit == "GslShmSrvc.service")
      return std::map<std::string, std::string>{
          {"LoadState", "not-found"}, {"Description", "GslShmSrvc.service"}, {"ActiveState", "inactive"}};
    EXPECT_EQ(unit, "pcscd.service");
    return std::map<std::string, std::string>{
        {"LoadState", "loaded"},
        {"UnitFileState", "indirect"},
        {"ExecStart", "{ path=/usr/sbin/pcscd ; argv[]=/usr/sbin/pcscd --foreground --auto-exit ; "
                      "ignore_errors=no ; start_time=[n/a] ; stop_time=[n/a] ; pid=0 ; code=(null) ; status=0/0 }"},
        {"Requires", "pcscd.socket sysinit.target"},
        {"Description", "PC/SC Smart Card Daemon"},
        {"ActiveState", "active"}};
  };
  return probes;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

TEST(SystemInfoReportTest, FixtureRootGivesGoldenText) {
  Platform::CardDatabase cards;
  cards.AddText(
      "[IDPrime MD T=0]\nATR = 3B 7F 96 00\nKeyStorageProvider = Microsoft Smart Card Key Storage Provider\n"
      "[Classic TPC]\nATR = 3B 7D 96 00\nCryptoProvider = Gemalto Classic Card CSP\nCardModule = gclib.dll\n");
  FakeVersions versions;
  SystemInfoProbes probes = FixtureProbes();
  probes.cards = &cards;
  probes.versions = &versions;
  const std::string report = SystemInfoReport::Build(probes);
  EXPECT_EQ(report, ReadFile(kFixtures + "/sysinfo-report.txt"));
  // Removable media stay out with their owners' names; an escaped line break in a mount
  // point stays one line.
  EXPECT_EQ(report.find("otheruser"), std::string::npos);
  EXPECT_EQ(report.find("alice"), std::string::npos);
  EXPECT_EQ(report.find("\nOperating system: Windows"), std::string::npos);
  EXPECT_NE(report.find("\r\nFixed drive: /mnt/x\\012Operating system: Windows 11\r\n"), std::string::npos);
  EXPECT_NE(report.find("\r\nFixed drive: /srv\r\n"), std::string::npos);  // through /dev/mapper
}

TEST(SystemInfoReportTest, SmartCardServiceStatus) {
  struct Case {
    bool reachable;
    std::map<std::string, std::string> unit;
    const char* status;
  };
  const Case cases[] = {
      {true, {}, "running"},
      {false, {{"ActiveState", "inactive"}}, "not running"},
      {false, {}, "running status is unknown"},  // systemctl did not answer
  };
  for (const Case& c : cases) {
    SystemInfoProbes probes = FixtureProbes();
    probes.smartCardServiceReachable = [&] { return c.reachable; };
    probes.unitProperties = [&](const std::string&) { return c.unit; };
    const std::string report = SystemInfoReport::Build(probes);
    EXPECT_NE(report.find(std::string("  Status: ") + c.status + "\r\n\r\nSmart card reader(s):"), std::string::npos)
        << c.status;
  }
}

TEST(SystemInfoReportTest, GemaltoServiceBlock) {
  const std::string empty =
      "  Service type: \r\n  Start type: \r\n  Error control: \r\n  Binary path name: \r\n"
      "  Load order group: \r\n  Tag Id: 0x00000000\r\n  Dependencies: \r\n  Service start name: \r\n"
      "  Display name: \r\n";
  const std::string installed =
      "  Service type: \r\n  Start type: enabled\r\n  Error control: \r\n"
      "  Binary path name: /opt/gemalto/GslShmSrvc\r\n  Load order group: \r\n  Tag Id: 0x00000000\r\n"
      "  Dependencies: pcscd.service\r\n  Service start name: \r\n  Display name: Gemalto shared memory\r\n";
  auto unit = [](const char* load, const char* active) {
    return std::map<std::string, std::string>{{"LoadState", load},
                                              {"ActiveState", active},
                                              {"UnitFileState", "enabled"},
                                              {"ExecStart", "{ path=/opt/gemalto/GslShmSrvc ; argv[]=x }"},
                                              {"Requires", "pcscd.service"},
                                              {"Description", "Gemalto shared memory"}};
  };
  struct Case {
    std::map<std::string, std::string> unit;
    std::string block;
  };
  const Case cases[] = {
      {unit("not-found", "inactive"), empty + "  Status: running status is unknown\r\n"},
      {{}, empty + "  Status: running status is unknown\r\n"},  // systemctl did not answer
      {unit("loaded", "inactive"), installed + "  Status: not running\r\n"},
      {unit("loaded", "active"), installed + "  Status: running\r\n"},
  };
  FakeVersions versions;  // Classic Client not installed
  for (const Case& c : cases) {
    SystemInfoProbes probes = FixtureProbes();
    probes.versions = &versions;
    probes.unitProperties = [&](const std::string& name) {
      return name == "GslShmSrvc.service" ? c.unit : std::map<std::string, std::string>{};
    };
    const std::string report = SystemInfoReport::Build(probes);
    EXPECT_NE(report.find("Gemalto Classic Client install location: \r\nGemalto service:\r\n" + c.block +
                          "\r\nSafeNet Authentication Client version: "),
              std::string::npos)
        << c.block;
  }
}

// Without a version source the report asks dpkg's status below the root, with the package
// names the machine profile gives per vendor.
class SystemInfoVersionsTest : public ServicesFixture {};

TEST_F(SystemInfoVersionsTest, InstalledMiddlewareFromTheRootsDpkgStatus) {
  const std::string machine = dir_->Path() + "/machine";
  std::filesystem::create_directories(machine + "/Tavrenic");
  std::ofstream(machine + "/Tavrenic/kelmardin.conf")
      << "[MiddlewarePackages]\n\"Bit4ID\"=multi:\"bit4id-universal-middleware\"\n";
  ::setenv("TVR_SYSTEM_CONFIG_DIR", machine.c_str(), 1);
  const std::string report = SystemInfoReport::Build(FixtureProbes());
  EXPECT_NE(report.find("\r\nOlvanta Kelmardin executable version: " TVR_TEST_PROGRAM_VERSION "\r\n"),
            std::string::npos) << report;
  EXPECT_NE(report.find("\r\nBit4ID Universal Middleware version: 1.4.10.613\r\n"
                        "Bit4ID Universal Middleware install location: \r\n"
                        "\r\nGemalto Classic Client version: \r\n"),
            std::string::npos) << report;
}

// systemctl is looked up in PATH: a stand-in that answers, and one that hangs.
TEST(SystemInfoReportTest, SystemdPropertiesAreReadWithinTheTimeLimit) {
  const std::filesystem::path bin =
      std::filesystem::temp_directory_path() / ("tvr-systemctl-" + std::to_string(::getpid()));
  std::filesystem::create_directories(bin);
  const char* oldPath = std::getenv("PATH");
  const std::string savedPath = oldPath ? oldPath : "";
  ::setenv("PATH", (bin.string() + ":" + savedPath).c_str(), 1);
  auto script = [&](const std::string& body) {
    std::ofstream(bin / "systemctl") << "#!/bin/sh\n" << body << "\n";
    std::filesystem::permissions(bin / "systemctl", std::filesystem::perms::owner_all);
  };
  script("echo \"UnitFileState=static\"; echo \"Description=PC/SC Smart Card Daemon\"; echo \"$5\" >&2");
  auto properties = SystemInfoReport::SystemdUnitProperties("pcscd.service");
  EXPECT_EQ(properties["UnitFileState"], "static");
  EXPECT_EQ(properties["Description"], "PC/SC Smart Card Daemon");

  script("exec sleep 30");
  const auto start = std::chrono::steady_clock::now();
  properties = SystemInfoReport::SystemdUnitProperties("pcscd.service", 300);
  EXPECT_TRUE(properties.empty());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));

  ::setenv("PATH", savedPath.c_str(), 1);
  std::filesystem::remove_all(bin);
}

}  // namespace
