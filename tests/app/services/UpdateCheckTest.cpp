// The update check against an HTTPS update server of the tests (test CA), with the
// installed middleware taken from a dpkg status database of the test.
#include "UpdateCheck.h"
#include "ServicesFixture.h"
#include "VersionProbes.h"

#include <filesystem>
#include <fstream>

using TvrServices::PendingUpdate;
using TvrServices::PendingUpdates;
using TvrServices::UpdateServer;
using TvrTest::HttpTestServer;
using TvrTest::TestPki;

namespace {

const std::string kProgramText = "Elérhető a TAVRENIC - Olvanta Zavadorerido programnak egy újabb verziója!";
const std::string kGemaltoText = "Elérhető a Gemalto kártya meghajtóprogramjának egy újabb verziója!";

class UpdateCheckTest : public ServicesFixture {
 protected:
  void SetUp() override {
    ServicesFixture::SetUp();
    // Classic Client 6.2.1 installed, nothing else.
    std::string root = dir_->Path() + "/root";
    std::filesystem::create_directories(root + "/var/lib/dpkg");
    std::ofstream(root + "/var/lib/dpkg/status")
        << "Package: libclassicclient\nStatus: install ok installed\nVersion: 1:6.2.1-2\n\n";
    std::string machine = dir_->Path() + "/machine";
    std::filesystem::create_directories(machine + "/Tavrenic");
    std::ofstream(machine + "/Tavrenic/kelmardin.conf")
        << "[MiddlewarePackages]\n\"Gemalto\"=multi:\"libclassicclient\"\n\"Gemalto2\"=multi:\"safenet\"\n";
    ::setenv("TVR_SYSTEM_CONFIG_DIR", machine.c_str(), 1);
    TvrServices::VersionProbes probes(root);
    installed_ = {{"Bit4ID", probes.GetBit4idMiddlewareVersion()},
                  {"Gemalto", probes.GetClassicClientVersion()},
                  {"Gemalto2", probes.GetSafeNetClientVersion()},
                  {"Oberthur", probes.GetAuthentICWebpackVersion()}};
  }

  static UpdateServer Server(const HttpTestServer& server, const std::string& kind = "/answer") {
    UpdateServer s;
    s.base = server.Base() + kind;
    s.http.caFile = TestPki::Get().CaBundlePath();
    s.http.totalTimeoutMs = 5000;
    return s;
  }

  std::map<std::string, std::string> installed_;
};

TEST_F(UpdateCheckTest, InstalledMiddlewareComesFromTheDpkgFixture) {
  EXPECT_EQ(installed_["Gemalto"], "6.2.1");
  EXPECT_EQ(installed_["Gemalto2"], "");
}

TEST_F(UpdateCheckTest, UpdateFilesGiveTheirAnnouncementsInOrder) {
  const TestPki& pki = TestPki::Get();
  HttpTestServer server(pki.TlsServer().pemPath, pki.TlsServer().keyPath);
  struct Case {
    const char* what;
    std::string file;
    std::string contentType;
    std::vector<PendingUpdate> expected;
  };
  const Case cases[] = {
      {"newer program (numbers, not text, are compared)",
       "Version: 1.6.10.0\nDownloadURL: https://dl.test/kelmardin\n", "text/plain",
       {{"Kelmardin", "https://dl.test/kelmardin"}}},
      {"newer middleware, the uninstalled one never",
       "Version: 1.6.3.0\nGemalto Version: 6.3\nGemalto DownloadURL: https://dl.test/cc\n"
       "Gemalto2 Version: 99.0\nGemalto2 DownloadURL: https://dl.test/sac\n",
       "text/plain", {{"Gemalto", "https://dl.test/cc"}}},
      {"both, program first",
       "Gemalto Version: 6.2.2\nGemalto DownloadURL: https://dl.test/cc\nVersion: 2.0\nDownloadURL: https://dl.test/k\n",
       "text/plain", {{"Kelmardin", "https://dl.test/k"}, {"Gemalto", "https://dl.test/cc"}}},
      {"same and older versions", "Version: 1.6.3.0\nGemalto Version: 6.2.1.0\nOberthur Version: 9.0\n", "text/plain", {}},
      {"bare Version:", "Version:\nGemalto Version:\nDownloadURL:", "text/plain", {}},
      {"no blank after the colon reads .6.3.1", "Version:1.6.3.1\n", "text/plain", {}},
      {"a line starting with a blank", " Version: 9.0\n", "text/plain", {}},
      {"CR in values", "Version: 1.7\r\nDownloadURL: https://dl.test/\rcr\r\n", "text/plain",
       {{"Kelmardin", "https://dl.test/cr"}}},
      {"address before the version is emptied", "DownloadURL: https://dl.test/x\nVersion: 1.7\n", "text/plain",
       {{"Kelmardin", ""}}},
      {"charset parameter", "Version: 9.0\nDownloadURL: https://dl.test/x\n", "text/plain; charset=utf-8", {}},
      {"no content type", "Version: 9.0\n", "", {}},
      {"invalid UTF-8", "Version: 9.0\nDownloadURL: https://dl.test/\xff\xfe\n", "text/plain", {}},
      {"javascript: address", "Version: 9.0\nDownloadURL: javascript:alert(1)\n", "text/plain", {{"Kelmardin", ""}}},
  };
  for (const Case& c : cases) {
    server.AddAnswer("update.txt", c.file, c.contentType);
    PendingUpdates pending;
    bool any = TvrServices::RunUpdateCheck(Server(server), pending, installed_, "1.6.3.0");
    EXPECT_EQ(pending.All(), c.expected) << c.what;
    EXPECT_EQ(any, !c.expected.empty()) << c.what;
  }
  auto seen = server.Requests();
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back().path, "/answer/kelmardin/update.txt");
  EXPECT_EQ(seen.back().userAgent, "TavrenicKelmardin/" + std::string(TVR_TEST_PROGRAM_VERSION));
}

