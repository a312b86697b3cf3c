#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <fstream>

#include "StoreFixture.h"
#include "platform/FileHelpers.h"
#include "platform/LastError.h"
#include "platform/Profile.h"

namespace {

using Platform::CertAddDisposition;
using Platform::CertContextPtr;
using Platform::CertKeyProvInfo;
using Platform::CertStore;
using StoreTest::MakeNumberedCertificate;

std::vector<std::string> Thumbprints(const std::vector<CertContextPtr>& contexts) {
  std::vector<std::string> out;
  for (const auto& c : contexts) out.push_back(c->Thumbprint());
  return out;
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string Bytes(const std::vector<uint8_t>& der) { return std::string(der.begin(), der.end()); }

// The same behaviour from a system store (folder) and a memory store.
class StoreKindTest : public StoreFixture, public ::testing::WithParamInterface<bool> {
 protected:
  std::unique_ptr<CertStore> Open() {
    return GetParam() ? CertStore::OpenSystem("MY") : CertStore::OpenMemory();
  }
};

TEST_P(StoreKindTest, AddFindEnumerateAndDelete) {
  auto store = Open();
  ASSERT_NE(store, nullptr);
  std::vector<CertContextPtr> contexts;
  ASSERT_TRUE(store->Enumerate(contexts));
  EXPECT_TRUE(contexts.empty());

  std::vector<CertContextPtr> given;
  for (long serial : {1, 2, 3, 4}) given.push_back(Context(MakeNumberedCertificate("Kovács Éva", serial)));
  for (const auto& c : given) ASSERT_NE(store->Add(*c, CertAddDisposition::New), nullptr);

  ASSERT_TRUE(store->Enumerate(contexts));
  auto expected = Thumbprints(given);
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(Thumbprints(contexts), expected);  // ascending thumbprint order, every time
  for (const auto& c : contexts) EXPECT_TRUE(c->InStore());

  // The walk one by one gives the same order and ends with "not found".
  std::vector<std::string> walked;
  for (CertContextPtr c = store->EnumNext(nullptr); c; c = store->EnumNext(c)) walked.push_back(c->Thumbprint());
  EXPECT_EQ(walked, expected);
  EXPECT_EQ(Platform::GetLastError(), Platform::kCryptENotFound);

  auto found = store->FindByThumbprint(given[2]->Thumbprint());
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->Encoded(), given[2]->Encoded());
  EXPECT_EQ(store->FindByThumbprint("../../etc/passwd"), nullptr);
  EXPECT_EQ(store->FindByThumbprint(std::string(40, '0')), nullptr);
  EXPECT_EQ(Platform::GetLastError(), Platform::kCryptENotFound);

  // Subject search ignores case, also beyond ASCII, and can go on after a match.
  auto first = store->FindBySubject("KOVÁCS ÉVA");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->Thumbprint(), expected[0]);
  auto second = store->FindBySubject("kovács éva", first);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->Thumbprint(), expected[1]);
  EXPECT_EQ(store->FindBySubject("éva 3")->SimpleDisplayName(), "Kovács Éva 3");
  EXPECT_EQ(store->FindBySubject("Nagy"), nullptr);

  // Deleting is idempotent: a certificate already gone counts as deleted.
  EXPECT_TRUE(store->Delete(*given[0]));
  EXPECT_TRUE(store->Delete(*given[0]));
  EXPECT_TRUE(Platform::DeleteCertificateFromStore(found));
  EXPECT_TRUE(Platform::DeleteCertificateFromStore(found));
  contexts.clear();
  ASSERT_TRUE(store->Enumerate(contexts));
  EXPECT_EQ(contexts.size(), 2u);
  EXPECT_FALSE(Platform::DeleteCertificateFromStore(given[1]));  // standalone: no store to delete from
  EXPECT_EQ(Platform::GetLastError(), Platform::kEInvalidArg);
}

