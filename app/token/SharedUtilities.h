// Small helpers that the token layer, the application and the online services share:
// hexadecimal text, certificate thumbprints, names and times, the encryption-only key
// usage test, version numbers, profile reads and holders of PC/SC and C library handles.
#pragma once

#include <winscard.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include <openssl/asn1.h>
#include <openssl/x509.h>

#include "platform/Profile.h"

// Two lower-case digits per byte; empty for length 0.
std::string BytesToHex(const uint8_t* bytes, size_t length);
// Two upper-case digits per byte (answer-to-reset texts of the event log).
std::string BytesToHexUpper(const uint8_t* bytes, size_t length);
// Allocates (malloc) hex.size() / 2 bytes into *buffer, which the caller frees whatever
// the result; an odd last digit is ignored.
bool HexToBytes(const std::string& hex, uint8_t** buffer, size_t* length);
// Reads `count` pairs of digits into buffer; false for a null buffer, count 0, a text
// shorter than 2 * count or any character that is not a hexadecimal digit.
bool HexToBytesInto(uint8_t* buffer, size_t count, const std::string& hex);

// SHA-1 of the DER certificate as 40 lower-case digits; empty for null.
std::string CertificateThumbprintHex(X509* certificate);
// Every commonName value of a name (UTF-8), ordered, duplicates collapsed.
std::set<std::string> GetNameCommonNames(const X509_NAME* name);
// The smallest commonName of the subject; empty for null or none.
std::string GetSubjectCommonName(X509* certificate);
// "YYYYMMDDhhmmssZ"; empty when the time does not convert.
std::string Asn1TimeToString(const ASN1_TIME* time);
// keyEncipherment and/or dataEncipherment and nothing else. Callers pass 0xFFFFFFFF for
// a certificate without the extension.
bool IsEncryptionOnlyKeyUsage(uint32_t keyUsage);

// X509_free on every certificate of a container of X509* (or of pairs whose second is
// X509*), then clears it.
template <typename Container>
void FreeCertificateMap(Container& certificates) {
  for (auto& entry : certificates) {
    if constexpr (requires { entry.second; }) {
      X509_free(entry.second);
    } else {
      X509_free(entry);
    }
  }
  certificates.clear();
}

// Strict UTF-8 to UTF-16; malformed text throws std::range_error.
std::u16string Utf8ToWide(const std::string& text);

struct VersionNumber {
  int32_t major = 0;
  int32_t minor = 0;
  int32_t build = 0;
  int32_t revision = 0;

  VersionNumber() = default;
  // Reads "a.b.c.d"; reading stops at the first missing or non-numeric part.
  explicit VersionNumber(const std::string& text);
  bool operator<(const VersionNumber& other) const;
};

// Profile reads that insist on the value's type: a string of another type (an
// expandable string, say) reads as empty text, a non-integer as 0.
std::string RegQueryString(const Platform::Profile& profile, const std::string& section,
                           const std::string& name);
uint32_t RegQueryDword(const Platform::Profile& profile, const std::string& section,
                       const std::string& name);

// Holders that release one handle when destroyed. Each does nothing for a null or 0
// value and forgets the handle only when the release succeeded.
class AutoFree {
 public:
  explicit AutoFree(void* pointer = nullptr) : pointer_(pointer) {}
  ~AutoFree() { std::free(pointer_); }
  AutoFree(const AutoFree&) = delete;
  AutoFree& operator=(const AutoFree&) = delete;
  void Reset(void* pointer) {
    if (pointer == pointer_) return;
    std::free(pointer_);
    pointer_ = pointer;
  }
  void* Get() const { return pointer_; }

 private:
  void* pointer_;
};

class AutoFile {
 public:
  explicit AutoFile(FILE* file = nullptr) : file_(file) {}
  ~AutoFile() {
    if (file_ && std::fclose(file_) == 0) file_ = nullptr;
  }
  AutoFile(const AutoFile&) = delete;
  AutoFile& operator=(const AutoFile&) = delete;
  FILE* Get() const { return file_; }

 private:
  FILE* file_;
};

class AutoSCardContext {
 public:
  explicit AutoSCardContext(SCARDCONTEXT context = 0) : context_(context) {}
  ~AutoSCardContext() {
    if (context_ && SCardReleaseContext(context_) == SCARD_S_SUCCESS) context_ = 0;
  }
  AutoSCardContext(const AutoSCardContext&) = delete;
  AutoSCardContext& operator=(const AutoSCardContext&) = delete;
  SCARDCONTEXT Get() const { return context_; }
  SCARDCONTEXT* Put() { return &context_; }
  // Lets go of a context that a call given up on still uses: releasing it would wait for
  // that call.
  void Abandon() { context_ = 0; }

 private:
  SCARDCONTEXT context_;
};

class AutoSCardHandle {
 public:
  explicit AutoSCardHandle(SCARDHANDLE card = 0, DWORD disposition = SCARD_LEAVE_CARD)
      : card_(card), disposition_(disposition) {}
  ~AutoSCardHandle() {
    if (card_ && SCardDisconnect(card_, disposition_) == SCARD_S_SUCCESS) card_ = 0;
  }
  AutoSCardHandle(const AutoSCardHandle&) = delete;
  AutoSCardHandle& operator=(const AutoSCardHandle&) = delete;
  SCARDHANDLE Get() const { return card_; }
  SCARDHANDLE* Put() { return &card_; }
  void SetDisposition(DWORD disposition) { disposition_ = disposition; }

 private:
  SCARDHANDLE card_;
  DWORD disposition_;
};

class AutoSCardMemory {
 public:
  AutoSCardMemory(SCARDCONTEXT context, void* memory) : context_(context), memory_(memory) {}
  ~AutoSCardMemory() {
    if (memory_ && SCardFreeMemory(context_, memory_) == SCARD_S_SUCCESS) memory_ = nullptr;
  }
  AutoSCardMemory(const AutoSCardMemory&) = delete;
  AutoSCardMemory& operator=(const AutoSCardMemory&) = delete;
  void* Get() const { return memory_; }

 private:
  SCARDCONTEXT context_;
  void* memory_;
};
