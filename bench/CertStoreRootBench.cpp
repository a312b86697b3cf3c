// "ROOT" over the system trust bundle (Debian's /etc/ssl/certs/ca-certificates.crt): a missed
// find and a full enumeration through the store, against the bare baseline of parsing the
// bundle once with PEM_read_bio_X509. Targets: a find at most 1 ms, an enumeration at most
// 1.2x the single parse (the two timed by turns in one process, A B then B A, and compared
// by their medians). The walk with EnumNext and the first read after the bundle changed are
// timed for reference.
#include <benchmark/benchmark.h>
#include <openssl/err.h>
#include <openssl/pem.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "Alternation.h"
#include "platform/CertStore.h"

namespace {

constexpr const char* kBundle = "/etc/ssl/certs/ca-certificates.crt";

// Private data and configuration folders, so that "ROOT" shows the bundle alone.
class Environment {
 public:
  Environment() {
    char name[] = "/tmp/tvr-bench-root-XXXXXX";
    if (::mkdtemp(name)) folder_ = name;
    ::setenv("XDG_DATA_HOME", (folder_ + "/data").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (folder_ + "/config").c_str(), 1);
    ::setenv("TVR_SYSTEM_CONFIG_DIR", (folder_ + "/none").c_str(), 1);
    ::setenv("TVR_TRUST_BUNDLE", kBundle, 1);
  }
  ~Environment() {
    std::error_code ignored;
    if (!folder_.empty()) std::filesystem::remove_all(folder_, ignored);
  }
  const std::string& Folder() const { return folder_; }

 private:
  std::string folder_;
};

Environment& Env() {
  static Environment environment;
  return environment;
}

Platform::CertStorePtr OpenRoot(benchmark::State& state) {
  Env();
  if (::access(kBundle, R_OK) != 0) {
    state.SkipWithError("no trust bundle at /etc/ssl/certs/ca-certificates.crt");
    return nullptr;
  }
  auto root = Platform::CertStore::OpenSystem("ROOT");
  if (!root) state.SkipWithError("ROOT cannot be opened");
  return root;
}

void BM_RootMissedFind(benchmark::State& state) {
  auto root = OpenRoot(state);
  if (!root) return;
  const std::string absent(40, 'f');
  for (auto _ : state) {
    auto found = root->FindByThumbprint(absent);
    benchmark::DoNotOptimize(found);
  }
}
BENCHMARK(BM_RootMissedFind)->Unit(benchmark::kMicrosecond);

// The bundle read and every certificate decoded, once: the bare baseline. Returns the count.
size_t BareParseBundleOnce() {
  BIO* bio = BIO_new_file(kBundle, "r");
  size_t count = 0;
  while (X509* certificate = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) {
    ++count;
    X509_free(certificate);
  }
  BIO_free(bio);
  ERR_clear_error();  // the end of the file leaves "no start line"
  return count;
}

// A full enumeration of "ROOT" against one bare parse of the bundle. Target: at most 1.2x.
void BM_RootEnumerate(benchmark::State& state) {
  auto root = OpenRoot(state);
  if (!root) return;
  size_t count = 0, parsed = 0;
  for (auto _ : state) {
    const auto figures = BenchAlternation::Alternate(
        41,
        [&] {
          return BenchAlternation::PerCall(5, [&] {
            std::vector<Platform::CertContextPtr> contexts;
            root->Enumerate(contexts);
            count = contexts.size();
            benchmark::DoNotOptimize(contexts);
          });
        },
        [&] { return BenchAlternation::PerCall(5, [&] { parsed = BareParseBundleOnce(); }); });
    BenchAlternation::Report(state, figures, 1.2);
  }
  state.counters["certificates"] = static_cast<double>(count);
  state.counters["parsed"] = static_cast<double>(parsed);
}
BENCHMARK(BM_RootEnumerate)->Iterations(1)->UseManualTime()->Unit(benchmark::kMicrosecond);

void BM_RootEnumNextWalk(benchmark::State& state) {
  auto root = OpenRoot(state);
  if (!root) return;
  for (auto _ : state) {
    for (auto c = root->EnumNext(nullptr); c; c = root->EnumNext(c)) benchmark::DoNotOptimize(c);
  }
}
BENCHMARK(BM_RootEnumNextWalk)->Unit(benchmark::kMillisecond);

// A copy of the bundle whose modification time moves on every round: each enumeration
// parses it again.
void BM_RootEnumerateChangedBundle(benchmark::State& state) {
  if (!OpenRoot(state)) return;
  const std::string copy = Env().Folder() + "/bundle.crt";
  std::error_code error;
  std::filesystem::copy_file(kBundle, copy, std::filesystem::copy_options::overwrite_existing, error);
  if (error) {
    state.SkipWithError("cannot copy the bundle");
    return;
  }
  ::setenv("TVR_TRUST_BUNDLE", copy.c_str(), 1);
  auto root = Platform::CertStore::OpenSystem("ROOT");
  ::setenv("TVR_TRUST_BUNDLE", kBundle, 1);
  timespec times[2] = {{1000000000, 0}, {1000000000, 0}};
  for (auto _ : state) {
    ++times[1].tv_sec;
    times[0] = times[1];
    ::utimensat(AT_FDCWD, copy.c_str(), times, 0);
    std::vector<Platform::CertContextPtr> contexts;
    root->Enumerate(contexts);
    benchmark::DoNotOptimize(contexts);
  }
}
BENCHMARK(BM_RootEnumerateChangedBundle)->Unit(benchmark::kMicrosecond);

}  // namespace
BENCHMARK_MAIN();
