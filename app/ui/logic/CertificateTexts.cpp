#include "CertificateTexts.h"

#include <cstdlib>
#include <memory>

#include <openssl/asn1t.h>
#include <openssl/objects.h>
#include <openssl/x509v3.h>

#include "Cp1250.h"
#include "SharedUtilities.h"
#include "Strings.h"
#include "TextFormat.h"

// The application's own reading of the qualified statements: only the statement ids and
// the QcType values matter for the type text.
extern "C" {
typedef struct TvrTextQcStatementSt {
  ASN1_OBJECT* statementId;
  ASN1_TYPE* statementInfo;
} TVR_TEXT_QC_STATEMENT;
typedef STACK_OF(ASN1_OBJECT) TVR_TEXT_QC_TYPE;
typedef struct stack_st TVR_TEXT_QC_STATEMENTS;
}

ASN1_SEQUENCE(TVR_TEXT_QC_STATEMENT) = {
    ASN1_SIMPLE(TVR_TEXT_QC_STATEMENT, statementId, ASN1_OBJECT),
    ASN1_OPT(TVR_TEXT_QC_STATEMENT, statementInfo, ASN1_ANY),
} ASN1_SEQUENCE_END(TVR_TEXT_QC_STATEMENT)

ASN1_ITEM_TEMPLATE(TVR_TEXT_QC_STATEMENTS) =
    ASN1_EX_TEMPLATE_TYPE(ASN1_TFLG_SEQUENCE_OF, 0, QcStatements, TVR_TEXT_QC_STATEMENT)
ASN1_ITEM_TEMPLATE_END(TVR_TEXT_QC_STATEMENTS)

ASN1_ITEM_TEMPLATE(TVR_TEXT_QC_TYPE) =
    ASN1_EX_TEMPLATE_TYPE(ASN1_TFLG_SEQUENCE_OF, 0, QcType, ASN1_OBJECT)
ASN1_ITEM_TEMPLATE_END(TVR_TEXT_QC_TYPE)

