// Two processes, two threads each, adding and deleting in one system store at once.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <string>
#include <thread>

#include "StoreFixture.h"
#include "platform/FileHelpers.h"

namespace {

using Platform::CertAddDisposition;
using Platform::CertContextPtr;
using Platform::CertStore;

constexpr int kOwnCertificates = 5;
constexpr auto kRunTime = std::chrono::seconds(2);

// One worker: its own certificates (added with properties and deleted in turn) and two
// certificates every worker fights over. Returns a description of the first fault found.
std::string Work(int worker, const std::vector<std::vector<uint8_t>>& own,
                 const std::vector<std::vector<uint8_t>>& shared) {
  auto store = CertStore::OpenSystem("MY");
  if (!store) return "open failed";
  std::map<std::string, std::string> expected;  // thumbprint -> container name, for the ones present
  const auto deadline = std::chrono::steady_clock::now() + kRunTime;
  for (int round = 0; std::chrono::steady_clock::now() < deadline; ++round) {
    for (size_t i = 0; i < own.size(); ++i) {
      auto context = Platform::CertContext::Create(own[i].data(), own[i].size());
      if ((round + static_cast<int>(i)) % 3 == 0) {
        if (!store->Delete(*context)) return "delete failed";
        expected.erase(context->Thumbprint());
      } else {
        const std::string container = "w" + std::to_string(worker) + "-r" + std::to_string(round);
        context->SetKeyProvInfo(Platform::CertKeyProvInfo{container, "Prov", 1, 0, 2});
        context->SetFriendlyName(std::string(200, 'f'));
        if (!store->Add(*context, CertAddDisposition::ReplaceExisting)) return "add failed";
        expected[context->Thumbprint()] = container;
      }
    }
    const auto& fought = shared[static_cast<size_t>(round) % shared.size()];
    auto sharedContext = Platform::CertContext::Create(fought.data(), fought.size());
    if (round % 2) {
      store->Delete(*sharedContext);
    } else {
      store->Add(*sharedContext, CertAddDisposition::ReplaceExisting);
    }
    std::vector<CertContextPtr> all;
    if (!store->Enumerate(all)) return "enumerate failed";
    for (const auto& [thumbprint, container] : expected) {
      bool seen = false;
      for (const auto& c : all) {
        if (c->Thumbprint() != thumbprint) continue;
        seen = c->Properties().keyProvInfo && c->Properties().keyProvInfo->containerName == container;
      }
      if (!seen) return "lost " + thumbprint + " in round " + std::to_string(round);
    }
  }
  return {};
}

std::string RunTwoThreads(int process, const std::vector<std::vector<uint8_t>>& certificates) {
  const std::vector<std::vector<uint8_t>> shared(certificates.end() - 2, certificates.end());
  std::string faults[2];
  std::thread threads[2];
  for (int t = 0; t < 2; ++t) {
    const int worker = process * 2 + t;
    std::vector<std::vector<uint8_t>> own(certificates.begin() + worker * kOwnCertificates,
                                          certificates.begin() + (worker + 1) * kOwnCertificates);
    threads[t] = std::thread([&, t, worker, own] { faults[t] = Work(worker, own, shared); });
  }
  for (auto& thread : threads) thread.join();
  return faults[0].empty() ? faults[1] : faults[0];
}

TEST_F(StoreFixture, TwoProcessesShareOneStoreSafely) {
  std::vector<std::vector<uint8_t>> certificates;
  for (long serial = 1; serial <= 4 * kOwnCertificates + 2; ++serial)
    certificates.push_back(StoreTest::MakeNumberedCertificate("Stress", serial));

  const pid_t child = ::fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    std::string fault = RunTwoThreads(1, certificates);
    if (fault.empty() && !Events().empty()) fault = Events().front();
    if (!fault.empty()) [[maybe_unused]] auto n = ::write(2, fault.c_str(), fault.size());
    ::_exit(fault.empty() ? 0 : 1);
  }
  const std::string fault = RunTwoThreads(0, certificates);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_EQ(fault, "");
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the other process found a fault";

  // What is left: only whole certificate and property files, each readable.
  std::vector<std::string> names;
  DIR* dir = ::opendir(StoreFolder("MY").c_str());
  ASSERT_NE(dir, nullptr);
  while (const dirent* entry = ::readdir(dir)) names.emplace_back(entry->d_name);
  ::closedir(dir);
  size_t derFiles = 0;
  for (const auto& name : names) {
    if (name == "." || name == ".." || name == ".lock") continue;
    const bool der = name.size() == 44 && name.ends_with(".der");
    EXPECT_TRUE(der || (name.size() == 46 && name.ends_with(".props"))) << name;
    derFiles += der;
  }
  std::vector<CertContextPtr> all;
  ASSERT_TRUE(CertStore::OpenSystem("MY")->Enumerate(all));
  EXPECT_EQ(all.size(), derFiles);
  EXPECT_TRUE(Events().empty()) << Events().front();
}

}  // namespace
