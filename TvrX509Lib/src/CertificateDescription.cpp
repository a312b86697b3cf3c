#include "PropertyWriter.h"
#include "QCSummary.h"
#include "X509Certificate.h"

namespace TvrX509 {

namespace {
const PropertyAttributes kNoAttributes;
const SectionFormat kCertificateSectionFormat{1, 1, 0, "  "};
const PropertyFormat kDefaultPropertyFormat;
} // namespace

void X509Certificate::DumpProperties(IPropertyWriter& writer) const
{
    // The handle keeps the section open until the end, also while an exception unwinds.
    std::unique_ptr<IPropertyWriter> section = writer.AddSection("Certificate", kNoAttributes, kCertificateSectionFormat);
    auto write = [&writer](const char* name, const std::string& value) {
        writer.AddProperty(name, PropertyValue::Text(value.c_str()), kNoAttributes, kDefaultPropertyFormat);
    };
    write("SubjectDN", GetSubjectDN());
    if (std::string altName = GetSubjectAltName(); !altName.empty())
        write("SubjectAltName", altName);
    if (std::string email = GetEmail(); !email.empty())
        write("Email", email);
    write("IssuerDN", GetIssuerDN());
    write("SerialNumber", GetSerialNumber().ToHexString());
    write("NotBefore", GetNotBefore().ToIso8601String());
    write("NotAfter", GetNotAfter().ToIso8601String());
    write("SignatureDigestAlgorithm", GetSignatureDigestAlgorithm());
    write("SignatureKeyDescription", GetSignatureKeyDescription());
    write("FingerPrint", GetThumbprint());

    const QCSummary summary = GetQCSummary();
    DescribeQCSummary(summary, writer);
    DescribeQCConformance(ClassifyQC(summary), writer);
}

QCSummary X509Certificate::GetQCSummary() const
{
    return TvrX509::GetQCSummary(*this);
}

} // namespace TvrX509
