#include "ASN1Logger.h"
#include "AuthInfoAccess.h"
#include "CRLDistributionPoints.h"
#include "CertTestUtil.h"
#include "ASN1Exception.h"
#include "CertificatePolicies.h"
#include "ExtendedKeyUsage.h"
#include "KeyUsage.h"
#include "LogCapture.h"
#include "TestPki.h"
#include "X509LibLogger.h"

#include <gtest/gtest.h>
#include <openssl/x509.h>

#include <functional>
#include <memory>

using TvrASN1::DERBytes;
using CertTest::CodeOf;
using CertTest::Der;
using CertTest::ExtensionValue;
using namespace TvrX509;

namespace {

template <typename T>
std::unique_ptr<T> Typed(const TvrTest::PkiItem& item, const std::string& oid, int nid)
{
    auto [value, critical] = ExtensionValue(item, nid);
    std::unique_ptr<X509Extension> ext(X509Extension::Create(oid, value, critical));
    T* typed = dynamic_cast<T*>(ext.get());
    if (!typed)
        throw std::runtime_error("wrong extension class for " + oid);
    ext.release();
    return std::unique_ptr<T>(typed);
}

KeyUsage KeyUsageOf(std::vector<unsigned char> bitString)
{
    return KeyUsage(Der(bitString), true);
}

} // namespace

