#include <gtest/gtest.h>

#include <clocale>

#include "CapiStore.h"
#include "StoreFixture.h"

namespace {

using Platform::CertAddDisposition;
using Platform::CertStore;
using StoreTest::CertSpec;
using StoreTest::MakeCertificateDer;

class RecordingTexts : public capiWrapper::CapiEvents {
 public:
  const char* StoreNotOpenText() override { return "store not open"; }
  const char* AddFailedText() override { return "add failed"; }
  const char* NotFoundText() override { return "not found"; }
};

class CapiStoreTest : public StoreFixture {
 protected:
  void TearDown() override {
    capiWrapper::SetCapiEvents(nullptr);
    StoreFixture::TearDown();
  }
  // One certificate named after its store in each system store.
  void FillStores() {
    long serial = 1;
    for (const char* name : {"CA", "MY", "ROOT", "SPC"}) {
      CertSpec spec;
      spec.subject = {{"CN", std::string(name) + " certificate"}};
      spec.serial = serial++;
      auto der = MakeCertificateDer(spec);
      ders_[name] = der;
      ASSERT_NE(CertStore::OpenSystem(name)->Add(*Context(der), CertAddDisposition::New), nullptr);
    }
  }
  std::map<std::string, std::vector<uint8_t>> ders_;
};

TEST_F(CapiStoreTest, IndexesNameTheStores) {
  FillStores();
  const std::pair<int, const char*> cases[] = {{0, "CA"}, {1, "MY"}, {2, "ROOT"}, {3, "SPC"}, {7, "MY"}, {-1, "MY"}};
  for (const auto& [index, name] : cases) {
    CCapiStore store;
    ASSERT_TRUE(store.OpenStore(index)) << index;
    std::vector<CapiCertEntry> entries;
    ASSERT_EQ(store.EnumerateCertificates(entries), 1) << index;
    EXPECT_EQ(entries[0].name, std::string(name) + " certificate");
    const auto& der = ders_[name];
    ASSERT_EQ(entries[0].encodedLength, der.size());
    EXPECT_TRUE(std::equal(der.begin(), der.end(), entries[0].encoded));
    std::vector<std::string> names{"kept"};
    EXPECT_EQ(store.EnumerateNames(names), 1);
    EXPECT_EQ(names, (std::vector<std::string>{"kept", std::string(name) + " certificate"}));
    EXPECT_EQ(store.GetLastErrorText(), nullptr);
  }
}

TEST_F(CapiStoreTest, EntriesStayReadableUntilTheStoreCloses) {
  FillStores();
  CCapiStore store;
  ASSERT_TRUE(store.OpenStore(1));
  std::vector<CapiCertEntry> entries;
  ASSERT_EQ(store.EnumerateCertificates(entries), 1);
  // Gone from the store meanwhile: the entry's bytes are still the certificate's.
  ASSERT_TRUE(CertStore::OpenSystem("MY")->Delete(*Context(ders_["MY"])));
  const auto& der = ders_["MY"];
  EXPECT_TRUE(std::equal(der.begin(), der.end(), entries[0].encoded));
  EXPECT_EQ(store.EnumerateCertificates(entries), 0);
  ASSERT_TRUE(store.CloseStore());
  EXPECT_EQ(store.EnumerateCertificates(entries), -1);
}

TEST_F(CapiStoreTest, ErrorsRecordTheProvidersTexts) {
  {
    CCapiStore store;  // default provider: empty texts, still counted
    std::vector<CapiCertEntry> entries;
    EXPECT_EQ(store.EnumerateCertificates(entries), -1);
    ASSERT_NE(store.GetLastErrorText(), nullptr);
    EXPECT_STREQ(store.GetLastErrorText(), "");
  }
  RecordingTexts texts;
  capiWrapper::SetCapiEvents(&texts);
  EXPECT_EQ(capiWrapper::GetCapiEvents(), &texts);
  CCapiStore store;
  std::vector<CapiCertEntry> entries;
  std::vector<std::string> names;
  EXPECT_EQ(store.EnumerateNames(names), -1);
  EXPECT_STREQ(store.GetLastErrorText(), "store not open");
  EXPECT_EQ(store.FindBySubject("x", entries), -1);
  EXPECT_EQ(store.FindCertificate("x"), nullptr);
  EXPECT_FALSE(store.AddEncoded(nullptr));
  EXPECT_STREQ(store.GetLastErrorText(), "store not open");
  EXPECT_FALSE(store.CloseStore());
  EXPECT_STREQ(store.GetLastErrorText(), "CertCloseStore error.");

  ASSERT_TRUE(store.OpenStore(3));
  EXPECT_EQ(store.FindBySubject("nobody", entries), 0);
  EXPECT_STREQ(store.GetLastErrorText(), "not found");
  EXPECT_FALSE(store.AddEncoded(nullptr));
  EXPECT_STREQ(store.GetLastErrorText(), "add failed");
  capiWrapper::SetCapiEvents(nullptr);
  EXPECT_NE(capiWrapper::GetCapiEvents(), &texts);
}

TEST_F(CapiStoreTest, SearchAndAdd) {
  std::setlocale(LC_CTYPE, "C.UTF-8");
  CertSpec spec;
  spec.subject = {{"O", "Minta Zrt."}, {"CN", "Szabó Júlia"}};
  auto der = MakeCertificateDer(spec);
  CCapiStore store;
  ASSERT_TRUE(store.OpenStore(1));
  EXPECT_TRUE(store.AddEncoded(Context(der)));
  EXPECT_TRUE(store.AddEncoded(Context(der)));  // already there: the stored one is used
  CertSpec nameless;
  nameless.subject = {};
  nameless.serial = 2;
  EXPECT_TRUE(store.AddEncoded(Context(MakeCertificateDer(nameless))));

  std::vector<CapiCertEntry> entries;
  ASSERT_EQ(store.FindBySubject("SZABÓ júlia", entries), 1);
  EXPECT_EQ(entries[0].name, "SZABÓ júlia");
  ASSERT_EQ(entries[0].encodedLength, der.size());
  EXPECT_TRUE(std::equal(der.begin(), der.end(), entries[0].encoded));
  auto found = store.FindCertificate("minta");
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->Encoded(), der);
  EXPECT_EQ(store.FindBySubject("\xff\xfe", entries), 0);  // not text in the locale's charset
  EXPECT_EQ(store.FindBySubject(std::string(600, 'a').c_str(), entries), 0);

  std::vector<std::string> names;
  ASSERT_EQ(store.EnumerateNames(names), 2);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"", "Szabó Júlia"}));
  std::setlocale(LC_CTYPE, "C");
}

TEST_F(CapiStoreTest, EmptyStoreEnumeratesNothing) {
  CCapiStore store;
  ASSERT_TRUE(store.OpenStore(0));
  std::vector<CapiCertEntry> entries;
  EXPECT_EQ(store.EnumerateCertificates(entries), 0);
  EXPECT_EQ(store.EnumerateCertificates(entries), 0);
  EXPECT_TRUE(entries.empty());
  EXPECT_EQ(store.GetLastErrorText(), nullptr);
}

}  // namespace
