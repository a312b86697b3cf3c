#include "CertificateSources.h"
#include "RenewalSearch.h"
#include "SearchTestCertificates.h"
#include "ServicesFixture.h"
#include "SharedUtilities.h"
#include "SlapdProcess.h"

#include <openssl/evp.h>

#include <arpa/inet.h>
#include <ldap.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <stdexcept>
#include <thread>

using TvrServices::CandidateSet;
using TvrTest::PkiItem;

namespace {

constexpr const char* kBase = "o=Tavrenic Ltd.,l=Budapest,c=hu";
constexpr const char* kAttribute = "userCertificate;binary";

// The directory's own attributes for the renewal search.
constexpr const char* kSchema =
    "attributetype ( 1.3.6.1.4.1.99999.2.1 NAME 'revocationStatus' EQUALITY caseIgnoreMatch\n"
    "  SYNTAX 1.3.6.1.4.1.1466.115.121.1.15 SINGLE-VALUE )\n"
    "attributetype ( 1.3.6.1.4.1.99999.2.2 NAME 'smartcardSerialNumber' EQUALITY caseIgnoreMatch\n"
    "  SUBSTR caseIgnoreSubstringsMatch SYNTAX 1.3.6.1.4.1.1466.115.121.1.15 )\n"
    "attributetype ( 1.3.6.1.4.1.99999.2.3 NAME 'subjectKeyIdentifier' EQUALITY caseIgnoreMatch\n"
    "  SYNTAX 1.3.6.1.4.1.1466.115.121.1.15 )\n"
    "objectclass ( 1.3.6.1.4.1.99999.2.4 NAME 'tavrenicCertificateHolder' SUP top AUXILIARY\n"
    "  MAY ( revocationStatus $ smartcardSerialNumber $ subjectKeyIdentifier ) )\n";

std::string Base64(const std::vector<unsigned char>& bytes) {
  std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes.data(),
                               static_cast<int>(bytes.size()));
  text.resize(static_cast<size_t>(length));
  return text;
}

std::string KeyId(const PkiItem& item) {
  TokenObjects objects;
  objects.AddCertificate(1, "01", "c", item.Der());
  return *TvrServices::CollectCertificateHashes(objects).begin();
}

std::string Person(const std::string& uid, const std::string& status, const std::string& serial,
                   const PkiItem* certificate) {
  std::string entry = "dn: uid=" + uid + ",ou=people," + kBase +
                      "\nobjectClass: inetOrgPerson\nobjectClass: tavrenicCertificateHolder\nuid: " + uid +
                      "\ncn: " + uid + "\nsn: " + uid + "\nrevocationStatus: " + status +
                      "\nsmartcardSerialNumber: " + serial + "\n";
  if (certificate)
    entry += "subjectKeyIdentifier: " + KeyId(*certificate) + "\nuserCertificate;binary:: " +
             Base64(certificate->Der()) + "\n";
  return entry + "\n";
}

class LdapSourceTest : public ServicesFixture {
 protected:
  void SetUp() override {
    ServicesFixture::SetUp();
    std::string ldif = std::string("dn: ") + kBase + "\nobjectClass: organization\no: Tavrenic Ltd.\n\n" +
                       "dn: ou=people," + kBase + "\nobjectClass: organizationalUnit\nou: people\n\n" +
                       Person("renewal", "VALID", "CARD0001", &certs_.renewal) +
                       Person("revoked", "REVOKED", "CARD0001", &certs_.old) +
                       Person("stranger", "VALID", "CARD0002", &certs_.stranger) +
                       Person("nocert", "VALID", "CARD0003", nullptr) +
                       // Points back at the people: following it would find them.
                       "dn: ou=moved," + kBase +
                       "\nobjectClass: referral\nobjectClass: extensibleObject\nou: moved\n"
                       "ref: ldap://127.0.0.1:@PORT@/ou=people,o=Tavrenic%20Ltd.,l=Budapest,c=hu\n\n";
    slapd_ = std::make_unique<TvrTest::SlapdProcess>(kBase, ldif, kSchema);
  }

