#include "CertificateSources.h"
#include "SearchTestCertificates.h"
#include "ServicesFixture.h"
#include "SharedUtilities.h"

#include <algorithm>

using TvrServices::CandidateSet;
using TvrTest::HttpTestServer;
using TvrTest::TestPki;

namespace {

constexpr const char* kForm = "revocationStatus=VALID&subjectKeyIdentifier[]=00ff";

class HttpSourceTest : public ServicesFixture {
 protected:
  void SetUp() override {
    ServicesFixture::SetUp();
    server_ = std::make_unique<HttpTestServer>(TestPki::Get().TlsServer().pemPath,
                                               TestPki::Get().TlsServer().keyPath);
  }

  CandidateSet Search(const std::string& path, std::string& errorText) {
    return TvrServices::SearchCertificatesHttp("127.0.0.1", path, kForm, errorText, server_->Port(),
                                               TestPki::Get().CaBundlePath());
  }

  static std::string Element(const TvrTest::PkiItem& item) {
    std::string pem = item.Pem();
    std::string escaped;
    for (char c : pem) escaped += c == '\n' ? std::string("\\n") : std::string(1, c);
    return "{\"PEM\": \"" + escaped + "\", \"serial\": 1}";
  }

  static std::vector<std::string> Thumbprints(const CandidateSet& set) {
    std::vector<std::string> thumbprints;
    for (const X509Ptr& certificate : set) thumbprints.push_back(CertificateThumbprintHex(certificate.get()));
    std::sort(thumbprints.begin(), thumbprints.end());
    return thumbprints;
  }

  std::unique_ptr<HttpTestServer> server_;
};

}  // namespace

TEST_F(HttpSourceTest, PostsTheFormAndReadsTheCertificates) {
  SearchTestCertificates certs;
  std::string answer = "{\"certificates\": [" + Element(certs.renewal) + ", " + Element(certs.stranger) +
                       ", {\"PEM\": \"-----BEGIN CERTIFICATE-----\\nAAAA\\n-----END CERTIFICATE-----\\n\"}" + "]}";
  server_->AddAnswer("good.json", answer, "application/json");
  std::string errorText;
  CandidateSet set = Search("/answer/good.json?func=search", errorText);

  std::vector<std::string> expected = {CertificateThumbprintHex(certs.renewal.Cert()),
                                       CertificateThumbprintHex(certs.stranger.Cert())};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(Thumbprints(set), expected);
  EXPECT_EQ(errorText, "");
  EXPECT_EQ(Events(), std::vector<std::string>{"Failed to get certificate from JSON!"});

  std::vector<TvrTest::SeenRequest> seen = server_->Requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].method, "POST");
  EXPECT_EQ(seen[0].path, "/answer/good.json?func=search");
  EXPECT_EQ(seen[0].contentType, "application/x-www-form-urlencoded");
  EXPECT_EQ(seen[0].userAgent, std::string("TavrenicKelmardin/") + TVR_TEST_PROGRAM_VERSION);
  EXPECT_EQ(seen[0].body, kForm);
}

TEST_F(HttpSourceTest, BadElementsAreReportedAndTheGoodOnesKept) {
  SearchTestCertificates certs;
  server_->AddAnswer("mixed.json",
                     "{\"certificates\": [{\"PEM\": 5}, 7, {\"pem\": \"x\"}, " + Element(certs.renewal) + "]}",
                     "application/json");
  server_->AddAnswer("empty-list.json", "{\"certificates\": []}", "application/json");
  server_->AddAnswer("empty.json", "", "application/json");
  std::string errorText;
  CandidateSet set = Search("/answer/mixed.json", errorText);
  EXPECT_EQ(Thumbprints(set), std::vector<std::string>{CertificateThumbprintHex(certs.renewal.Cert())});
  EXPECT_EQ(errorText, "A kiszolgáló válasza hibás.");
  EXPECT_EQ(Events(), (std::vector<std::string>{"'PEM' member is not a string in JSON response!",
                                                "No 'PEM' member in JSON response!",
                                                "No 'PEM' member in JSON response!"}));

  for (const char* path : {"/answer/empty-list.json", "/answer/empty.json"}) {
    sink_->Clear();
    std::string none;
    EXPECT_TRUE(Search(path, none).empty()) << path;
    EXPECT_EQ(none, "") << path;
    EXPECT_TRUE(Events().empty()) << path;
  }
}

