#include "RenewalPairing.h"

#include "SharedUtilities.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <map>
#include <memory>
#include <set>

namespace TvrServices {

namespace {

struct BnDeleter {
    void operator()(BIGNUM* bn) const { BN_free(bn); }
};

bool HasRsaExponent(EVP_PKEY* key, BN_ULONG exponent)
{
    if (!key || EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA)
        return false;
    BIGNUM* raw = nullptr;
    if (EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_E, &raw) != 1)
        return false;
    std::unique_ptr<BIGNUM, BnDeleter> e(raw);
    return BN_num_bytes(e.get()) <= static_cast<int>(sizeof(BN_ULONG)) && BN_get_word(e.get()) == exponent;
}

bool SameKey(EVP_PKEY* a, EVP_PKEY* b)
{
    return a && b && EVP_PKEY_eq(a, b) == 1;
}

bool ValidNow(X509* certificate)
{
    return X509_cmp_current_time(X509_get0_notBefore(certificate)) <= 0
        && X509_cmp_current_time(X509_get0_notAfter(certificate)) >= 0;
}

// Expired, and only for signing: nothing on the card would need it any more.
bool IsExpiredSigningOnly(X509* certificate)
{
    if (X509_cmp_current_time(X509_get0_notAfter(certificate)) >= 0)
        return false;
    // Without the extension X509_get_key_usage answers "everything".
    if (!(X509_get_extension_flags(certificate) & EXFLAG_KUSAGE))
        return false;
    const uint32_t usage = X509_get_key_usage(certificate);
    if (usage == 0)
        return false;
    return (usage & ~uint32_t{0x88}) == 0 || (usage & ~uint32_t{0xC0}) == 0;
}

const char* PartnerId(const std::string& id)
{
    static const std::map<std::string, const char*> partners = {
        {"445333", "445334"}, {"445334", "445335"}, {"445335", "445333"}, {"03", "13"}, {"01", "11"}};
    const auto found = partners.find(id);
    return found == partners.end() ? nullptr : found->second;
}

EVP_PKEY* RowKey(const RenewalRow& row, const TokenObjects& objects)
{
    if (row.kind == RenewalRowKind::Certificate) {
        const CertificateObject* record = objects.FindCertificate(row.handle);
        return record ? record->publicKey.get() : nullptr;
    }
    const PublicKeyObject* record = objects.FindPublicKey(row.handle);
    return record ? record->publicKey.get() : nullptr;
}

// The certificate a row would replace; null for a key row.
X509* RowCertificate(const RenewalRow& row, const TokenObjects& objects)
{
    if (row.kind != RenewalRowKind::Certificate)
        return nullptr;
    const CertificateObject* record = objects.FindCertificate(row.handle);
    return record ? record->certificate.get() : nullptr;
}

X509* Candidate(const CandidateMap& candidates, const std::string& thumbprint)
{
    const auto found = candidates.find(thumbprint);
    return found == candidates.end() ? nullptr : found->second;
}

// The public key of the partner pair of a renewed key pair with the CKA_ID text `id`.
EVP_PKEY* PartnerKey(const TokenObjects& objects, const std::string& id)
{
    const char* partnerId = PartnerId(id);
    const CK_OBJECT_HANDLE handle = partnerId ? FindObjectHandleById(objects.publicKeys, partnerId) : 0;
    const PublicKeyObject* partner = handle ? objects.FindPublicKey(handle) : nullptr;
    return partner ? partner->publicKey.get() : nullptr;
}

// A certificate of the card, valid now, holds `key` and is not in `leaving` (those a
// run deletes or replaces): the pair of that key has been renewed already, by an
// earlier run cut short or by another tool.
bool CardCertifiesNow(const TokenObjects& objects, EVP_PKEY* key, const std::set<CK_OBJECT_HANDLE>& leaving)
{
    for (const auto& [handle, record] : objects.certificates)
        if (!leaving.count(handle) && record->certificate && ValidNow(record->certificate.get())
            && SameKey(key, record->publicKey.get()))
            return true;
    return false;
}

} // namespace

RenewalAction RenewalRow::Action() const
{
    if (kind == RenewalRowKind::Certificate) {
        if (decision == ownThumbprint)
            return RenewalAction::None;
        return decision.empty() ? RenewalAction::Delete : RenewalAction::Replace;
    }
    return decision.empty() ? RenewalAction::None : RenewalAction::Install;
}

bool IsRenewalKeyObject(EVP_PKEY* key)
{
    return HasRsaExponent(key, 101);
}

