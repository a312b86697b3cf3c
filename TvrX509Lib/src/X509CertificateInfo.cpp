#include "X509CertificateInfo.h"

namespace TvrX509 {

X509CertificateInfo::X509CertificateInfo() = default;

X509CertificateInfo::X509CertificateInfo(const X509Certificate& certificate) : X509Certificate(certificate) {}

X509CertificateInfo::X509CertificateInfo(const unsigned char* data, int length) : X509Certificate(data, length) {}

X509CertificateInfo::X509CertificateInfo(const TvrASN1::DERBytes& der) : X509Certificate(der) {}

X509CertificateInfo::X509CertificateInfo(const std::string& path) : X509Certificate(std::string(path.c_str())) {}

X509CertificateInfo::~X509CertificateInfo() = default;

void X509CertificateInfo::SetTrusted(bool trusted) { m_trusted = trusted; }
bool X509CertificateInfo::IsTrusted() const { return m_trusted; }

void X509CertificateInfo::SetText(const std::string& text)
{
    if (&text != &m_text)
        m_text = text;
}

const std::string& X509CertificateInfo::GetText() const { return m_text; }
void X509CertificateInfo::SetValue1(int value) { m_value1 = value; }
void X509CertificateInfo::SetValue2(int value) { m_value2 = value; }
int X509CertificateInfo::GetValue1() const { return m_value1; }
int X509CertificateInfo::GetValue2() const { return m_value2; }

bool X509CertificateInfo::operator<(const X509CertificateInfo& other) const
{
    if (X509Certificate::operator!=(other))
        return X509Certificate::operator<(other);
    return !m_trusted && other.m_trusted;
}

} // namespace TvrX509
