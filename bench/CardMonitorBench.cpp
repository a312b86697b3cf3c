// A card going into a reader until its certificates are registered, on the full road: a
// private pcscd with the virtual reader (root and namespaces, as the monitor's road tests),
// a card whose token is SoftHSM2 behind the test module posing as the Gemalto module, four
// signing certificates of the test PKI, `openssl ocsp` on 127.0.0.1 asked about each, and the
// system's trust bundle behind "ROOT" (Debian's, or where there is none a bundle of as many CA
// certificates made for the run). The network stack is reached through its module, as the
// program reaches it.
//
// Own work, in every figure below, is the time from pcscd's report of the card (the status
// call's return) to the registration's balloon, less module time (inside the module's entry
// points, summed by the test module): our code, the HTTP round trips and the flushes to disk
// (inside fsync, wrapped at link time) included.
//
// FirstInsertion: the insertion a user pays most often. Each round is a new process that
// starts as the program does (nothing decoded, the network module not loaded, the program's
// warm-up begun once its start-up is over), sees a card put in a second after its start-up
// and then twice more; the first insertion's own work next to the last one's, one pair per
// process. Target: at most 1.2x.
// InsertionToRegistered: ours and the bare road by turns in one process (A B, B A), each
// round one insertion and removal, the process warmed up as the program is. The bare road
// makes the same road in bare calls: the status call, the Cryptoki calls that find the
// reader's slot and read the token's objects, one OCSP exchange per certificate (libcurl,
// d2i, OCSP_basic_verify, OCSP_resp_find_status) and the store's writes (each certificate
// and its properties written to a temp file, flushed and renamed into place, one flush of the
// folder). Its glue is the same measure: everything but detection and module time. Target:
// our own work at most 1.5x the bare glue of the same run.
// Both print min/min and the median of the per-pair ratios, and the load average at the start
// and the end of the run.
// IdleMonitor: a running monitor with a card present and nothing moving, one second per
// iteration: the monitor thread's and the process's CPU time, and the status calls made
// (0: blocked in the call, no polling).
//
// Run as root: build/bench/bench_card_monitor
#include "Alternation.h"
#include "BareOcsp.h"
#include "CardMonitor.h"
#include "CardTables.h"
#include "CertificateRegistrar.h"
#include "CryptoAlgJanitor.h"
#include "NetRig.h"
#include "P11Rig.h"
#include "PKCS11Versions.h"
#include "PcscRig.h"
#include "RegistrationWarmUp.h"
#include "Strings.h"
#include "TestPki.h"
#include "platform/CertStore.h"
#include "platform/Library.h"

#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/ocsp.h>
#include <openssl/x509_vfy.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace {

std::atomic<unsigned long long> gHttpNs{0};
std::atomic<unsigned long long> gFlushNs{0};
std::atomic<unsigned long long> gFlushes{0};

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }
double Ms(unsigned long long ns) { return static_cast<double>(ns) / 1e6; }

}  // namespace

// Every libcurl transfer of the process, the checker's and the bare exchange's alike.
extern "C" CURLcode __real_curl_easy_perform(CURL* handle);
extern "C" CURLcode __wrap_curl_easy_perform(CURL* handle) {
  const auto start = Clock::now();
  const CURLcode result = __real_curl_easy_perform(handle);
  gHttpNs += static_cast<unsigned long long>(std::chrono::nanoseconds(Clock::now() - start).count());
  return result;
}

// Every flush of a file of ours to disk (the stores' and the profile's atomic writes).
extern "C" int __real_fsync(int fd);
extern "C" int __wrap_fsync(int fd) {
  const auto start = Clock::now();
  const int result = __real_fsync(fd);
  gFlushNs += static_cast<unsigned long long>(std::chrono::nanoseconds(Clock::now() - start).count());
  ++gFlushes;
  return result;
}