  CandidateSet Search(const std::string& filter, std::string& errorText, const std::string& base = kBase,
                      const std::string& attribute = kAttribute) {
    return TvrServices::SearchCertificatesLdap("127.0.0.1", slapd_->Port(), base, filter, attribute, errorText);
  }

  static std::vector<std::string> Thumbprints(const CandidateSet& set) {
    std::vector<std::string> thumbprints;
    for (const X509Ptr& certificate : set) thumbprints.push_back(CertificateThumbprintHex(certificate.get()));
    return thumbprints;
  }

  SearchTestCertificates certs_;
  std::unique_ptr<TvrTest::SlapdProcess> slapd_;
};

}  // namespace

TEST_F(LdapSourceTest, FindsTheRenewalOfTheCardsKey) {
  TokenObjects card;
  card.AddCertificate(1, "01", "old", certs_.old.Der());
  std::string filter = TvrServices::BuildLdapFilter(TvrServices::CollectCertificateHashes(card), "");
  std::string errorText;
  CandidateSet set = Search(filter, errorText);
  ASSERT_EQ(Thumbprints(set), std::vector<std::string>{CertificateThumbprintHex(certs_.renewal.Cert())});
  EXPECT_TRUE(TvrServices::IsRenewalCertificate(certs_.old.Cert(), set.begin()->get()));
  EXPECT_EQ(errorText, "");
  EXPECT_EQ(Events(), (std::vector<std::string>{"Succeeded to init ldap", "Succeeded to search ldap"}));
}

TEST_F(LdapSourceTest, SerialNumberIsAValueNeverAFilter) {
  struct Case {
    const char* serial;
    std::vector<std::string> found;
    std::vector<std::string> events;
  } cases[] = {
      {"CARD0001", {CertificateThumbprintHex(certs_.renewal.Cert())}, {}},
      {"*)(uid=*", {}, {}},
      {"*", {}, {}},
      {"CARD0003", {}, {"Failed to get certificate from LDAP"}},
  };
  for (const Case& c : cases) {
    sink_->Clear();
    std::string errorText;
    CandidateSet set = Search(TvrServices::BuildLdapFilter({}, c.serial), errorText);
    EXPECT_EQ(Thumbprints(set), c.found) << c.serial;
    EXPECT_EQ(errorText, "") << c.serial;
    std::vector<std::string> events = {"Succeeded to init ldap", "Succeeded to search ldap"};
    events.insert(events.end(), c.events.begin(), c.events.end());
    EXPECT_EQ(Events(), events) << c.serial;
  }
}

TEST_F(LdapSourceTest, AttributeNameMustMatchExactly) {
  std::string errorText;
  CandidateSet set = Search(TvrServices::BuildLdapFilter({}, "CARD0002"), errorText, kBase, "usercertificate;binary");
  EXPECT_TRUE(set.empty());
  EXPECT_EQ(errorText, "");
  EXPECT_EQ(Events().back(), "Failed to get certificate from LDAP");
}

TEST_F(LdapSourceTest, AReferralIsAFailureAndNotFollowed) {
  std::string errorText;
  CandidateSet set =
      Search("(revocationStatus=VALID)", errorText, std::string("ou=moved,") + kBase);
  EXPECT_TRUE(set.empty());
  EXPECT_EQ(errorText, ldap_err2string(LDAP_REFERRAL));
  EXPECT_EQ(Events(), (std::vector<std::string>{"Succeeded to init ldap", "Failed to search ldap! Error code: 10"}));
}

