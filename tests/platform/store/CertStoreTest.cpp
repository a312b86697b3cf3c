#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <thread>

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

// The change stamp moves with every change of the contents, properties included, and stays
// while nothing changes; another object of the same system store sees the same stamp.
TEST_P(StoreKindTest, ChangeStampMovesWithEveryChange) {
  auto store = Open();
  std::vector<std::string> stamps = {store->ChangeStamp()};
  EXPECT_FALSE(stamps[0].empty());
  EXPECT_EQ(store->ChangeStamp(), stamps[0]);
  auto certificate = Context(MakeNumberedCertificate("Stamp", 1));
  ASSERT_NE(store->Add(*certificate, CertAddDisposition::New), nullptr);
  stamps.push_back(store->ChangeStamp());
  EXPECT_EQ(store->ChangeStamp(), stamps.back());
  if (GetParam()) {
    EXPECT_EQ(CertStore::OpenSystem("MY")->ChangeStamp(), stamps.back());
  }
  certificate->SetFriendlyName("renamed");
  ASSERT_NE(store->Add(*certificate, CertAddDisposition::ReplaceExisting), nullptr);
  stamps.push_back(store->ChangeStamp());
  ASSERT_TRUE(store->Delete(*certificate));
  stamps.push_back(store->ChangeStamp());
  // Added, properties replaced, deleted: each differs from the one before.
  for (size_t i = 1; i < stamps.size(); ++i) EXPECT_NE(stamps[i], stamps[i - 1]) << i;
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

  // What the store would not read back is refused, not written.
  auto huge = Context(MakeNumberedCertificate("Persist", 2));
  huge->SetFriendlyName(std::string(1 << 20, 'n'));
  EXPECT_EQ(reopened->Add(*huge, CertAddDisposition::New), nullptr);
  EXPECT_EQ(Platform::GetLastError(), Platform::kEInvalidArg);
  EXPECT_EQ(reopened->FindByThumbprint(huge->Thumbprint()), nullptr);
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
  EXPECT_NE(::stat(orphan.c_str(), &st), 0);    // no certificate will ever read it

  // At level 0 nothing is written.
  sink_->Clear();
  ASSERT_TRUE(Platform::Profile().WriteInt("", "EventLogLevel", 0));
  contexts.clear();
  ASSERT_TRUE(store->Enumerate(contexts));
  EXPECT_EQ(contexts.size(), 2u);
  EXPECT_TRUE(Events().empty());
}

