#include <gtest/gtest.h>

#include <ctime>

#include "CertificateTexts.h"
#include "TestPki.h"

using TvrTest::CertBuilder;
using TvrTest::CertSpec;
using TvrTest::DerOid;
using TvrTest::DerTlv;
using TvrTest::Hex;
using TvrTest::PkiItem;
using TvrTest::TestPki;

namespace {

std::time_t Utc(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  return timegm(&tm);
}

std::string QcStatements(bool compliance, const std::vector<std::string>& types) {
  std::vector<unsigned char> content;
  auto add = [&](const std::vector<unsigned char>& statement) {
    content.insert(content.end(), statement.begin(), statement.end());
  };
  if (compliance) add(DerTlv(0x30, DerOid("0.4.0.1862.1.1")));
  if (!types.empty()) {
    std::vector<unsigned char> oids;
    for (const std::string& t : types) {
      const auto oid = DerOid(t);
      oids.insert(oids.end(), oid.begin(), oid.end());
    }
    std::vector<unsigned char> statement = DerOid("0.4.0.1862.1.6");
    const auto info = DerTlv(0x30, oids);
    statement.insert(statement.end(), info.begin(), info.end());
    add(DerTlv(0x30, statement));
  }
  return "DER:" + Hex(DerTlv(0x30, content));
}

PkiItem Leaf(const std::string& cn, const std::string& keyUsage, std::time_t notBefore = 0,
             std::vector<std::pair<std::string, std::string>> more = {}) {
  CertSpec spec;
  spec.subject = "/C=HU/O=Tavrenic/CN=" + cn;
  spec.notBefore = notBefore;
  if (notBefore) spec.notAfter = notBefore + 3 * 365 * 86400;
  if (!keyUsage.empty()) spec.extensions.push_back({"keyUsage", "critical," + keyUsage});
  for (auto& e : more) spec.extensions.push_back(e);
  return CertBuilder::Issue(spec, &TestPki::Get().Intermediate());
}

std::string Validity(const PkiItem& item) {
  char text[64];
  std::tm from{}, to{};
  const std::time_t a = item.NotBefore(), b = item.NotAfter();
  gmtime_r(&a, &from);
  gmtime_r(&b, &to);
  std::snprintf(text, sizeof text, "%04d. %02d. %02d. - %04d. %02d. %02d.", from.tm_year + 1900,
                from.tm_mon + 1, from.tm_mday, to.tm_year + 1900, to.tm_mon + 1, to.tm_mday);
  return text;
}

TEST(CertificateTextsTest, TypeTextsOfTheCertificateKinds) {
  const TestPki& pki = TestPki::Get();
  const std::time_t y2015 = Utc(2015, 3, 1), y2018 = Utc(2018, 3, 1);
  struct Case {
    const char* what;
    PkiItem item;
    const char* type;
  };
  const std::string esign = "0.4.0.1862.1.6.1", eseal = "0.4.0.1862.1.6.2", web = "0.4.0.1862.1.6.3";
  const std::string qc = "1.3.6.1.5.5.7.1.3";
  std::vector<Case> cases = {
      {"root", pki.Root(), "Gyökér hitelesítésszolgáltatói tanúsítvány"},
      {"intermediate", pki.Intermediate(), "Hitelesítésszolgáltatói tanúsítvány"},
      {"encryption", pki.EncryptionLeaf(), "Titkosító tanúsítvány"},
      {"authentication", Leaf("Auth", "digitalSignature"), "Hitelesítő tanúsítvány"},
      {"signing before the cut-off", Leaf("Sig", "digitalSignature,nonRepudiation", y2015),
       "Aláíró tanúsítvány"},
      {"qc before the cut-off, statements not read", Leaf("Q15", "nonRepudiation", y2015, {{qc, QcStatements(false, {web})}}),
       "Minősített aláíró tanúsítvány"},
      {"at the cut-off exactly", Leaf("Q16", "nonRepudiation", Utc(2016, 6, 30, 12), {{qc, QcStatements(false, {web})}}),
       "Minősített aláíró tanúsítvány"},
      {"signing after the cut-off without statements", pki.SigningLeaf(), "Tanúsítvány"},
      {"qualified leaf (compliance, esign)", pki.QualifiedLeaf(), "Minősített aláíró tanúsítvány"},
      {"esign without compliance", Leaf("E", "nonRepudiation", y2018, {{qc, QcStatements(false, {esign})}}),
       "Aláíró tanúsítvány"},
      {"esign and web", Leaf("EW", "nonRepudiation", y2018, {{qc, QcStatements(true, {esign, web})}}),
       "Tanúsítvány"},
      {"qualified seal", Leaf("S", "digitalSignature,nonRepudiation", y2018, {{qc, QcStatements(true, {eseal})}}),
       "Minősített bélyegző tanúsítvány"},
      {"seal", Leaf("S2", "nonRepudiation", y2018, {{qc, QcStatements(false, {eseal})}}), "Bélyegző tanúsítvány"},
      {"compliance alone", Leaf("C", "nonRepudiation", y2018, {{qc, QcStatements(true, {})}}), "Tanúsítvány"},
      {"signature and encipherment", Leaf("SE", "digitalSignature,keyEncipherment"), "Tanúsítvány"},
      {"code signing overrides", Leaf("Code", "digitalSignature", 0, {{"extendedKeyUsage", "codeSigning"}}),
       "Kódaláíró tanúsítvány"},
      {"code signing without key usage", Leaf("Code2", "", 0, {{"extendedKeyUsage", "codeSigning"}}),
       "Kódaláíró tanúsítvány"},
      {"code signing among others", Leaf("Code3", "", 0, {{"extendedKeyUsage", "codeSigning,clientAuth"}}),
       "Tanúsítvány"},
      {"expired", pki.ExpiredLeaf(), "Hitelesítő tanúsítvány"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(GetCertificateTypeText(c.item.Cert(), false), c.type);
  }
  // A CA certificate that also names code signing keeps the CA text.
  CertSpec ca;
  ca.subject = "/CN=Code CA";
  ca.ca = true;
  ca.extensions = {{"extendedKeyUsage", "codeSigning"}};
  EXPECT_EQ(GetCertificateTypeText(CertBuilder::Issue(ca, &pki.Root()).Cert(), false),
            "Hitelesítésszolgáltatói tanúsítvány");
}

TEST(CertificateTextsTest, DisplayNamesAndValidity) {
  const TestPki& pki = TestPki::Get();
  PkiItem signing = Leaf("Kovács Éva Őrző", "digitalSignature,nonRepudiation", Utc(2015, 3, 1, 10));
  EXPECT_EQ(GetCertificateDisplayName(signing.Cert(), true), "Kovács Éva Őrző (aláíró tanúsítvány)");
  EXPECT_EQ(GetCertificateDisplayName(signing.Cert(), false), "Aláíró tanúsítvány - Tulajdonos: Kovács Éva Őrző");
  EXPECT_EQ(GetValidityText(signing.Cert()), "2015. 03. 01. - 2018. 02. 28.");
  EXPECT_EQ(GetCertificateDisplayName(pki.EncryptionLeaf().Cert(), true),
            "Tavrenic Encryption (titkosító tanúsítvány)");
  EXPECT_EQ(GetCertificateDisplayName(pki.Root().Cert(), true).find(" (gyökér hitelesítésszolgáltatói tanúsítvány)") !=
                std::string::npos,
            true);
  EXPECT_EQ(GetValidityText(pki.ExpiredLeaf().Cert()), Validity(pki.ExpiredLeaf()));

  EXPECT_EQ(GetCertificateTypeText(nullptr, false), "Tanúsítvány");
  EXPECT_EQ(GetCertificateDisplayName(nullptr, true), " (tanúsítvány)");
  EXPECT_EQ(GetCertificateDisplayName(nullptr, false), "Tanúsítvány - Tulajdonos: ");
  EXPECT_EQ(GetValidityText(nullptr), "------------------------------------");
  EXPECT_EQ(GetValidityText(nullptr).size(), 36u);
}

TEST(CertificateTextsTest, CutoffComparesAsBytes) {
  EXPECT_FALSE(IsLaterThanQcCutoff("20160630120000"));
  EXPECT_TRUE(IsLaterThanQcCutoff("20160630120001"));
  EXPECT_TRUE(IsLaterThanQcCutoff("201606301200001"));  // longer with the same prefix
  EXPECT_FALSE(IsLaterThanQcCutoff("2016063012000"));
  EXPECT_FALSE(IsLaterThanQcCutoff(""));
}

TEST(CertificateTextsTest, OutsideTextCannotReorderOrBreakWhatIsShown) {
  const std::string r = "\uFFFD";
  struct Case {
    std::string text, shown;
  };
  const Case cases[] = {
      {"Kovács Éva <Kovács> <b>x</b> \U0001F600", "Kovács Éva <Kovács> <b>x</b> \U0001F600"},
      {"abc\u202Efdp.exe", "abc" + r + "fdp.exe"},
      {"\u202A\u202B\u202C\u202D\u2066\u2067\u2068\u2069", r + r + r + r + r + r + r + r},
      {"\u200E\u200F\u061C", r + r + r},
      {"a\nb\r\tc\x7F", "a" + r + "b" + r + r + "c" + r},
      {"\u0085\u2028\u2029", r + r + r},
      {"bad \xC3 byte", "bad " + r + " byte"},
  };
  for (const Case& c : cases) EXPECT_EQ(DisplayText(c.text), c.shown) << c.text;
  // Labels and names go the same way.
  EXPECT_EQ(Utf8ToCString("c\u202Eimke"), "c" + r + "imke");
  EXPECT_EQ(Utf8ToCString("\xC1rv\x0A\xEDz"), "Árv" + r + "íz");  // CP1250
}

TEST(CertificateTextsTest, LabelsThatAreNotUtf8ReadAsCp1250) {
  EXPECT_EQ(Utf8ToCString("\xC1rv\xEDzt\xFBr\xF5 t\xFck\xF6rf\xFAr\xF3g\xE9p"), "Árvíztűrő tükörfúrógép");
  EXPECT_EQ(Utf8ToCString("Árvíztűrő"), "Árvíztűrő");
  EXPECT_EQ(Utf8ToCString(""), "");
  EXPECT_EQ(LowerCaseText("ÁRVÍZTŰRŐ TÜKÖRFÚRÓGÉP"), "árvíztűrő tükörfúrógép");
}

}  // namespace
