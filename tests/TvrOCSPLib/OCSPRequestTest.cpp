#include "CertIDImpl.h"
#include "OcspTestUtil.h"
#include "P11Rig.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <fstream>

using namespace OcspTest;
using TvrOCSP::CertID;
using TvrOCSP::OCSPRequest;

namespace {

std::string HexColon(const unsigned char* data, size_t length)
{
    return TvrCommon::ByteArray(data, length).Hexify(0, 1);
}

// The request's DER decoded back by OpenSSL.
struct DecodedRequest {
    explicit DecodedRequest(const OCSPRequest& request)
    {
        auto der = request.GetDER();
        const unsigned char* p = der->GetData();
        object = d2i_OCSP_REQUEST(nullptr, &p, static_cast<long>(der->GetSize()));
    }
    ~DecodedRequest() { OCSP_REQUEST_free(object); }
    OCSP_REQUEST* object = nullptr;
};

} // namespace

TEST(OcspRequest, Sha256CertIdHoldsTheDigestsOfIssuerNameAndKey)
{
    const PkiItem& leaf = Pki().SigningLeaf();
    const PkiItem& issuer = Pki().Intermediate();
    OCSPRequest request = RequestFor(leaf);
    auto entries = request.GetRequests();
    ASSERT_EQ(entries->size(), 1u);
    CertID id = entries->front().GetCertID();

    ASSERT_TRUE(id.GetHashAlgorithm());
    EXPECT_EQ(*id.GetHashAlgorithm(), "sha256");

    unsigned char hash[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    X509_NAME_digest(X509_get_issuer_name(leaf.Cert()), EVP_sha256(), hash, &length);
    EXPECT_EQ(id.GetIssuerNameHash(), HexColon(hash, length));
    EXPECT_EQ(id.GetIssuerNameHash().size(), 95u);
    X509_pubkey_digest(issuer.Cert(), EVP_sha256(), hash, &length);
    EXPECT_EQ(id.GetIssuerKeyHash(), HexColon(hash, length));
    EXPECT_EQ(id.GetIssuerKeyHash().size(), 95u);

    EXPECT_EQ(id.GetSerialNumber()->ToHexString(), TvrCommon::BigInt(leaf.SerialHex(), true).ToHexString());
}

TEST(OcspRequest, NonceIsFreshSixteenBytesAndCertIdsStillMatch)
{
    OCSPRequest first = RequestFor(Pki().SigningLeaf());
    OCSPRequest second = RequestFor(Pki().SigningLeaf());
    EXPECT_NE(*first.GetDER(), *second.GetDER());
    EXPECT_TRUE(first.GetRequests()->front().GetCertID() == second.GetRequests()->front().GetCertID());

    DecodedRequest decoded(first);
    ASSERT_TRUE(decoded.object);
    int index = OCSP_REQUEST_get_ext_by_NID(decoded.object, NID_id_pkix_OCSP_Nonce, -1);
    ASSERT_GE(index, 0);
    const ASN1_OCTET_STRING* value = X509_EXTENSION_get_data(OCSP_REQUEST_get_ext(decoded.object, index));
    // The extension value is an OCTET STRING wrapping the 16 random bytes.
    ASSERT_EQ(ASN1_STRING_length(value), 18);
    EXPECT_EQ(ASN1_STRING_get0_data(value)[0], 0x04);
    EXPECT_EQ(ASN1_STRING_get0_data(value)[1], 16);

    DecodedRequest plain(RequestFor(Pki().SigningLeaf(), false));
    ASSERT_TRUE(plain.object);
    EXPECT_EQ(OCSP_REQUEST_get_ext_count(plain.object), 0);
}

TEST(OcspRequest, RefusesUnknownDigestAndSigning)
{
    auto leaf = Cert(Pki().SigningLeaf());
    auto issuer = Cert(Pki().Intermediate());
    EXPECT_EQ(CodeOf([&] { OCSPRequest("", leaf, issuer, false, true); }), 1);
    EXPECT_EQ(CodeOf([&] { OCSPRequest("no-such-digest", leaf, issuer, false, true); }), 1);
    EXPECT_EQ(CodeOf([&] { CertID("", leaf, issuer); }), 1);
    EXPECT_EQ(CodeOf([&] { OCSPRequest("sha256", leaf, issuer, true, false); }), 2);
}

TEST(OcspRequest, EmptyRequestHasNoEntries)
{
    OCSPRequest empty;
    auto entries = empty.GetRequests();
    ASSERT_TRUE(entries);
    EXPECT_TRUE(entries->empty());
}

TEST(OcspRequest, CertIdEquality)
{
    auto leaf = Cert(Pki().SigningLeaf());
    auto issuer = Cert(Pki().Intermediate());
    CertID sha256("sha256", leaf, issuer);
    CertID copy(sha256);
    CertID sha1("sha1", leaf, issuer);
    CertID other("sha256", Cert(Pki().RevokedLeaf()), issuer);
    EXPECT_TRUE(sha256 == sha256);
    EXPECT_TRUE(sha256 == copy);
    EXPECT_FALSE(sha256 != copy);
    EXPECT_TRUE(sha256 != sha1);
    EXPECT_EQ(*sha1.GetHashAlgorithm(), "sha1");
    EXPECT_EQ(sha1.GetIssuerKeyHash().size(), 59u);
    EXPECT_TRUE(sha256 != other);
    copy = other;
    EXPECT_TRUE(copy == other);
}

TEST(OcspRequest, OpensslCliParsesTheRequest)
{
    const PkiItem& leaf = Pki().RevokedLeaf();
    OCSPRequest request = RequestFor(leaf);
    TvrTest::TempDir dir;
    std::string path = dir.Path() + "/request.der";
    auto der = request.GetDER();
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(der->GetData()),
                                                static_cast<std::streamsize>(der->GetSize()));
    std::string output;
    ASSERT_EQ(TvrTest::RunCommand({TVR_OPENSSL_CLI, "ocsp", "-reqin", path, "-req_text"}, &output), 0) << output;
    EXPECT_NE(output.find("Hash Algorithm: sha256"), std::string::npos) << output;
    EXPECT_NE(output.find("Serial Number: " + leaf.SerialHex()), std::string::npos) << output;
    EXPECT_NE(output.find("OCSP Nonce"), std::string::npos) << output;
}
