// The names of a certificate as the store layer shows and searches them.
#include <locale.h>
#include <wctype.h>

#include <openssl/x509v3.h>

#include "platform/CertStore.h"

namespace Platform {

namespace {

std::string EntryText(const X509_NAME_ENTRY* entry) {
  unsigned char* utf8 = nullptr;
  const int length = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(entry));
  if (length < 0) return {};
  std::string text(reinterpret_cast<char*>(utf8), static_cast<size_t>(length));
  OPENSSL_free(utf8);
  return text;
}

std::string FirstAttribute(const X509_NAME* name, int nid) {
  const int index = X509_NAME_get_index_by_NID(name, nid, -1);
  if (index < 0) return {};
  return EntryText(X509_NAME_get_entry(name, index));
}

std::string FirstAltNameEmail(const X509* certificate, int nid) {
  auto* names = static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(certificate, nid, nullptr, nullptr));
  if (!names) return {};
  std::string text;
  for (int i = 0; i < sk_GENERAL_NAME_num(names) && text.empty(); ++i) {
    const GENERAL_NAME* name = sk_GENERAL_NAME_value(names, i);
    if (name->type != GEN_EMAIL) continue;
    const ASN1_IA5STRING* email = name->d.rfc822Name;
    text.assign(reinterpret_cast<const char*>(ASN1_STRING_get0_data(email)),
                static_cast<size_t>(ASN1_STRING_length(email)));
  }
  GENERAL_NAMES_free(names);
  return text;
}

// The longest prefix of at most maxUnits UTF-16 code units that ends between characters.
std::string CutToUtf16Units(const std::string& text, size_t maxUnits) {
  size_t units = 0;
  size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : 4;
    const size_t needed = length == 4 ? 2 : 1;
    if (units + needed > maxUnits || i + length > text.size()) break;
    units += needed;
    i += length;
  }
  return text.substr(0, i);
}

// UTF-8 to code points; a malformed byte stands for itself.
std::u32string Decode(const std::string& text) {
  std::u32string out;
  for (size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
    char32_t cp = length == 1 ? lead : length == 2 ? (lead & 0x1F) : length == 3 ? (lead & 0x0F) : (lead & 0x07);
    bool ok = length != 0 && i + length <= text.size();
    for (size_t k = 1; ok && k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      ok = (next & 0xC0) == 0x80;
      cp = (cp << 6) | (next & 0x3F);
    }
    if (!ok) {
      out += lead;
      ++i;
      continue;
    }
    out += cp;
    i += length;
  }
  return out;
}

// Lower-case folding by the Unicode tables of the C.UTF-8 locale, whatever the
// process locale is; ASCII only when that locale is missing.
std::u32string Fold(const std::u32string& text) {
  static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  std::u32string out;
  out.reserve(text.size());
  for (char32_t c : text) {
    if (utf8) {
      out += static_cast<char32_t>(towlower_l(static_cast<wint_t>(c), utf8));
    } else {
      out += (c >= U'A' && c <= U'Z') ? c + 32 : c;
    }
  }
  return out;
}

}  // namespace

std::string CertContext::SimpleDisplayName(bool issuer, size_t maxUnits) const {
  const X509* certificate = Certificate();
  const X509_NAME* name = issuer ? X509_get_issuer_name(certificate) : X509_get_subject_name(certificate);
  std::string text;
  for (int nid : {NID_commonName, NID_organizationalUnitName, NID_organizationName,
                  NID_pkcs9_emailAddress}) {
    text = FirstAttribute(name, nid);
    if (!text.empty()) break;
  }
  if (text.empty()) text = FirstAltNameEmail(certificate, issuer ? NID_issuer_alt_name : NID_subject_alt_name);
  if (text.empty() && X509_NAME_entry_count(name) > 0) text = EntryText(X509_NAME_get_entry(name, 0));
  return CutToUtf16Units(text, maxUnits);
}

bool CertContext::SubjectContains(const std::string& text) const {
  const X509_NAME* name = X509_get_subject_name(Certificate());
  std::string subject;
  for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
    if (i) subject += ", ";
    subject += EntryText(X509_NAME_get_entry(name, i));
  }
  return Fold(Decode(subject)).find(Fold(Decode(text))) != std::u32string::npos;
}

}  // namespace Platform