TEST(ExtensionTest, FactoryPicksTheTypedClassByOid)
{
    const auto& pki = TvrTest::TestPki::Get();
    const DERBytes keyUsageValue = Der({0x03, 0x02, 0x06, 0xC0});
    const DERBytes basicConstraints = Der({0x30, 0x03, 0x01, 0x01, 0xFF});
    struct Case {
        std::string oid;
        DERBytes value;
        std::string expectedOid;
        std::function<bool(X509Extension*)> isExpectedClass;
    } cases[] = {
        {"2.5.29.15", keyUsageValue, KeyUsage::OID, [](X509Extension* e) { return dynamic_cast<KeyUsage*>(e); }},
        {"keyUsage", keyUsageValue, "2.5.29.15", [](X509Extension* e) { return dynamic_cast<KeyUsage*>(e); }},
        {"2.5.29.37", ExtensionValue(pki.SigningLeaf(), NID_ext_key_usage).first, ExtendedKeyUsage::OID,
         [](X509Extension* e) { return dynamic_cast<ExtendedKeyUsage*>(e); }},
        {"1.3.6.1.5.5.7.1.1", ExtensionValue(pki.SigningLeaf(), NID_info_access).first, AuthInfoAccess::OID,
         [](X509Extension* e) { return dynamic_cast<AuthInfoAccess*>(e); }},
        {"2.5.29.31", ExtensionValue(pki.SigningLeaf(), NID_crl_distribution_points).first,
         CRLDistributionPoints::OID, [](X509Extension* e) { return dynamic_cast<CRLDistributionPoints*>(e); }},
        {"2.5.29.32", ExtensionValue(pki.SigningLeaf(), NID_certificate_policies).first, CertificatePolicies::OID,
         [](X509Extension* e) { return dynamic_cast<CertificatePolicies*>(e); }},
        {"2.5.29.19", basicConstraints, "2.5.29.19",
         [](X509Extension* e) { return typeid(*e) == typeid(X509Extension); }},
        {"1.2.3.4.5", basicConstraints, "1.2.3.4.5",
         [](X509Extension* e) { return typeid(*e) == typeid(X509Extension); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.oid);
        std::unique_ptr<X509Extension> ext(X509Extension::Create(c.oid, c.value, true));
        EXPECT_TRUE(c.isExpectedClass(ext.get()));
        EXPECT_EQ(ext->GetOID(), c.expectedOid);
        EXPECT_TRUE(ext->IsCritical());
        EXPECT_EQ(*ext->GetValue(), c.value);
        // The whole Extension structure round-trips through OpenSSL.
        auto der = ext->GetDER();
        const unsigned char* p = der->GetData();
        X509_EXTENSION* decoded = d2i_X509_EXTENSION(nullptr, &p, static_cast<long>(der->GetSize()));
        ASSERT_NE(decoded, nullptr);
        EXPECT_EQ(X509_EXTENSION_get_critical(decoded), 1);
        X509_EXTENSION_free(decoded);
    }
    X509Extension unknown("1.2.3.4.5", basicConstraints, false);
    EXPECT_EQ(unknown.GetName(), "1.2.3.4.5");
    EXPECT_EQ(X509Extension("2.5.29.19", basicConstraints, false).GetName(), "X509v3 Basic Constraints");
    EXPECT_FALSE(unknown.IsCritical());
    EXPECT_EQ(CodeOf([&] { X509Extension::Create("not an oid", basicConstraints, false); }), 1);
}

TEST(ExtensionTest, NoExtensionIsSupported)
{
    LogCapture capture(TvrX509::SetLogger);
    const DERBytes value = Der({0x03, 0x02, 0x07, 0x80});
    std::unique_ptr<X509Extension> typed(X509Extension::Create("2.5.29.15", value, true));
    X509Extension plain("2.5.29.19", Der({0x30, 0x00}), false);
    EXPECT_FALSE(typed->IsSupported());
    EXPECT_FALSE(plain.IsSupported());
    EXPECT_EQ(capture.warn.str(),
              "Not supported extension: X509v3 Key Usage\n"
              "Not supported extension: X509v3 Basic Constraints\n");
}

// Flags and Check on hand-made BIT STRINGs (tag, length, unused bits, octets).
TEST(ExtensionTest, KeyUsageFlagsAndCheck)
{
    struct Case {
        const char* name;
        std::vector<unsigned char> bits;
        uint32_t flags;
        unsigned char allowed;
        unsigned char required;
        int check;
    } cases[] = {
        {"signature+nonRepudiation, allowed both", {0x03, 0x02, 0x06, 0xC0}, 0x03, 0xC0, 0x40, 0},
        {"signature+nonRepudiation, allowed one", {0x03, 0x02, 0x06, 0xC0}, 0x03, 0x40, 0x40, 3},
        {"signature+nonRepudiation, none allowed", {0x03, 0x02, 0x06, 0xC0}, 0x03, 0x20, 0x20, 2},
        {"required bit missing", {0x03, 0x02, 0x07, 0x80}, 0x01, 0xC0, 0xC0, 2},
        {"relaxed: nothing required", {0x03, 0x02, 0x07, 0x80}, 0x01, 0xC0, 0x00, 0},
        {"encipherment", {0x03, 0x02, 0x04, 0x30}, 0x0C, 0x30, 0x20, 0},
        {"every bit of the first octet", {0x03, 0x02, 0x00, 0xFF}, 0xFF, 0xFF, 0xFF, 0},
        {"keyCertSign+cRLSign", {0x03, 0x02, 0x01, 0x06}, 0x60, 0x80, 0x00, 2},
        {"empty", {0x03, 0x01, 0x00}, 0x00, 0xFF, 0x00, 2},
        {"empty, nothing allowed", {0x03, 0x01, 0x00}, 0x00, 0x00, 0x00, 2},
        {"decipherOnly with an allowed bit", {0x03, 0x03, 0x07, 0x80, 0x80}, 0x01, 0xFF, 0x80, 3},
        {"decipherOnly without an allowed bit", {0x03, 0x03, 0x07, 0x80, 0x80}, 0x01, 0x40, 0x00, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        KeyUsage keyUsage = KeyUsageOf(c.bits);
        uint32_t flags = 0xDEAD;
        EXPECT_EQ(&keyUsage.GetFlags(flags), &flags);
        EXPECT_EQ(flags, c.flags);
        EXPECT_EQ(KeyUsage::Check(c.allowed, c.required, keyUsage), c.check);
    }
}

TEST(ExtensionTest, TypedValueThatDoesNotDecodeThrows)
{
    const DERBytes octetString = Der({0x04, 0x01, 0x00});
    auto throwsAsn1 = [](std::function<void()> make) {
        try {
            make();
        } catch (const TvrASN1::ASN1Exception& e) {
            return e.GetASN1Code() == 1;
        }
        return false;
    };
    LogCapture capture(TvrASN1::SetLogger);
    EXPECT_TRUE(throwsAsn1([&] { KeyUsage(octetString, false); }));
    EXPECT_TRUE(throwsAsn1([&] { X509Extension::Create("2.5.29.37", octetString, false); }));
    EXPECT_TRUE(throwsAsn1([&] { X509Extension::Create("2.5.29.32", Der({0x30, 0x05}), false); }));
    EXPECT_TRUE(throwsAsn1([&] { X509Extension::Create("2.5.29.31", DERBytes(), false); }));
    EXPECT_TRUE(throwsAsn1([&] { AuthInfoAccess(Der({0x30, 0x03, 0x30, 0x01, 0x06}), false); }));
    EXPECT_NE(capture.log.str().find("error parsing input"), std::string::npos);
}

TEST(ExtensionTest, ExtendedKeyUsagePurposesInOrder)
{
    auto eku = Typed<ExtendedKeyUsage>(TvrTest::TestPki::Get().SigningLeaf(), "2.5.29.37", NID_ext_key_usage);
    EXPECT_EQ(eku->GetCount(), 2);
    EXPECT_EQ(*eku->GetOIDs(), (std::vector<std::string>{"1.3.6.1.5.5.7.3.4", "1.3.6.1.5.5.7.3.2"}));

    // serverAuth, clientAuth
    std::vector<unsigned char> value = TvrTest::DerTlv(
        0x30, [] {
            auto a = TvrTest::DerOid("1.3.6.1.5.5.7.3.1");
            auto b = TvrTest::DerOid("1.3.6.1.5.5.7.3.2");
            a.insert(a.end(), b.begin(), b.end());
            return a;
        }());
    ExtendedKeyUsage built(Der(value), false);
    EXPECT_EQ(*built.GetOIDs(), (std::vector<std::string>{"1.3.6.1.5.5.7.3.1", "1.3.6.1.5.5.7.3.2"}));
    EXPECT_EQ(ExtendedKeyUsage().GetCount(), 0);
    EXPECT_TRUE(ExtendedKeyUsage().GetOIDs()->empty());
}

TEST(ExtensionTest, TypedCopiesCarryBothParts)
{
    auto original = Typed<KeyUsage>(TvrTest::TestPki::Get().SigningLeaf(), "2.5.29.15", NID_key_usage);
    KeyUsage copy(*original);
    KeyUsage assigned;
    assigned = *original;
    original.reset();
    for (const KeyUsage* k : {&copy, &assigned}) {
        uint32_t flags = 0;
        EXPECT_EQ(k->GetFlags(flags), 0x03u);
        EXPECT_EQ(k->GetOID(), "2.5.29.15");
        EXPECT_TRUE(k->IsCritical());
    }
    const auto& same = assigned;  // self-assignment, through a reference
    assigned = same;
    EXPECT_EQ(*assigned.GetValue(), *copy.GetValue());
}
