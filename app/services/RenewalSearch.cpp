#include "RenewalSearch.h"

#include "CertificateSources.h"
#include "SharedUtilities.h"

#include "platform/Profile.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdio>
#include <memory>

namespace TvrServices {

namespace {

struct X509PubkeyDeleter {
    void operator()(X509_PUBKEY* key) const { X509_PUBKEY_free(key); }
};

std::string Sha1Hex(const unsigned char* data, size_t length)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    if (EVP_Digest(data, length, digest, &digestLength, EVP_sha1(), nullptr) != 1)
        return {};
    return BytesToHex(digest, digestLength);
}

std::string KeyIdentifier(X509* certificate)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (X509_pubkey_digest(certificate, EVP_sha1(), digest, &length) != 1)
        return {};
    return BytesToHex(digest, length);
}

std::string KeyIdentifier(EVP_PKEY* key)
{
    X509_PUBKEY* raw = nullptr;
    if (X509_PUBKEY_set(&raw, key) != 1)
        return {};
    std::unique_ptr<X509_PUBKEY, X509PubkeyDeleter> encoded(raw);
    const unsigned char* bits = nullptr;
    int length = 0;
    if (X509_PUBKEY_get0_param(nullptr, &bits, &length, nullptr, encoded.get()) != 1 || !bits)
        return {};
    return Sha1Hex(bits, static_cast<size_t>(length));
}

std::string HexEscape(const char* prefix, unsigned char c, bool upper)
{
    char text[8];
    std::snprintf(text, sizeof text, upper ? "%s%02X" : "%s%02x", prefix, c);
    return text;
}

} // namespace

RenewalSourceKind SelectRenewalSource(int mode)
{
    switch (mode) {
    case 1: return RenewalSourceKind::Zip;
    case 2: return RenewalSourceKind::Ldap;
    default: return RenewalSourceKind::Http;
    }
}

RenewalSettings RenewalSettings::Load()
{
    const Platform::Profile profile;
    const char* section = kRenewalSettingsSection;
    RenewalSettings settings;
    settings.mode = profile.GetInt(section, "Mode", settings.mode);
    settings.ldapHost = profile.GetString(section, "LDAPHostname", settings.ldapHost);
    settings.ldapPort = profile.GetInt(section, "LDAPPortnumber", settings.ldapPort);
    settings.ldapBase = profile.GetString(section, "LDAPBase", settings.ldapBase);
    settings.ldapFilter = profile.GetString(section, "LDAPFilter", settings.ldapFilter);
    settings.ldapAttribute = profile.GetString(section, "LDAPAttribute", settings.ldapAttribute);
    settings.httpServer = profile.GetString(section, "HTTPServer", settings.httpServer);
    settings.httpObjectName = profile.GetString(section, "HTTPObjectName", settings.httpObjectName);
    settings.httpFormData = profile.GetString(section, "HTTPFormData", settings.httpFormData);
    return settings;
}

std::set<std::string> CollectCertificateHashes(const TokenObjects& objects)
{
    std::set<std::string> identifiers;
    for (const auto& [handle, record] : objects.certificates) {
        if (!record->certificate)
            continue;
        std::string identifier = KeyIdentifier(record->certificate.get());
        if (!identifier.empty())
            identifiers.insert(identifier);
    }
    for (const auto& [handle, record] : objects.publicKeys) {
        if (!record->publicKey)
            continue;
        std::string identifier = KeyIdentifier(record->publicKey.get());
        if (!identifier.empty())
            identifiers.insert(identifier);
    }
    return identifiers;
}

std::string EscapeLdapFilterValue(const std::string& value)
{
    std::string escaped;
    for (unsigned char c : value) {
        if (c == '*' || c == '(' || c == ')' || c == '\\' || c < 0x20 || c >= 0x7F)
            escaped += HexEscape("\\", c, false);
        else
            escaped += static_cast<char>(c);
    }
    return escaped;
}

std::string PercentEncodeFormValue(const std::string& value)
{
    std::string encoded;
    for (unsigned char c : value) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.'
            || c == '_' || c == '~')
            encoded += static_cast<char>(c);
        else
            encoded += HexEscape("%", c, true);
    }
    return encoded;
}

std::string BuildLdapFilter(const std::set<std::string>& keyIdentifiers, const std::string& serialNumber)
{
    if (keyIdentifiers.empty())
        return "(&(revocationStatus=VALID)(smartcardSerialNumber=" + EscapeLdapFilterValue(serialNumber) + "))";
    std::string terms = "|";
    for (const std::string& identifier : keyIdentifiers)
        terms += "(subjectKeyIdentifier=" + EscapeLdapFilterValue(identifier) + ")";
    return "(&(revocationStatus=VALID)(" + terms + "))";
}

std::string BuildSearchForm(const std::set<std::string>& keyIdentifiers, const std::string& serialNumber)
{
    std::string form = "revocationStatus=VALID";
    if (keyIdentifiers.empty())
        return form + "&smartcardSerialNumber=" + PercentEncodeFormValue(serialNumber);
    for (const std::string& identifier : keyIdentifiers)
        form += "&subjectKeyIdentifier[]=" + PercentEncodeFormValue(identifier);
    return form;
}

RenewalQuery PlanRenewalSearch(const RenewalSettings& settings, const TokenObjects& objects,
                               const std::string& serialNumber)
{
    RenewalQuery query;
    query.kind = SelectRenewalSource(settings.mode);
    switch (query.kind) {
    case RenewalSourceKind::Zip:
        break;
    case RenewalSourceKind::Ldap:
        query.host = settings.ldapHost;
        query.port = settings.ldapPort;
        query.base = settings.ldapBase;
        query.filter = !settings.ldapFilter.empty()
            ? settings.ldapFilter
            : BuildLdapFilter(CollectCertificateHashes(objects), serialNumber);
        query.attribute = settings.ldapAttribute;
        break;
    case RenewalSourceKind::Http:
        query.host = settings.httpServer;
        query.port = 443;
        query.objectPath = settings.httpObjectName;
        query.form = !settings.httpFormData.empty()
            ? settings.httpFormData
            : BuildSearchForm(CollectCertificateHashes(objects), serialNumber);
        break;
    }
    return query;
}

CandidateSet RunRenewalSearch(const RenewalQuery& query, const std::string& zipPath, std::string& errorText,
                              const std::string& caFile)
{
    switch (query.kind) {
    case RenewalSourceKind::Zip:
        return LoadCertificatesFromZip(zipPath, errorText);
    case RenewalSourceKind::Ldap:
        return SearchCertificatesLdap(query.host, query.port, query.base, query.filter, query.attribute, errorText);
    case RenewalSourceKind::Http:
        break;
    }
    return SearchCertificatesHttp(query.host, query.objectPath, query.form, errorText, query.port, caFile);
}

} // namespace TvrServices