namespace {

using TvrTest::PkiItem;
using TvrTest::TestPki;

constexpr const char* kAtr = "3B0A5441565245 4E49433031";  // "Classic TPC" in the card database
constexpr int kCertificates = 4;
constexpr const char* kSystemBundle = "/etc/ssl/certs/ca-certificates.crt";
constexpr int kMadeBundleSize = 146;  // Debian's bundle holds about as many
constexpr size_t kRounds = 41;
constexpr double kTargetRatio = 1.5;
// Processes started for the first insertion, and the insertions each sees.
constexpr int kFirstInsertionProcesses = 25;
constexpr int kInsertionsPerProcess = 3;
constexpr double kTargetFirstRatio = 1.2;
// A user puts the card in after the program has started; the warm-up begins this long
// after start-up as in the program (Application::kWarmUpDelayMs).
constexpr auto kCardAfterStart = std::chrono::milliseconds(1000);
constexpr auto kWarmUpDelay = std::chrono::milliseconds(200);

// The system's PC/SC, noting when the status call returns and on which thread it waits.
class TimingPcsc : public IPcsc {
 public:
  LONG EstablishContext(SCARDCONTEXT* context, const std::atomic<bool>& stopping) override {
    return real_.EstablishContext(context, stopping);
  }
  LONG ReleaseContext(SCARDCONTEXT context) override { return real_.ReleaseContext(context); }
  LONG ListReaders(SCARDCONTEXT context, std::vector<std::string>& readers) override {
    return real_.ListReaders(context, readers);
  }
  LONG GetStatusChange(SCARDCONTEXT context, DWORD timeoutMs, std::vector<ReaderStateEntry>& states) override {
    {
      std::lock_guard<std::mutex> guard(lock_);
      waiter_ = pthread_self();
      hasWaiter_ = true;
    }
    const LONG rv = real_.GetStatusChange(context, timeoutMs, states);
    const auto now = Clock::now();
    std::lock_guard<std::mutex> guard(lock_);
    returns_.push_back(now);
    for (const ReaderStateEntry& entry : states)
      if ((entry.eventState & SCARD_STATE_CHANGED) && (entry.eventState & SCARD_STATE_PRESENT) &&
          !(entry.currentState & SCARD_STATE_PRESENT))
        insertions_.push_back(now);
    return rv;
  }
  LONG Cancel(SCARDCONTEXT context) override { return real_.Cancel(context); }
  LONG Connect(SCARDCONTEXT context, const std::string& reader, DWORD shareMode, DWORD protocols, SCARDHANDLE* card,
               DWORD* activeProtocol) override {
    return real_.Connect(context, reader, shareMode, protocols, card, activeProtocol);
  }
  LONG Disconnect(SCARDHANDLE card, DWORD disposition) override { return real_.Disconnect(card, disposition); }

  // The first return reporting a card put in, at or after `since`.
  std::optional<Clock::time_point> FirstInsertionAfter(Clock::time_point since) const {
    std::lock_guard<std::mutex> guard(lock_);
    for (const auto& t : insertions_)
      if (t >= since) return t;
    return std::nullopt;
  }
  size_t Returns() const {
    std::lock_guard<std::mutex> guard(lock_);
    return returns_.size();
  }
  // CPU time of the thread that waits in the status call.
  std::optional<double> WaiterCpuMs() const {
    std::lock_guard<std::mutex> guard(lock_);
    if (!hasWaiter_) return std::nullopt;
    clockid_t clock;
    timespec t{};
    if (pthread_getcpuclockid(waiter_, &clock) != 0 || clock_gettime(clock, &t) != 0) return std::nullopt;
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
  }

 private:
  IPcsc& real_ = SystemPcsc();
  mutable std::mutex lock_;
  std::vector<Clock::time_point> returns_;
  std::vector<Clock::time_point> insertions_;
  pthread_t waiter_{};
  bool hasWaiter_ = false;
};

// Notes when the registration and the unregistration report.
class BenchHost : public IMonitorHost {
 public:
  void QueueBalloon(const std::string& title, const std::string& text, uint32_t) override {
    if (title != Res::Text(Res::StringId::RegistrationTitle)) return;
    std::lock_guard<std::mutex> guard(lock_);
    (text.find("kiregisztrál") != std::string::npos ? unregistered_ : registered_) = Clock::now();
    changed_.notify_all();
  }
  void PostCardChanged() override {}
  void PostReadersChanged() override {}
  void ArmRestartTimer() override {}
  std::map<std::string, PKCS11Base*> Tokens() override { return tokens_; }

  void Reset() {
    std::lock_guard<std::mutex> guard(lock_);
    registered_.reset();
    unregistered_.reset();
  }
  std::optional<Clock::time_point> WaitRegistered() { return Wait(registered_); }
  std::optional<Clock::time_point> WaitUnregistered() { return Wait(unregistered_); }

  std::map<std::string, PKCS11Base*> tokens_;

 private:
  std::optional<Clock::time_point> Wait(std::optional<Clock::time_point>& which) {
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait_for(guard, std::chrono::seconds(20), [&] { return which.has_value(); });
    return which;
  }

