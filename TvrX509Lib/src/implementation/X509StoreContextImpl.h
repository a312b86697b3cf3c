#pragma once

#include "VerifyState.h"
#include "X509StoreContext.h"

#include <openssl/x509_vfy.h>

#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace TvrX509 {

// What the context knows about one pool certificate; flags only ever turn true.
struct CertificateFlags {
    bool trusted = false;             // a trust anchor
    bool tslChecked = false;          // the trust-list check hook was asked about it
    bool tslIssuersSearched = false;  // the trust-list issuer hook was asked for its issuers
    bool issuersSupplied = false;     // the issuer source was asked for its issuers
};

class X509StoreContextImpl {
public:
    using Chain = std::vector<X509Certificate>;

    // Verification attempts one OpenSSLVerify may make. CAs that certify each other in many
    // ways have more paths than can be tried; the search ends there, keeping what it found.
    // Untrusted issuers are tried nearest to a trust anchor first, so the paths that lead
    // somewhere are not the ones the limit cuts off.
    static constexpr size_t kMaxAttempts = 256;

    explicit X509StoreContextImpl(IStoreContextDownloader* downloader);
    X509StoreContextImpl(const X509StoreContextImpl& other) = default;
    X509StoreContextImpl& operator=(const X509StoreContextImpl& other) = default;
    virtual ~X509StoreContextImpl() = default;

    int SetTargetCertificate(const X509Certificate& certificate, int context);
    void AddTrustedCertificate(const X509Certificate& certificate);
    void AddUntrustedCertificate(const X509Certificate& certificate);
    bool OpenSSLVerify(const std::string& parameter, const TvrCommon::Date& t);
    Chain GetCertificateChain(size_t index) const;

    // " CN: <cn>, validity: <from> - <to>, issuerCN: <cn> ".
    static std::string DescribeCertificate(const X509Certificate& certificate);
    // The subject names joined with " -> ", "empty chain" for none.
    static std::string DescribeChain(const Chain& chain);

    // The chain verification run on each attempt's store context. VerifyCert: 1 success,
    // 0 failure (reason in the context), -1 no certificate set.
    static int VerifyCert(X509_STORE_CTX* ctx);
    static int InternalVerify(X509_STORE_CTX* ctx);
    static int CheckChainExtensions(X509_STORE_CTX* ctx);
    static int CheckTrust(X509_STORE_CTX* ctx);
    static X509* FindIssuer(X509_STORE_CTX* ctx, STACK_OF(X509)* stack, X509* x);
    static int CheckIssued(X509_STORE_CTX* ctx, X509* x, X509* issuer);
    static bool IsInTrustedStack(X509_STORE_CTX* ctx, X509* x);
    static int VerifyCallback(int ok, X509_STORE_CTX* ctx);

    std::map<X509Certificate, CertificateFlags> certificates;
    X509Certificate target;
    int downloadContext = 0;
    std::string downloadParameter;
    std::vector<Chain> results;
    bool aiaDownload = true;
    CertificateDownloadCallback downloadCallback = nullptr;
    TslLookupCallback tslCheckCallback = nullptr;
    TslLookupCallback tslIssuerCallback = nullptr;
    CertificateDownloadNotifyCallback downloadNotifyCallback = nullptr;
    IStoreContextDownloader* downloader = nullptr;
    IStoreContextIssuerSource* issuerSource = nullptr;

private:
    // During a verification, certificates are handled as the keys of `certificates`, so
    // each OpenSSL object (and the signature marks on it) serves every attempt. Keys stay
    // in place while the search runs: it only inserts entries and changes flags.
    using CertRef = const X509Certificate*;
    struct RefLess {
        bool operator()(CertRef a, CertRef b) const { return *a < *b; }
    };
    using CertRefSet = std::set<CertRef, RefLess>;
    using Entry = std::map<X509Certificate, CertificateFlags>::value_type;

