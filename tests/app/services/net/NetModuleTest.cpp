// The network stack as the program reaches it: through libkelmardin_net.so, loaded at the
// first exchange. This test program is linked like the program (TVR_NET_ON_DEMAND).
#include "CertificateSources.h"
#include "HttpClient.h"
#include "ServicesFixture.h"

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

// Whether a library whose file name contains `name` is mapped into this process.
bool Mapped(const std::string& name) {
  std::ifstream maps("/proc/self/maps");
  std::stringstream text;
  text << maps.rdbuf();
  return text.str().find(name) != std::string::npos;
}

const char* const kStack[] = {"libkelmardin_net.so", "libcurl.so", "libldap", "libzip.so"};

class NetModuleTest : public ServicesFixture {
 protected:
  // Puts the module where the program's loader looks (the dynamic loader's own search).
  static void InstallModule() {
    std::filesystem::copy_file(TVR_NET_MODULE_PATH, TvrTest::ModuleDir() + "/libkelmardin_net.so");
  }
  // An archive holding one certificate, written without libzip in this process.
  std::string ZipWithCertificate() {
    const std::string der = dir_->Path() + "/c.der";
    const std::vector<unsigned char> bytes = TvrTest::TestPki::Get().Intermediate().Der();
    std::ofstream(der, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<std::streamsize>(bytes.size()));
    const std::string zip = dir_->Path() + "/certs.zip";
    EXPECT_EQ(TvrTest::RunCommand({"/usr/bin/python3", "-c",
                                   "import sys, zipfile\n"
                                   "with zipfile.ZipFile(sys.argv[1], 'w') as z: z.write(sys.argv[2], 'c.der')",
                                   zip, der}),
              0);
    return zip;
  }
};

TEST_F(NetModuleTest, StackIsLoadedAtItsFirstUseAndWorksThroughTheModule) {
  InstallModule();
  for (const char* library : kStack) EXPECT_FALSE(Mapped(library)) << library << " is mapped before any use";

  TvrTest::HttpTestServer server;
  server.AddFile("x", {'o', 'k'});
  std::unique_ptr<TvrCommon::ByteArray> body = TvrServices::DownloadUrlGet(server.Base() + "/file/x");
  ASSERT_TRUE(body);
  EXPECT_EQ(std::string(body->GetData(), body->GetData() + body->GetSize()), "ok");
  EXPECT_EQ(TvrServices::HttpExchange(false, server.Base() + "/file/missing", nullptr).status, 404);
  for (const char* library : kStack) EXPECT_TRUE(Mapped(library)) << library;

  std::string errorText;
  EXPECT_EQ(TvrServices::LoadCertificatesFromZip(ZipWithCertificate(), errorText).size(), 1u);
  EXPECT_EQ(errorText, "");
  // The module's events go to the program's event source.
  TvrServices::LoadCertificatesFromZip(dir_->Path() + "/none.zip", errorText);
  EXPECT_EQ(errorText, TvrServices::kBadFileText);
  TvrServices::SearchCertificatesLdap("127.0.0.1", TvrTest::FreeTcpPort(), "o=x", "(uid=*)", "uid", errorText);
  EXPECT_EQ(errorText, "Can't contact LDAP server");
  EXPECT_EQ(Events(), (std::vector<std::string>{"Failed to init zip reader from file!", "Succeeded to init ldap",
                                                "Failed to search ldap! Error code: -1"}));
}

TEST_F(NetModuleTest, MissingModuleFailsEveryExchangeAndSaysWhyOnce) {
  TvrServices::HttpResponse response = TvrServices::HttpExchange(false, "http://127.0.0.1:1/", nullptr);
  EXPECT_NE(response.transportError, 0);
  EXPECT_NE(response.errorMessage.find("libkelmardin_net.so"), std::string::npos) << response.errorMessage;
  EXPECT_FALSE(TvrServices::DownloadUrlGet("http://127.0.0.1:1/"));
  std::string errorText;
  EXPECT_TRUE(TvrServices::LoadCertificatesFromZip(dir_->Path() + "/none.zip", errorText).empty());
  EXPECT_EQ(errorText, response.errorMessage);
  const std::vector<std::string> events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0], "Failed to load the network module: " + response.errorMessage);
}

}  // namespace
