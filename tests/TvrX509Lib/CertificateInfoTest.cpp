#include "CertTestUtil.h"
#include "ErrCodeException.h"
#include "PropertyWriter.h"
#include "TestPki.h"
#include "X509CertificateInfo.h"

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

using namespace TvrX509;
using TvrTest::PkiItem;
using TvrTest::TestPki;

namespace {

// Records every call as one line: sections open and close, properties with their value
// type, attributes and format.
class RecordingWriter : public IPropertyWriter {
public:
    explicit RecordingWriter(std::shared_ptr<std::vector<std::string>> lines, std::string closing = std::string())
        : m_lines(std::move(lines)), m_closing(std::move(closing))
    {
    }
    ~RecordingWriter() override
    {
        if (!m_closing.empty())
            m_lines->push_back("end " + m_closing);
    }

    std::unique_ptr<IPropertyWriter> AddSection(const std::string& name, const PropertyAttributes& attributes,
                                                const SectionFormat& format) override
    {
        std::ostringstream line;
        line << "section " << name << Attributes(attributes) << " {" << format.value1 << "," << format.value2 << ","
             << format.value3 << ",\"" << format.text << "\"}";
        m_lines->push_back(line.str());
        return std::make_unique<RecordingWriter>(m_lines, name);
    }

    void AddProperty(const std::string& name, const PropertyValue& value, const PropertyAttributes& attributes,
                     const PropertyFormat& format) override
    {
        std::ostringstream line;
        line << "  " << name << " = " << Value(value) << Attributes(attributes) << " {" << format.value1 << ","
             << format.value2 << ",\"" << format.text << "\"}";
        m_lines->push_back(line.str());
    }

    const std::vector<std::string>& Lines() const { return *m_lines; }

private:
    static std::string Value(const PropertyValue& value)
    {
        switch (value.type) {
        case 1: return "text \"" + std::string(value.value.text) + "\"";
        case 2: return value.value.boolean ? "bool true" : "bool false";
        case 3: return "int " + std::to_string(value.value.integer);
        case 5: return "double " + std::to_string(value.value.number);
        default: return "type " + std::to_string(value.type);
        }
    }
    static std::string Attributes(const PropertyAttributes& attributes)
    {
        std::string text;
        for (const auto& [name, value] : attributes)
            text += " " + name + "=" + Value(value);
        return text;
    }

    std::shared_ptr<std::vector<std::string>> m_lines;
    std::string m_closing;
};

std::vector<std::string> Describe(const X509Certificate& certificate)
{
    RecordingWriter writer(std::make_shared<std::vector<std::string>>());
    certificate.DumpProperties(writer);
    return writer.Lines();
}

std::string Joined(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    return text;
}

// Serial number and SHA-1 fingerprint as OpenSSL's command line prints them.
std::pair<std::string, std::string> CommandLineSerialAndFingerprint(const std::string& pemPath)
{
    std::string output = CertTest::Run("openssl x509 -in '" + pemPath + "' -noout -serial -fingerprint -sha1");
    std::string serial = CertTest::ValueAfter(output, "serial=");
    std::string colons;
    for (size_t i = 0; i < serial.size(); i += 2)
        colons += (i ? ":" : "") + serial.substr(i, 2);
    std::string fingerprint = CertTest::ValueAfter(output, "Fingerprint=");
    std::string hex;
    for (char c : fingerprint)
        if (c != ':')
            hex += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return {colons, hex};
}

} // namespace

TEST(CertificateDescriptionTest, SigningLeafTranscript)
{
    const PkiItem& leaf = TestPki::Get().SigningLeaf();
    auto [serial, fingerprint] = CommandLineSerialAndFingerprint(leaf.pemPath);
    ASSERT_EQ(fingerprint.size(), 40u);
    const std::string golden =
        "section Certificate {1,1,0,\"  \"}\n"
        "  SubjectDN = text \"emailAddress=arvizturo@tavrenic.test,CN=Árvíztűrő Tükörfúrógép,OU=Aláírás,"
        "O=Tavrenic Teszt Kft.,C=HU\" {0,0,\"\"}\n"
        "  SubjectAltName = text \"arvizturo@tavrenic.test\" {0,0,\"\"}\n"
        "  Email = text \"arvizturo@tavrenic.test\" {0,0,\"\"}\n"
        "  IssuerDN = text \"CN=Tavrenic Test Intermediate CA,OU=Issuing,O=Tavrenic Test,C=HU\" {0,0,\"\"}\n"
        "  SerialNumber = text \"" + serial + "\" {0,0,\"\"}\n"
        "  NotBefore = text \"" + CertTest::Iso8601(leaf.NotBefore()) + "\" {0,0,\"\"}\n"
        "  NotAfter = text \"" + CertTest::Iso8601(leaf.NotAfter()) + "\" {0,0,\"\"}\n"
        "  SignatureDigestAlgorithm = text \"sha256\" {0,0,\"\"}\n"
        "  SignatureKeyDescription = text \"EC\" {0,0,\"\"}\n"
        "  FingerPrint = text \"" + fingerprint + "\" {0,0,\"\"}\n"
        // No qualified-certificate statements: no summary, and the verdict "no".
        "section Conformance {0,0,0,\"  \"}\n"
        "  Qualified = text \"no\" {0,0,\"\"}\n"
        "end Conformance\n"
        "end Certificate\n";
    EXPECT_EQ(Joined(Describe(X509Certificate(leaf.Cert()))), golden);
}

