// The mirror templates read fields OpenSSL 3 keeps opaque; each must decode what OpenSSL
// encodes and encode it back byte for byte, or a field read through it could be wrong.
#include "BasicOCSPResponseImpl.h"
#include "OCSPMirror.h"
#include "OcspTestUtil.h"

#include <gtest/gtest.h>

using namespace OcspTest;
using namespace TvrOCSP;

namespace {

std::vector<unsigned char> RoundTrip(const std::vector<unsigned char>& der, const ASN1_ITEM* mirrorItem)
{
    const unsigned char* p = der.data();
    ASN1_VALUE* mirror = ASN1_item_d2i(nullptr, &p, static_cast<long>(der.size()), mirrorItem);
    if (!mirror)
        return {};
    std::vector<unsigned char> again = DerOf(mirror, mirrorItem);
    ASN1_item_free(mirror, mirrorItem);
    return again;
}

BasicPtr Sample(unsigned long flags)
{
    const TestPki& pki = Pki();
    BasicSpec spec;
    spec.flags = flags;
    spec.nonce = std::vector<unsigned char>(16, 0x42);
    spec.singles = {{&pki.SigningLeaf()},
                    {&pki.RevokedLeaf(), V_OCSP_CERTSTATUS_REVOKED, OCSP_REVOKED_STATUS_KEYCOMPROMISE},
                    {&pki.OnHoldLeaf(), V_OCSP_CERTSTATUS_REVOKED, OCSP_REVOKED_STATUS_NOSTATUS, EVP_sha256(), false},
                    {&pki.EncryptionLeaf(), V_OCSP_CERTSTATUS_UNKNOWN}};
    return BuildBasic(spec);
}

} // namespace

TEST(OcspMirror, EveryMirrorRoundTripsOpensslEncodings)
{
    for (unsigned long flags : {0ul, static_cast<unsigned long>(OCSP_RESPID_KEY | OCSP_NOCERTS)}) {
        BasicPtr basic = Sample(flags);
        std::vector<unsigned char> response = ResponseDer(basic.get());
        EXPECT_EQ(RoundTrip(response, ASN1_ITEM_rptr(RESPONSE_MIRROR)), response);
        std::vector<unsigned char> tryLater = StatusOnlyDer(3);
        EXPECT_EQ(RoundTrip(tryLater, ASN1_ITEM_rptr(RESPONSE_MIRROR)), tryLater);

        OCSP_RESPONSE* created = OCSP_response_create(0, basic.get());
        auto outer = MirrorOf<RESPONSE_MIRROR>(ASN1_ITEM_rptr(OCSP_RESPONSE), created, ASN1_ITEM_rptr(RESPONSE_MIRROR));
        OCSP_RESPONSE_free(created);
        ASSERT_TRUE(outer && outer->responseBytes);
        std::vector<unsigned char> bytes = DerOf(outer->responseBytes, ASN1_ITEM_rptr(OCSP_RESPBYTES));
        EXPECT_EQ(RoundTrip(bytes, ASN1_ITEM_rptr(RESPBYTES_MIRROR)), bytes);

        std::vector<unsigned char> data = DerOf(OCSP_resp_get0_respdata(basic.get()), ASN1_ITEM_rptr(OCSP_RESPDATA));
        EXPECT_EQ(RoundTrip(data, ASN1_ITEM_rptr(RESPDATA_MIRROR)), data);

        for (int i = 0; i < OCSP_resp_count(basic.get()); ++i) {
            OCSP_SINGLERESP* single = OCSP_resp_get0(basic.get(), i);
            std::vector<unsigned char> singleDer = DerOf(single, ASN1_ITEM_rptr(OCSP_SINGLERESP));
            EXPECT_EQ(RoundTrip(singleDer, ASN1_ITEM_rptr(SINGLERESP_MIRROR)), singleDer) << i;

            auto mirror = MirrorOf<SINGLERESP_MIRROR>(ASN1_ITEM_rptr(OCSP_SINGLERESP), single,
                                                      ASN1_ITEM_rptr(SINGLERESP_MIRROR));
            ASSERT_TRUE(mirror);
            std::vector<unsigned char> status = DerOf(mirror->certStatus, ASN1_ITEM_rptr(OCSP_CERTSTATUS));
            EXPECT_EQ(RoundTrip(status, ASN1_ITEM_rptr(CERTSTATUS_MIRROR)), status) << i;
            auto statusMirror = MirrorOf<CERTSTATUS_MIRROR>(ASN1_ITEM_rptr(OCSP_CERTSTATUS), mirror->certStatus,
                                                            ASN1_ITEM_rptr(CERTSTATUS_MIRROR));
            ASSERT_TRUE(statusMirror);
            int reason = -5;
            EXPECT_EQ(statusMirror->type, OCSP_single_get0_status(single, &reason, nullptr, nullptr, nullptr)) << i;
            if (statusMirror->type == V_OCSP_CERTSTATUS_REVOKED) {
                std::vector<unsigned char> revoked =
                    DerOf(statusMirror->value.revoked, ASN1_ITEM_rptr(OCSP_REVOKEDINFO));
                EXPECT_EQ(RoundTrip(revoked, ASN1_ITEM_rptr(REVOKEDINFO_MIRROR)), revoked) << i;
                auto revokedMirror = MirrorOf<REVOKEDINFO_MIRROR>(
                    ASN1_ITEM_rptr(OCSP_REVOKEDINFO), statusMirror->value.revoked, ASN1_ITEM_rptr(REVOKEDINFO_MIRROR));
                ASSERT_TRUE(revokedMirror);
                // OpenSSL reports an absent reason as -1.
                EXPECT_EQ(revokedMirror->revocationReason ? ASN1_ENUMERATED_get(revokedMirror->revocationReason) : -1,
                          reason) << i;
            }
        }
    }
}