  std::mutex lock_;
  std::condition_variable changed_;
  std::optional<Clock::time_point> registered_;
  std::optional<Clock::time_point> unregistered_;
};

using CallTimeFn = unsigned long long (*)();

void AddToStore(const std::string& name, const PkiItem& item) {
  auto store = Platform::CertStore::OpenSystem(name);
  std::vector<unsigned char> der = item.Der();
  auto context = Platform::CertContext::Create(der.data(), der.size());
  if (!store || !context || !store->Add(*context, Platform::CertAddDisposition::ReplaceExisting))
    throw std::runtime_error("cannot fill the " + name + " store");
}

std::string IndexTime(std::time_t t) {
  char text[32];
  std::tm tm{};
  gmtime_r(&t, &tm);
  std::strftime(text, sizeof text, "%y%m%d%H%M%SZ", &tm);
  return text;
}

struct Rig {
  TvrTest::TempDir dir;
  std::string bundle;
  std::string url;
  std::vector<PkiItem> leaves;
  std::unique_ptr<TvrTest::OcspResponderProcess> responder;
  std::optional<TvrTest::SoftHsmTokens> softhsm;
  std::optional<TvrTest::InstalledShim> shim;
  std::unique_ptr<PKCS11Base> token;
  CallTimeFn moduleTime = nullptr;
  TvrTest::PrivatePcscd pcscd;
  std::unique_ptr<TvrTest::ScriptedCard> card;
  Platform::CertStorePtr personal;
  X509_STORE* trust = nullptr;
  TimingPcsc pcsc;
  BenchHost host;
  std::unique_ptr<CertificateRegistrar> registrar;
  std::unique_ptr<CardMonitor> monitor;

  Rig() {
    if (const std::string reason = TvrTest::PcscRigUnavailableReason(); !reason.empty())
      throw std::runtime_error(reason);
    for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) ::unsetenv(name);
    ::setenv("XDG_DATA_HOME", (dir.Path() + "/data").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (dir.Path() + "/config").c_str(), 1);
    bundle = ::access(kSystemBundle, R_OK) == 0 ? kSystemBundle : MakeBundle();
    ::setenv("TVR_TRUST_BUNDLE", bundle.c_str(), 1);
    ::setenv("TVR_SYSTEM_CONFIG_DIR", (dir.Path() + "/machine").c_str(), 1);
    std::filesystem::create_directories(dir.Path() + "/machine/Tavrenic");
    std::ofstream(dir.Path() + "/machine/Tavrenic/smartcards.conf") << "[Classic TPC]\nATR = " << kAtr << "\n";
    std::filesystem::create_directories(dir.Path() + "/modules");
    ::setenv("TVR_TEST_MODULE_DIR", (dir.Path() + "/modules").c_str(), 1);

    const TestPki& pki = TestPki::Get();
    AddToStore("ROOT", pki.Root());
    AddToStore("CA", pki.Intermediate());
    trust = X509_STORE_new();
    if (X509_STORE_load_file(trust, bundle.c_str()) != 1) throw std::runtime_error("cannot load " + bundle);
    X509_STORE_add_cert(trust, pki.Root().Cert());
    std::filesystem::create_directories(dir.Path() + "/bare-store");

    const int port = TvrTest::FreeTcpPort();
    url = "http://127.0.0.1:" + std::to_string(port) + "/";
    // RSA: the Gemalto card registers EC keys only through a key storage provider.
    EVP_PKEY* key = TvrTest::CertBuilder::NewKey("rsa");
    std::ofstream index(dir.Path() + "/index.txt");
    for (int i = 1; i <= kCertificates; ++i) {
      TvrTest::CertSpec spec;
      spec.subject = "/C=HU/O=Tavrenic/CN=Bench Card " + std::to_string(i);
      spec.keyType = "rsa";
      spec.extensions = {{"keyUsage", "critical,digitalSignature"}, {"authorityInfoAccess", "OCSP;URI:" + url}};
      leaves.push_back(TvrTest::CertBuilder::Issue(spec, &pki.Intermediate(), key));
      char* subject = X509_NAME_oneline(X509_get_subject_name(leaves.back().Cert()), nullptr, 0);
      index << "V\t" << IndexTime(leaves.back().NotAfter()) << "\t\t" << leaves.back().SerialHex() << "\tunknown\t"
            << subject << "\n";
      OPENSSL_free(subject);
    }
    index.close();
    responder = std::make_unique<TvrTest::OcspResponderProcess>(
        dir.Path() + "/index.txt", pki.Intermediate().pemPath, pki.OcspSigner().pemPath, pki.OcspSigner().keyPath,
        std::vector<std::string>{"-nmin", "5"}, port);

    MakeToken(key);
    EVP_PKEY_free(key);

