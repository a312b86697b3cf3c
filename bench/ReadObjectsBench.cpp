// ReadObjects of a SoftHSM2 token against a bare baseline that makes exactly the same
// Cryptoki calls in the same order (per class a search one handle at a time, per object a
// length query and a value query with the same template, the key parts of a public key
// the same way, then C_GetObjectSize for every record), plus d2i_X509 per certificate.
// Tokens: 4 and 40 key pairs with their certificates, 4 and 40 certificates alone. The two
// are timed by turns in one process (A B, B A) and compared by the ratio of their medians.
//
// Run: build/bench/bench_read_objects
// Proof that the two make the same calls: build/bench/bench_read_objects --verify_calls
// reads every token once each way through the test shim, whose call log names every call
// in order, and fails unless the two logs are equal.
#include <benchmark/benchmark.h>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Alternation.h"
#include "P11Rig.h"
#include "PKCS11Versions.h"

namespace {

struct Layout {
  const char* label;
  int count;
  bool withKeys;  // a key pair per certificate
};

constexpr Layout kLayouts[] = {
    {"pairs4", 4, true}, {"pairs40", 40, true}, {"certs4", 4, false}, {"certs40", 40, false}};

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

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "%s\n", what.c_str());
  std::exit(1);
}

// The four layouts as tokens of one module, each read through its own clone with an
// open, logged-in session.
struct Tokens {
  TvrTest::SoftHsmTokens softhsm;
  std::unique_ptr<PKCS11Base> primary;
  std::vector<std::unique_ptr<PKCS11Base>> byLayout;  // destroyed before the primary

  explicit Tokens(const std::string& modulePath) {
    for (const Layout& layout : kLayouts) {
      TvrTest::TokenSpec spec;
      spec.label = layout.label;
      spec.withKeyAndCertificate = false;
      softhsm.AddToken(spec);
    }
    primary = PKCS11V220::Create(&VendorModuleTable[1], Platform::LoadLibrary(modulePath.c_str()));
    if (!primary || !primary->IsValid()) Fail("cannot load " + modulePath);
    const std::vector<CK_SLOT_ID> slots = primary->GetSlotList(true);
    for (const Layout& layout : kLayouts) {
      auto token = primary->Clone();
      bool found = false;
      for (CK_SLOT_ID slot : slots) {
        token->SetSlot(slot);
        auto info = token->GetTokenInfo();
        if ((found = info && info->label == layout.label)) break;
      }
      TvrCommon::SecureString pin("1234");
      if (!found || !token->OpenSession(true) || !token->Login(&pin, CKU_USER)) {
        Fail(std::string("cannot open the token ") + layout.label);
      }
      Fill(*token, layout);
      byLayout.push_back(std::move(token));
    }
  }

  static void Fill(PKCS11Base& token, const Layout& layout) {
    for (int i = 0; i < layout.count; ++i) {
      EvpPkeyPtr key(EVP_EC_gen("P-256"));
      X509Ptr certificate = SelfSigned(key.get(), i + 1);
      char id[16];
      std::snprintf(id, sizeof id, "%04x", static_cast<unsigned>(i));
      const std::string idText = id, label = "Key " + std::to_string(i);
      if ((layout.withKeys && (!token.CreatePublicKey(&idText, &label, key.get()) ||
                               !token.CreatePrivateKey(&idText, &label, key.get()))) ||
          !token.CreateCertificate(&idText, &label, 0, certificate.get())) {
        Fail(std::string("could not fill the token ") + layout.label);
      }
    }
  }
};

