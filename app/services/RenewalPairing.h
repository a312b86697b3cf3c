// Pairing of the card's objects with candidate certificates of a renewal search, and the
// card operations that the confirmed pairing turns into.
//
// Every row is keyed by a card object's handle and carries a decision, a thumbprint:
// for a certificate row its own thumbprint keeps it, a candidate's thumbprint replaces
// it, empty deletes it; for a key row empty does nothing and a candidate's thumbprint
// installs that candidate for the key. Candidates are only referred to: the candidate
// set of the search owns them and must outlive rows and operations.
#pragma once

#include "CertificateCandidates.h"
#include "PKCS11Base.h"
#include "RenewalTrust.h"
#include "TokenObjects.h"

#include <cstdint>
#include <functional>
#include <list>
#include <string>
#include <vector>

namespace TvrServices {

// The card a renewal works on; both are owned by the main window. `trust` tells which
// candidates may replace what (null: none may); it lives as long as the candidates.
struct RenewalSource {
    PKCS11Base* token = nullptr;
    TokenObjects* objects = nullptr;
    const RenewalTrust* trust = nullptr;
    // True when the card left since the command began: the dialog then starts no worker.
    std::function<bool()> cardLeft;
};

enum class RenewalRowKind { Certificate, Key };
enum class RenewalAction { None, Delete, Install, Replace };

struct RenewalRow {
    CK_OBJECT_HANDLE handle = 0;
    RenewalRowKind kind = RenewalRowKind::Certificate;
    std::string ownThumbprint;  // certificate rows with a decoded certificate
    std::string decision;

    RenewalAction Action() const;
};

// An RSA key with the public exponent 101, as the old half of a renewed key pair.
bool IsRenewalKeyObject(EVP_PKEY* key);
// The first public key with the CKA_ID text is RSA with exponent 65537 and some
// candidate valid now has it (one that becomes valid only later cannot yet stand in for
// the pair that would be deleted).
bool FindPartnerKeyForCandidates(const TokenObjects& objects, const std::string& partnerId,
                                 const CandidateMap& candidates);
// The certificate's key pair has been renewed into its partner pair, whose certificate
// is among the candidates: the old certificate and its keys are only to be deleted.
// `candidates` must be those the trust vouches for as the certificate's replacements.
bool MatchRenewalKeyPair(const CertificateObject& record, const TokenObjects& objects,
                         const CandidateMap& candidates);

// Certificate rows (one per certificate, in handle order), then key rows for public
// keys that no certificate of the card holds and some valid candidate does. Only
// candidates that `trust` vouches for are paired. A renewed key pair is proposed for
// deletion only when its partner key has a certificate valid now on the card or from
// another row.
std::vector<RenewalRow> PairRenewalCandidates(const TokenObjects& objects, const CandidateMap& candidates,
                                              const RenewalTrust& trust);

// The candidates (in thumbprint order) whose key is the row's and that `trust` vouches
// for as its replacement.
std::vector<std::string> CandidatesForRow(const RenewalRow& row, const TokenObjects& objects,
                                          const CandidateMap& candidates, const RenewalTrust& trust);

struct RenewalOperation {
    std::string label;  // CKA_LABEL of the row's object (UTF-8)
    std::string id;     // its CKA_ID, lower-case hex
    CK_OBJECT_HANDLE oldCertificate = 0;
    CK_OBJECT_HANDLE oldPublicKey = 0;
    CK_OBJECT_HANDLE oldPrivateKey = 0;
    X509* newCertificate = nullptr;  // owned by the candidate set
    // A renewed key pair: the certificate for its partner key that another operation of
    // the same run installs. The old pair is deleted only once that install succeeded.
    // Null when the partner's certificate is on the card already.
    X509* partnerCertificate = nullptr;
};

enum class RenewalStep { DeleteCertificate, DeletePublicKey, DeletePrivateKey, InstallCertificate };
struct RenewalTask {
    RenewalStep step;
    std::string label;
    const RenewalOperation* operation = nullptr;  // the operation the step belongs to
};

// The operations of the rows in handle order; `ticked[i]` false sends row i back to no
// change. Rows without a change give none, nor do rows whose decision names a candidate
// that `trust` does not vouch for. A renewed key pair is deleted only together with the
// install of a certificate, valid now, for its partner key in the same run, or when the
// card holds such a certificate that the run leaves in place; without one
// the pair stays (an expired signing-only certificate is still deleted, its keys stay).
std::list<RenewalOperation> BuildRenewalOperations(std::vector<RenewalRow> rows, const std::vector<bool>& ticked,
                                                   const TokenObjects& objects, const CandidateMap& candidates,
                                                   const RenewalTrust& trust);
// One task per step of the worker, in step order: every install first, then the
// deletions, so that nothing is deleted before its replacement is on the card.
std::vector<RenewalTask> RenewalTasks(const std::list<RenewalOperation>& operations);

} // namespace TvrServices
