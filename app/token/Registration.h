// Putting a card's certificates into the user's personal store with the key-provider
// information that leads other programs to the card's key, and recording each added
// certificate for its reader so that removal can take exactly these out again.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "PKCS11Base.h"
#include "TokenObjects.h"
#include "platform/CertStore.h"

// Reader name -> the store's contexts of the certificates registered for that reader.
using ReaderCertificateMap = std::map<std::string, std::vector<Platform::CertContextPtr>>;

// Registers one DER certificate. The counters advance for a registered certificate, an
// expired one (registered only with registerExpired) and one that expires within 14 days.
void RegisterCertificateInStore(const uint8_t* der, size_t derLength, const std::string& containerName,
                                const std::string& providerName, uint32_t providerType,
                                uint32_t keySpec, Platform::CertStore* targetStore,
                                ReaderCertificateMap& map, const std::string& readerName,
                                int& registered, int& expired, int& expiring, bool registerExpired);

// Registers the certificate with that handle, its container name and key spec
// derived by provider from the card's objects.
void RegisterPkcs11CardCertificates(PKCS11Base* token, const TokenObjects* objects,
                                    CK_OBJECT_HANDLE certificate, Platform::CertStore* targetStore,
                                    const std::string& providerName, uint32_t providerType,
                                    const std::string& readerName, ReaderCertificateMap& map,
                                    int& registered, int& expired, int& expiring);

// The profile value naming the certificates found revoked: thumbprints, hexadecimal.
inline constexpr const char* kRevokedKeys = "RevokedKeys";
// What the profile's "RevokedKeys" lists, in lower case (a hand-edited value may hold upper
// case); empty when it lists nothing.
std::set<std::string> ReadRevokedKeys();
// Whether the profile's "RevokedKeys" lists this thumbprint (hexadecimal, either letter case).
bool IsInRevokedKeys(const std::string& thumbprint);

// The type of an installed cryptographic service provider; false when it is not installed.
bool GetProviderTypeByName(const std::string& name, uint32_t& providerType);

// Copies every certificate of a card's own store into the target store, then closes the source.
void CopyCardStoreCertificates(Platform::CertStorePtr source, Platform::CertStore* targetStore,
                               ReaderCertificateMap& map, const std::string& readerName,
                               int& registered, int& expired, int& expiring);

// Registers a card's certificates through its key storage provider or, without one, its
// service provider. Returns the number registered.
int RegisterViaCspOrKsp(const std::string& readerName, const std::string& cspName,
                        const std::string& kspName, Platform::CertStore* targetStore,
                        ReaderCertificateMap& map, int& expired, int& expiring);

// A Gemalto container descriptor's value: tag 0x01, length n, the key's identifier; tag
// 0x02, length m (1 to 3), the key spec (first byte). False for a value that is
// shorter than its elements claim or does not have this shape.
bool ParseGemaltoContainerDescriptor(const std::vector<uint8_t>& value, std::string& idHex,
                                     uint32_t& keySpec);
