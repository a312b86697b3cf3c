#include <gtest/gtest.h>

#include <ctime>

#include "StoreFixture.h"

namespace {

using StoreTest::CertSpec;
using StoreTest::MakeCertificateDer;

struct NameCase {
  const char* what;
  std::vector<std::pair<std::string, std::string>> subject;
  std::vector<std::string> emails;
  std::string expected;
};

TEST(CertNames, SimpleDisplayNameTakesTheFirstNameByRank) {
  const NameCase cases[] = {
      {"common name wins, first in order", {{"O", "Org"}, {"CN", "Zed"}, {"CN", "Abel"}}, {"a@b.hu"}, "Zed"},
      {"then the unit", {{"C", "HU"}, {"O", "Org"}, {"OU", "Unit"}}, {}, "Unit"},
      {"then the organisation", {{"C", "HU"}, {"L", "Pécs"}, {"O", "Org"}}, {}, "Org"},
      {"then the e-mail attribute", {{"C", "HU"}, {"emailAddress", "rdn@x.hu"}}, {"alt@x.hu"}, "rdn@x.hu"},
      {"then the alternative name", {{"C", "HU"}, {"L", "Győr"}}, {"alt@x.hu", "second@x.hu"}, "alt@x.hu"},
      {"then the first attribute", {{"L", "Győr"}, {"C", "HU"}}, {}, "Győr"},
      {"nothing at all", {}, {}, ""},
  };
  for (const auto& c : cases) {
    CertSpec spec;
    spec.subject = c.subject;
    spec.issuer = {{"CN", "Issuer CA"}};
    spec.altNameEmails = c.emails;
    auto der = MakeCertificateDer(spec);
    auto context = Platform::CertContext::Create(der.data(), der.size());
    ASSERT_NE(context, nullptr) << c.what;
    EXPECT_EQ(context->SimpleDisplayName(), c.expected) << c.what;
    EXPECT_EQ(context->SimpleDisplayName(true), "Issuer CA") << c.what;
  }
}

TEST(CertNames, LongNamesAreCutBetweenCharacters) {
  // 126 ASCII letters, then a two-byte letter, then a character outside the BMP (two UTF-16 units).
  const std::string base(126, 'a');
  struct { std::string name; size_t maxUnits; std::string expected; } cases[] = {
      {base + "ő" + "xyz", 127, base + "ő"},
      {base + "\xF0\x9F\x98\x80" + "z", 127, base},        // the pair would need units 127 and 128
      {base + "\xF0\x9F\x98\x80" + "z", 128, base + "\xF0\x9F\x98\x80"},
      {"short", 127, "short"},
      {"Árvíztűrő tükörfúrógép", 4, "Árví"},
  };
  for (const auto& c : cases) {
    CertSpec spec;
    spec.subject = {{"CN", c.name}};
    auto der = MakeCertificateDer(spec);
    auto context = Platform::CertContext::Create(der.data(), der.size());
    EXPECT_EQ(context->SimpleDisplayName(false, c.maxUnits), c.expected) << c.name;
  }
}

TEST(CertNames, SubjectSearchIgnoresCaseOverTheWholeName) {
  CertSpec spec;
  spec.subject = {{"C", "HU"}, {"O", "ŐRSÉG Kft."}, {"CN", "Tóth Ödön"}};
  auto der = MakeCertificateDer(spec);
  auto context = Platform::CertContext::Create(der.data(), der.size());
  for (const char* text : {"tóth ödön", "TÓTH", "őrség kft., tóth", "HU, "})
    EXPECT_TRUE(context->SubjectContains(text)) << text;
  for (const char* text : {"Toth", "Tóth  Ödön", "Issuer"}) EXPECT_FALSE(context->SubjectContains(text)) << text;
}

TEST(CertNames, ValidityAtAnInstant) {
  CertSpec spec;
  spec.notBeforeSeconds = 3600;
  spec.notAfterSeconds = 7200;
  auto der = MakeCertificateDer(spec);
  auto context = Platform::CertContext::Create(der.data(), der.size());
  const std::time_t now = std::time(nullptr);
  EXPECT_EQ(context->VerifyTimeValidity(now), -1);
  EXPECT_EQ(context->VerifyTimeValidity(now + 5400), 0);
  EXPECT_EQ(context->VerifyTimeValidity(now + 9000), 1);
}

}  // namespace
