// The program's own words for a certificate: what it is for, its display name, its
// validity, and labels read from cards written by other programs. Texts are UTF-8.
#pragma once

#include <string>

#include <openssl/x509.h>

// The type text ("Aláíró tanúsítvány" and the like); the default text for null.
std::string GetCertificateTypeText(X509* certificate, bool lowerCase);

// Whether a "YYYYMMDDhhmmss" time comes strictly after 2016-06-30 12:00:00 UTC, before
// which qualified statements were not yet typed.
bool IsLaterThanQcCutoff(const std::string& time);

// Short: "<common name> (<lower-case type>)"; long: "<type> - Tulajdonos: <common name>".
// The common name as DisplayText shows it.
std::string GetCertificateDisplayName(X509* certificate, bool shortForm);

// "YYYY. MM. DD. - YYYY. MM. DD." from notBefore to notAfter; 36 hyphens for null.
std::string GetValidityText(X509* certificate);

// A card label as display text: valid UTF-8 as it is, anything else read as CP1250;
// then as DisplayText shows it.
std::string Utf8ToCString(const std::string& text);

// Text from a card or a certificate as it may be shown: control characters, line and
// paragraph separators and the bidirectional formatting characters (U+202E would show
// the rest of the line reversed) become U+FFFD, as does any malformed UTF-8 byte.
std::string DisplayText(const std::string& text);
// Lines of such text as DisplayText shows them, their ends ("\n" or "\r\n") kept.
std::string DisplayLines(const std::string& text);

// Lower case of UTF-8 text over Latin-1 and Latin Extended-A (enough for the
// Hungarian and English type texts).
std::string LowerCaseText(const std::string& text);