// A writer killed half-way leaves its temp files. A store that is only ever added to and
// deleted from (never listed) is cleared of them too, and of nothing else.
TEST_F(StoreFixture, AddAndDeleteClearTempFilesOfDeadWriters) {
  auto store = CertStore::OpenSystem("MY");
  auto kept = Context(MakeNumberedCertificate("Temp Kept", 1));
  auto added = Context(MakeNumberedCertificate("Temp Added", 2));
  ASSERT_NE(store->Add(*kept, CertAddDisposition::New), nullptr);
  const std::string folder = StoreFolder("MY");
  const std::map<std::string, std::function<bool()>> operations = {
      {"Add", [&] { return store->Add(*added, CertAddDisposition::ReplaceExisting) != nullptr; }},
      {"Delete", [&] { return store->Delete(*added); }},
  };
  for (const auto& [name, operation] : operations) {
    const std::vector<std::string> stale = {
        folder + "/" + kept->Thumbprint() + ".der.Ab12Cd",
        folder + "/" + kept->Thumbprint() + ".props.x9Y8z7",
        folder + "/" + std::string(40, 'e') + ".der.QwErTy",
    };
    const std::vector<std::string> foreign = {
        folder + "/notes.txt",
        folder + "/" + kept->Thumbprint() + ".der.bak",
        folder + "/" + std::string(40, 'e') + ".der.Ab12Cd.old",
    };
    for (const auto& file : stale) WriteFile(file, "half");
    for (const auto& file : foreign) WriteFile(file, "mine");
    EXPECT_TRUE(operation()) << name;
    struct stat st;
    for (const auto& file : stale) EXPECT_NE(::stat(file.c_str(), &st), 0) << name << " left " << file;
    for (const auto& file : foreign) EXPECT_EQ(::stat(file.c_str(), &st), 0) << name << " removed " << file;
    for (const auto& file : foreign) ::unlink(file.c_str());
  }
  EXPECT_NE(store->FindByThumbprint(kept->Thumbprint()), nullptr);
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
  EXPECT_EQ(Events(), std::vector<std::string>{"Damaged certificate in the trust bundle skipped: " + BundlePath()});
  ASSERT_NE(root->Add(*alsoInFolder, CertAddDisposition::ReplaceExisting), nullptr);

  std::vector<CertContextPtr> contexts;
  ASSERT_TRUE(root->Enumerate(contexts));
  ASSERT_EQ(contexts.size(), 2u);
  auto bundled = root->FindByThumbprint(fromBundle->Thumbprint());
  ASSERT_NE(bundled, nullptr);
  EXPECT_EQ(root->FindByThumbprint(alsoInFolder->Thumbprint())->Properties().friendlyName, "mine");
  EXPECT_EQ(root->Add(*fromBundle, CertAddDisposition::New), nullptr);
  EXPECT_EQ(Platform::GetLastError(), Platform::kCryptEExists);
  // The bundle was read once: its damaged block is reported once, not on every call.
  EXPECT_EQ(Events().size(), 1u);

  // A bundle certificate cannot be deleted, with or without a folder copy; nothing changes.
  for (const auto& c : {fromBundle, alsoInFolder}) {
    EXPECT_FALSE(root->Delete(*c));
    EXPECT_EQ(Platform::GetLastError(), Platform::kErrorAccessDenied);
  }
  EXPECT_FALSE(Platform::DeleteCertificateFromStore(bundled));
  EXPECT_EQ(Platform::GetLastError(), Platform::kErrorAccessDenied);
  ASSERT_NE(root->FindByThumbprint(fromBundle->Thumbprint()), nullptr);
  auto kept = root->FindByThumbprint(alsoInFolder->Thumbprint());
  ASSERT_NE(kept, nullptr);
  EXPECT_EQ(kept->Properties().friendlyName, "mine");
  std::string bundle;
  ASSERT_TRUE(Platform::ReadWholeFile(BundlePath(), bundle));
  EXPECT_NE(bundle.find(StoreTest::ToPem(fromBundle->Encoded())), std::string::npos);

  contexts.clear();
  ASSERT_TRUE(CertStore::OpenSystem("CA")->Enumerate(contexts));
  EXPECT_TRUE(contexts.empty());
}

// A damaged bundle of a megabyte (blocks without their END line, a block that is no
// certificate) reads as fast as a good one, keeps the good certificates around the damage
// and reports the damage in one line.
TEST_F(StoreFixture, DamagedBundleReadsInOnePass) {
  std::vector<CertContextPtr> good;
  for (long serial : {1, 2, 3}) good.push_back(Context(MakeNumberedCertificate("Damaged Bundle", serial)));
  std::string bundle = StoreTest::ToPem(good[0]->Encoded());
  const std::string unmatched = "-----BEGIN CERTIFICATE-----\nbm90IGEgY2VydA==\n";
  size_t damaged = 0;
  for (; bundle.size() < (1u << 20); ++damaged) bundle += unmatched;
  bundle += StoreTest::ToPem(good[1]->Encoded());
  bundle += "-----BEGIN CERTIFICATE-----\nbm90IGEgY2VydA==\n-----END CERTIFICATE-----\n";
  bundle += StoreTest::ToPem(good[2]->Encoded());
  bundle += unmatched;
  damaged += 2;
  WriteFile(BundlePath(), bundle);

  const std::string seen = RunInChild(
      [&] {
        const auto start = std::chrono::steady_clock::now();
        std::vector<CertContextPtr> contexts;
        if (!CertStore::OpenSystem("ROOT")->Enumerate(contexts)) return std::string("enumerate failed");
        const auto took = std::chrono::steady_clock::now() - start;
        std::vector<std::string> found = Thumbprints(contexts);
        std::sort(found.begin(), found.end());
        std::string out = took < std::chrono::seconds(2) ? "fast\n" : "slow\n";
        for (const auto& thumbprint : found) out += thumbprint + "\n";
        for (const auto& e : Events()) out += e + "\n";
        return out;
      },
      std::chrono::seconds(30));

  std::vector<std::string> expectedThumbprints = Thumbprints(good);
  std::sort(expectedThumbprints.begin(), expectedThumbprints.end());
  std::string expected = "fast\n";
  for (const auto& thumbprint : expectedThumbprints) expected += thumbprint + "\n";
  expected += std::to_string(damaged) + " damaged certificates in the trust bundle skipped: " + BundlePath() + "\n";
  EXPECT_EQ(seen, expected);
}

