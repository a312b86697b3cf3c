// Certificates from an LDAP directory: one anonymous subtree search, protocol 3,
// bounded in time and size. A referral is reported as the failure it is for us and
// never followed: it could send the search, and the answer we trust, anywhere.
#include "CertificateSources.h"
#include "TransferAbort.h"

#include "EventLog.h"

#include <openssl/x509.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>

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
    // The session's own socket buffer carries its first connection: a message announcing
    // more than the cap ends the search instead of being allocated.
    Sockbuf* socket = nullptr;
    ber_len_t maxIncoming = kLdapMaxMessageBytes;
    if (ldap_get_option(session.handle, LDAP_OPT_SOCKBUF, &socket) != LDAP_OPT_SUCCESS || !socket
        || ber_sockbuf_ctrl(socket, LBER_SB_OPT_SET_MAX_INCOMING, &maxIncoming) != 1)
        return LDAP_LOCAL_ERROR;
    return LDAP_SUCCESS;
}

// The size of an entry's message as received; an entry whose size cannot be read counts
// as the largest message taken in.
size_t EntryBytes(LDAP* handle, LDAPMessage* entry)
{
    BerElement* raw = nullptr;
    berval dn{};
    if (ldap_get_dn_ber(handle, entry, &raw, &dn) != LDAP_SUCCESS || !raw) {
        if (raw)
            ber_free(raw, 0);
        return kLdapMaxMessageBytes;
    }
    std::unique_ptr<BerElement, BerDeleter> ber(raw);
    ber_len_t total = 0;
    if (ber_get_option(ber.get(), LBER_OPT_TOTAL_BYTES, &total) != LBER_OPT_SUCCESS)
        return kLdapMaxMessageBytes;
    return total;
}

// The search's answer taken message by message, each entry's certificate (or null) kept
// in order. More entries than the size limit, more entry bytes than the search's budget,
// or more time than the time limit, fail the search whatever the server makes of those
// limits.
int Search(LDAP* handle, const std::string& baseDn, const std::string& filter, const std::string& attribute,
           std::vector<X509Ptr>& found)
{
    size_t taken = 0;
    timeval limit{kLdapTimeoutSeconds, 0};
    int id = 0;
    int result = ldap_search_ext(handle, baseDn.c_str(), LDAP_SCOPE_SUBTREE, filter.c_str(), nullptr, 0, nullptr,
                                 nullptr, &limit, kLdapSizeLimit, &id);
    if (result != LDAP_SUCCESS)
        return result;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(kLdapTimeoutSeconds);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(end - std::chrono::steady_clock::now());
        result = LDAP_TIMEOUT;
        if (left.count() <= 0)
            break;
        if (EveryTransferAborted()) {
            result = LDAP_USER_CANCELLED;
            break;
        }
        // In short steps: the program's end may abort the search meanwhile.
        const long long step = std::min<long long>(left.count(), 100000);
        timeval wait{0, static_cast<suseconds_t>(step)};
        LDAPMessage* raw = nullptr;
        const int type = ldap_result(handle, id, LDAP_MSG_ONE, &wait, &raw);
        std::unique_ptr<LDAPMessage, MessageDeleter> message(raw);
        if (type == 0)
            continue;  // the clock decides
        if (type == -1) {
            ldap_get_option(handle, LDAP_OPT_RESULT_CODE, &result);
            return result == LDAP_SUCCESS ? LDAP_OTHER : result;
        }
        if (type == LDAP_RES_SEARCH_ENTRY) {
            if (found.size() == static_cast<size_t>(kLdapSizeLimit)) {
                result = LDAP_SIZELIMIT_EXCEEDED;
                break;
            }
            taken += EntryBytes(handle, message.get());
            if (taken > kLdapMaxSearchBytes) {
                LogEvent(EVENTLOG_ERROR_TYPE, "The ldap search's entries exceed " + std::to_string(kLdapMaxSearchBytes)
                                                  + " bytes: the search is stopped");
                result = LDAP_SIZELIMIT_EXCEEDED;
                break;
            }
            found.push_back(GetLdapEntryCertificate(handle, message.get(), attribute));
        } else if (type == LDAP_RES_SEARCH_RESULT) {
            int code = LDAP_OTHER;
            result = ldap_parse_result(handle, message.get(), &code, nullptr, nullptr, nullptr, nullptr, 0);
            return result == LDAP_SUCCESS ? code : result;
        }
        // Continuation references are never entries: passed over.
    }
    ldap_abandon_ext(handle, id, nullptr, nullptr);
    return result;
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
            if ((*value)->bv_len > kLdapMaxCertificateBytes)
                continue;
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
    if (EveryTransferAborted())
        return candidates;
    const EventLogLevelScope level;
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

    std::vector<X509Ptr> found;
    result = Search(session.handle, baseDn, filter, attribute, found);
    // A referral (the base lies elsewhere) is a failure like any other code: entries are
    // read only after a plain success.
    if (result != LDAP_SUCCESS) {
        LogEvent(EVENTLOG_ERROR_TYPE, "Failed to search ldap! Error code: " + std::to_string(result));
        errorText = ErrorText(result);
        return candidates;
    }
    LogEvent(EVENTLOG_INFORMATION_TYPE, "Succeeded to search ldap");
    for (X509Ptr& certificate : found) {
        if (!certificate) {
            LogEvent(EVENTLOG_WARNING_TYPE, "Failed to get certificate from LDAP");
            continue;
        }
        AddCandidate(candidates, std::move(certificate));
    }
    return candidates;
}

} // namespace TvrServices