TEST_F(UpdateCheckTest, AnnouncementTexts) {
  EXPECT_EQ(TvrServices::UpdateAnnouncementText({"Kelmardin", ""}), kProgramText);
  EXPECT_EQ(TvrServices::UpdateAnnouncementText({"Gemalto", ""}), kGemaltoText);
}

TEST_F(UpdateCheckTest, CutTransferIsDiscardedWithAWarning) {
  const TestPki& pki = TestPki::Get();
  HttpTestServer server(pki.TlsServer().pemPath, pki.TlsServer().keyPath);
  server.AddAnswer("update.txt", "Version: 9.0\nDownloadURL: https://dl.test/x\n", "text/plain");
  PendingUpdates pending;
  EXPECT_FALSE(TvrServices::RunUpdateCheck(Server(server, "/cutanswer"), pending, installed_, "1.6.3.0"));
  bool warned = false;
  for (const std::string& e : Events()) warned |= e.rfind("Update application error: ", 0) == 0;
  EXPECT_TRUE(warned);
  // Untrusted server: nothing either.
  UpdateServer untrusted = Server(server);
  untrusted.http.caFile.clear();
  EXPECT_FALSE(TvrServices::RunUpdateCheck(untrusted, pending, installed_, "1.6.3.0"));
}

TEST_F(UpdateCheckTest, TheFileComesOverHttpsOnly) {
  const TestPki& pki = TestPki::Get();
  HttpTestServer server(pki.TlsServer().pemPath, pki.TlsServer().keyPath);
  HttpTestServer plain;
  const std::string file = "Version: 9.0\nDownloadURL: https://dl.test/x\n";
  server.AddAnswer("update.txt", file, "text/plain");
  plain.AddAnswer("update.txt", file, "text/plain");
  struct Case {
    std::string base;
    bool announced;
  };
  const Case cases[] = {
      {server.Base() + "/redirect/" + plain.Base() + "/answer", false},
      {plain.Base() + "/answer", false},
      {server.Base() + "/redirect/" + server.Base() + "/answer", true},
  };
  for (const Case& c : cases) {
    UpdateServer s = Server(server);
    s.base = c.base;
    PendingUpdates pending;
    EXPECT_EQ(TvrServices::RunUpdateCheck(s, pending, installed_, "1.6.3.0"), c.announced) << c.base;
  }
  EXPECT_TRUE(plain.Requests().empty());
  bool said = false;
  for (const std::string& e : Events())
    said |= e == "Update application error: the update server is not an https address: " + plain.Base() + "/answer";
  EXPECT_TRUE(said);
}

TEST_F(UpdateCheckTest, PendingAnnouncementsAreNotQueuedTwice) {
  PendingUpdates pending;
  pending.Append({{"Kelmardin", "https://a"}, {"Gemalto", "https://b"}});
  pending.Append({{"Kelmardin", "https://a"}, {"Oberthur", "https://c"}});
  EXPECT_EQ(pending.All().size(), 3u);
  EXPECT_TRUE(pending.PopFirst());
  EXPECT_EQ(pending.First()->name, "Gemalto");
}

TEST_F(UpdateCheckTest, AboutFileReadsTheProgramKeysOnly) {
  struct Case {
    std::string text;
    std::string version, url;
  };
  const Case cases[] = {
      {"Version: 1.7.0.0\r\nDownloadURL: https://dl.test/k\r\nGemalto Version: 9\n", "1.7.0.0", "https://dl.test/k"},
      {"Version:\nDownloadURL:", "", ""},
      {"Version: 1.0\nVersion: 2.0\n", "2.0", "keep"},
  };
  for (const Case& c : cases) {
    std::string version = "keep", url = "keep";
    TvrServices::ParseVersionAndUrl(c.text, version, url);
    EXPECT_EQ(version, c.version) << c.text;
    EXPECT_EQ(url, c.url) << c.text;
  }
  EXPECT_EQ(TvrServices::SafeWebAddress("HTTPS://dl.test/a"), "HTTPS://dl.test/a");
  for (const char* bad : {"javascript:alert(1)", "file:///etc/passwd", "https://a b", "http:", "dl.test/x"})
    EXPECT_EQ(TvrServices::SafeWebAddress(bad), "") << bad;
}

}  // namespace
