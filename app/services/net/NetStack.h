// The program's network stack (libcurl, libldap, libzip and everything they pull in:
// TLS, Kerberos, SASL, ...) lives in the module libkelmardin_net.so, loaded the first time
// the program talks to a server or reads a ZIP archive, so that a start that never does
// pays nothing for it. This is the module's one entry point and what crosses it; both
// sides are built together from these headers.
#pragma once

#include "CertificateSources.h"
#include "HttpClient.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace TvrServices {

inline constexpr const char* kNetModuleFile = "libkelmardin_net.so";
inline constexpr const char* kNetModuleEntry = "TvrNetStackOpen";
// Changes whenever a signature below does.
inline constexpr int kNetStackVersion = 2;

// What the module uses of the program: its event source (whether one is registered, and
// the writing), the one piece of state the module's code shares with the program's. The
// version and sizes keep a module of another build from being used.
struct NetStackHost {
    int version = kNetStackVersion;
    const char* programVersion = TVR_PROGRAM_VERSION;
    size_t optionsSize = sizeof(HttpOptions);
    size_t responseSize = sizeof(HttpResponse);
    bool (*hasEventSource)() = nullptr;
    void (*reportEvent)(uint16_t type, const std::string& text) = nullptr;
};

// The functions of HttpClient.h and CertificateSources.h that need the three libraries.
struct NetStack {
    int version = kNetStackVersion;
    HttpResponse (*httpExchange)(bool post, const std::string& url, const TvrCommon::ByteArray* body,
                                 const HttpOptions& options) = nullptr;
    std::unique_ptr<TvrCommon::ByteArray> (*downloadUrl)(bool post, const std::string& url,
                                                         const TvrCommon::ByteArray* body,
                                                         const HttpOptions& options) = nullptr;
    CandidateSet (*loadCertificatesFromZip)(const std::string& path, std::string& errorText) = nullptr;
    CandidateSet (*searchCertificatesLdap)(const std::string& host, int port, const std::string& baseDn,
                                           const std::string& filter, const std::string& attribute,
                                           std::string& errorText) = nullptr;
    void (*prepare)() = nullptr;
};

// The entry point: the module's table, or null when the host was built otherwise. Called
// once; the module stays loaded for the rest of the process.
using NetStackOpen = const NetStack* (*)(const NetStackHost* host);

} // namespace TvrServices
