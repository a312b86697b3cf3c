// Responses that are garbage, truncated or malformed in one field (the files in corpus/,
// made from real `openssl ocsp` answers), plus every prefix and single-byte corruption of
// the real answers among them. Each is decoded and then read through every operation the
// revocation check could reach; only the library's own exception may come out, and the
// ASan build turns any memory fault into a failure.
#include "BasicOCSPResponseImpl.h"
#include "ErrCodeException.h"
#include "OcspTestUtil.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

using namespace OcspTest;
using TvrOCSP::BasicOCSPResponse;
using TvrOCSP::OCSPResponse;
using TvrOCSP::SingleResponse;
using TvrX509::X509Certificate;

namespace {

std::vector<unsigned char> ReadBytes(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

// Runs one operation; a library exception is an acceptable answer to malformed input.
void Try(const std::function<void()>& operation)
{
    try {
        operation();
    } catch (const TvrCommon::ErrCodeException&) {
    }
}

void ExerciseSingle(const SingleResponse& single)
{
    Try([&] {
        if (auto status = single.GetCertStatus()) {
            Try([&] { status->GetStatus(); });
            Try([&] {
                if (auto revoked = status->GetRevokedInfo()) {
                    Try([&] { revoked->GetRevocationTime(); });
                    Try([&] { revoked->GetRevocationReason(); });
                }
            });
        }
    });
    Try([&] {
        if (auto id = single.GetCertID()) {
            Try([&] { id->GetHashAlgorithm(); });
            Try([&] { id->GetIssuerNameHash(); });
            Try([&] { id->GetIssuerKeyHash(); });
            Try([&] { id->GetSerialNumber(); });
        }
    });
    Try([&] { single.GetThisUpdate(); });
    Try([&] { single.GetNextUpdate(); });
    Try([&] { single.GetExtensions(); });
    EXPECT_NO_THROW(single.IsFresh(std::time(nullptr)));
}

void ExerciseBasic(const BasicOCSPResponse& basic)
{
    static const TvrOCSP::OCSPRequest request = RequestFor(Pki().SigningLeaf());
    static X509Certificate root = Cert(Pki().Root());
    static X509Certificate intermediate = Cert(Pki().Intermediate());
    static X509Certificate signer = Cert(Pki().OcspSigner());
    static const std::set<X509Certificate*> candidates = {&root, &intermediate, &signer};

    Try([&] { basic.GetResponderID(); });
    Try([&] { basic.GetProducedAt(); });
    Try([&] { basic.GetSignature(); });
    Try([&] { basic.GetFingerprint(); });
    Try([&] { basic.GetSignatureDigestAlgorithm(); });
    Try([&] { basic.GetCertificates(); });
    Try([&] { basic.GetExtensions(); });
    Try([&] { TvrOCSP::BasicOCSPResponseImpl::Of(basic).GetVersion(); });
    Try([&] {
        if (auto singles = basic.GetSingleResponses())
            for (const SingleResponse& single : *singles)
                ExerciseSingle(single);
    });
    Try([&] { basic.CheckNonce(request); });
    Try([&] {
        SingleResponse found;
        if (basic.FindSingleResponse(request, found))
            ExerciseSingle(found);
    });
    Try([&] { basic.IsResponderCertificate(signer); });
    Try([&] {
        X509Certificate responder;
        basic.Verify(responder, nullptr);
        basic.Verify(responder, &candidates);
        basic.IsAuthorizedResponder(responder, intermediate);
    });
}

// False when decoding failed with the documented code.
bool Exercise(const std::vector<unsigned char>& bytes)
{
    std::unique_ptr<OCSPResponse> response;
    try {
        response = std::make_unique<OCSPResponse>(Bytes(bytes));
    } catch (const TvrCommon::ErrCodeException& e) {
        EXPECT_EQ(e.GetCode(), 3) << TvrTest::Hex(bytes);
        return false;
    }
    Try([&] { response->GetStatusText(); });
    Try([&] {
        if (auto payload = response->GetResponseBytes())
            payload->GetResponseType();
    });
    Try([&] { response->GetDER(); });
    Try([&] { (void)(*response == OCSPResponse(*response)); });
    Try([&] {
        if (auto basic = response->GetBasicResponse())
            ExerciseBasic(*basic);
    });
    return true;
}

std::vector<std::filesystem::path> CorpusFiles()
{
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(TVR_OCSP_CORPUS_DIR))
        if (entry.is_regular_file())
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

} // namespace

TEST(OcspCorpus, EveryFileDecodesOrRaisesCodeThree)
{
    auto files = CorpusFiles();
    ASSERT_GE(files.size(), 30u);
    int decoded = 0;
    for (const auto& path : files) {
        SCOPED_TRACE(path.filename().string());
        try {
            decoded += Exercise(ReadBytes(path)) ? 1 : 0;
        } catch (const std::exception& e) {
            ADD_FAILURE() << "unexpected exception: " << e.what();
        }
    }
    // Most files are well-formed outside the one field they break, so they reach the
    // readers behind the decoder.
    EXPECT_GE(decoded, 20);
}

// An empty responder name is a name: the answer is refused for want of a signer, not
// with an exception.
TEST(OcspCorpus, EmptyResponderNameIsRefusedQuietly)
{
    OCSPResponse response(Bytes(ReadBytes(std::filesystem::path(TVR_OCSP_CORPUS_DIR) / "responder-id-empty-name.der")));
    auto basic = response.GetBasicResponse();
    ASSERT_TRUE(basic);
    EXPECT_EQ(basic->GetResponderID(), "");
    X509Certificate root = Cert(Pki().Root());
    X509Certificate signer = Cert(Pki().OcspSigner());
    const std::set<X509Certificate*> candidates = {&root, &signer};
    X509Certificate responder;
    bool verified = true;
    EXPECT_NO_THROW(verified = basic->Verify(responder, &candidates));
    EXPECT_FALSE(verified);
    EXPECT_NO_THROW(verified = basic->Verify(responder, nullptr));
    EXPECT_FALSE(verified);
}

TEST(OcspCorpus, PrefixesAndCorruptionsOfRealAnswers)
{
    for (const auto& path : CorpusFiles()) {
        if (path.filename().string().rfind("seed-", 0) != 0)
            continue;
        SCOPED_TRACE(path.filename().string());
        const std::vector<unsigned char> seed = ReadBytes(path);
        ASSERT_FALSE(seed.empty());
        EXPECT_TRUE(Exercise(seed));
        for (size_t length = 0; length < seed.size(); ++length)
            EXPECT_FALSE(Exercise(std::vector<unsigned char>(seed.begin(), seed.begin() + static_cast<long>(length))))
                << "prefix of " << length << " bytes decoded";
        for (size_t i = 0; i < seed.size(); ++i) {
            for (unsigned char mask : {0x01, 0x80, 0xff}) {
                std::vector<unsigned char> corrupted = seed;
                corrupted[i] ^= mask;
                try {
                    Exercise(corrupted);
                } catch (const std::exception& e) {
                    ADD_FAILURE() << "byte " << i << " ^ " << int(mask) << ": " << e.what();
                }
            }
        }
    }
}
