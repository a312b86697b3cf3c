// Names: distinguished names, their RDNs and attribute assertions, and general names, from
// DER (certificates, CRLs, OCSP responder IDs) and from text (profile, user input).
#include <string>

#include "DERBytes.h"
#include "ErrCodeException.h"
#include "FuzzSupport.h"
#include "X509GeneralName.h"
#include "X509Name.h"

namespace {

void ReadName(const TvrX509::X509Name& name) {
  (void)name.GetOneLine();
  for (const auto& rdn : name.GetRDNs()) {
    for (const auto& attribute : rdn.GetAttributes()) {
      (void)attribute.GetType();
      (void)attribute.GetValue();
    }
  }
  (void)(name == name);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TvrFuzz::Input input(data, size);
  const uint8_t kind = input.Byte() % 6;
  const TvrASN1::DERBytes der(input.Data(), input.Size());
  const std::string text(reinterpret_cast<const char*>(input.Data()), input.Size());
  try {
    switch (kind) {
      case 0:
        ReadName(TvrX509::X509Name(der));
        break;
      case 1: {
        const TvrX509::X509GeneralName name(der);
        (void)name.GetType();
        (void)name.GetText();
        const auto directory = name.GetDirectoryName();
        if (directory.present) ReadName(directory.name);
        (void)name.GetDER();
        break;
      }
      case 2:
        for (const auto& attribute : TvrX509::RelativeDN(der).GetAttributes()) {
          (void)attribute.GetType();
          (void)attribute.GetValue();
        }
        break;
      case 3: {
        const TvrX509::AttrValueAssertion assertion(der);
        (void)assertion.GetType();
        (void)assertion.GetValue();
        break;
      }
      case 4:
        ReadName(TvrX509::X509Name(text));
        break;
      default: {
        TvrX509::X509Name name;
        name.SetFromSlashText(text);
        ReadName(name);
        break;
      }
    }
  } catch (const TvrCommon::ErrCodeException&) {
  }
  return 0;
}
