#include "BasicOCSPResponseImpl.h"
#include "OcspTestUtil.h"
#include "X509Name.h"

#include <gtest/gtest.h>

#include <openssl/err.h>
#include <openssl/sha.h>

using namespace OcspTest;
using TvrOCSP::BasicOCSPResponse;
using TvrOCSP::BasicOCSPResponseImpl;
using TvrOCSP::OCSPResponse;

namespace {

BasicSpec GoodFor(const PkiItem& leaf)
{
    BasicSpec spec;
    spec.singles = {{&leaf}};
    return spec;
}

} // namespace

TEST(OcspResponse, UndecodableBytesRaiseCodeThreeAndLeaveNoOpensslErrors)
{
    std::vector<unsigned char> valid = ResponseDer(BuildBasic(GoodFor(Pki().SigningLeaf())).get());
    std::vector<std::vector<unsigned char>> cases = {
        {},
        {0x00},
        {0x30, 0x03, 0x0a, 0x01},                       // length beyond the bytes
        std::vector<unsigned char>(valid.begin(), valid.begin() + static_cast<long>(valid.size() / 2)),
        std::vector<unsigned char>(valid.begin(), valid.end() - 1),
        {'H', 'T', 'T', 'P', '/', '1', '.', '0', ' ', '5', '0', '0'},
    };
    for (const auto& bytes : cases) {
        EXPECT_EQ(CodeOf([&] { OCSPResponse response(Bytes(bytes)); }), 3) << TvrTest::Hex(bytes);
        EXPECT_EQ(ERR_peek_error(), 0ul);
    }
    std::vector<unsigned char> trailing = valid;
    trailing.insert(trailing.end(), {0xde, 0xad, 0xbe, 0xef});
    OCSPResponse withTrailing(Bytes(trailing));
    EXPECT_TRUE(withTrailing == OCSPResponse(Bytes(valid)));
    EXPECT_EQ(withTrailing.GetDER()->GetSize(), valid.size());
}

TEST(OcspResponse, StatusWithoutResponseBytes)
{
    struct Case {
        int status;
        const char* text;
    };
    for (const Case& c : {Case{1, "malformedrequest"}, Case{2, "internalerror"}, Case{3, "trylater"},
                          Case{4, "(UNKNOWN)"}, Case{5, "sigrequired"}, Case{6, "unauthorized"}}) {
        OCSPResponse response(Bytes(StatusOnlyDer(c.status)));
        EXPECT_EQ(response.GetStatus(), c.status);
        EXPECT_EQ(response.GetStatusText(), c.text);
        EXPECT_FALSE(response.GetBasicResponse());
        EXPECT_FALSE(response.GetResponseBytes());
    }
}

TEST(OcspResponse, BuiltResponseRoundTripsAndIgnoresAnnotations)
{
    BasicOCSPResponse basic = Basic(GoodFor(Pki().SigningLeaf()));
    OCSPResponse built(0, basic);
    EXPECT_EQ(built.GetStatus(), 0);
    EXPECT_EQ(built.GetStatusText(), "successful");
    ASSERT_TRUE(built.GetResponseBytes());
    EXPECT_EQ(built.GetResponseBytes()->GetResponseType(), "Basic OCSP Response");

    OCSPResponse decoded(*built.GetDER());
    EXPECT_TRUE(decoded == built);
    decoded.SetAssociatedText("megjegyzés");
    decoded.AddTimeInterval(TvrCommon::Date(0, 2), TvrCommon::Date(60, 2));
    EXPECT_TRUE(decoded == built);
    OCSPResponse copy(decoded);
    EXPECT_EQ(copy.GetAssociatedText(), "megjegyzés");
    ASSERT_EQ(copy.GetTimeIntervals().size(), 1u);
    EXPECT_EQ(copy.GetTimeIntervals()[0].second, TvrCommon::Date(60, 2));

    auto again = decoded.GetBasicResponse();
    ASSERT_TRUE(again);
    EXPECT_EQ(again->GetFingerprint(), basic.GetFingerprint());

    OCSPResponse other(0, Basic(GoodFor(Pki().EncryptionLeaf())));
    EXPECT_FALSE(other == built);
    EXPECT_NE(other < built, built < other);
    EXPECT_FALSE(built < decoded);
}

