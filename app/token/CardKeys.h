// OpenSSL keys whose public half is a card certificate's key and whose private operations
// run on the card: RSA decryption and PKCS #1 v1.5 signing, ECDSA signing. OpenSSL calls
// the card through the token object named by a CardKeyRef.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include "PKCS11Base.h"
#include "SecureString.h"

// Owned by the caller, who keeps it, the token object and its log-in alive for as long
// as the wrapped key is used.
struct CardKeyRef {
  PKCS11Base* token = nullptr;     // open, logged-in session
  CK_OBJECT_HANDLE keyHandle = 0;  // the private key on the card
  const TvrCommon::SecureString* pin = nullptr;  // only for re-authentication when signing
};

// Registers the EC key ex-data index that carries the CardKeyRef ("Pentor EC_KEY").
// Called once at start-up; later calls keep the first index.
void RegisterCardKeyExIndex();
// The registered index; -1 until registered.
int CardEcKeyExIndex();

// A new card-backed key for the certificate's public key; null when the certificate has
// no RSA or EC key (or the key cannot be built). The caller frees the result.
EVP_PKEY* WrapCardKeyForCertificate(X509* certificate, CardKeyRef* ref);
// A new card-backed key for an RSA or EC public key; null for any other type.
EVP_PKEY* WrapCardKey(EVP_PKEY* publicKey, CardKeyRef* ref);
