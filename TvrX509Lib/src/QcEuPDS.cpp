#include "QCStatements.h"

#include "QCStatementInfoImpl.h"

#include <openssl/crypto.h>

#include <memory>

namespace TvrX509 {

// ---- QcEuPDSImpl ----

QcEuPDSImpl::QcEuPDSImpl()
    : OpenSSLBase(QC_PDS_new, QC_PDS_free, QC_PDS_dup, d2i_QC_PDS, i2d_QC_PDS)
{
}

QcEuPDSImpl::QcEuPDSImpl(const TvrASN1::DERBytes& der)
    : OpenSSLBase(der, QC_PDS_new, QC_PDS_free, QC_PDS_dup, d2i_QC_PDS, i2d_QC_PDS)
{
}

void QcEuPDSImpl::Validate(std::set<int>& codes)
{
    for (int i = 0; i < sk_QC_PDS_LOCATION_num(object); ++i) {
        const QC_PDS_LOCATION* location = sk_QC_PDS_LOCATION_value(object, i);
        if (!location || !location->language || !location->url) {
            codes.insert(1);
            continue;
        }
        const ASN1_STRING* languageText = location->language;
        std::string language = ToLowerAscii(
            std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(languageText)),
                        static_cast<size_t>(ASN1_STRING_length(languageText))));
        if (language.size() != 2)
            codes.insert(5);

        unsigned char* utf8 = nullptr;
        int length = ASN1_STRING_to_UTF8(&utf8, location->url);
        if (length < 0) {
            codes.insert(1);
            continue;
        }
        std::string url(reinterpret_cast<const char*>(utf8), static_cast<size_t>(length));
        OPENSSL_free(utf8);

        if (url.compare(0, 8, "https://") != 0)
            codes.insert(9);
        locations.emplace(language, url);
    }
    if (locations.find("en") == locations.end())
        codes.insert(10);
}

// ---- QcEuPDS ----

QcEuPDS::QcEuPDS() : m_impl(new QcEuPDSImpl()) {}

QcEuPDS::QcEuPDS(const TvrASN1::DERBytes& info) : m_impl(nullptr)
{
    auto impl = std::make_unique<QcEuPDSImpl>(info);
    impl->Validate(m_codes);
    m_impl = impl.release();
}

QcEuPDS::QcEuPDS(const QcEuPDS& other)
    : QCStatementInfo(other), m_impl(new QcEuPDSImpl(*other.m_impl))
{
}

QcEuPDS& QcEuPDS::operator=(const QcEuPDS& other)
{
    if (this != &other) {
        *m_impl = *other.m_impl;
        m_codes = other.m_codes;
    }
    return *this;
}

QcEuPDS::~QcEuPDS()
{
    delete m_impl;
}

int QcEuPDS::GetType() const { return 8; }
QCStatementInfo* QcEuPDS::Clone() const { return new QcEuPDS(*this); }

const std::map<std::string, std::string>& QcEuPDS::GetLocations() const
{
    return m_impl->locations;
}

const std::string& QcEuPDS::GetLocation(const std::string& language) const
{
    static const std::string none;
    auto found = m_impl->locations.find(ToLowerAscii(language));
    return found == m_impl->locations.end() ? none : found->second;
}

const std::string& QcEuPDS::GetEnglishLocation() const
{
    return GetLocation("en");
}

bool QcEuPDS::HasLanguage(const std::string& language) const
{
    return m_impl->locations.count(ToLowerAscii(language)) != 0;
}

void QcEuPDS::CopyLocations(std::map<std::string, std::string>& target) const
{
    for (const auto& [language, url] : m_impl->locations)
        target.emplace(language, url);
}

} // namespace TvrX509
