// What a certificate renewal searches and where: the settings of the
// "RenewCertificatesSettings" section, the key identifiers of the card, and the
// directory filter or service form built from them.
#pragma once

#include "CertificateCandidates.h"

#include <set>
#include <string>

namespace TvrServices {

inline constexpr const char* kRenewalSettingsSection = "RenewCertificatesSettings";
inline constexpr const char* kDefaultLdapHost = "ldap.tavrenic.hu";
inline constexpr const char* kDefaultSearchServer = "www.tavrenic.hu";
inline constexpr const char* kDefaultSearchPath = "/tanusitvanytar/certsearch_json.php?func=search";

enum class RenewalSourceKind { Zip, Ldap, Http };

// 1: a ZIP file the user picks, 2: the LDAP directory, any other value: the search service.
RenewalSourceKind SelectRenewalSource(int mode);

struct RenewalSettings {
    int mode = 0;
    std::string ldapHost = kDefaultLdapHost;
    int ldapPort = 389;
    std::string ldapBase = "o=Tavrenic Ltd.,l=Budapest,c=hu";
    std::string ldapFilter;  // empty: built from the card
    std::string ldapAttribute = "userCertificate;binary";
    std::string httpServer = kDefaultSearchServer;
    std::string httpObjectName = kDefaultSearchPath;
    std::string httpFormData;  // empty: built from the card

    // Read afresh from the profile; absent values keep the defaults above.
    static RenewalSettings Load();
};

// The key identifier (SHA-1 of the public key's bits, 40 lower-case hex digits) of every
// decoded certificate and every public key of the card; a certificate and its own
// public key give one value.
std::set<std::string> CollectCertificateHashes(const TokenObjects& objects);

// RFC 4515 escaping of a filter value: "*", "(", ")", "\", NUL and every byte outside
// printable ASCII become "\xx".
std::string EscapeLdapFilterValue(const std::string& value);
// application/x-www-form-urlencoded value: everything but letters, digits and "-._~"
// becomes "%XX".
std::string PercentEncodeFormValue(const std::string& value);

// "(&(revocationStatus=VALID)(|(subjectKeyIdentifier=..)...))", or by the card's serial
// number when there are no identifiers.
std::string BuildLdapFilter(const std::set<std::string>& keyIdentifiers, const std::string& serialNumber);
// "revocationStatus=VALID&subjectKeyIdentifier[]=..&...", or by the card's serial number
// when there are no identifiers.
std::string BuildSearchForm(const std::set<std::string>& keyIdentifiers, const std::string& serialNumber);

// One search: the source and everything it is called with.
struct RenewalQuery {
    RenewalSourceKind kind = RenewalSourceKind::Http;
    std::string host;        // LDAP host or HTTPS server
    int port = 443;
    std::string base;        // LDAP base DN
    std::string filter;      // LDAP filter
    std::string attribute;   // LDAP attribute
    std::string objectPath;  // HTTPS request path
    std::string form;        // HTTPS form body
};

// A configured filter or form is used unchanged and no identifiers are computed then.
RenewalQuery PlanRenewalSearch(const RenewalSettings& settings, const TokenObjects& objects,
                               const std::string& serialNumber);

// Runs the query; a ZIP query reads `zipPath` (the user's choice). `caFile` adds trust
// anchors for the search service.
CandidateSet RunRenewalSearch(const RenewalQuery& query, const std::string& zipPath, std::string& errorText,
                              const std::string& caFile = {});

} // namespace TvrServices
