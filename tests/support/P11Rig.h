// PKCS#11 test rig: private SoftHSM2 tokens, and a shim module (over a private
// SoftHSM2 copy) installed under a vendor file name in the test process's own
// module folder. Failures of the rig throw std::runtime_error carrying the
// failing tool's output; gtest reports that as a failed test.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace TvrTest {

// A fresh directory under $TMPDIR (or /tmp), removed recursively on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

// The test process's private module folder ($TVR_TEST_MODULE_DIR), which the
// test main puts on LD_LIBRARY_PATH before the tests start. Throws when unset.
std::string ModuleDir();

// Runs argv[0] (a path, or a name looked up on PATH) without a shell and
// returns its exit code (128 + signal when killed). stdout and stderr together
// go to *output when given.
int RunCommand(const std::vector<std::string>& argv, std::string* output = nullptr);

struct ShimOptions {
  std::string version{};                       // reported Cryptoki version, "2.1" = 2.01; "" = SoftHSM2's
  std::map<std::string, std::string> readers{};  // token label -> reader name in the slot description
  bool withoutFunctionList = false;            // install the build that lacks C_GetFunctionList
  bool withoutExtensions = false;              // install the build that lacks ETC_GetFunctionListEx
  unsigned delayUs = 0;                        // sleep inside every call
  bool hideFreeSlot = true;                    // leave SoftHSM2's uninitialised slot out of C_GetSlotList
  bool pcscInInitialize = false;               // C_Initialize establishes a PC/SC context, as vendor modules do
};

// The shim installed as ModuleDir()/<fileName>, with its own SoftHSM2 copy,
// configuration file and call log. Removes its files on destruction.
class InstalledShim {
 public:
  InstalledShim(const std::string& fileName, const ShimOptions& options = {});
  ~InstalledShim();
  InstalledShim(const InstalledShim&) = delete;
  InstalledShim& operator=(const InstalledShim&) = delete;

  const std::string& Path() const { return path_; }
  const std::string& LogPath() const { return logPath_; }

  // Changes take effect at the module's next call.
  void InjectRv(const std::string& function, unsigned long rv);  // e.g. ("C_Login", 0xa0)
  void ClearRv(const std::string& function);
  void SetVersion(const std::string& version);
  // Any other key of the shim's configuration, e.g. ("token_flags_set", "0x40000").
  void SetOption(const std::string& key, const std::string& value);
  void ClearOption(const std::string& key);
  // The module's next call first closes every session of every slot, without telling
  // the caller (a card swap as the module sees it).
  void DropSessions();

  // One line per call (the function name), "load"/"unload" for the library's
  // constructor/destructor, "OVERLAP <function>" for a call that started while
  // another call into the same module was running.
  std::vector<std::string> CallLog() const;
  std::size_t CountCalls(const std::string& line) const;
  bool SawOverlap() const;
  void ClearLog();

 private:
  void WriteConf() const;

  ShimOptions options_;
  std::map<std::string, unsigned long> rv_;
  std::map<std::string, std::string> extra_;
  unsigned long drops_ = 0;
  std::string path_;
  std::string targetPath_;
  std::string logPath_;
};

struct TokenSpec {
  std::string label = "TvrTest";
  std::string soPin = "12345678";
  std::string userPin = "1234";
  bool withKeyAndCertificate = true;
  std::string keyType = "ec";  // "ec" (P-256, a fresh key per token) or "rsa" (2048, one key per process)
  std::string id = "01";       // CKA_ID in hex, shared by the key pair and the certificate
  std::string objectLabel = "TvrKey";
  std::string subject = "/CN=Tavrenic Test User";  // self-signed end-entity certificate, UTF-8
};

// A private SoftHSM2 token folder, selected through SOFTHSM2_CONF for as long
// as the object lives (the previous value comes back afterwards). SoftHSM2
// reads SOFTHSM2_CONF in C_Initialize, so every installed shim initialised
// meanwhile sees these tokens, each through its own SoftHSM2 instance.
class SoftHsmTokens {
 public:
  SoftHsmTokens();
  ~SoftHsmTokens();
  SoftHsmTokens(const SoftHsmTokens&) = delete;
  SoftHsmTokens& operator=(const SoftHsmTokens&) = delete;

  // Initialises a token and, when asked, imports a key pair and writes its
  // certificate (label objectLabel, CKA_ID id) to it.
  void AddToken(const TokenSpec& spec);
  // Path of the DER certificate written to the token with that label.
  std::string CertificateDer(const std::string& tokenLabel) const;
  std::string ConfPath() const;

 private:
  TempDir dir_;
  std::map<std::string, std::string> certificates_;  // token label -> DER file
  int nextFile_ = 0;
  std::optional<std::string> previousConf_;
};

}  // namespace TvrTest
