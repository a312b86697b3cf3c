#include "MonitorFixture.h"

#include "CardTables.h"
#include "PKCS11Versions.h"
#include "platform/Library.h"

#include <openssl/x509v3.h>

#include <filesystem>
#include <fstream>
#include <thread>

using TvrTest::PkiItem;
using TvrTest::TestPki;

void RecordingHost::QueueBalloon(const std::string& title, const std::string& text, uint32_t icon) {
  std::lock_guard<std::mutex> guard(lock_);
  balloons_.push_back(title + " | " + text + " | " + std::to_string(icon));
}

std::map<std::string, PKCS11Base*> RecordingHost::Tokens() {
  std::lock_guard<std::mutex> guard(lock_);
  return tokens_;
}

void RecordingHost::SetTokens(std::map<std::string, PKCS11Base*> tokens) {
  std::lock_guard<std::mutex> guard(lock_);
  tokens_ = std::move(tokens);
}

std::vector<std::string> RecordingHost::Balloons() const {
  std::lock_guard<std::mutex> guard(lock_);
  return balloons_;
}

bool RecordingHost::Saw(const std::string& text) const {
  for (const std::string& b : Balloons())
    if (b.find(text) != std::string::npos) return true;
  return false;
}

void RecordingHost::Clear() {
  std::lock_guard<std::mutex> guard(lock_);
  balloons_.clear();
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return condition();
}

void MonitorFixture::SetUp() {
  ServicesFixture::SetUp();
  ::setenv("TVR_SYSTEM_CONFIG_DIR", (dir_->Path() + "/machine").c_str(), 1);
  std::filesystem::create_directories(dir_->Path() + "/machine/Tavrenic");
  std::ofstream(dir_->Path() + "/machine/Tavrenic/smartcards.conf")
      << "[Classic TPC]\nATR = " << kClassicTpcAtr << "\n";
  store_ = Platform::CertStore::OpenSystem("MY");
  ASSERT_TRUE(store_);
}

void MonitorFixture::TearDown() {
  if (monitor_) monitor_->Shutdown();
  monitor_.reset();
  registrar_.reset();
  host_.SetTokens({});
  tokenObject_.reset();
  shim_.reset();
  tokens_.reset();
  store_.reset();
  if (dir_) ServicesFixture::TearDown();
}

void MonitorFixture::MakeToken(const std::string& label, const std::vector<const PkiItem*>& items) {
  if (!tokens_) tokens_.emplace();
  TvrTest::TokenSpec spec;
  spec.label = label;
  spec.withKeyAndCertificate = false;
  tokens_->AddToken(spec);
  int n = 0;
  for (const PkiItem* item : items) {
    ++n;
    const std::string id = "0" + std::to_string(n);
    const std::string base = dir_->Path() + "/" + label + id;
    std::vector<unsigned char> der = item->Der();
    std::ofstream(base + ".der", std::ios::binary)
        .write(reinterpret_cast<const char*>(der.data()), static_cast<std::streamsize>(der.size()));
    Tool({TVR_PKCS11_TOOL, "--module", TVR_SOFTHSM2_MODULE, "--token-label", label, "--login", "--pin", "1234",
          "--write-object", base + ".der", "--type", "cert", "--id", id, "--label", "cert" + id});
    if (X509_check_ca(item->Cert()) == 1) continue;
    std::ofstream(base + ".key.pem") << item->KeyPem();
    Tool({TVR_SOFTHSM2_UTIL, "--import", base + ".key.pem", "--token", label, "--id", id, "--label", "key" + id,
          "--pin", "1234"});
    // Container record: tag 01 the key's id, tag 02 the key spec (2: signature).
    const char descriptor[] = {0x01, 0x01, static_cast<char>(n), 0x02, 0x01, 0x02};
    std::ofstream(base + ".csp", std::ios::binary).write(descriptor, sizeof descriptor);
    Tool({TVR_PKCS11_TOOL, "--module", TVR_SOFTHSM2_MODULE, "--token-label", label, "--login", "--pin", "1234",
          "--write-object", base + ".csp", "--type", "data", "--application-label", "CSP", "--label",
          "container" + id});
  }
}

void MonitorFixture::Tool(const std::vector<std::string>& argv) {
  std::string output;
  ASSERT_EQ(TvrTest::RunCommand(argv, &output), 0) << output;
}

void MonitorFixture::MakeMonitor(const std::map<std::string, std::string>& readers, IPcsc& pcsc) {
  TvrTest::ShimOptions options;
  options.readers = readers;
  shim_.emplace("libgclib.so", options);
  tokenObject_ = PKCS11V220::Create(&VendorModuleTable[1], Platform::LoadLibrary("gclib.dll"));
  ASSERT_TRUE(tokenObject_ && tokenObject_->IsValid());
  host_.SetTokens({{"Gemalto", tokenObject_.get()}});
  registrar_ = std::make_unique<CertificateRegistrar>(host_, store_.get());
  monitor_ = std::make_unique<CardMonitor>(host_, *registrar_, pcsc);
}

bool MonitorFixture::InStore(const PkiItem& item) const {
  std::vector<unsigned char> der = item.Der();
  auto context = Platform::CertContext::Create(der.data(), der.size());
  return store_->FindByThumbprint(context->Thumbprint()) != nullptr;
}

size_t MonitorFixture::StoreSize() const {
  std::vector<Platform::CertContextPtr> all;
  store_->Enumerate(all);
  return all.size();
}

bool MonitorFixture::HasEvent(const std::string& text) const {
  for (const std::string& e : Events())
    if (e == text) return true;
  return false;
}

bool MonitorFixture::HasEventStarting(const std::string& prefix) const {
  for (const std::string& e : Events())
    if (e.rfind(prefix, 0) == 0) return true;
  return false;
}

PkiItem MonitorFixture::EncryptionLeaf(const std::string& cn) {
  TvrTest::CertSpec spec;
  spec.subject = "/C=HU/O=Tavrenic/CN=" + cn;
  // RSA: the Gemalto card registers EC keys only through a key storage provider.
  spec.keyType = "rsa";
  spec.extensions = {{"keyUsage", "critical,keyEncipherment"}};
  return TvrTest::CertBuilder::Issue(spec, &TestPki::Get().Intermediate());
}
