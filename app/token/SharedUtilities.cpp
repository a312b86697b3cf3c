#include "SharedUtilities.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>
#include <stdexcept>

#include "UtfConverter.h"

namespace {

std::string Hex(const uint8_t* bytes, size_t length, const char* digits) {
  std::string out;
  if (!bytes) return out;
  out.reserve(length * 2);
  for (size_t i = 0; i < length; ++i) {
    out += digits[bytes[i] >> 4];
    out += digits[bytes[i] & 0x0F];
  }
  return out;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::string BytesToHex(const uint8_t* bytes, size_t length) {
  return Hex(bytes, length, "0123456789abcdef");
}

std::string BytesToHexUpper(const uint8_t* bytes, size_t length) {
  return Hex(bytes, length, "0123456789ABCDEF");
}

bool HexToBytes(const std::string& hex, uint8_t** buffer, size_t* length) {
  if (!buffer || !length) return false;
  const size_t n = hex.size() / 2;
  *buffer = static_cast<uint8_t*>(std::malloc(n ? n : 1));
  if (!*buffer) return false;
  *length = n;
  return HexToBytesInto(*buffer, n, hex);
}

bool HexToBytesInto(uint8_t* buffer, size_t count, const std::string& hex) {
  if (!buffer || count == 0) return false;
  if (hex.size() / 2 < count) return false;  // never read past the text
  std::string lower = hex;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  for (char c : lower)
    if (HexValue(c) < 0) return false;
  for (size_t i = 0; i < count; ++i)
    buffer[i] = static_cast<uint8_t>(HexValue(lower[2 * i]) * 16 + HexValue(lower[2 * i + 1]));
  return true;
}

std::string CertificateThumbprintHex(X509* certificate) {
  if (!certificate) return {};
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (X509_digest(certificate, EVP_sha1(), digest, &length) != 1) return {};
  return BytesToHex(digest, length);
}

std::set<std::string> GetNameCommonNames(const X509_NAME* name) {
  std::set<std::string> names;
  if (!name) return names;
  int index = -1;
  while ((index = X509_NAME_get_index_by_NID(name, NID_commonName, index)) >= 0) {
    const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, index);
    unsigned char* utf8 = nullptr;
    int length = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(entry));
    if (length > 0) names.insert(std::string(reinterpret_cast<char*>(utf8), length));
    OPENSSL_free(utf8);
  }
  return names;
}

std::string GetSubjectCommonName(X509* certificate) {
  if (!certificate) return {};
  auto names = GetNameCommonNames(X509_get_subject_name(certificate));
  return names.empty() ? std::string() : *names.begin();
}

std::string Asn1TimeToString(const ASN1_TIME* time) {
  if (!time) return {};
  ASN1_GENERALIZEDTIME* generalized = ASN1_TIME_to_generalizedtime(time, nullptr);
  if (!generalized) return {};
  std::string text(reinterpret_cast<const char*>(ASN1_STRING_get0_data(generalized)),
                   ASN1_STRING_length(generalized));
  ASN1_GENERALIZEDTIME_free(generalized);
  return text;
}

bool IsEncryptionOnlyKeyUsage(uint32_t keyUsage) {
  constexpr uint32_t kEncipherment = 0x20 | 0x10;
  return (keyUsage & kEncipherment) != 0 && (keyUsage & ~kEncipherment) == 0;
}

std::u16string Utf8ToWide(const std::string& text) {
  try {
    UtfConverter converter;
    if (text.find('\0') != std::string::npos) throw std::range_error("embedded zero");
    return std::u16string(converter.Utf8ToWide(text.c_str()));
  } catch (const UtfConverter::ConversionErrorException&) {
    throw std::range_error("invalid UTF-8");
  }
}

VersionNumber::VersionNumber(const std::string& text) {
  int32_t* parts[] = {&major, &minor, &build, &revision};
  const char* p = text.c_str();
  for (size_t i = 0; i < 4; ++i) {
    if (i > 0) {
      if (*p != '.') break;
      ++p;
    }
    // As "%d": optional blanks and sign, then digits; the value saturates rather than
    // overflow on absurdly long digit runs.
    while (*p == ' ' || *p == '\t') ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = (*p++ == '-');
    if (!std::isdigit(static_cast<unsigned char>(*p))) break;
    long long value = 0;
    while (std::isdigit(static_cast<unsigned char>(*p))) {
      if (value < INT_MAX) value = value * 10 + (*p - '0');
      ++p;
    }
    if (value > INT_MAX) value = INT_MAX;
    *parts[i] = static_cast<int32_t>(negative ? -value : value);
  }
}

bool VersionNumber::operator<(const VersionNumber& other) const {
  if (major != other.major) return major < other.major;
  if (minor != other.minor) return minor < other.minor;
  if (build != other.build) return build < other.build;
  return revision < other.revision;
}

std::string RegQueryString(const Platform::Profile& profile, const std::string& section,
                           const std::string& name) {
  auto value = profile.Read(section, name);
  if (!value || value->type != Platform::ValueType::String) return {};
  return value->text.substr(0, value->text.find('\0'));  // up to its terminating zero
}

uint32_t RegQueryDword(const Platform::Profile& profile, const std::string& section,
                       const std::string& name) {
  auto value = profile.Read(section, name);
  if (!value || value->type != Platform::ValueType::Dword) return 0;
  return value->dword;
}
