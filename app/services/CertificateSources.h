// The three places a renewal looks for newer certificates: a ZIP archive of certificate
// files, the certification authority's search service (HTTPS POST of a form, JSON
// answer) and an LDAP directory.
//
// Each returns what it collected; failures go to the event log and, for the user, into
// `errorText` (left untouched on success). Nothing throws. Single bad items (archive
// entries, JSON elements, directory entries) are skipped.
#pragma once

#include "CertificateCandidates.h"

#include <ldap.h>
#include <zip.h>

#include <cstddef>
#include <string>

namespace TvrServices {

inline constexpr const char* kBadFileText = "A fájl hibás.";
inline constexpr const char* kBadServerAnswerText = "A kiszolgáló válasza hibás.";

// Archive entries larger than this are skipped unread: a certificate is a few kilobytes,
// and an entry's stated size cannot be trusted.
inline constexpr size_t kMaxZipEntryBytes = 256 * 1024;
// An archive of more entries is refused unread; reading stops once this many bytes were
// taken out of it. A renewal archive holds a few certificates of a few kilobytes.
inline constexpr zip_int64_t kMaxZipEntries = 1000;
inline constexpr size_t kMaxZipTotalBytes = 16 * 1024 * 1024;
// The search service's answer is dropped whole above this size.
inline constexpr size_t kMaxSearchAnswerBytes = 4 * 1024 * 1024;
// A search matching more directory entries than this fails as a whole; the limit is
// enforced here too, whatever the server does with it.
inline constexpr int kLdapSizeLimit = 1000;
// The largest directory message taken in (libldap would otherwise allocate what the
// server announces).
inline constexpr ber_len_t kLdapMaxMessageBytes = 4 * 1024 * 1024;
// A value larger than this is no certificate and is not decoded (as in an archive).
inline constexpr size_t kLdapMaxCertificateBytes = kMaxZipEntryBytes;
// One search takes in at most this many bytes of entries; past it the search fails: the
// renewal of one card finds a few certificates of a few kilobytes.
inline constexpr size_t kLdapMaxSearchBytes = kMaxZipTotalBytes;
inline constexpr int kLdapTimeoutSeconds = 30;

// A DNS name, a dotted IPv4 address or a bracketed IPv6 address: nothing that could
// change the meaning of the URL it is put into.
bool IsPlainHostName(const std::string& host);

// The search service's JSON answer: the PEM certificates of its "certificates" array.
// An answer that is not such an object fails whole; single bad elements are skipped.
void ReadSearchAnswer(const std::string& body, CandidateSet& candidates, std::string& errorText);

CandidateSet LoadCertificatesFromZip(const std::string& path, std::string& errorText);

// POST of `form` to https://<server>:<port><objectPath>. `caFile` adds trust anchors
// (PEM) to the system's.
CandidateSet SearchCertificatesHttp(const std::string& server, const std::string& objectPath,
                                    const std::string& form, std::string& errorText, int port = 443,
                                    const std::string& caFile = {});

// Anonymous subtree search below `baseDn`; referrals are never followed.
CandidateSet SearchCertificatesLdap(const std::string& host, int port, const std::string& baseDn,
                                    const std::string& filter, const std::string& attribute,
                                    std::string& errorText);

// The first value of the attribute named exactly `attribute` (letter case counts) that
// decodes as a DER certificate and is no larger than kLdapMaxCertificateBytes; null when
// none does.
X509Ptr GetLdapEntryCertificate(LDAP* session, LDAPMessage* entry, const std::string& attribute);

} // namespace TvrServices
