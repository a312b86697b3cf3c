#include "ServicesFixture.h"

#include "platform/CertStore.h"
#include "platform/Profile.h"

#include <openssl/asn1.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <ctime>
#include <fstream>

using TvrTest::PkiItem;
using TvrTest::TestPki;

namespace {

std::string IndexTime(std::time_t t) {
  char text[32];
  std::tm tm{};
  gmtime_r(&t, &tm);
  std::strftime(text, sizeof text, "%y%m%d%H%M%SZ", &tm);
  return text;
}

std::string OneLineSubject(const PkiItem& item) {
  char* text = X509_NAME_oneline(X509_get_subject_name(item.Cert()), nullptr, 0);
  std::string subject = text ? text : "";
  OPENSSL_free(text);
  return subject;
}

}  // namespace

void ServicesFixture::SetUp() {
  dir_.emplace();
  ::setenv("XDG_DATA_HOME", (dir_->Path() + "/data").c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", (dir_->Path() + "/config").c_str(), 1);
  ::setenv("TVR_SYSTEM_CONFIG_DIR", (dir_->Path() + "/none").c_str(), 1);
  std::ofstream(dir_->Path() + "/bundle.crt").close();
  ::setenv("TVR_TRUST_BUNDLE", (dir_->Path() + "/bundle.crt").c_str(), 1);
  // The servers are on loopback; a proxy of the machine must not be asked.
  for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
    ::unsetenv(name);
  ASSERT_TRUE(Platform::Profile().WriteInt("", "EventLogLevel", 3));
  Platform::SetEventSink(sink_);
  Platform::RegisterEventSource();
  AddToStore("ROOT", TestPki::Get().Root());
  AddToStore("CA", TestPki::Get().Intermediate());
}

void ServicesFixture::TearDown() {
  Platform::DeregisterEventSource();
  Platform::SetEventSink(nullptr);
  dir_.reset();
}

namespace {

class LevelDroppingSink : public Platform::IEventSink {
 public:
  explicit LevelDroppingSink(std::shared_ptr<Platform::RecordingEventSink> record) : record_(std::move(record)) {}
  void Report(uint16_t type, const std::string& text) override {
    record_->Report(type, text);
    if (!dropped_) dropped_ = Platform::Profile().WriteInt("", "EventLogLevel", 0);
  }

 private:
  std::shared_ptr<Platform::RecordingEventSink> record_;
  bool dropped_ = false;
};

}  // namespace

void ServicesFixture::DropLevelAfterFirstEvent() {
  Platform::SetEventSink(std::make_shared<LevelDroppingSink>(sink_));
}

void ServicesFixture::AddToStore(const std::string& store, const PkiItem& item) {
  auto opened = Platform::CertStore::OpenSystem(store);
  ASSERT_TRUE(opened);
  std::vector<unsigned char> der = item.Der();
  auto context = Platform::CertContext::Create(der.data(), der.size());
  ASSERT_TRUE(context);
  ASSERT_TRUE(opened->Add(*context, Platform::CertAddDisposition::ReplaceExisting));
}

PkiItem ServicesFixture::Leaf(const std::vector<std::string>& ocspUrls, const std::string& cn,
                              const std::string& keyType) {
  TvrTest::CertSpec spec;
  spec.keyType = keyType;
  spec.subject = "/C=HU/O=Tavrenic/CN=" + cn;
  std::string aia;
  for (const std::string& url : ocspUrls) aia += (aia.empty() ? "" : ",") + std::string("OCSP;URI:") + url;
  spec.extensions = {{"keyUsage", "critical,digitalSignature"}};
  if (!aia.empty()) spec.extensions.push_back({"authorityInfoAccess", aia});
  return TvrTest::CertBuilder::Issue(spec, &TestPki::Get().Intermediate());
}

void ServicesFixture::Save(PkiItem& item, const std::string& name) const {
  item.pemPath = dir_->Path() + "/" + name + ".pem";
  item.keyPath = dir_->Path() + "/" + name + ".key.pem";
  std::ofstream(item.pemPath) << item.Pem();
  std::ofstream(item.keyPath) << item.KeyPem();
}

std::string ServicesFixture::IndexLine(const PkiItem& item, const std::string& reason) {
  std::string revocation = reason.empty() ? "" : IndexTime(std::time(nullptr) - 3600) + "," + reason;
  return std::string(reason.empty() ? "V" : "R") + "\t" + IndexTime(item.NotAfter()) + "\t" + revocation + "\t" +
         item.SerialHex() + "\tunknown\t" + OneLineSubject(item);
}

std::unique_ptr<TvrTest::OcspResponderProcess> ServicesFixture::Responder(const std::vector<std::string>& lines,
                                                                         const PkiItem* signer,
                                                                         const std::vector<std::string>& extra) {
  static int count = 0;
  std::string index = dir_->Path() + "/index" + std::to_string(++count) + ".txt";
  std::ofstream out(index);
  for (const std::string& line : lines) out << line << "\n";
  out.close();
  const PkiItem& rsigner = signer ? *signer : TestPki::Get().OcspSigner();
  std::vector<std::string> args = {"-nmin", "5"};
  args.insert(args.end(), extra.begin(), extra.end());
  return std::make_unique<TvrTest::OcspResponderProcess>(index, TestPki::Get().Intermediate().pemPath,
                                                        rsigner.pemPath, rsigner.keyPath, args);
}