bool FindPartnerKeyForCandidates(const TokenObjects& objects, const std::string& partnerId,
                                 const CandidateMap& candidates)
{
    const CK_OBJECT_HANDLE handle = FindObjectHandleById(objects.publicKeys, partnerId);
    const PublicKeyObject* partner = handle ? objects.FindPublicKey(handle) : nullptr;
    if (!partner || !HasRsaExponent(partner->publicKey.get(), 65537))
        return false;
    for (const auto& [thumbprint, candidate] : candidates)
        if (ValidNow(candidate) && SameKey(partner->publicKey.get(), X509_get0_pubkey(candidate)))
            return true;
    return false;
}

bool MatchRenewalKeyPair(const CertificateObject& record, const TokenObjects& objects,
                         const CandidateMap& candidates)
{
    if (!IsRenewalKeyObject(record.publicKey.get()))
        return false;
    const char* partner = PartnerId(record.GetId());
    return partner && FindPartnerKeyForCandidates(objects, partner, candidates);
}

std::vector<RenewalRow> PairRenewalCandidates(const TokenObjects& objects, const CandidateMap& candidates,
                                              const RenewalTrust& trust)
{
    std::vector<RenewalRow> rows;
    for (const auto& [handle, record] : objects.certificates) {
        RenewalRow row;
        row.handle = handle;
        row.kind = RenewalRowKind::Certificate;
        row.ownThumbprint = record->GetThumbprint();
        row.decision = row.ownThumbprint;
        if (X509* old = record->certificate.get()) {
            const CandidateMap vouched = trust.Vouched(old, candidates);
            bool renewed = false;
            for (const auto& [thumbprint, candidate] : vouched) {
                if (IsRenewalCertificate(old, candidate)) {
                    row.decision = thumbprint;
                    renewed = true;
                    break;
                }
            }
            // Only without a renewal: deleting a certificate that has just been renewed
            // would leave its key without any.
            if (!renewed && (IsExpiredSigningOnly(old) || MatchRenewalKeyPair(*record, objects, vouched)))
                row.decision.clear();
        }
        rows.push_back(std::move(row));
    }
    const CandidateMap forKeys = trust.Vouched(nullptr, candidates);
    for (const auto& [handle, record] : objects.publicKeys) {
        EVP_PKEY* key = record->publicKey.get();
        if (!key)
            continue;
        const bool certified = std::any_of(objects.certificates.begin(), objects.certificates.end(),
                                           [&](const auto& entry) { return SameKey(entry.second->publicKey.get(), key); });
        if (certified)
            continue;
        std::string best;
        std::string bestStart;
        for (const auto& [thumbprint, candidate] : forKeys) {
            if (!ValidNow(candidate) || !SameKey(key, X509_get0_pubkey(candidate)))
                continue;
            std::string start = Asn1TimeToString(X509_get0_notBefore(candidate));
            if (best.empty() || start > bestStart) {
                best = thumbprint;
                bestStart = std::move(start);
            }
        }
        if (best.empty())
            continue;
        rows.push_back(RenewalRow{handle, RenewalRowKind::Key, {}, best});
    }
    // A renewed pair is offered for deletion only when its partner is certified by then:
    // already on the card, or installed by another row. Otherwise the run would drop it.
    std::set<CK_OBJECT_HANDLE> leaving;
    for (const RenewalRow& row : rows)
        if (row.kind == RenewalRowKind::Certificate && row.decision != row.ownThumbprint)
            leaving.insert(row.handle);
    for (RenewalRow& row : rows) {
        if (row.kind != RenewalRowKind::Certificate || !row.decision.empty())
            continue;
        const CertificateObject* record = objects.FindCertificate(row.handle);
        if (!record || !record->certificate || IsExpiredSigningOnly(record->certificate.get()))
            continue;
        EVP_PKEY* partner = PartnerKey(objects, record->GetId());
        bool certified = partner && CardCertifiesNow(objects, partner, leaving);
        for (const RenewalRow& other : rows) {
            X509* installed = other.decision.empty() ? nullptr : Candidate(candidates, other.decision);
            if (installed && &other != &row && ValidNow(installed) && SameKey(partner, X509_get0_pubkey(installed)))
                certified = true;
        }
        if (!certified)
            row.decision = row.ownThumbprint;
    }
    return rows;
}