// The bundle is parsed once, yet every way a file changes is noticed.
TEST_F(StoreFixture, RootSeesEveryChangeOfTheBundle) {
  // Two certificates of the same size: signatures vary in length, so take the first two
  // numbers of as many digits whose certificates happen to be equally long.
  std::vector<uint8_t> a, b;
  std::map<size_t, std::vector<uint8_t>> bySize;
  for (long serial = 10; b.empty() && serial < 100; ++serial) {
    auto der = MakeNumberedCertificate("Bundle Change", serial);
    auto [it, fresh] = bySize.emplace(der.size(), der);
    if (!fresh) {
      a = it->second;
      b = der;
    }
  }
  const auto c = MakeNumberedCertificate("Bundle Change", 100);
  ASSERT_EQ(a.size(), b.size());
  auto root = CertStore::OpenSystem("ROOT");
  auto shown = [&] {
    std::vector<CertContextPtr> contexts;
    EXPECT_TRUE(root->Enumerate(contexts));
    return Thumbprints(contexts);
  };
  auto thumbprints = [](std::vector<std::vector<uint8_t>> ders) {
    std::vector<std::string> out;
    for (const auto& der : ders) out.push_back(Context(der)->Thumbprint());
    std::sort(out.begin(), out.end());
    return out;
  };
  auto setModified = [](const std::string& path, timespec when) {
    const timespec times[2] = {when, when};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  };
  auto modified = [](const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0);
    return st.st_mtim;
  };

  WriteFile(BundlePath(), StoreTest::ToPem(a));
  EXPECT_EQ(shown(), thumbprints({a}));

  // Rewritten in place at the same size: the modification time tells.
  timespec later = modified(BundlePath());
  later.tv_sec += 10;
  WriteFile(BundlePath(), StoreTest::ToPem(b));
  setModified(BundlePath(), later);
  EXPECT_EQ(shown(), thumbprints({b}));
  EXPECT_EQ(root->FindByThumbprint(Context(a)->Thumbprint()), nullptr);

  // Grown, with the time put back: the size tells.
  WriteFile(BundlePath(), StoreTest::ToPem(b) + StoreTest::ToPem(c));
  setModified(BundlePath(), later);
  EXPECT_EQ(shown(), thumbprints({b, c}));

  // Replaced by another file of the same size and time: the inode tells.
  const std::string next = BundlePath() + ".new";
  WriteFile(next, StoreTest::ToPem(a) + StoreTest::ToPem(c));
  setModified(next, later);
  ASSERT_EQ(::rename(next.c_str(), BundlePath().c_str()), 0);
  EXPECT_EQ(shown(), thumbprints({a, c}));
  EXPECT_NE(root->FindByThumbprint(Context(a)->Thumbprint()), nullptr);

  ASSERT_EQ(::unlink(BundlePath().c_str()), 0);
  EXPECT_TRUE(shown().empty());
}

