#include "X509StoreContext.h"

#include "X509StoreContextImpl.h"

namespace TvrX509 {

X509StoreContext::X509StoreContext(IStoreContextDownloader* downloader)
    : m_impl(new X509StoreContextImpl(downloader))
{
}

X509StoreContext::X509StoreContext(const X509StoreContext& other) : m_impl(new X509StoreContextImpl(*other.m_impl))
{
}

X509StoreContext& X509StoreContext::operator=(const X509StoreContext& other)
{
    if (this != &other)
        *m_impl = *other.m_impl;
    return *this;
}

X509StoreContext::~X509StoreContext()
{
    delete m_impl;
}

int X509StoreContext::SetTargetCertificate(const X509Certificate& target, int downloadContext)
{
    return m_impl->SetTargetCertificate(target, downloadContext);
}

void X509StoreContext::AddTrustedCertificate(const X509Certificate& certificate)
{
    m_impl->AddTrustedCertificate(certificate);
}

void X509StoreContext::AddUntrustedCertificate(const X509Certificate& certificate)
{
    m_impl->AddUntrustedCertificate(certificate);
}

bool X509StoreContext::OpenSSLVerify(const std::string& downloadParameter, const TvrCommon::Date& timePoint)
{
    return m_impl->OpenSSLVerify(downloadParameter, timePoint);
}

std::vector<X509Certificate> X509StoreContext::GetCertificateChain(size_t index) const
{
    return m_impl->GetCertificateChain(index);
}

size_t X509StoreContext::GetCertificateChainCount() const
{
    return m_impl->results.size();
}

std::vector<std::vector<X509Certificate>> X509StoreContext::GetCertificateChains() const
{
    return m_impl->results;
}

void X509StoreContext::SetIssuerSource(IStoreContextIssuerSource* source)
{
    m_impl->issuerSource = source;
}

CertificateDownloadCallback X509StoreContext::SetDownloadCallback(CertificateDownloadCallback callback)
{
    return m_impl->downloadCallback = callback;
}

TslLookupCallback X509StoreContext::SetTslCheckCallback(TslLookupCallback callback)
{
    return m_impl->tslCheckCallback = callback;
}

TslLookupCallback X509StoreContext::SetTslIssuerCallback(TslLookupCallback callback)
{
    return m_impl->tslIssuerCallback = callback;
}

CertificateDownloadNotifyCallback X509StoreContext::SetDownloadNotifyCallback(
    CertificateDownloadNotifyCallback callback)
{
    return m_impl->downloadNotifyCallback = callback;
}

bool X509StoreContext::SetAIADownload(bool enabled)
{
    return m_impl->aiaDownload = enabled;
}

bool X509StoreContext::GetAIADownload() const
{
    return m_impl->aiaDownload;
}

} // namespace TvrX509
