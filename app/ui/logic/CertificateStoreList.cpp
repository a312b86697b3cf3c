#include "CertificateStoreList.h"

#include "Strings.h"

#include <string_view>

std::string ProviderTypeName(uint32_t type) {
  switch (type) {
    case 1: return "PROV_RSA_FULL";
    case 2: return "PROV_RSA_SIG";
    case 3: return "PROV_DSS";
    case 4: return "PROV_FORTEZZA";
    case 5: return "PROV_MS_EXCHANGE";
    case 6: return "PROV_SSL";
    case 12: return "PROV_RSA_SCHANNEL";
    case 13: return "PROV_DSS_DH";
    case 14: return "PROV_EC_ECDSA_SIG";
    case 15: return "PROV_EC_ECNRA_SIG";
    case 16: return "PROV_EC_ECDSA_FULL";
    case 17: return "PROV_EC_ECNRA_FULL";
    case 18: return "PROV_DH_SCHANNEL";
    case 20: return "PROV_SPYRUS_LYNKS";
    case 21: return "PROV_RNG";
    case 22: return "PROV_INTEL_SEC";
    case 23: return "PROV_REPLACE_OWF";
    case 24: return "PROV_RSA_AES";
    default: return {};
  }
}

std::string KeySpecName(uint32_t keySpec) {
  if (keySpec == Platform::kAtKeyExchange) return "AT_KEYEXCHANGE";
  if (keySpec == Platform::kAtSignature) return "AT_SIGNATURE";
  return {};
}

std::string CsvQuote(const std::string& text) {
  std::string quoted;
  quoted.reserve(text.size());
  for (char c : text) {
    quoted += c;
    if (c == '"') quoted += '"';
  }
  return quoted;
}

namespace {

// Spreadsheets evaluate a cell that begins like a formula ("=HYPERLINK(...)" as a
// certificate's name, from any card): a leading apostrophe keeps it text.
std::string WithoutFormula(const std::string& text) {
  if (!text.empty() && std::string_view("=+-@\t\r").find(text.front()) != std::string_view::npos) return "'" + text;
  return text;
}

}  // namespace

std::string BuildCsvText(const std::vector<std::string>& headings,
                         const std::vector<std::vector<std::string>>& rows) {
  auto line = [&](const std::vector<std::string>& cells) {
    std::string text;
    for (size_t column = 0; column < headings.size(); ++column) {
      if (column > 0) text += ';';
      text += '"';
      if (column < cells.size()) text += CsvQuote(WithoutFormula(cells[column]));
      text += '"';
    }
    return text;
  };
  std::string text = line(headings) + "\r\n";
  for (size_t i = 0; i < rows.size(); ++i) {
    if (i > 0) text += "\r\n";
    text += line(rows[i]);
  }
  return text;
}

std::vector<std::string> CertificateStoreList::Headings() {
  using Res::StringId;
  const StringId ids[kColumnCount] = {StringId::StoreColumnOwner,     StringId::StoreColumnIssuer,
                                      StringId::StoreColumnContainer, StringId::StoreColumnProvider,
                                      StringId::StoreColumnProviderType, StringId::StoreColumnKeySpec};
  std::vector<std::string> headings;
  for (StringId id : ids) headings.push_back(Res::Text(id));
  return headings;
}

std::vector<CertificateStoreList::Row> CertificateStoreList::ReadRows(const Platform::CertStore* store) {
  std::vector<Row> rows;
  std::vector<Platform::CertContextPtr> certificates;
  if (store == nullptr || !store->Enumerate(certificates)) return rows;
  // The names are read into buffers of 1024 UTF-16 units, terminator included.
  constexpr size_t kNameUnits = 1023;
  for (const Platform::CertContextPtr& certificate : certificates) {
    Row row;
    row.cells[0] = certificate->SimpleDisplayName(false, kNameUnits);
    row.cells[1] = certificate->SimpleDisplayName(true, kNameUnits);
    if (const auto& info = certificate->Properties().keyProvInfo) {
      row.cells[2] = info->containerName;
      row.cells[3] = info->providerName;
      row.cells[4] = ProviderTypeName(info->providerType);
      row.cells[5] = KeySpecName(info->keySpec);
    }
    row.certificate = certificate;
    rows.push_back(std::move(row));
  }
  return rows;
}

void CertificateStoreList::Refresh() {
  rows_.clear();
  Platform::CertStorePtr store = Platform::CertStore::OpenSystem("MY");
  rows_ = ReadRows(store.get());
}

std::string CertificateStoreList::CsvText() const {
  std::vector<std::vector<std::string>> cells;
  for (const Row& row : rows_) cells.emplace_back(row.cells.begin(), row.cells.end());
  return BuildCsvText(Headings(), cells);
}
