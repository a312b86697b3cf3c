// PKCS #12 (PFX, P12) files that users pick for import: the import command runs against
// the fuzzer's bytes as the chosen file, with stand-ins for the user and the card that
// answer one password ("1234") and then stop before anything would be written.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <string>

#include "CertificateCommands.h"
#include "ContentsHost.h"
#include "FuzzSupport.h"
#include "PfxImport.h"
#include "UserPort.h"

namespace {

class Host : public IContentsHost {
 public:
  CardHold HoldCard() override { return keeper_.HoldCard(); }
  PKCS11Base* Token() override { return nullptr; }
  TokenInfo* GetTokenInfo(bool) override { return nullptr; }
  TokenObjects* GetTokenObjects(bool) override { return &objects_; }
  std::string ReaderName() override { return "Fuzz Reader"; }
  std::string CardName() override { return "Fuzz Card"; }
  Platform::CertStore* PersonalStore() override { return nullptr; }
  void UnregisterCertificates(const std::string&) override {}
  void RegisterCertificates(const std::string&, const std::string&, const std::string&, PKCS11Base*,
                            const TokenObjects*) override {}

 private:
  CardKeeper keeper_;
  TokenObjects objects_;
};

class View : public IContentsView {
 public:
  void RefreshTree(bool) override {}
  void SetBusy(bool) override {}
  std::optional<std::string> ChooseCertificateFile() override { return std::nullopt; }
  std::optional<std::string> ChooseFolder() override { return std::nullopt; }
  void OpenFolder(const std::string&) override {}
  bool ShowCertificate(const std::vector<uint8_t>&) override { return false; }
};

class User : public IUserPort {
 public:
  int MessageBox(const std::string&, const std::string&, unsigned) override { return 0; }
};

class PfxPort : public IPfxImportPort {
 public:
  explicit PfxPort(std::string path) : path_(std::move(path)) {}
  std::optional<std::string> ChoosePfxFile() override { return path_; }
  std::optional<TvrCommon::SecureString> AskPfxPassword(const std::string&) override {
    if (asked_++ > 0) return std::nullopt;
    return TvrCommon::SecureString("1234");
  }
  std::optional<KeyAndCertLabels> AskLabels(const std::string& prefix, const TokenObjects&) override {
    TvrFuzz::Require(prefix.size() < (1u << 20), "a sane label prefix");
    return std::nullopt;  // stop before the card
  }

 private:
  std::string path_;
  int asked_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const int fd = memfd_create("fuzz-pfx", 0);
  static const std::string path = "/proc/self/fd/" + std::to_string(fd);
  if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) {
    std::perror("memfd");
    std::abort();
  }
  Host host;
  View view;
  User user;
  PfxPort pfx(path);
  ContentsCommands commands(host, view, user);
  PfxImport import(host, view, user, pfx, commands);
  import.Run();
  return 0;
}