    TvrTest::ShimOptions options;
    options.readers = {{"Card0", TvrTest::PrivatePcscd::ReaderName(0)}};
    shim.emplace("libgclib.so", options);
    token = PKCS11V220::Create(&VendorModuleTable[1], Platform::LoadLibrary(shim->Path().c_str()));
    if (!token || !token->IsValid()) throw std::runtime_error("cannot load the test module");
    moduleTime = reinterpret_cast<CallTimeFn>(Platform::GetProcAddress(token->GetModule(), "P11Shim_CallTimeNs"));
    if (!moduleTime) throw std::runtime_error("the test module has no call timer");
    host.tokens_ = {{"Gemalto", token.get()}};

    pcscd.Start();
    card = std::make_unique<TvrTest::ScriptedCard>(pcscd, 0, TvrTest::HexBytes(kAtr));
    personal = Platform::CertStore::OpenSystem("MY");
    registrar = std::make_unique<CertificateRegistrar>(host, personal.get());
    registrar->KeepRecord(CertificateRegistrar::RecordPath());  // as the program does
  }

  ~Rig() {
    StopMonitor();
    registrar.reset();
    card.reset();
    pcscd.Stop();
    host.tokens_.clear();
    token.reset();
    X509_STORE_free(trust);
  }

  // A PEM bundle of as many self-signed CA certificates as the system's holds.
  std::string MakeBundle() const {
    const std::string path = dir.Path() + "/bundle.crt";
    std::ofstream out(path);
    for (int i = 0; i < kMadeBundleSize; ++i) {
      TvrTest::CertSpec spec;
      spec.subject = "/C=HU/O=Bench Trust/CN=Bundle Root " + std::to_string(i);
      spec.ca = true;
      out << TvrTest::CertBuilder::Issue(spec, nullptr).Pem();
    }
    return path;
  }

  // The card's token: each certificate with its key and the Gemalto container record
  // that names it, written through SoftHSM2 itself before the test module loads it.
  void MakeToken(EVP_PKEY* key) {
    softhsm.emplace();
    TvrTest::TokenSpec spec;
    spec.label = "Card0";
    spec.withKeyAndCertificate = false;
    softhsm->AddToken(spec);
    auto writer = PKCS11V220::Create(&VendorModuleTable[1], Platform::LoadLibrary(TVR_SOFTHSM2_MODULE));
    if (!writer || !writer->IsValid()) throw std::runtime_error("cannot load SoftHSM2");
    bool found = false;
    for (CK_SLOT_ID slot : writer->GetSlotList(true)) {
      writer->SetSlot(slot);
      auto info = writer->GetTokenInfo();
      if ((found = info && info->label == "Card0")) break;
    }
    TvrCommon::SecureString pin("1234");
    if (!found || !writer->OpenSession(true) || !writer->Login(&pin, CKU_USER))
      throw std::runtime_error("cannot open the card's token");
    for (int i = 1; i <= kCertificates; ++i) {
      const std::string id = "0" + std::to_string(i), label = "cert" + id, container = "container" + id;
      const std::string application = "CSP";
      const uint8_t descriptor[] = {0x01, 0x01, static_cast<uint8_t>(i), 0x02, 0x01, 0x02};
      if (!writer->CreateCertificate(&id, &label, 0, leaves[i - 1].Cert()) ||
          !writer->CreatePrivateKey(&id, &label, key) ||
          !writer->CreateDataObject(false, &container, &application, descriptor, sizeof descriptor))
        throw std::runtime_error("cannot fill the card's token");
    }
    writer->Logout();
    writer->CloseSession();
  }

  void StartMonitor() {
    if (monitor) return;
    monitor = std::make_unique<CardMonitor>(host, *registrar, pcsc);
    if (!monitor->StartCardDetection(false)) throw std::runtime_error("the monitor did not start");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // its first pass
  }
  void StopMonitor() {
    if (monitor) monitor->Shutdown();
    monitor.reset();
  }
};

std::unique_ptr<Rig>& RigHolder() {
  static std::unique_ptr<Rig> rig;
  return rig;
}

Rig* TheRig(benchmark::State& state) {
  std::unique_ptr<Rig>& rig = RigHolder();
  static std::string failure;
  if (!rig && failure.empty()) {
    try {
      rig = std::make_unique<Rig>();
    } catch (const std::exception& e) {
      failure = e.what();
    }
  }
  if (!rig) state.SkipWithError(failure.c_str());
  return rig.get();
}

bool BareOcspExchange(const Rig& rig, X509* leaf) {
  return BenchBare::OcspExchange(rig.url, leaf, TestPki::Get().Intermediate().Cert(), rig.trust);
}