TEST_P(StoreKindTest, DispositionsDecideWhoseProperties) {
  auto store = Open();
  auto original = Context(MakeNumberedCertificate("Disposition", 1));
  original->SetKeyProvInfo(CertKeyProvInfo{"\\\\.\\Reader 0\\DS3", "Provider A", 1, 0, 2});
  original->SetFriendlyName("first");
  auto stored = store->Add(*original, CertAddDisposition::New);
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(stored->Properties(), original->Properties());

  auto other = original->Duplicate();
  other->SetKeyProvInfo(CertKeyProvInfo{"container 2", "Provider B", 24, 0, 1});
  other->SetFriendlyName(std::nullopt);

  EXPECT_EQ(store->Add(*other, CertAddDisposition::New), nullptr);
  EXPECT_EQ(Platform::GetLastError(), Platform::kCryptEExists);

  auto kept = store->Add(*other, CertAddDisposition::UseExisting);
  ASSERT_NE(kept, nullptr);
  EXPECT_EQ(kept->Properties(), original->Properties());

  auto replaced = store->Add(*other, CertAddDisposition::ReplaceExisting);
  ASSERT_NE(replaced, nullptr);
  EXPECT_EQ(replaced->Properties(), other->Properties());
  EXPECT_EQ(store->FindByThumbprint(original->Thumbprint())->Properties(), other->Properties());
  std::vector<CertContextPtr> contexts;
  store->Enumerate(contexts);
  EXPECT_EQ(contexts.size(), 1u);

  // Changing a returned context does not change the store.
  replaced->SetFriendlyName("local only");
  EXPECT_FALSE(store->FindByThumbprint(original->Thumbprint())->Properties().friendlyName);
}