// The bare baseline: the calls of ReadObjects, nothing decoded but the certificates.
// Returns the number of certificates that decoded, or -1 when a call failed.
int BareRead(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE session) {
  struct Class {
    CK_OBJECT_CLASS objectClass;
    std::vector<CK_ATTRIBUTE_TYPE> attributes;
  };
  static const Class classes[] = {
      {CKO_CERTIFICATE, {CKA_ID, CKA_LABEL, CKA_VALUE}},
      {CKO_PUBLIC_KEY, {CKA_ID, CKA_LABEL, CKA_KEY_TYPE, CKA_ENCRYPT, CKA_VERIFY, CKA_WRAP}},
      {CKO_PRIVATE_KEY, {CKA_ID, CKA_LABEL, CKA_EXTRACTABLE}},
      {CKO_DATA, {CKA_LABEL, CKA_APPLICATION, CKA_VALUE}}};
  // A length query with empty values, then the values into buffers of those lengths.
  std::vector<std::vector<uint8_t>> values;
  auto read = [&](CK_OBJECT_HANDLE object, std::vector<CK_ATTRIBUTE>& t) {
    for (auto& a : t) a = {a.type, nullptr, 0};
    if (f->C_GetAttributeValue(session, object, t.data(), t.size()) != CKR_OK) return false;
    values.resize(t.size());
    for (size_t i = 0; i < t.size(); ++i) {
      values[i].resize(t[i].ulValueLen);
      t[i].pValue = values[i].data();
    }
    return f->C_GetAttributeValue(session, object, t.data(), t.size()) == CKR_OK;
  };

  int certificates = 0;
  std::vector<CK_OBJECT_HANDLE> handles[4];
  std::vector<CK_ATTRIBUTE> t;
  for (size_t c = 0; c < 4; ++c) {
    const Class& k = classes[c];
    CK_OBJECT_CLASS objectClass = k.objectClass;
    CK_ATTRIBUTE search = {CKA_CLASS, &objectClass, sizeof objectClass};
    if (f->C_FindObjectsInit(session, &search, 1) != CKR_OK) return -1;
    CK_OBJECT_HANDLE handle;
    CK_ULONG found = 0;
    while (f->C_FindObjects(session, &handle, 1, &found) == CKR_OK && found == 1) {
      t.resize(k.attributes.size());
      for (size_t i = 0; i < t.size(); ++i) t[i].type = k.attributes[i];
      if (!read(handle, t)) return -1;
      handles[c].push_back(handle);
      if (k.objectClass == CKO_CERTIFICATE) {
        const unsigned char* p = values[2].data();
        X509* x = d2i_X509(nullptr, &p, static_cast<long>(values[2].size()));
        certificates += x != nullptr;
        X509_free(x);
      } else if (k.objectClass == CKO_PUBLIC_KEY) {
        CK_KEY_TYPE keyType = CKK_VENDOR_DEFINED;
        std::memcpy(&keyType, values[2].data(), std::min(values[2].size(), sizeof keyType));
        if (keyType != CKK_RSA && keyType != CKK_EC) continue;
        t.resize(2);
        t[0].type = keyType == CKK_RSA ? CKA_MODULUS : CKA_EC_PARAMS;
        t[1].type = keyType == CKK_RSA ? CKA_PUBLIC_EXPONENT : CKA_EC_POINT;
        if (!read(handle, t)) return -1;
      }
    }
    f->C_FindObjectsFinal(session);
  }
  // Sizes in the records' order: class by class, ascending handles.
  for (auto& list : handles) {
    std::sort(list.begin(), list.end());
    for (CK_OBJECT_HANDLE handle : list) {
      CK_ULONG size = 0;
      f->C_GetObjectSize(session, handle, &size);
    }
  }
  return certificates;
}

Tokens& Direct() {
  static Tokens tokens(TVR_SOFTHSM2_MODULE);
  return tokens;
}

// ReadObjects and the bare reading of one layout's token, by turns.
void BM_ReadObjects(benchmark::State& state, size_t index) {
  const Layout& layout = kLayouts[index];
  PKCS11Base& token = *Direct().byLayout[index];
  bool wrong = false;
  for (auto _ : state) {
    const auto figures = BenchAlternation::Alternate(
        41,
        [&] {
          return BenchAlternation::PerCall(5, [&] {
            auto objects = token.ReadObjects();
            wrong = wrong || objects->certificates.size() != static_cast<size_t>(layout.count) ||
                    objects->publicKeys.size() != (layout.withKeys ? static_cast<size_t>(layout.count) : 0);
            benchmark::DoNotOptimize(objects);
          });
        },
        [&] {
          return BenchAlternation::PerCall(5, [&] {
            wrong = wrong || BareRead(token.GetFunctionList(), token.GetSession()) != layout.count;
          });
        });
    BenchAlternation::Report(state, figures, 0);
  }
  if (wrong) state.SkipWithError("wrong count");
}

void RegisterBenchmarks() {
  for (size_t i = 0; i < std::size(kLayouts); ++i) {
    benchmark::RegisterBenchmark((std::string("ReadObjects/") + kLayouts[i].label).c_str(), BM_ReadObjects, i)
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kMicrosecond);
  }
}

// Reads every layout once each way through the shim and compares the call logs.
int VerifyCalls() {
  TvrTest::TempDir moduleDir;
  ::setenv("TVR_TEST_MODULE_DIR", moduleDir.Path().c_str(), 1);
  TvrTest::InstalledShim shim("libbench_count.so");
  Tokens tokens(shim.Path());
  bool same = true;
  for (size_t i = 0; i < std::size(kLayouts); ++i) {
    PKCS11Base& token = *tokens.byLayout[i];
    shim.ClearLog();
    const size_t records = [&] {
      auto objects = token.ReadObjects();
      return objects->certificates.size() + objects->publicKeys.size() +
             objects->privateKeys.size() + objects->dataObjects.size();
    }();
    const std::vector<std::string> ours = shim.CallLog();
    shim.ClearLog();
    const int certificates = BareRead(token.GetFunctionList(), token.GetSession());
    const std::vector<std::string> bare = shim.CallLog();
    std::map<std::string, int> byFunction;
    for (const std::string& call : ours) ++byFunction[call];
    std::string counts;
    for (const auto& [function, n] : byFunction) counts += " " + function + "=" + std::to_string(n);
    const bool equal = ours == bare && certificates == kLayouts[i].count;
    std::printf("%-8s %3zu records: ReadObjects %4zu calls, bare %4zu calls, %s;%s\n",
                kLayouts[i].label, records, ours.size(), bare.size(),
                equal ? "same sequence" : "DIFFERENT", counts.c_str());
    same = same && equal;
  }
  return same ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--verify_calls") == 0) return VerifyCalls();
  }
  RegisterBenchmarks();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