TEST(OcspResponse, BasicResponseFields)
{
    BasicSpec spec = GoodFor(Pki().SigningLeaf());
    spec.thisUpdate = Pki().RevocationTime() + 600;
    BasicOCSPResponse basic = Basic(spec);
    const PkiItem& signer = Pki().OcspSigner();

    EXPECT_EQ(basic.GetResponderID(), Cert(signer).GetSubject()->GetOneLine());
    EXPECT_EQ(basic.GetSignatureDigestAlgorithm(), "sha256");
    EXPECT_EQ(BasicOCSPResponseImpl::Of(basic).GetVersion(), 1);
    TvrCommon::Date producedAt = basic.GetProducedAt();
    EXPECT_LE(std::abs(producedAt.GetValue(2) - static_cast<int64_t>(std::time(nullptr))), 120);

    // The fingerprint hashes the OCTET STRING encoding of the signature value.
    auto signature = basic.GetSignature();
    ASSERT_TRUE(signature);
    std::vector<unsigned char> wrapped = TvrTest::DerTlv(
        0x04, std::vector<unsigned char>(signature->GetData(), signature->GetData() + signature->GetSize()));
    unsigned char sha1[SHA_DIGEST_LENGTH];
    SHA1(wrapped.data(), wrapped.size(), sha1);
    EXPECT_EQ(basic.GetFingerprint(), TvrCommon::ByteArray(sha1, sizeof sha1).Hexify(1, 0));

    auto certs = basic.GetCertificates();
    ASSERT_TRUE(certs);
    ASSERT_EQ(certs->size(), 1u);
    EXPECT_TRUE(certs->front() == Cert(signer));
    EXPECT_FALSE(basic.HasExtensions());
    EXPECT_FALSE(basic.GetExtensions());

    auto singles = basic.GetSingleResponses();
    ASSERT_TRUE(singles);
    ASSERT_EQ(singles->size(), 1u);
    EXPECT_EQ(singles->front().GetThisUpdate(), TvrCommon::Date(static_cast<uint64_t>(spec.thisUpdate), 2));
    ASSERT_TRUE(singles->front().GetNextUpdate());
    EXPECT_EQ(*singles->front().GetNextUpdate(), TvrCommon::Date(static_cast<uint64_t>(spec.thisUpdate + 3600), 2));
    EXPECT_FALSE(singles->front().HasExtensions());
}

TEST(OcspResponse, ResponderIdByKeyAndNoEmbeddedCertificates)
{
    BasicSpec spec = GoodFor(Pki().SigningLeaf());
    spec.flags = OCSP_RESPID_KEY | OCSP_NOCERTS;
    BasicOCSPResponse basic = Basic(spec);
    unsigned char hash[SHA_DIGEST_LENGTH];
    unsigned int length = 0;
    X509_pubkey_digest(Pki().OcspSigner().Cert(), EVP_sha1(), hash, &length);
    EXPECT_EQ(basic.GetResponderID(), TvrCommon::ByteArray(hash, length).Hexify(1, 1));
    EXPECT_EQ(basic.GetResponderID().size(), 59u);
    auto certs = basic.GetCertificates();
    ASSERT_TRUE(certs);  // absent field: empty, not null
    EXPECT_TRUE(certs->empty());
}

TEST(OcspResponse, CertificateStatuses)
{
    const TestPki& pki = Pki();
    BasicSpec spec;
    spec.singles = {{&pki.SigningLeaf(), V_OCSP_CERTSTATUS_GOOD},
                    {&pki.RevokedLeaf(), V_OCSP_CERTSTATUS_REVOKED, OCSP_REVOKED_STATUS_KEYCOMPROMISE},
                    {&pki.OnHoldLeaf(), V_OCSP_CERTSTATUS_REVOKED, OCSP_REVOKED_STATUS_CERTIFICATEHOLD},
                    {&pki.ExpiredLeaf(), V_OCSP_CERTSTATUS_REVOKED, OCSP_REVOKED_STATUS_NOSTATUS, EVP_sha256(), false},
                    {&pki.EncryptionLeaf(), V_OCSP_CERTSTATUS_UNKNOWN}};
    auto singles = Basic(spec).GetSingleResponses();
    ASSERT_TRUE(singles);
    ASSERT_EQ(singles->size(), 5u);

    struct Expected {
        int status;
        int reason;  // -2: no revoked information
    };
    const Expected expected[] = {{0, -2}, {1, 1}, {1, 6}, {1, 0}, {2, -2}};
    for (size_t i = 0; i < 5; ++i) {
        auto status = (*singles)[i].GetCertStatus();
        ASSERT_TRUE(status);
        EXPECT_EQ(status->GetStatus(), expected[i].status) << i;
        auto revoked = status->GetRevokedInfo();
        if (expected[i].reason == -2) {
            EXPECT_FALSE(revoked) << i;
            continue;
        }
        ASSERT_TRUE(revoked) << i;
        EXPECT_EQ(revoked->GetRevocationReason(), expected[i].reason) << i;
        EXPECT_EQ(revoked->GetRevocationTime(), TvrCommon::Date(static_cast<uint64_t>(pki.RevocationTime()), 2));
    }
    EXPECT_FALSE((*singles)[3].GetNextUpdate());
}

TEST(OcspResponse, NonceIsAResponseExtension)
{
    BasicSpec spec = GoodFor(Pki().SigningLeaf());
    spec.nonce = std::vector<unsigned char>(16, 0x5a);
    BasicOCSPResponse basic = Basic(spec);
    ASSERT_TRUE(basic.HasExtensions());
    auto extensions = basic.GetExtensions();
    ASSERT_TRUE(extensions);
    ASSERT_EQ(extensions->size(), 1u);
    EXPECT_EQ(extensions->front().GetOID(), "1.3.6.1.5.5.7.48.1.2");
    EXPECT_FALSE(extensions->front().IsCritical());
}

TEST(OcspResponse, BasicResponseBytesThatDoNotDecode)
{
    for (const std::vector<unsigned char>& bytes : {std::vector<unsigned char>{}, {0x30, 0x00}, {0x02, 0x01, 0x00}})
        EXPECT_EQ(CodeOf([&] { BasicOCSPResponse basic{TvrASN1::DERBytes(bytes.data(), bytes.size())}; }), 3)
            << TvrTest::Hex(bytes);
}
