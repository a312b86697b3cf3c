#include "RenewalSearch.h"
#include "SearchTestCertificates.h"
#include "ServicesFixture.h"
#include "SharedUtilities.h"

#include "platform/Profile.h"

#include <openssl/x509v3.h>

using TvrServices::RenewalSourceKind;
using TvrTest::PkiItem;

namespace {

// The subjectKeyIdentifier extension the builder wrote (SHA-1 of the key bits).
std::string SubjectKeyId(const PkiItem& item) {
  const ASN1_OCTET_STRING* id = X509_get0_subject_key_id(item.Cert());
  return id ? BytesToHex(ASN1_STRING_get0_data(id), static_cast<size_t>(ASN1_STRING_length(id))) : "";
}

EvpPkeyPtr KeyOf(const PkiItem& item) {
  EVP_PKEY_up_ref(item.Key());
  return EvpPkeyPtr(item.Key());
}

}  // namespace

TEST(RenewalSearchTest, KeyIdentifiersOfCertificatesAndKeysCollapse) {
  SearchTestCertificates certs;
  PkiItem rsa = [] {
    TvrTest::CertSpec spec;
    spec.subject = "/CN=RSA";
    spec.keyType = "rsa";
    return TvrTest::CertBuilder::Issue(spec, &TvrTest::TestPki::Get().Intermediate());
  }();
  TokenObjects card;
  card.AddCertificate(1, "01", "old", certs.old.Der());
  card.AddCertificate(2, "02", "rsa", rsa.Der());
  card.AddCertificate(3, "03", "broken", {0x30, 0x03, 0x02, 0x01, 0x01});
  card.AddPublicKey(4, "01", "old key", false)->publicKey = KeyOf(certs.old);
  card.AddPublicKey(5, "02", "rsa key", false)->publicKey = KeyOf(rsa);
  card.AddPublicKey(6, "04", "lone key", false)->publicKey = KeyOf(certs.stranger);
  card.AddPublicKey(7, "05", "unreadable key", false);

  std::set<std::string> expected = {SubjectKeyId(certs.old), SubjectKeyId(rsa), SubjectKeyId(certs.stranger)};
  ASSERT_EQ(expected.size(), 3u);
  for (const std::string& id : expected) ASSERT_EQ(id.size(), 40u);
  EXPECT_EQ(TvrServices::CollectCertificateHashes(card), expected);
  EXPECT_TRUE(TvrServices::CollectCertificateHashes(TokenObjects()).empty());
}

TEST(RenewalSearchTest, FiltersAndFormsInTheirFormats) {
  std::set<std::string> two = {"bb", "aa"};
  EXPECT_EQ(TvrServices::BuildLdapFilter(two, "IGNORED"),
            "(&(revocationStatus=VALID)(|(subjectKeyIdentifier=aa)(subjectKeyIdentifier=bb)))");
  EXPECT_EQ(TvrServices::BuildLdapFilter({"aa"}, ""), "(&(revocationStatus=VALID)(|(subjectKeyIdentifier=aa)))");
  EXPECT_EQ(TvrServices::BuildSearchForm(two, "IGNORED"),
            "revocationStatus=VALID&subjectKeyIdentifier[]=aa&subjectKeyIdentifier[]=bb");

  struct Case {
    std::string serial;
    std::string filter;
    std::string form;
  } cases[] = {
      {"0123456789ABCDEF", "(&(revocationStatus=VALID)(smartcardSerialNumber=0123456789ABCDEF))",
       "revocationStatus=VALID&smartcardSerialNumber=0123456789ABCDEF"},
      {"*)(uid=*", "(&(revocationStatus=VALID)(smartcardSerialNumber=\\2a\\29\\28uid=\\2a))",
       "revocationStatus=VALID&smartcardSerialNumber=%2A%29%28uid%3D%2A"},
      {"a\\b&c=d e+f", "(&(revocationStatus=VALID)(smartcardSerialNumber=a\\5cb&c=d e+f))",
       "revocationStatus=VALID&smartcardSerialNumber=a%5Cb%26c%3Dd%20e%2Bf"},
      {std::string("x\0y\xc3\xa9", 5), "(&(revocationStatus=VALID)(smartcardSerialNumber=x\\00y\\c3\\a9))",
       "revocationStatus=VALID&smartcardSerialNumber=x%00y%C3%A9"},
      {"", "(&(revocationStatus=VALID)(smartcardSerialNumber=))", "revocationStatus=VALID&smartcardSerialNumber="},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TvrServices::BuildLdapFilter({}, c.serial), c.filter) << c.serial;
    EXPECT_EQ(TvrServices::BuildSearchForm({}, c.serial), c.form) << c.serial;
  }
}

