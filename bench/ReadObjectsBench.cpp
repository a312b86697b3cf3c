// ReadObjects of a SoftHSM2 token holding 50 certificates and 50 key pairs, against a
// baseline that makes the same kind of Cryptoki calls bare: a search per class, one
// C_GetAttributeValue per attribute the records hold, d2i_X509 per certificate.
// Run: build/bench/bench_read_objects
#include <benchmark/benchmark.h>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "P11Rig.h"
#include "PKCS11Versions.h"

namespace {

constexpr int kPairs = 50;

X509Ptr SelfSigned(EVP_PKEY* key, int serial) {
  X509Ptr certificate(X509_new());
  X509_set_version(certificate.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), serial);
  X509_NAME* name = X509_get_subject_name(certificate.get());
  const std::string cn = "Bench " + std::to_string(serial);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
  X509_set_issuer_name(certificate.get(), name);
  X509_gmtime_adj(X509_getm_notBefore(certificate.get()), 0);
  X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 86400L * 365);
  X509_set_pubkey(certificate.get(), key);
  X509_sign(certificate.get(), key, EVP_sha256());
  return certificate;
}

// One token filled once per process; the module is SoftHSM2 itself, loaded directly.
struct Bench {
  TvrTest::SoftHsmTokens tokens;
  std::unique_ptr<PKCS11Base> token;

  Bench() {
    TvrTest::TokenSpec spec;
    spec.withKeyAndCertificate = false;
    tokens.AddToken(spec);
    token = PKCS11V220::Create(&VendorModuleTable[1], Platform::LoadLibrary(TVR_SOFTHSM2_MODULE));
    auto slots = token->GetSlotList(true);
    for (CK_SLOT_ID slot : slots) {
      token->SetSlot(slot);
      auto info = token->GetTokenInfo();
      if (info && info->label == spec.label) break;
    }
    token->OpenSession(true);
    TvrCommon::SecureString pin("1234");
    token->Login(&pin, CKU_USER);
    for (int i = 0; i < kPairs; ++i) {
      EvpPkeyPtr key(EVP_EC_gen("P-256"));
      X509Ptr certificate = SelfSigned(key.get(), i + 1);
      char id[8];
      std::snprintf(id, sizeof id, "%04x", i);
      const std::string idText = id, label = "Key " + std::to_string(i);
      if (!token->CreatePublicKey(&idText, &label, key.get()) ||
          !token->CreatePrivateKey(&idText, &label, key.get()) ||
          !token->CreateCertificate(&idText, &label, 0, certificate.get())) {
        std::fprintf(stderr, "could not fill the token\n");
        std::exit(1);
      }
    }
  }
};

Bench& Shared() {
  static Bench bench;
  return bench;
}

void BM_ReadObjects(benchmark::State& state) {
  Bench& b = Shared();
  for (auto _ : state) {
    auto objects = b.token->ReadObjects();
    if (objects->certificates.size() != kPairs) state.SkipWithError("wrong count");
    benchmark::DoNotOptimize(objects);
  }
}

void BM_BareCryptoki(benchmark::State& state) {
  Bench& b = Shared();
  CK_FUNCTION_LIST* f = b.token->GetFunctionList();
  const CK_SESSION_HANDLE session = b.token->GetSession();
  std::vector<uint8_t> buffer(16384);
  auto get = [&](CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
    CK_ATTRIBUTE a = {type, buffer.data(), buffer.size()};
    f->C_GetAttributeValue(session, object, &a, 1);
    return a.ulValueLen;
  };
  struct Class {
    CK_OBJECT_CLASS objectClass;
    std::vector<CK_ATTRIBUTE_TYPE> attributes;
  };
  const Class classes[] = {
      {CKO_CERTIFICATE, {CKA_ID, CKA_LABEL, CKA_VALUE}},
      {CKO_PUBLIC_KEY,
       {CKA_ID, CKA_LABEL, CKA_KEY_TYPE, CKA_ENCRYPT, CKA_VERIFY, CKA_WRAP, CKA_EC_PARAMS,
        CKA_EC_POINT}},
      {CKO_PRIVATE_KEY, {CKA_ID, CKA_LABEL, CKA_EXTRACTABLE}},
      {CKO_DATA, {CKA_LABEL, CKA_APPLICATION, CKA_VALUE}}};
  for (auto _ : state) {
    size_t certificates = 0;
    for (const Class& c : classes) {
      CK_OBJECT_CLASS objectClass = c.objectClass;
      CK_ATTRIBUTE search = {CKA_CLASS, &objectClass, sizeof objectClass};
      f->C_FindObjectsInit(session, &search, 1);
      CK_OBJECT_HANDLE handle;
      CK_ULONG found = 0;
      while (f->C_FindObjects(session, &handle, 1, &found) == CKR_OK && found == 1) {
        CK_ULONG length = 0;
        for (CK_ATTRIBUTE_TYPE type : c.attributes) length = get(handle, type);
        if (c.objectClass == CKO_CERTIFICATE) {
          const unsigned char* p = buffer.data();
          X509* x = d2i_X509(nullptr, &p, static_cast<long>(length));
          certificates += x != nullptr;
          X509_free(x);
        }
      }
      f->C_FindObjectsFinal(session);
    }
    if (certificates != kPairs) state.SkipWithError("wrong count");
  }
}

BENCHMARK(BM_ReadObjects)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BareCryptoki)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
