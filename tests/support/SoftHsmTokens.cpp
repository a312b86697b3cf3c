#include "P11Rig.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <stdexcept>

namespace TvrTest {
namespace {

void Run(const std::vector<std::string>& argv) {
  std::string output;
  const int code = RunCommand(argv, &output);
  if (code != 0) {
    std::string command;
    for (const std::string& arg : argv) command += (command.empty() ? "" : " ") + arg;
    throw std::runtime_error("command failed with exit code " + std::to_string(code) + ": " + command +
                             "\n" + output);
  }
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::trunc);
  out << content;
  if (!out.flush()) throw std::runtime_error("cannot write " + path);
}

// Key material shared by the whole test process. An RSA key takes the openssl
// CLI about a tenth of a second, so it is made once; EC keys are cheap and
// every token gets its own.
class KeyMaterial {
 public:
  static KeyMaterial& Instance() {
    static KeyMaterial instance;
    return instance;
  }

  std::string NewKey(const std::string& keyType) {
    std::lock_guard lock(mutex_);
    if (keyType == "rsa") {
      if (rsaKey_.empty()) {
        rsaKey_ = dir_.Path() + "/rsa.p8.pem";
        Run({TVR_OPENSSL_CLI, "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out", rsaKey_});
      }
      return rsaKey_;
    }
    if (keyType != "ec") throw std::invalid_argument("TokenSpec.keyType must be \"ec\" or \"rsa\", not " + keyType);
    const std::string path = dir_.Path() + "/ec" + std::to_string(ecKeys_++) + ".p8.pem";
    Run({TVR_OPENSSL_CLI, "genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", path});
    return path;
  }

  // openssl req configuration for an end-entity certificate (the default one
  // would make a CA certificate).
  std::string RequestConfig(const std::string& keyType) {
    std::lock_guard lock(mutex_);
    const std::string path = dir_.Path() + "/req-" + keyType + ".cnf";
    if (!std::filesystem::exists(path)) {
      WriteFile(path, std::string("[req]\ndistinguished_name = dn\nx509_extensions = ext\n[dn]\n[ext]\n"
                                  "basicConstraints = critical,CA:FALSE\n"
                                  "subjectKeyIdentifier = hash\n"
                                  "keyUsage = critical,digitalSignature,nonRepudiation") +
                          (keyType == "rsa" ? ",keyEncipherment\n" : "\n"));
    }
    return path;
  }

 private:
  std::mutex mutex_;
  TempDir dir_;
  std::string rsaKey_;
  int ecKeys_ = 0;
};

}  // namespace

SoftHsmTokens::SoftHsmTokens() {
  const std::string tokens = dir_.Path() + "/tokens";
  std::filesystem::create_directory(tokens);
  WriteFile(ConfPath(), "directories.tokendir = " + tokens + "\nobjectstore.backend = file\nlog.level = ERROR\n");
  if (const char* previous = std::getenv("SOFTHSM2_CONF")) previousConf_ = previous;
  ::setenv("SOFTHSM2_CONF", ConfPath().c_str(), 1);
}

SoftHsmTokens::~SoftHsmTokens() {
  if (previousConf_) {
    ::setenv("SOFTHSM2_CONF", previousConf_->c_str(), 1);
  } else {
    ::unsetenv("SOFTHSM2_CONF");
  }
}

std::string SoftHsmTokens::ConfPath() const { return dir_.Path() + "/softhsm2.conf"; }

void SoftHsmTokens::AddToken(const TokenSpec& spec) {
  Run({TVR_SOFTHSM2_UTIL, "--init-token", "--free", "--label", spec.label, "--so-pin", spec.soPin, "--pin",
       spec.userPin});
  if (!spec.withKeyAndCertificate) return;

  KeyMaterial& keys = KeyMaterial::Instance();
  const std::string key = keys.NewKey(spec.keyType);
  Run({TVR_SOFTHSM2_UTIL, "--import", key, "--token", spec.label, "--id", spec.id, "--label", spec.objectLabel,
       "--pin", spec.userPin});

  const std::string certificate = dir_.Path() + "/cert" + std::to_string(nextFile_++) + ".der";
  Run({TVR_OPENSSL_CLI, "req", "-x509", "-new", "-utf8", "-config", keys.RequestConfig(spec.keyType), "-key", key,
       "-subj", spec.subject, "-days", "3650", "-outform", "DER", "-out", certificate});
  Run({TVR_PKCS11_TOOL, "--module", TVR_SOFTHSM2_MODULE, "--token-label", spec.label, "--login", "--pin",
       spec.userPin, "--write-object", certificate, "--type", "cert", "--id", spec.id, "--label",
       spec.objectLabel});
  certificates_[spec.label] = certificate;
}

std::string SoftHsmTokens::CertificateDer(const std::string& tokenLabel) const {
  const auto found = certificates_.find(tokenLabel);
  if (found == certificates_.end()) throw std::invalid_argument("no certificate written to token " + tokenLabel);
  return found->second;
}

}  // namespace TvrTest