// Store objects on several threads share the parsed bundle while it is being replaced.
TEST_F(StoreFixture, RootBundleIsSharedBetweenThreads) {
  std::vector<std::vector<uint8_t>> ders;
  for (long serial = 1; serial <= 3; ++serial) ders.push_back(MakeNumberedCertificate("Shared Bundle", serial));
  const std::string versions[2] = {StoreTest::ToPem(ders[0]) + StoreTest::ToPem(ders[1]), StoreTest::ToPem(ders[2])};
  WriteFile(BundlePath(), versions[0]);
  std::atomic<bool> done{false};
  std::atomic<int> faults{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&] {
      auto root = CertStore::OpenSystem("ROOT");
      while (!done) {
        std::vector<CertContextPtr> contexts;
        if (!root->Enumerate(contexts) || (contexts.size() != 1 && contexts.size() != 2)) ++faults;
        for (const auto& c : contexts)
          if (!root->FindByThumbprint(c->Thumbprint()) && Platform::GetLastError() != Platform::kCryptENotFound)
            ++faults;
      }
    });
  }
  for (int round = 1; round <= 40; ++round) {
    const std::string next = BundlePath() + ".new";
    WriteFile(next, versions[round % 2]);
    ASSERT_EQ(::rename(next.c_str(), BundlePath().c_str()), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  done = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(faults, 0);
}

// Links, FIFOs and devices named like store files are skipped without being opened for
// blocking or followed, so neither the call nor the lock it holds can stall on them.
TEST_F(StoreFixture, SpecialFilesAreSkippedWithoutStalling) {
  auto good = Context(MakeNumberedCertificate("Special", 1));
  auto elsewhere = Context(MakeNumberedCertificate("Special", 2));
  good->SetFriendlyName("good");
  ASSERT_NE(CertStore::OpenSystem("MY")->Add(*good, CertAddDisposition::New), nullptr);

  const std::string folder = StoreFolder("MY");
  const std::string fifo = folder + "/" + std::string(40, 'a') + ".der";
  const std::string zero = folder + "/" + std::string(40, 'b') + ".der";
  const std::string link = folder + "/" + elsewhere->Thumbprint() + ".der";  // to a valid certificate
  const std::string props = folder + "/" + good->Thumbprint() + ".props";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(::symlink("/dev/zero", zero.c_str()), 0);
  WriteFile(dir_->Path() + "/elsewhere.der", Bytes(elsewhere->Encoded()));
  ASSERT_EQ(::symlink((dir_->Path() + "/elsewhere.der").c_str(), link.c_str()), 0);
  ASSERT_EQ(::unlink(props.c_str()), 0);
  ASSERT_EQ(::mkfifo(props.c_str(), 0600), 0);
  ASSERT_EQ(::mkfifo(BundlePath().c_str(), 0600), 0);  // "ROOT" with a FIFO for its bundle

  const std::string seen = RunInChild(
      [&] {
        std::string out;
        std::vector<CertContextPtr> contexts;
        auto store = CertStore::OpenSystem("MY");
        out += store->Enumerate(contexts) ? "enumerated" : "enumerate failed";
        for (const auto& c : contexts)
          out += " " + c->Thumbprint() + (c->Properties().friendlyName ? " with properties" : "");
        for (const std::string& thumbprint : {std::string(40, 'a'), std::string(40, 'b'), elsewhere->Thumbprint()})
          out += store->FindByThumbprint(thumbprint) ? "; found" : "; not found";
        contexts.clear();
        out += CertStore::OpenSystem("ROOT")->Enumerate(contexts) ? "; root " : "; root failed ";
        out += std::to_string(contexts.size()) + "\n";
        const auto events = Events();
        for (const auto& e : std::set<std::string>(events.begin(), events.end())) out += e + "\n";
        return out;
      },
      std::chrono::seconds(20));

  std::string expected = "enumerated " + good->Thumbprint() + "; not found; not found; not found; root 0\n";
  std::set<std::string> events;
  for (const auto& path : {fifo, zero, link, props}) events.insert("Foreign file in the certificate store skipped: " + path);
  for (const auto& e : events) expected += e + "\n";
  EXPECT_EQ(seen, expected);
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