TEST(OcspMirror, VersionFieldIsRead)
{
    BasicPtr basic = Sample(0);
    EXPECT_EQ(BasicOCSPResponseImpl::Of(ToBasic(basic.get())).GetVersion(), 1);

    // Re-encode the response data with an explicit version field (v1 is DEFAULT and so
    // never written by OpenSSL) and splice it into the basic response in its place.
    std::vector<unsigned char> data = DerOf(OCSP_resp_get0_respdata(basic.get()), ASN1_ITEM_rptr(OCSP_RESPDATA));
    const unsigned char* p = data.data();
    ASN1_VALUE* value = ASN1_item_d2i(nullptr, &p, static_cast<long>(data.size()), ASN1_ITEM_rptr(RESPDATA_MIRROR));
    ASSERT_TRUE(value);
    auto* mirror = reinterpret_cast<RESPDATA_MIRROR*>(value);
    mirror->version = ASN1_INTEGER_new();
    ASN1_INTEGER_set(mirror->version, 1);
    std::vector<unsigned char> versioned = DerOf(value, ASN1_ITEM_rptr(RESPDATA_MIRROR));
    ASN1_item_free(value, ASN1_ITEM_rptr(RESPDATA_MIRROR));

    std::vector<unsigned char> whole = DerOf(basic.get(), ASN1_ITEM_rptr(OCSP_BASICRESP));
    const unsigned char* q = whole.data();
    long length = 0;
    int tag = 0, cls = 0;
    ASN1_get_object(&q, &length, &tag, &cls, static_cast<long>(whole.size()));
    size_t dataStart = static_cast<size_t>(q - whole.data());
    std::vector<unsigned char> content(versioned);
    content.insert(content.end(), whole.begin() + static_cast<long>(dataStart + data.size()), whole.end());
    std::vector<unsigned char> spliced = TvrTest::DerTlv(0x30, content);

    TvrOCSP::BasicOCSPResponse withVersion(TvrASN1::DERBytes(spliced.data(), spliced.size()));
    EXPECT_EQ(BasicOCSPResponseImpl::Of(withVersion).GetVersion(), 2);
}