TEST(CertificateDescriptionTest, OptionalPropertiesFollowTheCertificate)
{
    const TestPki& pki = TestPki::Get();
    auto names = [](const std::vector<std::string>& lines) {
        std::vector<std::string> result;
        for (const std::string& line : lines)
            result.push_back(line.substr(0, line.find(" =")));
        return result;
    };
    // No alternative name and no e-mail address: eight properties.
    EXPECT_EQ(names(Describe(X509Certificate(pki.OcspSigner().Cert()))),
              (std::vector<std::string>{"section Certificate {1,1,0,\"  \"}", "  SubjectDN", "  IssuerDN",
                                        "  SerialNumber", "  NotBefore", "  NotAfter", "  SignatureDigestAlgorithm",
                                        "  SignatureKeyDescription", "  FingerPrint",
                                        "section Conformance {0,0,0,\"  \"}", "  Qualified", "end Conformance",
                                        "end Certificate"}));
    // The e-mail address only in the alternative name.
    std::vector<std::string> lines = Describe(X509Certificate(pki.NoKeyUsageLeaf().Cert()));
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[2], "  SubjectAltName = text \"nokeyusage@tavrenic.test\" {0,0,\"\"}");
    EXPECT_EQ(lines[3], "  Email = text \"nokeyusage@tavrenic.test\" {0,0,\"\"}");
}

TEST(CertificateDescriptionTest, AFailingGetterStillClosesTheSection)
{
    auto lines = std::make_shared<std::vector<std::string>>();
    RecordingWriter writer(lines);
    X509Certificate empty;
    // The empty names and times are written; the missing signature algorithm stops it.
    EXPECT_THROW(empty.DumpProperties(writer), TvrCommon::ErrCodeException);
    ASSERT_GE(lines->size(), 3u);
    EXPECT_EQ(lines->front(), "section Certificate {1,1,0,\"  \"}");
    EXPECT_EQ((*lines)[1], "  SubjectDN = text \"\" {0,0,\"\"}");
    EXPECT_EQ(lines->back(), "end Certificate");
}

TEST(CertificateInfoTest, DefaultsAndAttributes)
{
    const TestPki& pki = TestPki::Get();
    X509Certificate tagged(pki.SigningLeaf().Cert());
    tagged.AddTag(2);
    std::string pathWithZero = pki.SigningLeaf().pemPath + std::string(1, '\0') + "ignored";
    const std::vector<unsigned char> der = pki.SigningLeaf().Der();
    X509CertificateInfo infos[] = {
        X509CertificateInfo(tagged),
        X509CertificateInfo(der.data(), static_cast<int>(der.size())),
        X509CertificateInfo(TvrASN1::DERBytes(der.data(), der.size())),
        X509CertificateInfo(pathWithZero),
    };
    for (const X509CertificateInfo& info : infos) {
        EXPECT_FALSE(info.IsTrusted());
        EXPECT_EQ(info.GetText(), "");
        EXPECT_EQ(info.GetValue1(), 5);
        EXPECT_EQ(info.GetValue2(), 5);
        EXPECT_TRUE(info == tagged);
    }
    EXPECT_EQ(infos[0].GetTag(), 2);  // a copy of the certificate, tags included
    X509CertificateInfo empty;
    EXPECT_FALSE(empty.IsTrusted());

    X509CertificateInfo info(tagged);
    info.SetTrusted(true);
    info.SetText("note");
    info.SetText(info.GetText());
    info.SetValue1(1);
    info.SetValue2(2);
    X509CertificateInfo copy(info);
    EXPECT_TRUE(copy.IsTrusted());
    EXPECT_EQ(copy.GetText(), "note");
    EXPECT_EQ(copy.GetValue1(), 1);
    EXPECT_EQ(copy.GetValue2(), 2);
}

TEST(CertificateInfoTest, UntrustedBeforeTrustedOfTheSameCertificate)
{
    const TestPki& pki = TestPki::Get();
    X509CertificateInfo untrusted(X509Certificate(pki.Root().Cert()));
    X509CertificateInfo trusted(X509Certificate(pki.Root().Cert()));
    trusted.SetTrusted(true);
    EXPECT_TRUE(untrusted < trusted);
    EXPECT_FALSE(trusted < untrusted);
    X509CertificateInfo alsoTrusted(trusted);
    EXPECT_FALSE(trusted < alsoTrusted);
    EXPECT_FALSE(alsoTrusted < trusted);

    // Different certificates: the certificate order, whatever the flags.
    X509CertificateInfo other(X509Certificate(pki.Intermediate().Cert()));
    bool rootFirst = X509Certificate(pki.Root().Cert()) < X509Certificate(pki.Intermediate().Cert());
    EXPECT_EQ(trusted < other, rootFirst);
    EXPECT_EQ(other < untrusted, !rootFirst);
}