// One attribute by length query and value query, as the token class reads them.
std::vector<uint8_t> BareAttribute(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                                   CK_ATTRIBUTE_TYPE type) {
  CK_ATTRIBUTE attribute{type, nullptr, 0};
  if (f->C_GetAttributeValue(session, object, &attribute, 1) != CKR_OK) return {};
  std::vector<uint8_t> value(attribute.ulValueLen);
  attribute.pValue = value.data();
  if (f->C_GetAttributeValue(session, object, &attribute, 1) != CKR_OK) return {};
  return value;
}

struct X509Free {
  void operator()(X509* x) const { X509_free(x); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;

// The reader's slot, its token, and every object's label, id and value: the certificates
// decoded. Empty when a call failed.
std::vector<X509Ptr> BareReadCard(CK_FUNCTION_LIST* f, const std::string& reader) {
  std::vector<X509Ptr> certificates;
  CK_ULONG count = 0;
  if (f->C_GetSlotList(CK_TRUE, nullptr, &count) != CKR_OK) return {};
  std::vector<CK_SLOT_ID> slots(count);
  if (f->C_GetSlotList(CK_TRUE, slots.data(), &count) != CKR_OK) return {};
  std::optional<CK_SLOT_ID> chosen;
  for (CK_SLOT_ID slot : slots) {
    CK_SLOT_INFO info{};
    if (f->C_GetSlotInfo(slot, &info) != CKR_OK) continue;
    std::string description(reinterpret_cast<const char*>(info.slotDescription), sizeof info.slotDescription);
    if (description.compare(0, reader.size(), reader) == 0) {
      chosen = slot;
      break;
    }
  }
  if (!chosen) return {};
  CK_TOKEN_INFO tokenInfo{};
  if (f->C_GetTokenInfo(*chosen, &tokenInfo) != CKR_OK) return {};
  CK_SESSION_HANDLE session = 0;
  if (f->C_OpenSession(*chosen, CKF_SERIAL_SESSION, nullptr, nullptr, &session) != CKR_OK) return {};
  for (CK_OBJECT_CLASS objectClass : {CKO_CERTIFICATE, CKO_PUBLIC_KEY, CKO_PRIVATE_KEY, CKO_DATA}) {
    CK_ATTRIBUTE filter{CKA_CLASS, &objectClass, sizeof objectClass};
    std::vector<CK_OBJECT_HANDLE> handles;
    if (f->C_FindObjectsInit(session, &filter, 1) != CKR_OK) continue;
    CK_OBJECT_HANDLE handle;
    CK_ULONG found = 0;
    while (f->C_FindObjects(session, &handle, 1, &found) == CKR_OK && found == 1) handles.push_back(handle);
    f->C_FindObjectsFinal(session);
    for (CK_OBJECT_HANDLE object : handles) {
      BareAttribute(f, session, object, CKA_LABEL);
      if (objectClass == CKO_DATA) {
        BareAttribute(f, session, object, CKA_APPLICATION);
        BareAttribute(f, session, object, CKA_VALUE);
        continue;
      }
      BareAttribute(f, session, object, CKA_ID);
      if (objectClass != CKO_CERTIFICATE) continue;
      std::vector<uint8_t> der = BareAttribute(f, session, object, CKA_VALUE);
      const unsigned char* p = der.data();
      if (X509* certificate = d2i_X509(nullptr, &p, static_cast<long>(der.size())))
        certificates.emplace_back(certificate);
    }
  }
  f->C_CloseSession(session);
  return certificates;
}

// Writes `contents` to a temp file beside `path`, flushes it and renames it into place.
bool BareWriteFile(const std::string& path, const std::string& contents) {
  const std::string temp = path + ".tmp";
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const bool ok = ::write(fd, contents.data(), contents.size()) == static_cast<ssize_t>(contents.size()) &&
                  ::fsync(fd) == 0;
  return ::close(fd) == 0 && ok && ::rename(temp.c_str(), path.c_str()) == 0;
}

// The certificates and their properties into a store folder, then one flush of the folder.
bool BareRegister(const std::string& folder, const std::vector<X509Ptr>& certificates) {
  static const char kDigits[] = "0123456789abcdef";
  bool ok = true;
  int n = 0;
  for (const X509Ptr& certificate : certificates) {
    unsigned char* der = nullptr;
    const int length = i2d_X509(certificate.get(), &der);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    EVP_Digest(der, static_cast<size_t>(length), digest, &digestLength, EVP_sha1(), nullptr);
    std::string name;
    for (unsigned int i = 0; i < digestLength; ++i) (name += kDigits[digest[i] >> 4]) += kDigits[digest[i] & 15];
    const std::string properties = "TavrenicCertificateProperties 1\nContainerName=container0" + std::to_string(++n) +
                                   "\nProviderName=Gemalto Classic Card CSP\nProviderType=1\nFlags=0\nKeySpec=2\n";
    ok = BareWriteFile(folder + "/" + name + ".props", properties) &&
         BareWriteFile(folder + "/" + name + ".der", std::string(reinterpret_cast<char*>(der), length)) && ok;
    OPENSSL_free(der);
  }
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ok = dir >= 0 && ::fsync(dir) == 0 && ok;
  if (dir >= 0) ::close(dir);
  return ok;
}

// Blocks until the reader's state has `flag`; returns its state word.
DWORD BareWait(SCARDCONTEXT context, const std::string& reader, DWORD current, DWORD flag) {
  for (;;) {
    SCARD_READERSTATE state{};
    state.szReader = reader.c_str();
    state.dwCurrentState = current;
    if (SCardGetStatusChange(context, 20000, &state, 1) != SCARD_S_SUCCESS) return 0;
    current = state.dwEventState & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
    if (current & flag) return current;
  }
}

// Where one insertion's time went, in milliseconds.
struct Split {
  double detection = 0, module = 0, http = 0, flush = 0, flushes = 0;
  double own = 0;  // everything but detection and module time
};

// One insertion and removal through the monitor and the registrar.
std::optional<Split> OursOnce(Rig& rig) {
  const std::string reader = TvrTest::PrivatePcscd::ReaderName(0);
  rig.StartMonitor();
  rig.host.Reset();
  const unsigned long long module0 = rig.moduleTime(), http0 = gHttpNs, flush0 = gFlushNs, flushes0 = gFlushes;
  const auto start = Clock::now();
  rig.card->Insert();
  const auto registered = rig.host.WaitRegistered();
  const auto detected = rig.pcsc.FirstInsertionAfter(start);
  std::optional<Split> split;
  if (registered && detected && rig.registrar->RegisteredFor(reader).size() == kCertificates) {
    split.emplace();
    split->detection = Ms(*detected - start);
    split->module = Ms(rig.moduleTime() - module0);
    split->http = Ms(gHttpNs - http0);
    split->flush = Ms(gFlushNs - flush0);
    split->flushes = static_cast<double>(gFlushes - flushes0);
    split->own = Ms(*registered - *detected) - split->module;
  }
  rig.card->Remove();
  if (!rig.host.WaitUnregistered()) split.reset();
  rig.StopMonitor();
  return split;
}

// The same insertion and removal in bare calls.
std::optional<Split> BareOnce(Rig& rig) {
  const std::string reader = TvrTest::PrivatePcscd::ReaderName(0);
  SCARDCONTEXT context = 0;
  if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context) != SCARD_S_SUCCESS) return std::nullopt;
  DWORD current = BareWait(context, reader, 0, SCARD_STATE_EMPTY | SCARD_STATE_PRESENT);
  CK_FUNCTION_LIST* f = rig.token->GetFunctionList();
  const unsigned long long module0 = rig.moduleTime(), http0 = gHttpNs, flush0 = gFlushNs, flushes0 = gFlushes;
  const auto start = Clock::now();
  rig.card->Insert();
  current = BareWait(context, reader, current, SCARD_STATE_PRESENT);
  const auto detected = Clock::now();
  std::vector<X509Ptr> certificates = current ? BareReadCard(f, reader) : std::vector<X509Ptr>();
  bool ok = certificates.size() == kCertificates;
  for (const X509Ptr& certificate : certificates) ok = ok && BareOcspExchange(rig, certificate.get());
  ok = ok && BareRegister(rig.dir.Path() + "/bare-store", certificates);
  const auto done = Clock::now();
  std::optional<Split> split;
  if (ok) {
    split.emplace();
    split->detection = Ms(detected - start);
    split->module = Ms(rig.moduleTime() - module0);
    split->http = Ms(gHttpNs - http0);
    split->flush = Ms(gFlushNs - flush0);
    split->flushes = static_cast<double>(gFlushes - flushes0);
    split->own = Ms(done - detected) - split->module;
  }
  rig.card->Remove();
  BareWait(context, reader, current, SCARD_STATE_EMPTY);
  SCardReleaseContext(context);
  return split;
}

