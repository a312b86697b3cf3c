// Certificates from the certification authority's search service: a form POSTed over
// HTTPS, a JSON answer {"certificates": [{"PEM": "..."}, ...]}.
#include "CertificateSources.h"

#include "EventLog.h"
#include "HttpClient.h"

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <rapidjson/document.h>

#include <cctype>
#include <memory>

namespace TvrServices {

namespace {

struct BioDeleter {
    void operator()(BIO* bio) const { BIO_free(bio); }
};

bool IsPlainObjectPath(const std::string& path)
{
    if (path.empty() || path.front() != '/')
        return false;
    for (unsigned char c : path)
        if (c <= 0x20 || c >= 0x7F || c == '#')
            return false;
    return true;
}

void Refuse(const std::string& event, std::string& errorText)
{
    LogEvent(EVENTLOG_ERROR_TYPE, event);
    errorText = kBadServerAnswerText;
}

X509Ptr ReadPemCertificate(const char* text, size_t length)
{
    std::unique_ptr<BIO, BioDeleter> bio(BIO_new_mem_buf(text, static_cast<int>(length)));
    if (!bio)
        return nullptr;
    return X509Ptr(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
}

} // namespace

void ReadSearchAnswer(const std::string& body, CandidateSet& candidates, std::string& errorText)
{
    const EventLogLevelScope level;
    // The iterative parser keeps its nesting on the heap, so no depth of brackets can
    // exhaust the stack; the length is explicit because the body may hold zero bytes.
    rapidjson::Document document;
    document.Parse<rapidjson::kParseIterativeFlag>(body.data(), body.size());
    if (document.HasParseError()) {
        Refuse("Failed to parse JSON response!", errorText);
        return;
    }
    if (!document.IsObject() || !document.HasMember("certificates")) {
        Refuse("No 'certificates' member in JSON response!", errorText);
        return;
    }
    const rapidjson::Value& list = document["certificates"];
    if (!list.IsArray()) {
        Refuse("'certificates' member is not an array in JSON response!", errorText);
        return;
    }
    for (const rapidjson::Value& element : list.GetArray()) {
        if (!element.IsObject() || !element.HasMember("PEM")) {
            Refuse("No 'PEM' member in JSON response!", errorText);
            continue;
        }
        const rapidjson::Value& pem = element["PEM"];
        if (!pem.IsString()) {
            Refuse("'PEM' member is not a string in JSON response!", errorText);
            continue;
        }
        X509Ptr certificate = ReadPemCertificate(pem.GetString(), pem.GetStringLength());
        if (!certificate) {
            LogEvent(EVENTLOG_WARNING_TYPE, "Failed to get certificate from JSON!");
            continue;
        }
        AddCandidate(candidates, std::move(certificate));
    }
}

bool IsPlainHostName(const std::string& host)
{
    if (host.empty())
        return false;
    if (host.front() == '[') {
        if (host.size() < 3 || host.back() != ']')
            return false;
        for (size_t i = 1; i + 1 < host.size(); ++i)
            if (!std::isxdigit(static_cast<unsigned char>(host[i])) && host[i] != ':' && host[i] != '.')
                return false;
        return true;
    }
    for (unsigned char c : host)
        if (!std::isalnum(c) && c != '.' && c != '-')
            return false;
    return true;
}

CandidateSet SearchCertificatesHttp(const std::string& server, const std::string& objectPath,
                                    const std::string& form, std::string& errorText, int port,
                                    const std::string& caFile)
{
    CandidateSet candidates;
    HttpResponse response;
    if (!IsPlainHostName(server) || !IsPlainObjectPath(objectPath) || port < 1 || port > 65535) {
        response.transportError = 3;  // CURLE_URL_MALFORMAT
        response.errorMessage = "URL using bad/illegal format or missing URL";
    } else {
        HttpOptions options;
        options.contentType = "application/x-www-form-urlencoded";
        options.maxBodyBytes = kMaxSearchAnswerBytes;
        options.caFile = caFile;
        TvrCommon::ByteArray body(reinterpret_cast<const unsigned char*>(form.data()), form.size());
        std::string url = "https://" + server + ":" + std::to_string(port) + objectPath;
        response = HttpExchange(true, url, &body, options);
    }

    if (response.transportError != 0) {
        LogEvent(EVENTLOG_ERROR_TYPE, "HTTP error: " + std::to_string(response.transportError));
        errorText = response.errorMessage.substr(0, 4096);
        return candidates;
    }
    if (response.status == 0) {
        Refuse("Failed to query status code!", errorText);
        return candidates;
    }
    if (response.status != 200) {
        Refuse("Bad status code: " + std::to_string(response.status), errorText);
        return candidates;
    }
    if (!response.contentType) {
        Refuse("Failed to query content type!", errorText);
        return candidates;
    }
    if (*response.contentType != "application/json") {
        Refuse("Bad content type: " + *response.contentType, errorText);
        return candidates;
    }
    if (response.body.empty())
        return candidates;
    ReadSearchAnswer(response.body, candidates, errorText);
    return candidates;
}

} // namespace TvrServices