class RenewalPlanTest : public ServicesFixture {};

TEST_F(RenewalPlanTest, SourceBySettings) {
  SearchTestCertificates certs;
  TokenObjects card;
  card.AddCertificate(1, "01", "old", certs.old.Der());
  std::string id = *TvrServices::CollectCertificateHashes(card).begin();

  // Nothing configured: the search service with the defaults, by key identifier.
  TvrServices::RenewalSettings defaults = TvrServices::RenewalSettings::Load();
  TvrServices::RenewalQuery query = TvrServices::PlanRenewalSearch(defaults, card, "CARD0001");
  EXPECT_EQ(query.kind, RenewalSourceKind::Http);
  EXPECT_EQ(query.host, TvrServices::kDefaultSearchServer);
  EXPECT_EQ(query.port, 443);
  EXPECT_EQ(query.objectPath, "/tanusitvanytar/certsearch_json.php?func=search");
  EXPECT_EQ(query.form, "revocationStatus=VALID&subjectKeyIdentifier[]=" + id);

  for (int mode : {0, 3, -1, 1, 2}) {
    TvrServices::RenewalSettings settings;
    settings.mode = mode;
    RenewalSourceKind expected =
        mode == 1 ? RenewalSourceKind::Zip : mode == 2 ? RenewalSourceKind::Ldap : RenewalSourceKind::Http;
    EXPECT_EQ(TvrServices::PlanRenewalSearch(settings, card, "").kind, expected) << mode;
  }

  // Configured values are used unchanged, also when they hold filter characters.
  Platform::Profile profile;
  const char* section = TvrServices::kRenewalSettingsSection;
  ASSERT_TRUE(profile.WriteInt(section, "Mode", 2));
  ASSERT_TRUE(profile.WriteString(section, "LDAPHostname", "ldap.example.test"));
  ASSERT_TRUE(profile.WriteInt(section, "LDAPPortnumber", 1389));
  ASSERT_TRUE(profile.WriteString(section, "LDAPBase", "o=Other"));
  ASSERT_TRUE(profile.WriteString(section, "LDAPFilter", "(cn=*)"));
  ASSERT_TRUE(profile.WriteString(section, "LDAPAttribute", "cACertificate;binary"));
  ASSERT_TRUE(profile.WriteString(section, "HTTPFormData", "a=*&b=("));
  TvrServices::RenewalSettings configured = TvrServices::RenewalSettings::Load();
  query = TvrServices::PlanRenewalSearch(configured, card, "CARD0001");
  EXPECT_EQ(query.kind, RenewalSourceKind::Ldap);
  EXPECT_EQ(query.host, "ldap.example.test");
  EXPECT_EQ(query.port, 1389);
  EXPECT_EQ(query.base, "o=Other");
  EXPECT_EQ(query.filter, "(cn=*)");
  EXPECT_EQ(query.attribute, "cACertificate;binary");
  configured.mode = 0;
  EXPECT_EQ(TvrServices::PlanRenewalSearch(configured, card, "CARD0001").form, "a=*&b=(");

  // Without configured filter or identifiers: by the card's serial number, escaped.
  TvrServices::RenewalSettings bySerial;
  bySerial.mode = 2;
  EXPECT_EQ(TvrServices::PlanRenewalSearch(bySerial, TokenObjects(), "S*").filter,
            "(&(revocationStatus=VALID)(smartcardSerialNumber=S\\2a))");
  EXPECT_EQ(defaults.ldapPort, 389);
  EXPECT_EQ(defaults.ldapBase, "o=Tavrenic Ltd.,l=Budapest,c=hu");
  EXPECT_EQ(defaults.ldapAttribute, "userCertificate;binary");
}
