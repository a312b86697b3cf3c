// Directory entries of an LDAP renewal search: the certificate attribute's values.
//
// This program stands in for the entry accessors of libldap (they take the library's
// place at link time) and serves an entry built from the fuzzer's bytes; everything the
// code under test gets from them is freshly allocated, so that a missing or double free
// is caught.
//
// Input: attributes, each a length byte and the name, a count byte, then that many
// values, each a two-byte length and the bytes.
#include <lber.h>
#include <ldap.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "CertificateSources.h"
#include "FuzzSupport.h"

namespace {

struct Entry {
  std::vector<std::pair<std::string, std::vector<std::string>>> attributes;
};

struct Cursor {
  size_t next = 0;
};

Entry* AsEntry(LDAPMessage* message) { return reinterpret_cast<Entry*>(message); }

char* NameAt(Entry* entry, size_t index) {
  if (index >= entry->attributes.size()) return nullptr;
  return strdup(entry->attributes[index].first.c_str());
}

}  // namespace

extern "C" {

char* ldap_first_attribute(LDAP*, LDAPMessage* message, BerElement** ber) {
  auto* cursor = new Cursor;
  cursor->next = 1;
  *ber = reinterpret_cast<BerElement*>(cursor);
  return NameAt(AsEntry(message), 0);
}

char* ldap_next_attribute(LDAP*, LDAPMessage* message, BerElement* ber) {
  auto* cursor = reinterpret_cast<Cursor*>(ber);
  return NameAt(AsEntry(message), cursor->next++);
}

void ber_free(BerElement* ber, int) { delete reinterpret_cast<Cursor*>(ber); }

void ldap_memfree(void* p) { std::free(p); }

struct berval** ldap_get_values_len(LDAP*, LDAPMessage* message, const char* name) {
  for (const auto& [attribute, values] : AsEntry(message)->attributes) {
    if (attribute != name) continue;
    auto** list = static_cast<berval**>(std::calloc(values.size() + 1, sizeof(berval*)));
    for (size_t i = 0; i < values.size(); ++i) {
      list[i] = static_cast<berval*>(std::malloc(sizeof(berval)));
      list[i]->bv_len = values[i].size();
      list[i]->bv_val = static_cast<char*>(std::malloc(values[i].size() ? values[i].size() : 1));
      std::memcpy(list[i]->bv_val, values[i].data(), values[i].size());
    }
    return list;
  }
  return nullptr;
}

void ldap_value_free_len(struct berval** values) {
  if (!values) return;
  for (berval** v = values; *v; ++v) {
    std::free((*v)->bv_val);
    std::free(*v);
  }
  std::free(values);
}

}  // extern "C"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TvrFuzz::Input input(data, size);
  Entry entry;
  while (input.Size() > 0 && entry.attributes.size() < 32) {
    std::string name = input.Take(input.Byte());
    std::vector<std::string> values;
    for (uint8_t count = input.Byte(); count > 0 && input.Size() > 0; --count) {
      const size_t length = (static_cast<size_t>(input.Byte()) << 8) | input.Byte();
      values.push_back(input.Take(length));
    }
    entry.attributes.emplace_back(std::move(name), std::move(values));
  }
  auto* message = reinterpret_cast<LDAPMessage*>(&entry);
  for (const char* attribute : {"userCertificate;binary", "userCertificate"}) {
    X509Ptr certificate = TvrServices::GetLdapEntryCertificate(nullptr, message, attribute);
    (void)certificate;
  }
  return 0;
}