void BM_InsertionToRegistered(benchmark::State& state) {
  Rig* rig = TheRig(state);
  if (!rig) return;
  std::vector<Split> ours, bare;
  bool failed = false;
  const double load = BenchAlternation::LoadAverage();
  // Warmed up as the program is once it runs: every round counts.
  TvrServices::WarmUpRegistrationRoad();
  for (auto _ : state) {
    BenchAlternation::Alternate(
        kRounds,
        [&] {
          auto split = OursOnce(*rig);
          failed = failed || !split;
          ours.push_back(split.value_or(Split{}));
          return ours.back().own;
        },
        [&] {
          auto split = BareOnce(*rig);
          failed = failed || !split;
          bare.push_back(split.value_or(Split{}));
          return bare.back().own;
        });
  }
  if (failed) {
    state.SkipWithError("an insertion was not handled whole");
    return;
  }
  auto median = [](const std::vector<Split>& splits, double Split::*part) {
    std::vector<double> values;
    for (const Split& split : splits) values.push_back(split.*part);
    return BenchAlternation::Median(values);
  };
  std::vector<double> oursOwn, bareOwn;
  for (const Split& split : ours) oursOwn.push_back(split.own / 1e3);
  for (const Split& split : bare) bareOwn.push_back(split.own / 1e3);
  BenchAlternation::Report(state, BenchAlternation::FromPairs(oursOwn, bareOwn), kTargetRatio, 1e-3);
  BenchAlternation::ReportLoad(state, load);
  state.counters["detection_ms"] = median(ours, &Split::detection);
  state.counters["module_ms"] = median(ours, &Split::module);
  state.counters["flush_ms"] = median(ours, &Split::flush);
  state.counters["fsyncs"] = median(ours, &Split::flushes);
  state.counters["bare_fsyncs"] = median(bare, &Split::flushes);
  state.counters["bare_module_ms"] = median(bare, &Split::module);
  state.counters["bare_http_ms"] = median(bare, &Split::http);
  state.counters["bare_flush_ms"] = median(bare, &Split::flush);
  state.SetLabel(rig->bundle);
}
BENCHMARK(BM_InsertionToRegistered)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);