TEST_F(LdapSourceTest, StoppedServerAndBadHost) {
  slapd_->Stop();
  std::string errorText;
  CandidateSet set = Search("(revocationStatus=VALID)", errorText);
  EXPECT_TRUE(set.empty());
  EXPECT_EQ(errorText, ldap_err2string(LDAP_SERVER_DOWN));
  std::vector<std::string> events = Events();
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events[0], "Succeeded to init ldap");
  EXPECT_EQ(events[1], "Failed to search ldap! Error code: -1");

  sink_->Clear();
  errorText.clear();
  EXPECT_TRUE(TvrServices::SearchCertificatesLdap("127.0.0.1/??sub?(uid=*)", 389, kBase, "(uid=*)", kAttribute,
                                                  errorText)
                  .empty());
  EXPECT_EQ(errorText, ldap_err2string(LDAP_PARAM_ERROR));
  EXPECT_EQ(Events(), std::vector<std::string>{"Failed to init ldap! Error code: -9"});
}

namespace {

// A directory server of the test's own that answers the first search with the bytes it is
// given (the search's message id filled in), then keeps the connection open and silent.
class ScriptedLdapServer {
 public:
  explicit ScriptedLdapServer(std::function<std::string(const std::string& id)> answer) : answer_(std::move(answer)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(listener_, 1) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      throw std::runtime_error("no listening socket");
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~ScriptedLdapServer() {
    ::shutdown(listener_, SHUT_RDWR);
    if (client_ >= 0) ::shutdown(client_, SHUT_RDWR);
    thread_.join();
    if (client_ >= 0) ::close(client_);
    ::close(listener_);
  }
  int Port() const { return port_; }

  static std::string Tlv(unsigned char tag, const std::string& content) {
    std::string out(1, static_cast<char>(tag));
    const size_t n = content.size();
    if (n < 0x80) {
      out += static_cast<char>(n);
    } else {
      out += '\x84';
      for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((n >> shift) & 0xFF);
    }
    return out + content;
  }
  static std::string Entry(const std::string& id, const std::vector<unsigned char>& der) {
    const std::string value(der.begin(), der.end());
    return Tlv(0x30, id + Tlv(0x64, Tlv(0x04, "cn=x") +
                                        Tlv(0x30, Tlv(0x30, Tlv(0x04, kAttribute) + Tlv(0x31, Tlv(0x04, value))))));
  }
  static std::string Done(const std::string& id) {
    return Tlv(0x30, id + Tlv(0x65, std::string("\x0a\x01\x00\x04\x00\x04\x00", 7)));
  }

 private:
  void Serve() {
    client_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client_ < 0) return;
    // The request: SEQUENCE, its length (short or long form), then the message id.
    unsigned char request[4096];
    const ssize_t got = ::read(client_, request, sizeof request);
    if (got < 4 || request[0] != 0x30) return;
    size_t at = 2 + ((request[1] & 0x80) ? (request[1] & 0x7F) : 0);
    if (at + 2 > static_cast<size_t>(got) || request[at] != 0x02) return;
    const std::string id(reinterpret_cast<const char*>(request + at), 2 + request[at + 1]);
    const std::string answer = answer_(id);
    for (size_t sent = 0; sent < answer.size();) {
      // A client that stopped reading closes the connection: no SIGPIPE for the test.
      const ssize_t n = ::send(client_, answer.data() + sent, answer.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return;
      sent += static_cast<size_t>(n);
    }
    while (::read(client_, request, sizeof request) > 0) {
    }
  }

  std::function<std::string(const std::string&)> answer_;
  int listener_ = -1;
  int client_ = -1;
  int port_ = 0;
  std::thread thread_;
};

class LdapServerAbuseTest : public ServicesFixture {
 protected:
  CandidateSet Search(const ScriptedLdapServer& server, std::string& errorText) {
    return TvrServices::SearchCertificatesLdap("127.0.0.1", server.Port(), kBase, "(uid=*)", kAttribute, errorText);
  }
};

// A message that announces 100 MB is refused as it starts, not allocated and waited for.
TEST_F(LdapServerAbuseTest, AnOverlongMessageEndsTheSearch) {
  ScriptedLdapServer server([](const std::string& id) { return std::string("\x30\x84\x06\x40\x00\x00", 6) + id; });
  std::string errorText;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(Search(server, errorText).empty());
  // Waiting for the announced bytes would last the whole 30 s time limit.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_FALSE(errorText.empty());
}

// A server that ignores the size limit: more entries than the limit fail the search, as
// they do from a server that keeps the limit; up to the limit they are taken.
TEST_F(LdapServerAbuseTest, EntriesBeyondTheSizeLimitFailTheSearch) {
  SearchTestCertificates certs;
  for (int count : {TvrServices::kLdapSizeLimit, TvrServices::kLdapSizeLimit + 1}) {
    ScriptedLdapServer server([&](const std::string& id) {
      std::string answer;
      for (int i = 0; i < count; ++i) answer += ScriptedLdapServer::Entry(id, certs.renewal.Der());
      return answer + ScriptedLdapServer::Done(id);
    });
    sink_->Clear();
    std::string errorText;
    CandidateSet set = Search(server, errorText);
    if (count == TvrServices::kLdapSizeLimit) {
      EXPECT_EQ(set.size(), static_cast<size_t>(count));
      EXPECT_EQ(errorText, "");
    } else {
      EXPECT_TRUE(set.empty());
      EXPECT_EQ(errorText, ldap_err2string(LDAP_SIZELIMIT_EXCEEDED));
      EXPECT_EQ(Events(), (std::vector<std::string>{"Succeeded to init ldap", "Failed to search ldap! Error code: 4"}));
    }
  }
}

// A directory's answer is bounded as an archive is: a value larger than any certificate
// is not decoded, and once the entries of one search pass the budget the search fails
// whole (each message within its own cap, but hundreds of them would fill the memory).
TEST_F(LdapServerAbuseTest, OversizedValuesAreSkippedAndTheSearchHasABudget) {
  SearchTestCertificates certs;
  TvrTest::CertSpec spec;
  spec.subject = "/C=HU/O=Tavrenic/CN=Padded";
  spec.extensions = {{"1.3.6.1.4.1.99999.9",
                      "DER:" + TvrTest::Hex(TvrTest::DerTlv(0x04, std::vector<unsigned char>(300 * 1024, 0x41)))}};
  const PkiItem padded = TvrTest::CertBuilder::Issue(spec, &TvrTest::TestPki::Get().Intermediate());
  ASSERT_GT(padded.Der().size(), TvrServices::kLdapMaxCertificateBytes);
  const std::vector<unsigned char> filler(1024 * 1024, 0x41);  // a mebibyte that is no certificate
  const size_t budgetMiB = TvrServices::kLdapMaxSearchBytes / (1024 * 1024);
  struct Case {
    const char* name;
    size_t fillers;
    std::vector<std::string> found;
    std::string errorText;
  };
  const Case cases[] = {
      {"within the budget", budgetMiB - 2, {CertificateThumbprintHex(certs.renewal.Cert())}, ""},
      {"past the budget", budgetMiB + 1, {}, ldap_err2string(LDAP_SIZELIMIT_EXCEEDED)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedLdapServer server([&](const std::string& id) {
      std::string answer = ScriptedLdapServer::Entry(id, padded.Der());
      for (size_t i = 0; i < c.fillers; ++i) answer += ScriptedLdapServer::Entry(id, filler);
      return answer + ScriptedLdapServer::Entry(id, certs.renewal.Der()) + ScriptedLdapServer::Done(id);
    });
    sink_->Clear();
    std::string errorText;
    CandidateSet set = Search(server, errorText);
    std::vector<std::string> found;
    for (const X509Ptr& certificate : set) found.push_back(CertificateThumbprintHex(certificate.get()));
    EXPECT_EQ(found, c.found);
    EXPECT_EQ(errorText, c.errorText);
    if (!c.errorText.empty()) {
      EXPECT_EQ(Events(), (std::vector<std::string>{
                              "Succeeded to init ldap",
                              "The ldap search's entries exceed " +
                                  std::to_string(TvrServices::kLdapMaxSearchBytes) + " bytes: the search is stopped",
                              "Failed to search ldap! Error code: 4"}));
    }
  }
}

}  // namespace