TEST_P(StoreKindTest, ContextsOutliveTheClosedStore) {
  auto store = Open();
  auto added = store->Add(*Context(MakeNumberedCertificate("Outlive", 1)), CertAddDisposition::New);
  ASSERT_NE(added, nullptr);
  ASSERT_TRUE(store->Close());
  EXPECT_FALSE(store->IsOpen());
  EXPECT_FALSE(store->Close());
  std::vector<CertContextPtr> contexts;
  EXPECT_FALSE(store->Enumerate(contexts));
  EXPECT_EQ(Platform::GetLastError(), Platform::kErrorInvalidHandle);
  EXPECT_EQ(store->Add(*added, CertAddDisposition::New), nullptr);
  EXPECT_FALSE(store->Delete(*added));

  EXPECT_TRUE(Platform::DeleteCertificateFromStore(added));  // the context keeps its store
  if (GetParam()) {
    auto reopened = CertStore::OpenSystem("MY");
    reopened->Enumerate(contexts);
    EXPECT_TRUE(contexts.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, StoreKindTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "System" : "Memory"; });

TEST_F(StoreFixture, SystemStoresAreFoldersThatPersist) {
  EXPECT_EQ(CertStore::OpenSystem("OTHER"), nullptr);
  EXPECT_EQ(Platform::GetLastError(), Platform::kEInvalidArg);

  auto context = Context(MakeNumberedCertificate("Persist", 1));
  // Every character a reader or certificate name may bring must come back unchanged.
  const CertKeyProvInfo info{"\\\\.\\Gemalto USB 0\\c%0A\nx=y@GemP15-1", "Prov\tName ő", 1, 7, 0xFFFFFFFFu};
  context->SetKeyProvInfo(info);
  context->SetFriendlyName("line1\r\nline2 % \x7f");
  for (const char* name : {"MY", "CA", "ROOT", "SPC"}) {
    auto store = CertStore::OpenSystem(name);
    ASSERT_NE(store, nullptr) << name;
    EXPECT_EQ(store->Name(), name);
  }
  ASSERT_NE(CertStore::OpenSystem("CA")->Add(*context, CertAddDisposition::New), nullptr);

  const std::string base = StoreFolder("CA") + "/" + context->Thumbprint();
  std::string der;
  ASSERT_TRUE(Platform::ReadWholeFile(base + ".der", der));
  EXPECT_EQ(der, Bytes(context->Encoded()));
  struct stat st;
  ASSERT_EQ(::stat((base + ".props").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  auto reopened = CertStore::OpenSystem("CA");
  auto back = reopened->FindByThumbprint(context->Thumbprint());
  ASSERT_NE(back, nullptr);
  ASSERT_TRUE(back->Properties().keyProvInfo);
  EXPECT_EQ(*back->Properties().keyProvInfo, info);
  EXPECT_EQ(back->Properties().friendlyName, context->Properties().friendlyName);
  EXPECT_EQ(CertStore::OpenSystem("MY")->FindByThumbprint(context->Thumbprint()), nullptr);

  // Replacing with a certificate without properties leaves none behind.
  ASSERT_NE(reopened->Add(*Context(context->Encoded()), CertAddDisposition::ReplaceExisting), nullptr);
  EXPECT_NE(::stat((base + ".props").c_str(), &st), 0);
  EXPECT_FALSE(reopened->FindByThumbprint(context->Thumbprint())->Properties().keyProvInfo);
  EXPECT_TRUE(Events().empty());
}

TEST_F(StoreFixture, DamagedAndForeignFilesAreSkippedWithAnEvent) {
  auto store = CertStore::OpenSystem("MY");
  auto good = Context(MakeNumberedCertificate("Good", 1));
  auto other = Context(MakeNumberedCertificate("Other", 2));
  auto withBadProps = Context(MakeNumberedCertificate("BadProps", 3));
  withBadProps->SetFriendlyName("will be damaged");
  ASSERT_NE(store->Add(*good, CertAddDisposition::New), nullptr);
  ASSERT_NE(store->Add(*withBadProps, CertAddDisposition::New), nullptr);

  const std::string folder = StoreFolder("MY");
  const std::string garbage = folder + "/" + std::string(40, 'a') + ".der";
  WriteFile(garbage, "\x30\x03garbage");
  const std::string truncated = folder + "/" + std::string(40, 'b') + ".der";
  WriteFile(truncated, Bytes(other->Encoded()).substr(0, 100));
  const std::string misnamed = folder + "/" + std::string(40, 'c') + ".der";  // valid, wrong name
  WriteFile(misnamed, Bytes(other->Encoded()));
  const std::string foreign = folder + "/notes.txt";
  WriteFile(foreign, "hello");
  const std::string badProps = folder + "/" + withBadProps->Thumbprint() + ".props";
  WriteFile(badProps, "TavrenicCertificateProperties 1\nKeySpec=2\n");  // key info incomplete
  const std::string leftover = folder + "/" + good->Thumbprint() + ".der.Ab12Cd";  // a dead writer's
  WriteFile(leftover, "half");
  const std::string orphan = folder + "/" + std::string(40, 'd') + ".props";
  WriteFile(orphan, "TavrenicCertificateProperties 1\n");

  std::vector<CertContextPtr> contexts;
  ASSERT_TRUE(store->Enumerate(contexts));
  ASSERT_EQ(contexts.size(), 2u);
  std::vector<std::string> expected = {good->Thumbprint(), withBadProps->Thumbprint()};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(Thumbprints(contexts), expected);
  for (const auto& c : contexts) EXPECT_EQ(c->Properties(), Platform::CertProperties{});

  auto events = Events();
  std::sort(events.begin(), events.end());
  std::vector<std::string> expectedEvents = {
      "Damaged file in the certificate store skipped: " + garbage,
      "Damaged file in the certificate store skipped: " + truncated,
      "Damaged file in the certificate store skipped: " + misnamed,
      "Damaged file in the certificate store skipped: " + badProps,
      "Foreign file in the certificate store skipped: " + foreign,
  };
  std::sort(expectedEvents.begin(), expectedEvents.end());
  EXPECT_EQ(events, expectedEvents);
  for (const auto& e : sink_->Entries()) EXPECT_EQ(e.type, Platform::kEventError);
  struct stat st;
  EXPECT_NE(::stat(leftover.c_str(), &st), 0);  // removed under the lock

  // At level 0 nothing is written.
  sink_->Clear();
  ASSERT_TRUE(Platform::Profile().WriteInt("", "EventLogLevel", 0));
  contexts.clear();
  ASSERT_TRUE(store->Enumerate(contexts));
  EXPECT_EQ(contexts.size(), 2u);
  EXPECT_TRUE(Events().empty());
}

TEST_F(StoreFixture, RootAlsoShowsTheTrustBundleReadOnly) {
  auto fromBundle = Context(MakeNumberedCertificate("Bundle Root", 1));
  auto alsoInFolder = Context(MakeNumberedCertificate("Bundle Root", 2));
  WriteFile(BundlePath(), "# comment\n" + StoreTest::ToPem(fromBundle->Encoded()) +
                              "-----BEGIN CERTIFICATE-----\nbm90IGEgY2VydA==\n-----END CERTIFICATE-----\n" +
                              StoreTest::ToPem(alsoInFolder->Encoded()));
  auto root = CertStore::OpenSystem("ROOT");
  alsoInFolder->SetFriendlyName("mine");
  // Already there through the bundle: a folder copy carries the properties.
  EXPECT_EQ(root->Add(*alsoInFolder, CertAddDisposition::New), nullptr);
  ASSERT_NE(root->Add(*alsoInFolder, CertAddDisposition::ReplaceExisting), nullptr);
  sink_->Clear();

  std::vector<CertContextPtr> contexts;
  ASSERT_TRUE(root->Enumerate(contexts));
  ASSERT_EQ(contexts.size(), 2u);
  EXPECT_EQ(Events(), std::vector<std::string>{"Damaged certificate in the trust bundle skipped: " + BundlePath()});
  auto bundled = root->FindByThumbprint(fromBundle->Thumbprint());
  ASSERT_NE(bundled, nullptr);
  EXPECT_EQ(root->FindByThumbprint(alsoInFolder->Thumbprint())->Properties().friendlyName, "mine");
  EXPECT_EQ(root->Add(*fromBundle, CertAddDisposition::New), nullptr);
  EXPECT_EQ(Platform::GetLastError(), Platform::kCryptEExists);

  EXPECT_FALSE(root->Delete(*fromBundle));
  EXPECT_EQ(Platform::GetLastError(), Platform::kErrorAccessDenied);
  std::string bundle;
  ASSERT_TRUE(Platform::ReadWholeFile(BundlePath(), bundle));
  EXPECT_NE(bundle.find(StoreTest::ToPem(fromBundle->Encoded())), std::string::npos);

  contexts.clear();
  ASSERT_TRUE(CertStore::OpenSystem("CA")->Enumerate(contexts));
  EXPECT_TRUE(contexts.empty());
}

TEST_F(StoreFixture, CreateTakesOneCertificate) {
  auto der = MakeNumberedCertificate("Trailing", 1);
  auto padded = der;
  padded.insert(padded.end(), {0, 0, 0});
  auto context = Platform::CertContext::Create(padded.data(), padded.size());
  ASSERT_NE(context, nullptr);
  EXPECT_EQ(context->Encoded(), der);
  EXPECT_EQ(context->Thumbprint(), Context(der)->Thumbprint());
  EXPECT_EQ(context->Thumbprint().size(), 40u);

  const uint8_t junk[] = {0x30, 0x82, 0x01};
  EXPECT_EQ(Platform::CertContext::Create(junk, sizeof junk), nullptr);
  EXPECT_EQ(Platform::GetLastError(), Platform::kCryptEAsn1BadTag);
  EXPECT_EQ(Platform::CertContext::Create(nullptr, 0), nullptr);
}

}  // namespace