// Lines between the bench and its first-insertion processes.
bool WriteLine(int fd, const std::string& line) {
  const std::string text = line + "\n";
  return ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

std::optional<std::string> ReadLine(int fd) {
  std::string line;
  char c;
  for (;;) {
    const ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    if (c == '\n') return line;
    line += c;
  }
}

// A process that starts as the program does and reports each insertion's own work (ms; -1
// when the insertion was not handled whole) after it, then "removed" after the removal.
int FirstInsertionProcess(const std::string& shimPath, int toBench) {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  // The program sets OpenSSL up (its providers loaded) before it loads the modules.
  const TvrCrypto::CryptoAlgJanitor openssl;
  TimingPcsc pcsc;
  BenchHost host;
  // The program's start-up as far as the registration road goes: OpenSSL, the module, the
  // personal store and the record of what is registered, detection; then the warm-up.
  std::unique_ptr<PKCS11Base> token =
      PKCS11V220::Create(&VendorModuleTable[1], Platform::LoadLibrary(shimPath.c_str()));
  if (!token || !token->IsValid()) return 2;
  auto moduleTime = reinterpret_cast<CallTimeFn>(Platform::GetProcAddress(token->GetModule(), "P11Shim_CallTimeNs"));
  if (!moduleTime) return 2;
  host.tokens_ = {{"Gemalto", token.get()}};
  Platform::CertStorePtr personal = Platform::CertStore::OpenSystem("MY");
  CertificateRegistrar registrar(host, personal.get());
  registrar.KeepRecord(CertificateRegistrar::RecordPath());
  auto monitor = std::make_unique<CardMonitor>(host, registrar, pcsc);
  if (!monitor->StartCardDetection(false)) return 3;
  std::atomic<bool> stopping{false};
  // TVR_BENCH_NO_WARM_UP=1 shows what the first insertion costs without it.
  const bool warm = !std::getenv("TVR_BENCH_NO_WARM_UP");
  std::thread warmUp([&] {
    std::this_thread::sleep_for(kWarmUpDelay);
    if (warm) TvrServices::WarmUpRegistrationRoad([&] { return stopping.load(); });
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the monitor's first pass
  const std::string reader = TvrTest::PrivatePcscd::ReaderName(0);
  auto since = Clock::now();
  int result = WriteLine(toBench, "ready") ? 0 : 4;
  for (int i = 0; i < kInsertionsPerProcess && result == 0; ++i) {
    const unsigned long long module0 = moduleTime();
    const auto registered = host.WaitRegistered();
    const auto detected = pcsc.FirstInsertionAfter(since);
    double own = -1;
    if (registered && detected && registrar.RegisteredFor(reader).size() == kCertificates)
      own = Ms(*registered - *detected) - Ms(moduleTime() - module0);
    if (!WriteLine(toBench, std::to_string(own)) || !host.WaitUnregistered()) result = 5;
    host.Reset();
    since = Clock::now();
    if (result == 0 && !WriteLine(toBench, "removed")) result = 5;
  }
  stopping = true;
  warmUp.join();
  monitor->Shutdown();
  return result;
}

// One first-insertion process: the own work of its first and of its last insertion.
std::optional<std::pair<double, double>> FirstAndLater(Rig& rig) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return std::nullopt;
  const std::string fd = std::to_string(pipeFds[1]);
  const pid_t child = ::fork();
  if (child < 0) return std::nullopt;
  if (child == 0) {
    ::fcntl(pipeFds[1], F_SETFD, 0);
    const char* argv[] = {"bench_card_monitor", "--first_insertion_process", rig.shim->Path().c_str(), fd.c_str(),
                          nullptr};
    ::execv("/proc/self/exe", const_cast<char* const*>(argv));
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  const int fromChild = pipeFds[0];
  std::vector<double> own;
  bool ok = ReadLine(fromChild) == std::string("ready");
  std::this_thread::sleep_for(kCardAfterStart);
  for (int i = 0; ok && i < kInsertionsPerProcess; ++i) {
    rig.card->Insert();
    const auto line = ReadLine(fromChild);
    rig.card->Remove();
    ok = line && ReadLine(fromChild) == std::string("removed");
    if (ok) own.push_back(std::stod(*line));
    ok = ok && own.back() > 0;
  }
  ::close(fromChild);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (!ok || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return std::make_pair(own.front(), own.back());
}

void BM_FirstInsertion(benchmark::State& state) {
  Rig* rig = TheRig(state);
  if (!rig) return;
  rig->StopMonitor();  // only the new processes see the card
  const double load = BenchAlternation::LoadAverage();
  std::vector<double> first, later;
  for (auto _ : state) {
    for (int i = 0; i < kFirstInsertionProcesses; ++i) {
      const auto pair = FirstAndLater(*rig);
      if (!pair) {
        state.SkipWithError("a first-insertion process did not handle its insertions whole");
        return;
      }
      first.push_back(pair->first / 1e3);
      later.push_back(pair->second / 1e3);
    }
  }
  BenchAlternation::Report(state, BenchAlternation::FromPairs(first, later), kTargetFirstRatio, 1e-3);
  BenchAlternation::ReportLoad(state, load);
  state.SetLabel(std::string("first insertion (ours) next to the third (bare) of the same process") +
                 (std::getenv("TVR_BENCH_NO_WARM_UP") ? ", no warm-up" : ""));
}
BENCHMARK(BM_FirstInsertion)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);

double ProcessCpuMs() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

void BM_IdleMonitor(benchmark::State& state) {
  Rig* rig = TheRig(state);
  if (!rig) return;
  rig->StartMonitor();
  rig->host.Reset();
  rig->card->Insert();
  if (!rig->host.WaitRegistered()) {
    state.SkipWithError("the card's certificates were not registered");
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  double monitorCpu = 0, processCpu = 0, statusCalls = 0;
  for (auto _ : state) {
    const auto monitor0 = rig->pcsc.WaiterCpuMs();
    const double process0 = ProcessCpuMs();
    const size_t calls0 = rig->pcsc.Returns();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const auto monitor1 = rig->pcsc.WaiterCpuMs();
    if (!monitor0 || !monitor1) {
      state.SkipWithError("no monitor thread");
      break;
    }
    monitorCpu += *monitor1 - *monitor0;
    processCpu += ProcessCpuMs() - process0;
    statusCalls += static_cast<double>(rig->pcsc.Returns() - calls0);
    state.SetIterationTime(1.0);
  }
  rig->card->Remove();
  rig->host.WaitUnregistered();
  const double n = static_cast<double>(state.iterations());
  if (n == 0) return;
  state.counters["monitor_cpu_ms_per_s"] = monitorCpu / n;
  state.counters["process_cpu_ms_per_s"] = processCpu / n;
  state.counters["status_calls_per_s"] = statusCalls / n;
}
BENCHMARK(BM_IdleMonitor)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--first_insertion_process")
    return FirstInsertionProcess(argv[2], std::atoi(argv[3]));
  TvrTest::PcscSocketPath();  // before any PC/SC call: never the machine's pcscd
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  RigHolder().reset();  // the daemon and the module go before the process's statics
  benchmark::Shutdown();
  return 0;
}
