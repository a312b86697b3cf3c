// Requests built by the library, answered by `openssl ocsp` running as a responder on
// loopback, and the answers read and verified by the library.
#include "OcspTestUtil.h"
#include "P11Rig.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

using namespace OcspTest;
using TvrOCSP::BasicOCSPResponse;
using TvrOCSP::OCSPRequest;
using TvrOCSP::OCSPResponse;
using TvrOCSP::SingleResponse;
using TvrX509::X509Certificate;

namespace {

class Socket {
public:
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int Get() const { return fd_; }

private:
    int fd_;
};

// A port nobody listens on at the moment, on every interface (the responder binds [::]).
int FreePort()
{
    Socket s(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_any;
    socklen_t length = sizeof address;
    if (s.Get() < 0 || ::bind(s.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || ::getsockname(s.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("FreePort: no port");
    return ntohs(address.sin6_port);
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// `openssl ocsp` answering for the test PKI's intermediate, signed by its OCSP signer.
// Started by the constructor, stopped by the destructor on every path; only the child
// this object forked is ever signalled.
class OcspResponder {
public:
    // `validity` sets nextUpdate (-nmin, -ndays); empty leaves it out of the answers.
    explicit OcspResponder(const std::vector<std::string>& extraArgs,
                           const std::vector<std::string>& validity = {"-nmin", "5"})
    {
        std::vector<std::string> args = validity;
        args.insert(args.end(), extraArgs.begin(), extraArgs.end());
        for (int attempt = 0; attempt < 5 && pid_ < 0; ++attempt)
            TryStart(args);
        if (pid_ < 0)
            throw std::runtime_error("responder did not start: " + ReadFile(LogPath()));
    }

    ~OcspResponder() { Stop(); }
    OcspResponder(const OcspResponder&) = delete;
    OcspResponder& operator=(const OcspResponder&) = delete;

    // One HTTP/1.0 POST of `body`; the answer's body. Every connection carries a whole
    // request: the responder spins on a connection closed without one.
    std::vector<unsigned char> Post(const std::vector<unsigned char>& body) const
    {
        Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        timeval timeout{10, 0};
        ::setsockopt(s.Get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        ::setsockopt(s.Get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port_));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(s.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            throw std::runtime_error("connect failed");
        std::string request = "POST / HTTP/1.0\r\nHost: 127.0.0.1\r\n"
                              "Content-Type: application/ocsp-request\r\nContent-Length: "
            + std::to_string(body.size()) + "\r\n\r\n";
        request.append(body.begin(), body.end());
        for (size_t sent = 0; sent < request.size();) {
            ssize_t n = ::send(s.Get(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                throw std::runtime_error("send failed");
            sent += static_cast<size_t>(n);
        }
        std::string answer;
        char buffer[4096];
        for (;;) {
            ssize_t n = ::recv(s.Get(), buffer, sizeof buffer, 0);
            if (n == 0)
                break;
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                throw std::runtime_error("no answer from the responder");
            }
            answer.append(buffer, static_cast<size_t>(n));
            size_t end = answer.find("\r\n\r\n");
            size_t lengthAt = answer.find("Content-Length: ");
            if (lengthAt == std::string::npos)
                lengthAt = answer.find("Content-length: ");
            if (end != std::string::npos && lengthAt != std::string::npos && lengthAt < end
                && answer.size() >= end + 4 + std::stoul(answer.substr(lengthAt + 16)))
                break;
        }
        size_t end = answer.find("\r\n\r\n");
        if (answer.compare(0, 9, "HTTP/1.0 ") != 0 || answer.compare(9, 3, "200") != 0 || end == std::string::npos)
            throw std::runtime_error("unexpected answer: " + answer.substr(0, 40));
        return std::vector<unsigned char>(answer.begin() + static_cast<long>(end + 4), answer.end());
    }

    OCSPResponse Ask(const OCSPRequest& request) const
    {
        auto der = request.GetDER();
        return OCSPResponse(Bytes(Post(std::vector<unsigned char>(der->GetData(), der->GetData() + der->GetSize()))));
    }

private:
    std::string LogPath() const { return dir_.Path() + "/responder.log"; }

    void TryStart(const std::vector<std::string>& extraArgs)
    {
        const TestPki& pki = Pki();
        port_ = FreePort();
        std::vector<std::string> args = {TVR_OPENSSL_CLI, "ocsp", "-port", std::to_string(port_),
                                         "-index", pki.IndexTxtPath(), "-CA", pki.Intermediate().pemPath,
                                         "-rsigner", pki.OcspSigner().pemPath, "-rkey", pki.OcspSigner().keyPath};
        args.insert(args.end(), extraArgs.begin(), extraArgs.end());
        std::vector<char*> argv;
        for (std::string& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        int log = ::open(LogPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (log < 0)
            throw std::runtime_error("cannot create the responder log");
        pid_t pid = ::fork();
        if (pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive a crashed test
            ::dup2(log, STDOUT_FILENO);
            ::dup2(log, STDERR_FILENO);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(log);
        if (pid < 0)
            throw std::runtime_error("fork failed");
        pid_ = pid;
        // Ready once it reports listening; a port taken in the meantime makes it exit.
        for (int waited = 0; waited < 10000; waited += 10) {
            if (ReadFile(LogPath()).find("waiting for OCSP client connections") != std::string::npos)
                return;
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        Stop();
    }

    void Stop()
    {
        if (pid_ < 0)
            return;
        ::kill(pid_, SIGTERM);
        int status = 0;
        for (int waited = 0; waited < 5000; waited += 10) {
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }

    TvrTest::TempDir dir_;
    pid_t pid_ = -1;
    int port_ = 0;
};

// What the revocation check reads from an answer.
struct Answer {
    int certStatus = -1;
    int reason = -1;
    bool nonceMatches = false;
    bool verified = false;
    bool authorised = false;
    X509Certificate responder;
    std::unique_ptr<BasicOCSPResponse> basic;
    std::unique_ptr<SingleResponse> single;
};

Answer Read(const OCSPResponse& response, const OCSPRequest& request,
            const std::set<X509Certificate*>* candidates = nullptr)
{
    Answer answer;
    EXPECT_EQ(response.GetStatus(), 0);
    answer.basic = response.GetBasicResponse();
    if (!answer.basic) {
        ADD_FAILURE() << "no basic response";
        return answer;
    }
    answer.nonceMatches = answer.basic->CheckNonce(request);
    answer.verified = answer.basic->Verify(answer.responder, candidates);
    if (answer.verified)
        answer.authorised = answer.basic->IsAuthorizedResponder(answer.responder, Cert(Pki().Intermediate()));
    answer.single = std::make_unique<SingleResponse>();
    if (!answer.basic->FindSingleResponse(request, *answer.single)) {
        ADD_FAILURE() << "no single response for the request";
        return answer;
    }
    auto status = answer.single->GetCertStatus();
    answer.certStatus = status->GetStatus();
    if (auto revoked = status->GetRevokedInfo())
        answer.reason = revoked->GetRevocationReason();
    return answer;
}

const PkiItem& UnknownLeaf()
{
    static const PkiItem leaf = [] {
        TvrTest::CertSpec spec;
        spec.subject = "/C=HU/O=Tavrenic Teszt Kft./CN=Not In The Index";
        return TvrTest::CertBuilder::Issue(spec, &Pki().Intermediate());
    }();
    return leaf;
}

} // namespace

TEST(OcspResponder, StatusesOfTheIndex)
{
    OcspResponder responder({});
    const TestPki& pki = Pki();
    struct Case {
        const char* name;
        const PkiItem* leaf;
        int status;
        int reason;
    };
    const Case cases[] = {
        {"good", &pki.SigningLeaf(), 0, -1},
        {"revoked, keyCompromise", &pki.RevokedLeaf(), 1, 1},
        {"on hold", &pki.OnHoldLeaf(), 1, 6},
        {"unknown", &UnknownLeaf(), 2, -1},
    };
    for (const Case& c : cases) {
        OCSPRequest request = RequestFor(*c.leaf);
        Answer answer = Read(responder.Ask(request), request);
        EXPECT_EQ(answer.certStatus, c.status) << c.name;
        EXPECT_EQ(answer.reason, c.reason) << c.name;
        EXPECT_TRUE(answer.nonceMatches) << c.name;
        EXPECT_TRUE(answer.verified) << c.name;
        EXPECT_TRUE(answer.authorised) << c.name;
        EXPECT_TRUE(answer.responder == Cert(pki.OcspSigner())) << c.name;
        EXPECT_EQ(answer.basic->GetResponderID(), Cert(pki.OcspSigner()).GetSubject()->GetOneLine());
        EXPECT_EQ(answer.basic->GetSignatureDigestAlgorithm(), "sha256");
        if (answer.single) {
            // -nmin 5: the answer is fresh for five minutes.
            auto next = answer.single->GetNextUpdate();
            ASSERT_TRUE(next) << c.name;
            EXPECT_EQ(next->GetValue(2) - answer.single->GetThisUpdate().GetValue(2), 300) << c.name;
        }
        if (c.status == 1) {
            auto revoked = answer.single->GetCertStatus()->GetRevokedInfo();
            EXPECT_EQ(revoked->GetRevocationTime(), TvrCommon::Date(static_cast<uint64_t>(pki.RevocationTime()), 2));
        }
    }
}

TEST(OcspResponder, NonceIsEchoedAndChecked)
{
    OcspResponder responder({});
    OCSPRequest request = RequestFor(Pki().SigningLeaf());
    OCSPRequest another = RequestFor(Pki().SigningLeaf());
    OCSPResponse response = responder.Ask(request);
    auto basic = response.GetBasicResponse();
    ASSERT_TRUE(basic);
    EXPECT_TRUE(basic->CheckNonce(request));
    EXPECT_FALSE(basic->CheckNonce(another));

    OCSPRequest plain = RequestFor(Pki().SigningLeaf(), false);
    auto withoutNonce = responder.Ask(plain).GetBasicResponse();
    ASSERT_TRUE(withoutNonce);
    EXPECT_FALSE(withoutNonce->HasExtensions());
    EXPECT_TRUE(withoutNonce->CheckNonce(plain));
    EXPECT_FALSE(withoutNonce->CheckNonce(request));
}

TEST(OcspResponder, AnswersWithoutCertificatesNeedTheCandidates)
{
    X509Certificate root = Cert(Pki().Root());
    X509Certificate intermediate = Cert(Pki().Intermediate());
    X509Certificate signer = Cert(Pki().OcspSigner());
    std::set<X509Certificate*> candidates = {&root, &intermediate, &signer};
    OCSPRequest request = RequestFor(Pki().RevokedLeaf());

    struct Case {
        std::vector<std::string> args;
        bool byKey;
    };
    for (const Case& c : {Case{{"-resp_no_certs"}, false}, Case{{"-resp_no_certs", "-resp_key_id"}, true}}) {
        OcspResponder responder(c.args);
        OCSPResponse response = responder.Ask(request);
        auto basic = response.GetBasicResponse();
        ASSERT_TRUE(basic);
        auto certs = basic->GetCertificates();
        ASSERT_TRUE(certs);
        EXPECT_TRUE(certs->empty());
        EXPECT_EQ(basic->GetResponderID().size() == 59u, c.byKey) << basic->GetResponderID();
        EXPECT_TRUE(basic->IsResponderCertificate(signer));

        X509Certificate none;
        EXPECT_FALSE(basic->Verify(none, nullptr));
        Answer answer = Read(response, request, &candidates);
        EXPECT_TRUE(answer.verified);
        EXPECT_TRUE(answer.authorised);
        EXPECT_TRUE(answer.responder == signer);
        EXPECT_EQ(answer.certStatus, 1);
        EXPECT_EQ(answer.reason, 1);
    }
}

TEST(OcspResponder, KeyIdAnswerWithItsCertificate)
{
    OcspResponder responder({"-resp_key_id"});
    OCSPRequest request = RequestFor(Pki().SigningLeaf());
    Answer answer = Read(responder.Ask(request), request);
    EXPECT_EQ(answer.basic->GetResponderID().size(), 59u);
    EXPECT_TRUE(answer.verified);
    EXPECT_TRUE(answer.authorised);
    EXPECT_EQ(answer.certStatus, 0);
}

TEST(OcspResponder, BadSignatureFailsVerification)
{
    OcspResponder responder({"-badsig"});
    OCSPRequest request = RequestFor(Pki().SigningLeaf());
    OCSPResponse response = responder.Ask(request);
    auto basic = response.GetBasicResponse();
    ASSERT_TRUE(basic);
    X509Certificate filled(Pki().Root().Cert());
    EXPECT_FALSE(basic->Verify(filled, nullptr));
    EXPECT_TRUE(filled == Cert(Pki().Root()));
    EXPECT_FALSE(basic->IsAuthorizedResponder(Cert(Pki().OcspSigner()), Cert(Pki().Intermediate())));
}

// Freshness of real answers: -nmin and -ndays set nextUpdate; without them the answer has
// none and is current only while it is recent.
TEST(OcspResponder, FreshnessOfRealAnswers)
{
    const std::time_t minute = 60;
    const std::time_t day = 24 * 3600;
    struct Case {
        const char* name;
        std::vector<std::string> validity;
        std::time_t freshUntil;  // after the answer; 0: no nextUpdate expected
    };
    const Case cases[] = {
        {"-nmin 5", {"-nmin", "5"}, 5 * minute},
        {"-ndays 1", {"-ndays", "1"}, day},
        {"no nextUpdate", {}, 0},
    };
    OCSPRequest request = RequestFor(Pki().SigningLeaf());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        OcspResponder responder({}, c.validity);
        const std::time_t before = std::time(nullptr);
        Answer answer = Read(responder.Ask(request), request);
        const std::time_t after = std::time(nullptr);
        ASSERT_TRUE(answer.single);
        ASSERT_EQ(answer.single->GetNextUpdate() != nullptr, c.freshUntil != 0);
        const SingleResponse& single = *answer.single;
        const std::time_t leeway = TvrOCSP::SingleResponse::kDefaultLeewaySeconds;

        EXPECT_TRUE(single.IsFresh(after));
        // thisUpdate is the moment of the answer: ahead of any earlier clock beyond the leeway.
        EXPECT_FALSE(single.IsFresh(before - leeway - minute));
        EXPECT_FALSE(single.IsFresh(before - 10 * day));
        if (c.freshUntil) {
            EXPECT_TRUE(single.IsFresh(before + c.freshUntil + leeway - 2));
            EXPECT_FALSE(single.IsFresh(after + c.freshUntil + leeway + 2));
            EXPECT_FALSE(single.IsFresh(after + c.freshUntil + 2 * day));
            EXPECT_FALSE(single.IsFresh(after + c.freshUntil + 300 * day));
        } else {
            EXPECT_TRUE(single.IsFresh(before + TvrOCSP::SingleResponse::kDefaultMaxAgeSeconds - 2));
            EXPECT_FALSE(single.IsFresh(after + TvrOCSP::SingleResponse::kDefaultMaxAgeSeconds + 2));
            EXPECT_FALSE(single.IsFresh(after + 400 * day));
            EXPECT_TRUE(single.IsFresh(after + 400 * day, leeway, 401 * day));
        }
    }
}
