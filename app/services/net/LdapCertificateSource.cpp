// Certificates from an LDAP directory: one anonymous subtree search, protocol 3,
// bounded in time and size. A referral is reported as the failure it is for us and
// never followed: it could send the search, and the answer we trust, anywhere.
#include "CertificateSources.h"

#include "EventLog.h"

#include <openssl/x509.h>

#include <memory>

namespace TvrServices {

namespace {

struct BerDeleter {
    void operator()(BerElement* ber) const { ber_free(ber, 0); }
};
struct LdapMemDeleter {
    void operator()(char* text) const { ldap_memfree(text); }
};
struct ValuesDeleter {
    void operator()(berval** values) const { ldap_value_free_len(values); }
};

// Closes the session and reports a failure to close.
struct Session {
    LDAP* handle = nullptr;
    Session() = default;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    ~Session()
    {
        if (!handle)
            return;
        int result = ldap_unbind_ext_s(handle, nullptr, nullptr);
        if (result != LDAP_SUCCESS)
            LogEvent(EVENTLOG_WARNING_TYPE, "Failed to unbind ldap! Error code: " + std::to_string(result));
    }
};

struct MessageDeleter {
    void operator()(LDAPMessage* message) const { ldap_msgfree(message); }
};

std::string ErrorText(int code)
{
    const char* text = ldap_err2string(code);
    return text ? text : "";
}

int Open(Session& session, const std::string& host, int port)
{
    if (!IsPlainHostName(host) || port < 1 || port > 65535)
        return LDAP_PARAM_ERROR;
    std::string uri = "ldap://" + host + ":" + std::to_string(port);
    int result = ldap_initialize(&session.handle, uri.c_str());
    if (result != LDAP_SUCCESS)
        return result;
    int version = LDAP_VERSION3;
    int sizeLimit = kLdapSizeLimit;
    timeval timeout{kLdapTimeoutSeconds, 0};
    if ((result = ldap_set_option(session.handle, LDAP_OPT_PROTOCOL_VERSION, &version)) != LDAP_OPT_SUCCESS
        || (result = ldap_set_option(session.handle, LDAP_OPT_REFERRALS, LDAP_OPT_OFF)) != LDAP_OPT_SUCCESS
        || (result = ldap_set_option(session.handle, LDAP_OPT_NETWORK_TIMEOUT, &timeout)) != LDAP_OPT_SUCCESS
        || (result = ldap_set_option(session.handle, LDAP_OPT_TIMEOUT, &timeout)) != LDAP_OPT_SUCCESS
        || (result = ldap_set_option(session.handle, LDAP_OPT_TIMELIMIT, &kLdapTimeoutSeconds)) != LDAP_OPT_SUCCESS
        || (result = ldap_set_option(session.handle, LDAP_OPT_SIZELIMIT, &sizeLimit)) != LDAP_OPT_SUCCESS)
        return result;
    return LDAP_SUCCESS;
}

} // namespace

X509Ptr GetLdapEntryCertificate(LDAP* session, LDAPMessage* entry, const std::string& attribute)
{
    BerElement* rawBer = nullptr;
    std::unique_ptr<char, LdapMemDeleter> name(ldap_first_attribute(session, entry, &rawBer));
    std::unique_ptr<BerElement, BerDeleter> ber(rawBer);
    for (; name; name.reset(ldap_next_attribute(session, entry, ber.get()))) {
        if (attribute != name.get())
            continue;
        std::unique_ptr<berval*, ValuesDeleter> values(ldap_get_values_len(session, entry, name.get()));
        if (!values)
            continue;
        for (berval** value = values.get(); *value; ++value) {
            const unsigned char* cursor = reinterpret_cast<const unsigned char*>((*value)->bv_val);
            X509Ptr certificate(d2i_X509(nullptr, &cursor, static_cast<long>((*value)->bv_len)));
            if (certificate)
                return certificate;
        }
    }
    return nullptr;
}

CandidateSet SearchCertificatesLdap(const std::string& host, int port, const std::string& baseDn,
                                    const std::string& filter, const std::string& attribute,
                                    std::string& errorText)
{
    CandidateSet candidates;
    Session session;
    int result = Open(session, host, port);
    if (result != LDAP_SUCCESS) {
        LogEvent(EVENTLOG_ERROR_TYPE, "Failed to init ldap! Error code: " + std::to_string(result));
        std::string text = ErrorText(result);
        if (!text.empty())
            errorText = text;
        return candidates;
    }
    LogEvent(EVENTLOG_INFORMATION_TYPE, "Succeeded to init ldap");

    timeval timeout{kLdapTimeoutSeconds, 0};
    LDAPMessage* rawResult = nullptr;
    result = ldap_search_ext_s(session.handle, baseDn.c_str(), LDAP_SCOPE_SUBTREE, filter.c_str(), nullptr, 0,
                               nullptr, nullptr, &timeout, kLdapSizeLimit, &rawResult);
    std::unique_ptr<LDAPMessage, MessageDeleter> answer(rawResult);
    // A referral (the base lies elsewhere) is a failure like any other code: entries are
    // read only after a plain success. Continuation references inside the answer are
    // never entries, so they are passed over.
    if (result != LDAP_SUCCESS) {
        LogEvent(EVENTLOG_ERROR_TYPE, "Failed to search ldap! Error code: " + std::to_string(result));
        errorText = ErrorText(result);
        return candidates;
    }
    LogEvent(EVENTLOG_INFORMATION_TYPE, "Succeeded to search ldap");
    for (LDAPMessage* entry = ldap_first_entry(session.handle, answer.get()); entry;
         entry = ldap_next_entry(session.handle, entry)) {
        X509Ptr certificate = GetLdapEntryCertificate(session.handle, entry, attribute);
        if (!certificate) {
            LogEvent(EVENTLOG_WARNING_TYPE, "Failed to get certificate from LDAP");
            continue;
        }
        AddCandidate(candidates, std::move(certificate));
    }
    return candidates;
}

} // namespace TvrServices
