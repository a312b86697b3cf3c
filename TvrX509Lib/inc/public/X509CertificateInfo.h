#pragma once

#include "X509Certificate.h"

#include <string>

namespace TvrX509 {

// A certificate with a trust flag (trust anchors of the chain building) and three plain
// attributes of its own (text "", integers 5 and 5).
class X509CertificateInfo : public X509Certificate {
public:
    X509CertificateInfo();
    explicit X509CertificateInfo(const X509Certificate& certificate);
    X509CertificateInfo(const unsigned char* data, int length);
    explicit X509CertificateInfo(const TvrASN1::DERBytes& der);
    // Read with an empty password; the path ends at its first zero character.
    explicit X509CertificateInfo(const std::string& path);
    X509CertificateInfo(const X509CertificateInfo& other) = default;
    X509CertificateInfo& operator=(const X509CertificateInfo& other) = default;
    virtual ~X509CertificateInfo();

    void SetTrusted(bool trusted);
    bool IsTrusted() const;
    void SetText(const std::string& text);
    const std::string& GetText() const;
    void SetValue1(int value);
    void SetValue2(int value);
    int GetValue1() const;
    int GetValue2() const;

    // The certificate order; of two infos of the same certificate the untrusted one first.
    bool operator<(const X509CertificateInfo& other) const;

private:
    bool m_trusted = false;
    std::string m_text;
    int m_value1 = 5;
    int m_value2 = 5;
};

} // namespace TvrX509