std::vector<std::string> CandidatesForRow(const RenewalRow& row, const TokenObjects& objects,
                                          const CandidateMap& candidates, const RenewalTrust& trust)
{
    std::vector<std::string> result;
    EVP_PKEY* key = RowKey(row, objects);
    if (!key)
        return result;
    for (const auto& [thumbprint, candidate] : trust.Vouched(RowCertificate(row, objects), candidates))
        if (SameKey(key, X509_get0_pubkey(candidate)))
            result.push_back(thumbprint);
    return result;
}

std::list<RenewalOperation> BuildRenewalOperations(std::vector<RenewalRow> rows, const std::vector<bool>& ticked,
                                                   const TokenObjects& objects, const CandidateMap& candidates,
                                                   const RenewalTrust& trust)
{
    for (size_t i = 0; i < rows.size(); ++i) {
        if (i < ticked.size() && ticked[i])
            continue;
        rows[i].decision = rows[i].kind == RenewalRowKind::Certificate ? rows[i].ownThumbprint : std::string();
    }
    std::sort(rows.begin(), rows.end(), [](const RenewalRow& a, const RenewalRow& b) { return a.handle < b.handle; });

    std::list<RenewalOperation> operations;
    std::set<CK_OBJECT_HANDLE> renewedPairs;  // old certificates of renewed key pairs, to delete
    std::set<CK_OBJECT_HANDLE> leaving;       // card certificates the run deletes or replaces
    for (const RenewalRow& row : rows) {
        RenewalOperation operation;
        if (row.kind == RenewalRowKind::Certificate) {
            const CertificateObject* record = objects.FindCertificate(row.handle);
            if (!record || row.decision == row.ownThumbprint)
                continue;
            operation.label = record->label;
            operation.id = record->GetId();
            operation.oldCertificate = row.handle;
            leaving.insert(row.handle);
            if (MatchRenewalKeyPair(*record, objects, trust.Vouched(record->certificate.get(), candidates))) {
                operation.oldPublicKey = FindObjectHandleById(objects.publicKeys, operation.id);
                operation.oldPrivateKey = FindObjectHandleById(objects.privateKeys, operation.id);
                if (row.decision.empty())
                    renewedPairs.insert(row.handle);
            }
        } else {
            const PublicKeyObject* record = objects.FindPublicKey(row.handle);
            if (!record || row.decision.empty())
                continue;
            operation.label = record->label;
            operation.id = record->GetId();
        }
        operation.newCertificate = row.decision.empty() ? nullptr : Candidate(candidates, row.decision);
        if (!row.decision.empty()
            && (!operation.newCertificate
                || !trust.Vouches(RowCertificate(row, objects), operation.newCertificate)))
            continue;  // a thumbprint of nothing we hold, or of nothing vouched for
        operations.push_back(std::move(operation));
    }
    // A renewed key pair goes only with its partner's new certificate in the same run.
    for (auto it = operations.begin(); it != operations.end();) {
        if (!renewedPairs.count(it->oldCertificate)) {
            ++it;
            continue;
        }
        const CertificateObject* record = objects.FindCertificate(it->oldCertificate);
        EVP_PKEY* partner = PartnerKey(objects, it->id);
        for (const RenewalOperation& other : operations) {
            if (partner && other.newCertificate && ValidNow(other.newCertificate)
                && SameKey(partner, X509_get0_pubkey(other.newCertificate))) {
                it->partnerCertificate = other.newCertificate;
                break;
            }
        }
        if (it->partnerCertificate || (partner && CardCertifiesNow(objects, partner, leaving))) {
            ++it;
        } else if (record && record->certificate && IsExpiredSigningOnly(record->certificate.get())) {
            it->oldPublicKey = it->oldPrivateKey = 0;
            ++it;
        } else {
            it = operations.erase(it);
        }
    }
    return operations;
}

std::vector<RenewalTask> RenewalTasks(const std::list<RenewalOperation>& operations)
{
    std::vector<RenewalTask> tasks;
    for (const RenewalOperation& operation : operations)
        if (operation.newCertificate)
            tasks.push_back({RenewalStep::InstallCertificate, operation.label, &operation});
    for (const RenewalOperation& operation : operations) {
        if (operation.oldCertificate)
            tasks.push_back({RenewalStep::DeleteCertificate, operation.label, &operation});
        // A new certificate is installed for the old keys: they stay.
        if (operation.newCertificate)
            continue;
        if (operation.oldPublicKey)
            tasks.push_back({RenewalStep::DeletePublicKey, operation.label, &operation});
        if (operation.oldPrivateKey)
            tasks.push_back({RenewalStep::DeletePrivateKey, operation.label, &operation});
    }
    return tasks;
}

} // namespace TvrServices
