// The personal store "MY" as the store viewer lists it: each certificate with the
// private-key binding that the store records for it, and the list as semicolon-separated
// text for the clipboard and for a file.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/CertStore.h"

// The CryptoAPI name of a provider type; empty for a value without a name.
std::string ProviderTypeName(uint32_t type);
// "AT_KEYEXCHANGE" for 1, "AT_SIGNATURE" for 2, else empty.
std::string KeySpecName(uint32_t keySpec);
// Every double quote doubled.
std::string CsvQuote(const std::string& text);
// Header line, then one line per row, each cell quoted and the cells separated by ";".
// "\r\n" after the header and between rows, none after the last row. Only as many cells of
// a row as there are headings are written. A cell beginning with "=", "+", "-", "@", TAB
// or CR gets a leading "'", so that a spreadsheet keeps it as text.
std::string BuildCsvText(const std::vector<std::string>& headings,
                         const std::vector<std::vector<std::string>>& rows);

class CertificateStoreList {
 public:
  static constexpr size_t kColumnCount = 6;
  struct Row {
    std::array<std::string, kColumnCount> cells;  // owner, issuer, container, provider, type, key pair
    Platform::CertContextPtr certificate;
  };

  // The column headings from the string table.
  static std::vector<std::string> Headings();
  // The rows of a store in its enumeration order; none for a null or unreadable store.
  static std::vector<Row> ReadRows(const Platform::CertStore* store);

  // Opens "MY" (again) and reads its rows; a store that cannot be opened leaves the list
  // empty, and the next Refresh tries again.
  void Refresh();
  const std::vector<Row>& Rows() const { return rows_; }
  // The export text (UTF-8) of the rows read last.
  std::string CsvText() const;

 private:
  std::vector<Row> rows_;
};