    // The pool by subject name (OpenSSL's canonical comparison, so an empty name is a name
    // too), each name's certificates in pool order, and the flags of each certificate; built
    // on first use. The validity of pool certificates at the instant of the running search.
    // The issuer checks made during that search. All of it points into `certificates`, so a
    // copy starts empty.
    struct NameLess {
        bool operator()(const X509_NAME* a, const X509_NAME* b) const { return X509_NAME_cmp(a, b) < 0; }
    };
    struct SubjectIndex {
        SubjectIndex() = default;
        SubjectIndex(const SubjectIndex&) {}
        SubjectIndex& operator=(const SubjectIndex&)
        {
            built = false;
            bySubject.clear();
            flags.clear();
            validity.clear();
            issued.clear();
            distances.clear();
            distancesMeasured = false;
            return *this;
        }
        bool built = false;
        std::map<const X509_NAME*, CertRefSet, NameLess> bySubject;
        std::unordered_map<CertRef, CertificateFlags*> flags;
        std::unordered_map<CertRef, bool> validity;
        IssuedMemo issued;
        // Issuer steps from each pool certificate to a valid trust anchor, for the running
        // search; absent: none known. Measured again once the pool has grown.
        std::unordered_map<CertRef, size_t> distances;
        bool distancesMeasured = false;
    };

    bool VerifyTarget(const TvrCommon::Date& t);
    int BuildChains(const std::vector<CertRef>& partial, CertRef candidate, const TvrCommon::Date& t);
    bool LookupIssuers(CertRef c, CertRefSet& trustedOut, CertRefSet& untrustedOut, const TvrCommon::Date& t);
    bool SearchTslIssuers(CertRef c, CertRefSet& trustedOut, const TvrCommon::Date& t, CertRefSet& ignored);
    bool SearchPoolIssuers(CertRef c, CertRefSet& trustedOut, CertRefSet& untrustedOut, const TvrCommon::Date& t,
                           CertRefSet& ignored, std::set<X509Certificate>& scratch);
    bool MergeTslFindings(CertRefSet& trustedOut, CertRefSet& untrustedOut, const TvrCommon::Date& t,
                          CertRefSet& ignored, const std::set<X509Certificate>& scratch);
    bool DownloadAIAIssuers(CertRef c, CertRefSet& untrustedOut, const TvrCommon::Date& t, CertRefSet& ignored);
    // Downloads one caIssuers address; null when nothing came or no way to download is set.
    std::unique_ptr<TvrCommon::ByteArray> Download(const std::string& url);
    // The pool entry of `certificate`, inserted with `flags` when absent.
    Entry& Register(const X509Certificate& certificate, CertificateFlags flags);
    // Inserts an absent certificate, keeping the subject index current.
    std::map<X509Certificate, CertificateFlags>::iterator Insert(const X509Certificate& certificate,
                                                                 CertificateFlags flags);
    // The pool certificates whose subject is `name`; null when there are none.
    const CertRefSet* WithSubject(const X509_NAME* name);
    // The flags of a pool certificate.
    CertificateFlags& FlagsOf(CertRef certificate);
    // CheckValidityPeriod at `t` with tolerance 0, once per pool certificate and search.
    bool ValidAt(CertRef certificate, const TvrCommon::Date& t);
    // Counts one attempt; false once the search has used up its attempts.
    bool TakeAttempt();
    // Adds what the issuer source knows about c's issuers, once per certificate.
    void SupplyIssuers(CertRef c);
    // `issuers` ordered by their distance to a trust anchor, nearest first; those without a
    // known way there last. Ties keep the given order.
    std::vector<CertRef> NearestFirst(const CertRefSet& issuers, const TvrCommon::Date& t);
    // Fills index.distances over the whole pool (asking the issuer source for every
    // certificate first, so that the pool holds every way up).
    void MeasureDistances(const TvrCommon::Date& t);

    SubjectIndex index;
    size_t attempts = 0;
    bool searchCut = false;
};

} // namespace TvrX509
