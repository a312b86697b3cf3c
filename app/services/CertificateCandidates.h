// Candidate certificates of a renewal search, and the test that tells whether one of
// them renews a certificate of the card.
//
// The set is the one owner of the candidates: the thumbprint map, the pairing and the
// installation only refer to certificates the set holds, so they must not outlive it.
#pragma once

#include "TokenObjects.h"

#include <map>
#include <set>
#include <string>

namespace TvrServices {

struct X509PtrLess {
    bool operator()(const X509Ptr& a, const X509Ptr& b) const { return a.get() < b.get(); }
};

// Ordered by pointer value; owns the certificates.
using CandidateSet = std::set<X509Ptr, X509PtrLess>;

// Thumbprint (40 lower-case hex digits) -> a certificate owned by a CandidateSet.
using CandidateMap = std::map<std::string, X509*>;

// Fills the certificate's extension cache (so key-usage flags can be read later) and
// hands it to the set. Null is ignored.
void AddCandidate(CandidateSet& candidates, X509Ptr certificate);

// Equal certificates collapse onto one key; the set keeps owning all of them.
CandidateMap MapCertificatesByThumbprint(const CandidateSet& candidates);

// True when `candidate` is valid now, has the same public key as `old`, was not issued
// earlier than `old` (notBefore compared as "YYYYMMDDhhmmssZ" text) and is not `old`
// itself.
bool IsRenewalCertificate(X509* old, X509* candidate);

} // namespace TvrServices
