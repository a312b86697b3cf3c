// The HTTP client against a scripted server on 127.0.0.1, plain and over TLS.
#include "HttpClient.h"
#include "ServicesFixture.h"

#include <curl/curl.h>

#include <chrono>
#include <fstream>
#include <thread>

using TvrServices::DownloadUrl;
using TvrServices::DownloadUrlGet;
using TvrServices::HttpOptions;
using TvrTest::HttpTestServer;
using TvrTest::TestPki;

namespace {

class HttpClientTest : public ServicesFixture {};

TvrCommon::ByteArray Bytes(const std::string& text) { return TvrCommon::ByteArray(text); }

TEST_F(HttpClientTest, OnlyAWhole200BodyComesBack) {
  HttpTestServer server;
  server.AddFile("cert.der", {1, 2, 3, 4});
  struct Case {
    std::string path;
    bool expectBody;
  };
  const Case cases[] = {
      {"/file/cert.der", true}, {"/garbage", true},  {"/status/500", false},
      {"/status/404", false},   {"/status/204", false}, {"/cut", false},  // half a body is no body
      {"/file/missing", false},
  };
  for (const Case& c : cases) {
    auto body = DownloadUrlGet(server.Base() + c.path);
    EXPECT_EQ(body != nullptr, c.expectBody) << c.path;
  }
  auto body = DownloadUrlGet(server.Base() + "/file/cert.der");
  ASSERT_TRUE(body);
  EXPECT_EQ(body->ToString(), std::string("\x01\x02\x03\x04", 4));
}

TEST_F(HttpClientTest, EveryRequestCarriesTheUserAgentAndContentType) {
  HttpTestServer server;
  server.AddFile("x", {9});
  TvrCommon::ByteArray request = Bytes("request bytes");
  ASSERT_TRUE(DownloadUrl(true, server.Base() + "/file/x", &request));
  ASSERT_TRUE(DownloadUrlGet(server.Base() + "/file/x"));
  auto seen = server.Requests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].method, "POST");
  EXPECT_EQ(seen[0].length, request.GetSize());
  EXPECT_EQ(seen[1].method, "GET");
  for (const auto& r : seen) {
    EXPECT_EQ(r.contentType, "application/ocsp-request");
    EXPECT_EQ(r.userAgent, "TavrenicKelmardin/" + std::string(TVR_TEST_PROGRAM_VERSION));
  }
}

TEST_F(HttpClientTest, BodyOverTheCapIsDroppedWhole) {
  HttpTestServer server;
  HttpOptions options;
  options.maxBodyBytes = 4096;
  EXPECT_TRUE(DownloadUrlGet(server.Base() + "/big/4096", options));
  EXPECT_FALSE(DownloadUrlGet(server.Base() + "/big/4097", options));
  // The default cap is 1 MiB.
  EXPECT_TRUE(DownloadUrlGet(server.Base() + "/big/1048576"));
  EXPECT_FALSE(DownloadUrlGet(server.Base() + "/big/1048577"));
}

TEST_F(HttpClientTest, StalledServerEndsAtTheTimeOut) {
  HttpTestServer server;
  HttpOptions options;
  options.totalTimeoutMs = 700;
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(DownloadUrlGet(server.Base() + "/stall", options));
  // The server would stall for 60 s; the generous bound only shows the time-out acted.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

// Closing a dialog or ending the program must not wait for a server that stalls: the
// owner's abort ends the exchange in flight at once, over TLS too, and every later one
// before it sends anything.
TEST_F(HttpClientTest, AbortEndsAStalledExchangeAtOnce) {
  const TestPki& pki = TestPki::Get();
  HttpTestServer plain;
  HttpTestServer tls(pki.TlsServer().pemPath, pki.TlsServer().keyPath);
  for (HttpTestServer* server : {&plain, &tls}) {
    HttpOptions options;
    options.caFile = pki.CaBundlePath();
    options.abort = std::make_shared<TvrServices::HttpAbort>();
    TvrServices::HttpResponse response;
    std::thread fetch([&] { response = TvrServices::HttpExchange(false, server->Base() + "/stall", nullptr, options); });
    // Aborted while the server holds the request, not before it arrives.
    auto arrived = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (server->Requests().empty() && std::chrono::steady_clock::now() < arrived)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(server->Requests().size(), 1u) << server->Base();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto start = std::chrono::steady_clock::now();
    options.abort->Abort();
    fetch.join();
    // The stall is 60 s and the time-out 30 s: anything near them is the fault.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900)) << server->Base();
    EXPECT_EQ(response.transportError, CURLE_ABORTED_BY_CALLBACK) << server->Base();
    EXPECT_TRUE(response.body.empty());

    EXPECT_FALSE(DownloadUrlGet(server->Base() + "/big/10", options));
    EXPECT_EQ(server->Requests().size(), 1u) << "nothing is sent once aborted";
  }
}

TEST_F(HttpClientTest, OnlyHttpAndHttpsAreFetched) {
  HttpTestServer server;
  std::string local = dir_->Path() + "/local.txt";
  std::ofstream(local) << "secret";
  EXPECT_FALSE(DownloadUrlGet("file://" + local));
  EXPECT_FALSE(DownloadUrlGet("ftp://127.0.0.1:1/x"));
  EXPECT_FALSE(DownloadUrlGet(server.Base() + "/redirect/file://" + local));
  EXPECT_FALSE(DownloadUrlGet("not a url"));
  // A redirect within http is followed.
  server.AddFile("y", {7});
  EXPECT_TRUE(DownloadUrlGet(server.Base() + "/redirect/" + server.Base() + "/file/y"));
}

TEST_F(HttpClientTest, HttpsChecksTheServerCertificateAndName) {
  const TestPki& pki = TestPki::Get();
  HttpTestServer good(pki.TlsServer().pemPath, pki.TlsServer().keyPath);
  good.AddFile("c", {5, 6});
  HttpOptions withCa;
  withCa.caFile = pki.CaBundlePath();
  EXPECT_TRUE(DownloadUrlGet(good.Base() + "/file/c", withCa));
  // Not chaining to anything the client trusts.
  EXPECT_FALSE(DownloadUrlGet(good.Base() + "/file/c"));

  // Chains to the given CA, but names another host.
  TvrTest::CertSpec spec;
  spec.subject = "/CN=other.test";
  spec.extensions = {{"subjectAltName", "DNS:other.test"}, {"extendedKeyUsage", "serverAuth"}};
  TvrTest::PkiItem wrongName = TvrTest::CertBuilder::Issue(spec, &pki.Intermediate());
  Save(wrongName, "wrong-name");
  // The server sends its chain so that only the name is wrong.
  std::ofstream(wrongName.pemPath, std::ios::app) << pki.Intermediate().Pem();
  HttpTestServer misnamed(wrongName.pemPath, wrongName.keyPath);
  misnamed.AddFile("c", {5, 6});
  EXPECT_FALSE(DownloadUrlGet(misnamed.Base() + "/file/c", withCa));
}

}  // namespace