namespace {

using Res::StringId;

constexpr uint32_t kNone = 0xFFFFFFFFu;
constexpr const char* kQcCutoff = "20160630120000";
constexpr const char* kQcCompliance = "0.4.0.1862.1.1";
constexpr const char* kQcType = "0.4.0.1862.1.6";
constexpr const char* kQcTypeEsign = "0.4.0.1862.1.6.1";
constexpr const char* kQcTypeEseal = "0.4.0.1862.1.6.2";
constexpr const char* kQcTypeWeb = "0.4.0.1862.1.6.3";

struct ItemDeleter {
  const ASN1_ITEM* item;
  void operator()(void* value) const { ASN1_item_free(static_cast<ASN1_VALUE*>(value), item); }
};
using ItemPtr = std::unique_ptr<void, ItemDeleter>;

ItemPtr DecodeItem(const ASN1_ITEM* item, const unsigned char* data, long length) {
  const unsigned char* p = data;
  return ItemPtr(ASN1_item_d2i(nullptr, &p, length, item), ItemDeleter{item});
}

std::string Dotted(const ASN1_OBJECT* object) {
  char buffer[256] = {};
  if (OBJ_obj2txt(buffer, sizeof buffer, object, 1) <= 0) return {};
  return buffer;
}

std::string NotBeforeText(X509* certificate) {
  return Asn1TimeToString(X509_get0_notBefore(certificate));
}

StringId SigningType(X509* certificate) {
  const int at = X509_get_ext_by_NID(certificate, NID_qcStatements, -1);
  const std::string notBefore = NotBeforeText(certificate).substr(0, 14);
  if (!IsLaterThanQcCutoff(notBefore))
    return at >= 0 ? StringId::CertTypeQualifiedSigning : StringId::CertTypeSigning;
  if (at < 0) return StringId::CertTypeDefault;
  ASN1_OCTET_STRING* value = X509_EXTENSION_get_data(X509_get_ext(certificate, at));
  ItemPtr statements = DecodeItem(ASN1_ITEM_rptr(TVR_TEXT_QC_STATEMENTS), ASN1_STRING_get0_data(value),
                                  ASN1_STRING_length(value));
  if (!statements) return StringId::CertTypeDefault;
  bool compliance = false, esign = false, eseal = false, web = false, other = false;
  auto* stack = static_cast<OPENSSL_STACK*>(statements.get());
  for (int i = 0; i < OPENSSL_sk_num(stack); ++i) {
    auto* statement = static_cast<TVR_TEXT_QC_STATEMENT*>(OPENSSL_sk_value(stack, i));
    const std::string id = Dotted(statement->statementId);
    if (id == kQcCompliance) {
      compliance = true;
    } else if (id == kQcType && statement->statementInfo &&
               statement->statementInfo->type == V_ASN1_SEQUENCE) {
      const ASN1_STRING* info = statement->statementInfo->value.sequence;
      ItemPtr types = DecodeItem(ASN1_ITEM_rptr(TVR_TEXT_QC_TYPE), ASN1_STRING_get0_data(info),
                                 ASN1_STRING_length(info));
      if (!types) continue;
      auto* typeStack = static_cast<OPENSSL_STACK*>(types.get());
      for (int j = 0; j < OPENSSL_sk_num(typeStack); ++j) {
        const std::string type = Dotted(static_cast<ASN1_OBJECT*>(OPENSSL_sk_value(typeStack, j)));
        if (type == kQcTypeEsign) esign = true;
        else if (type == kQcTypeEseal) eseal = true;
        else if (type == kQcTypeWeb) web = true;
        else other = true;
      }
    }
  }
  if (esign) {
    if (eseal || web || other) return StringId::CertTypeDefault;
    return compliance ? StringId::CertTypeQualifiedSigning : StringId::CertTypeSigning;
  }
  if (eseal) {
    if (web || other) return StringId::CertTypeDefault;
    return compliance ? StringId::CertTypeQualifiedSeal : StringId::CertTypeSeal;
  }
  return StringId::CertTypeDefault;
}

StringId TypeOf(X509* certificate) {
  if (!certificate) return StringId::CertTypeDefault;
  if (X509_check_ca(certificate) > 0)
    return X509_check_issued(certificate, certificate) == X509_V_OK ? StringId::CertTypeRootCa
                                                                    : StringId::CertTypeCa;
  X509_check_purpose(certificate, -1, 0);
  const uint32_t flags = X509_get_extension_flags(certificate);
  const uint32_t ku = (flags & EXFLAG_KUSAGE) ? X509_get_key_usage(certificate) : kNone;
  const uint32_t xku = (flags & EXFLAG_XKUSAGE) ? X509_get_extended_key_usage(certificate) : kNone;
  StringId type = StringId::CertTypeDefault;
  if (ku != kNone) {
    if (ku != 0 && (ku & ~uint32_t{KU_DIGITAL_SIGNATURE | KU_KEY_AGREEMENT}) == 0)
      type = StringId::CertTypeAuthentication;
    else if (IsEncryptionOnlyKeyUsage(ku))
      type = StringId::CertTypeEncryption;
    else if (ku != 0 && (ku & ~uint32_t{KU_DIGITAL_SIGNATURE | KU_NON_REPUDIATION}) == 0)
      type = SigningType(certificate);
  }
  if (xku != kNone && xku == XKU_CODE_SIGN) type = StringId::CertTypeCodeSigning;
  return type;
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// Characters that must not reach the screen from outside: controls (a line break in a
// one-line tree item), line and paragraph separators, and the bidirectional formatting
// characters that would reorder what the user reads.
bool Unshowable(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
         (c >= 0x2028 && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

int Digits(const std::string& text, size_t at, size_t count) {
  if (text.size() < at + count) return 0;
  return std::atoi(text.substr(at, count).c_str());
}

}  // namespace

std::string GetCertificateTypeText(X509* certificate, bool lowerCase) {
  const std::string text = Res::Text(TypeOf(certificate));
  return lowerCase ? LowerCaseText(text) : text;
}

bool IsLaterThanQcCutoff(const std::string& time) { return time > std::string(kQcCutoff); }

std::string GetCertificateDisplayName(X509* certificate, bool shortForm) {
  const std::string name = DisplayText(GetSubjectCommonName(certificate));
  if (shortForm) return name + " (" + GetCertificateTypeText(certificate, true) + ")";
  return GetCertificateTypeText(certificate, false) + " - " + Res::Text(StringId::CertHolder) + ": " +
         name;
}

std::string GetValidityText(X509* certificate) {
  if (!certificate) return std::string(36, '-');
  const std::string from = Asn1TimeToString(X509_get0_notBefore(certificate));
  const std::string to = Asn1TimeToString(X509_get0_notAfter(certificate));
  return FormatText("%04d. %02d. %02d. - %04d. %02d. %02d.", Digits(from, 0, 4), Digits(from, 4, 2),
                    Digits(from, 6, 2), Digits(to, 0, 4), Digits(to, 4, 2), Digits(to, 6, 2));
}

std::string Utf8ToCString(const std::string& text) {
  try {
    Utf8ToWide(text);
    return DisplayText(text);
  } catch (const std::exception&) {
  }
  try {
    return DisplayText(TvrCommon::Cp1250ToUtf8(text));
  } catch (...) {
    return {};
  }
}

std::string DisplayText(const std::string& text) {
  static const std::string kReplacement = "\xEF\xBF\xBD";  // U+FFFD
  std::string shown;
  shown.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
    char32_t c = length == 1 ? lead : length == 2 ? (lead & 0x1F) : length == 3 ? (lead & 0x0F) : (lead & 0x07);
    bool whole = length != 0 && i + length <= text.size();
    for (size_t k = 1; whole && k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      whole = (next & 0xC0) == 0x80;
      c = (c << 6) | (next & 0x3F);
    }
    if (!whole || Unshowable(c)) {
      shown += kReplacement;
      i += whole ? length : 1;
      continue;
    }
    shown.append(text, i, length);
    i += length;
  }
  return shown;
}

std::string DisplayLines(const std::string& text) {
  std::string shown;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find('\n', start);
    if (end == std::string::npos) return shown + DisplayText(text.substr(start));
    const bool crlf = end > start && text[end - 1] == '\r';
    shown += DisplayText(text.substr(start, end - start - (crlf ? 1 : 0)));
    shown += crlf ? "\r\n" : "\n";
    start = end + 1;
  }
}

std::string LowerCaseText(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b >= 'A' && b <= 'Z') {
      out += static_cast<char>(b + 0x20);
    } else if ((b & 0xE0) == 0xC0 && i + 1 < text.size() &&
               (static_cast<unsigned char>(text[i + 1]) & 0xC0) == 0x80) {
      char32_t c = static_cast<char32_t>(((b & 0x1F) << 6) | (static_cast<unsigned char>(text[i + 1]) & 0x3F));
      ++i;
      if (c >= 0xC0 && c <= 0xDE && c != 0xD7) c += 0x20;
      // Latin Extended-A: upper and lower case alternate, the pairs shifting at U+0138
      // and U+0149.
      else if ((c >= 0x100 && c <= 0x137 && c % 2 == 0) || (c >= 0x139 && c <= 0x148 && c % 2 == 1) ||
               (c >= 0x14A && c <= 0x177 && c % 2 == 0) || (c >= 0x179 && c <= 0x17E && c % 2 == 1))
        c += 1;
      AppendUtf8(out, c);
    } else {
      out += static_cast<char>(b);
    }
  }
  return out;
}
