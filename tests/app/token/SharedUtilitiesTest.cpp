#include "SharedUtilities.h"
#include "TokenObjects.h"

#include <gtest/gtest.h>

#include <openssl/x509.h>

#include <filesystem>
#include <stdexcept>

namespace {

TEST(SharedUtilities, HexBothWays) {
  const uint8_t bytes[] = {0x0A, 0xFF};
  EXPECT_EQ(BytesToHex(bytes, 2), "0aff");
  EXPECT_EQ(BytesToHexUpper(bytes, 2), "0AFF");
  EXPECT_EQ(BytesToHex(bytes, 0), "");

  struct Case {
    std::string text;
    bool ok;
    std::vector<uint8_t> bytes;
  };
  const Case cases[] = {
      {"0AfF", true, {0x0A, 0xFF}}, {"abc", true, {0xAB}}, {"0g", false, {}},
      {"", false, {}},              {"a", false, {}},      {"45435f", true, {0x45, 0x43, 0x5F}},
  };
  for (const Case& c : cases) {
    uint8_t* buffer = nullptr;
    size_t length = 0;
    EXPECT_EQ(HexToBytes(c.text, &buffer, &length), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + length), c.bytes) << c.text;
    }
    std::free(buffer);
  }
  EXPECT_FALSE(HexToBytes("00", nullptr, nullptr));
  uint8_t out[4] = {};
  EXPECT_FALSE(HexToBytesInto(out, 4, "0102"));  // shorter than asked: never read past it
  EXPECT_FALSE(HexToBytesInto(nullptr, 1, "01"));
  EXPECT_FALSE(HexToBytesInto(out, 0, "01"));
  EXPECT_FALSE(HexToBytesInto(out, 1, "7fzz"));  // any bad digit fails
}

TEST(SharedUtilities, VersionNumbersCompareAsNumbers) {
  const VersionNumber v16("1.6"), v1601("1.6.0.1"), v1630("1.6.3.0"), v110("1.10.0.0");
  EXPECT_EQ(v16.build, 0);
  EXPECT_TRUE(v16 < v1601);
  EXPECT_FALSE(v16 < v16);
  EXPECT_TRUE(v1630 < v110);
  EXPECT_FALSE(v110 < v1630);
  const VersionNumber partial("2.x.5");
  EXPECT_EQ(partial.major, 2);
  EXPECT_EQ(partial.minor, 0);
  EXPECT_EQ(partial.build, 0);
  const VersionNumber huge("99999999999999999999.1");
  EXPECT_EQ(huge.major, INT32_MAX);
  EXPECT_EQ(huge.minor, 1);
  EXPECT_EQ(VersionNumber("").major, 0);
}

TEST(SharedUtilities, EncryptionOnlyKeyUsage) {
  const std::pair<uint32_t, bool> cases[] = {{0x20, true},  {0x10, true},  {0x30, true},
                                             {0xB0, false}, {0x00, false}, {0xFFFFFFFF, false}};
  for (auto [bits, expected] : cases) EXPECT_EQ(IsEncryptionOnlyKeyUsage(bits), expected) << bits;
}

TEST(SharedUtilities, NamesAndTimes) {
  X509Ptr certificate(X509_new());
  X509_NAME* subject = X509_get_subject_name(certificate.get());
  X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>("B"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(subject, "O", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>("Org"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>("A"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>("B"), -1, -1, 0);
  EXPECT_EQ(GetNameCommonNames(subject), (std::set<std::string>{"A", "B"}));
  EXPECT_EQ(GetSubjectCommonName(certificate.get()), "A");
  EXPECT_EQ(GetSubjectCommonName(nullptr), "");
  EXPECT_EQ(CertificateThumbprintHex(nullptr), "");

  ASN1_TIME* t = ASN1_TIME_new();
  ASSERT_EQ(ASN1_TIME_set_string(t, "491231235959Z"), 1);
  EXPECT_EQ(Asn1TimeToString(t), "20491231235959Z");
  ASSERT_EQ(ASN1_TIME_set_string(t, "500101000000Z"), 1);
  EXPECT_EQ(Asn1TimeToString(t), "19500101000000Z");
  ASN1_TIME_free(t);
  EXPECT_EQ(Asn1TimeToString(nullptr), "");
}

TEST(SharedUtilities, Utf8ToWideIsStrict) {
  EXPECT_EQ(Utf8ToWide("Ő é"), u"Ő é");
  EXPECT_THROW(Utf8ToWide("\xC3"), std::range_error);
  EXPECT_THROW(Utf8ToWide("\xC0\xAF"), std::range_error);
}

TEST(SharedUtilities, ProfileReadsInsistOnTheType) {
  char tmpl[] = "/tmp/tvr-regquery-XXXXXX";
  ASSERT_NE(::mkdtemp(tmpl), nullptr);
  ::setenv("XDG_CONFIG_HOME", tmpl, 1);
  ::setenv("TVR_SYSTEM_CONFIG_DIR", (std::string(tmpl) + "/none").c_str(), 1);
  Platform::Profile profile("app");
  ASSERT_TRUE(profile.WriteString("", "Text", std::string("abc\0def", 7)));
  ASSERT_TRUE(profile.Write("", "Expand", Platform::ProfileValue::ExpandString("%HOME%")));
  ASSERT_TRUE(profile.WriteDword("", "Number", 42));
  EXPECT_EQ(RegQueryString(profile, "", "Text"), "abc");
  EXPECT_EQ(RegQueryString(profile, "", "Expand"), "");
  EXPECT_EQ(RegQueryString(profile, "", "Number"), "");
  EXPECT_EQ(RegQueryDword(profile, "", "Number"), 42u);
  EXPECT_EQ(RegQueryDword(profile, "", "Text"), 0u);
  EXPECT_EQ(RegQueryDword(profile, "", "Missing"), 0u);
  std::filesystem::remove_all(tmpl);
}

TEST(SharedUtilities, AutoFreeResetFreesOnlyADifferentPointer) {
  AutoFree holder(std::malloc(8));
  void* first = holder.Get();
  holder.Reset(first);  // same pointer: kept (a double free would crash under ASan)
  EXPECT_EQ(holder.Get(), first);
  holder.Reset(std::malloc(4));
  EXPECT_NE(holder.Get(), nullptr);
}

TEST(SharedUtilities, FreeCertificateMapEmptiesTheContainer) {
  std::map<std::string, X509*> certificates = {{"a", X509_new()}, {"b", X509_new()}};
  FreeCertificateMap(certificates);
  EXPECT_TRUE(certificates.empty());
  std::vector<X509*> list = {X509_new()};
  FreeCertificateMap(list);
  EXPECT_TRUE(list.empty());
}

}  // namespace