TEST_F(HttpSourceTest, RefusesAnswersOfTheWrongShape) {
  SearchTestCertificates certs;
  std::string good = "{\"certificates\": [" + Element(certs.renewal) + "]}";
  // A recursive parser survives 100,000 levels on an 8 MiB stack; a million ends it.
  std::string deepOpen(100000, '[');
  std::string deeperOpen(1000000, '[');
  std::string deepClosed = deeperOpen + std::string(1000000, ']');
  struct Case {
    const char* name;
    std::string body;
    std::string contentType;
    std::string event;
  } cases[] = {
      {"charset.json", good, "application/json; charset=utf-8", "Bad content type: application/json; charset=utf-8"},
      {"text.json", good, "text/plain", "Bad content type: text/plain"},
      {"untyped.json", good, "", "Failed to query content type!"},
      {"not-json.json", "<html></html>", "application/json", "Failed to parse JSON response!"},
      {"trailing.json", good + "]", "application/json", "Failed to parse JSON response!"},
      {"deep-open.json", deepOpen, "application/json", "Failed to parse JSON response!"},
      {"deeper-open.json", deeperOpen, "application/json", "Failed to parse JSON response!"},
      {"deep-closed.json", deepClosed, "application/json", "No 'certificates' member in JSON response!"},
      {"array.json", "[" + good + "]", "application/json", "No 'certificates' member in JSON response!"},
      {"object.json", "{\"certificates\": {\"PEM\": \"x\"}}", "application/json",
       "'certificates' member is not an array in JSON response!"},
  };
  for (const Case& c : cases) {
    server_->AddAnswer(c.name, c.body, c.contentType);
    sink_->Clear();
    std::string errorText;
    CandidateSet set = Search(std::string("/answer/") + c.name, errorText);
    EXPECT_TRUE(set.empty()) << c.name;
    EXPECT_EQ(errorText, "A kiszolgáló válasza hibás.") << c.name;
    EXPECT_EQ(Events(), std::vector<std::string>{c.event}) << c.name;
  }
}

TEST_F(HttpSourceTest, StatusAndTransportFailures) {
  SearchTestCertificates certs;
  std::string good = "{\"certificates\": [" + Element(certs.renewal) + "]}";
  server_->AddAnswer("good.json", good, "application/json");

  std::string errorText;
  EXPECT_TRUE(Search("/status/404", errorText).empty());
  EXPECT_EQ(errorText, "A kiszolgáló válasza hibás.");
  EXPECT_EQ(Events(), std::vector<std::string>{"Bad status code: 404"});

  // The whole answer is a good document; only the missing tail shows it was cut short.
  sink_->Clear();
  errorText.clear();
  EXPECT_TRUE(Search("/cutanswer/good.json", errorText).empty());
  EXPECT_EQ(Events(), std::vector<std::string>{"HTTP error: 18"});  // CURLE_PARTIAL_FILE
  EXPECT_NE(errorText, "");
  EXPECT_NE(errorText, "A kiszolgáló válasza hibás.");

  // Without the test CA the server is not trusted.
  sink_->Clear();
  errorText.clear();
  EXPECT_TRUE(TvrServices::SearchCertificatesHttp("127.0.0.1", "/answer/good.json", kForm, errorText,
                                                  server_->Port())
                  .empty());
  EXPECT_EQ(Events(), std::vector<std::string>{"HTTP error: 60"});  // CURLE_PEER_FAILED_VERIFICATION
  EXPECT_NE(errorText, "");

  // A server text that would change the request's address is refused before any request.
  for (const char* server : {"127.0.0.1/answer/good.json#", "user@127.0.0.1", ""}) {
    sink_->Clear();
    errorText.clear();
    EXPECT_TRUE(TvrServices::SearchCertificatesHttp(server, "/answer/good.json", kForm, errorText, server_->Port(),
                                                    TestPki::Get().CaBundlePath())
                    .empty())
        << server;
    EXPECT_EQ(Events(), std::vector<std::string>{"HTTP error: 3"}) << server;
  }
  EXPECT_EQ(server_->Requests().size(), 2u);
}

TEST_F(HttpSourceTest, RedirectsStayOnHttps) {
  SearchTestCertificates certs;
  const std::string good = "{\"certificates\": [" + Element(certs.renewal) + "]}";
  HttpTestServer plain;
  plain.AddAnswer("good.json", good, "application/json");
  server_->AddAnswer("good.json", good, "application/json");
  struct Case {
    std::string path;
    bool found;
  };
  const Case cases[] = {
      // 307 would re-post the form in clear, 302 would fetch the answer as a GET over http.
      {"/redirect307/" + plain.Base() + "/answer/good.json", false},
      {"/redirect/" + plain.Base() + "/answer/good.json", false},
      {"/redirect307/" + server_->Base() + "/answer/good.json", true},
  };
  for (const Case& c : cases) {
    std::string errorText;
    EXPECT_EQ(Search(c.path, errorText).size(), c.found ? 1u : 0u) << c.path;
    EXPECT_EQ(errorText.empty(), c.found) << c.path;
  }
  EXPECT_TRUE(plain.Requests().empty());
  // Within https the form is posted again to the new address.
  const std::vector<TvrTest::SeenRequest> seen = server_->Requests();
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen.back().method, "POST");
  EXPECT_EQ(seen.back().path, "/answer/good.json");
  EXPECT_EQ(seen.back().body, kForm);
}
