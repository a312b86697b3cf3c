#include "platform/CardDatabase.h"

#include <cctype>
#include <cstdlib>

#include "platform/FileHelpers.h"

namespace Platform {

namespace {

constexpr const char* kFolder = "Tavrenic";
constexpr const char* kBaseName = "smartcards.conf";
constexpr size_t kMaxFileSize = 4 * 1024 * 1024;

// One step of strict UTF-8 decoding: the code point at text[i], or nothing for a byte
// that does not start a well-formed sequence (overlong forms, surrogates and values
// above U+10FFFF included). Advances i past what was read.
std::optional<uint32_t> DecodeOne(const std::string& text, size_t& i) {
  const auto byte = [&](size_t k) { return static_cast<uint8_t>(text[k]); };
  const uint8_t lead = byte(i);
  if (lead < 0x80) {
    ++i;
    return lead;
  }
  size_t length = 0;
  uint32_t cp = 0;
  uint32_t minimum = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, cp = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, cp = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, cp = lead & 0x07, minimum = 0x10000;
  } else {
    ++i;
    return std::nullopt;
  }
  if (i + length > text.size()) {
    ++i;
    return std::nullopt;
  }
  for (size_t k = 1; k < length; ++k) {
    const uint8_t next = byte(i + k);
    if ((next & 0xC0) != 0x80) {
      ++i;
      return std::nullopt;
    }
    cp = (cp << 6) | (next & 0x3F);
  }
  if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++i;
    return std::nullopt;
  }
  i += length;
  return cp;
}

// A key whose order is the UTF-16 code-unit order of the character; a malformed byte
// gets a key above every character, distinct per byte value, so the order stays total.
uint32_t SortKey(const std::string& text, size_t& i) {
  const uint8_t first = static_cast<uint8_t>(text[i]);
  const auto cp = DecodeOne(text, i);
  if (!cp) return 0x300000 + first;
  if (*cp >= 0xE000 && *cp <= 0xFFFF) return *cp + 0x200000;
  return *cp;
}

bool IsValidUtf8(const std::string& text) {
  for (size_t i = 0; i < text.size();) {
    if (!DecodeOne(text, i)) return false;
  }
  return true;
}

std::string Trim(const std::string& s) {
  const size_t first = s.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  const size_t last = s.find_last_not_of(" \t\r");
  return s.substr(first, last - first + 1);
}

std::optional<std::vector<uint8_t>> ParseHex(const std::string& text) {
  std::string digits;
  for (char c : text) {
    if (c == ' ' || c == '\t' || c == ':') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
    digits += c;
  }
  if (digits.empty() || digits.size() % 2 != 0) return std::nullopt;
  if (digits.size() / 2 > CardDatabase::kMaxAtrLength) return std::nullopt;
  std::vector<uint8_t> bytes;
  for (size_t k = 0; k < digits.size(); k += 2) {
    bytes.push_back(static_cast<uint8_t>(std::strtoul(digits.substr(k, 2).c_str(), nullptr, 16)));
  }
  return bytes;
}

std::optional<uint32_t> ProviderIdOfKey(const std::string& key) {
  if (key == "CryptoProvider") return kScardProviderCsp;
  if (key == "KeyStorageProvider") return kScardProviderKsp;
  if (key == "CardModule") return kScardProviderCardModule;
  return std::nullopt;
}

}  // namespace

bool Utf16CodeUnitLess::operator()(const std::string& a, const std::string& b) const {
  size_t i = 0;
  size_t j = 0;
  while (i < a.size() && j < b.size()) {
    const uint32_t ka = SortKey(a, i);
    const uint32_t kb = SortKey(b, j);
    if (ka != kb) return ka < kb;
  }
  return i == a.size() && j < b.size();
}

CardDatabase CardDatabase::Load() {
  CardDatabase db;
  const std::string shipped = ShippedFilePath();
  if (!shipped.empty()) db.AddFile(shipped);
  db.AddFile(MachineFilePath());
  db.AddFile(UserFilePath());
  return db;
}

std::string CardDatabase::ShippedFilePath() {
  const std::string folder = ShippedDefaultsDirectory();
  return folder.empty() ? std::string() : folder + "/" + kBaseName;
}

std::string CardDatabase::MachineFilePath() {
  const std::string found = FindSystemConfigFile(std::string(kFolder) + "/" + kBaseName);
  return found.empty() ? SystemConfigDirectories().front() + "/" + kFolder + "/" + kBaseName : found;
}

std::string CardDatabase::UserFilePath() { return UserConfigDirectory() + "/" + kFolder + "/" + kBaseName; }

bool CardDatabase::AddFile(const std::string& path) {
  // Anyone with write access to a settings folder can put a FIFO, a device or a huge file
  // here: only a regular file of a card database's size is read.
  std::string text;
  if (ReadRegularFile(path, kMaxFileSize, true, text) != FileRead::Ok) return false;
  AddText(text);
  return true;
}

void CardDatabase::AddText(const std::string& text) {
  Card* card = nullptr;  // the section being read; null outside a usable section
  size_t start = 0;
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) start = 3;  // byte-order mark
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = Trim(text.substr(start, end - start));
    start = end + 1;
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;

    if (line[0] == '[') {
      const size_t close = line.rfind(']');
      card = nullptr;
      if (close == std::string::npos || close != line.size() - 1) continue;
      const std::string name = line.substr(1, close - 1);
      if (name.empty() || !IsValidUtf8(name)) continue;
      card = &cards_[name];
      continue;
    }
    if (!card) continue;

    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = Trim(line.substr(0, eq));
    const std::string value = Trim(line.substr(eq + 1));

    if (key == "ATR") {
      const size_t slash = value.find('/');
      const auto atr = ParseHex(value.substr(0, slash));
      if (!atr) continue;
      AtrPattern pattern{*atr, std::vector<uint8_t>(atr->size(), 0xFF)};
      if (slash != std::string::npos) {
        const auto mask = ParseHex(value.substr(slash + 1));
        if (!mask || mask->size() != atr->size()) continue;
        pattern.mask = *mask;
      }
      card->atrs.push_back(std::move(pattern));
    } else if (const auto id = ProviderIdOfKey(key)) {
      if (value.empty() || !IsValidUtf8(value)) continue;
      card->providers[*id] = value;
    }
  }
}

CardNameSet CardDatabase::ListCards(const std::vector<uint8_t>& atr) const {
  CardNameSet names;
  if (atr.empty()) return names;
  for (const auto& [name, card] : cards_) {
    for (const AtrPattern& pattern : card.atrs) {
      if (pattern.atr.size() != atr.size()) continue;
      bool same = true;
      for (size_t k = 0; k < atr.size() && same; ++k) {
        same = (atr[k] & pattern.mask[k]) == (pattern.atr[k] & pattern.mask[k]);
      }
      if (same) {
        names.insert(name);
        break;
      }
    }
  }
  return names;
}

std::vector<std::string> CardDatabase::CardNames() const {
  std::vector<std::string> names;
  for (const auto& entry : cards_) names.push_back(entry.first);
  return names;
}

bool CardDatabase::HasCard(const std::string& cardName) const { return cards_.count(cardName) != 0; }

std::optional<std::string> CardDatabase::GetCardTypeProviderName(const std::string& cardName,
                                                                  uint32_t providerId) const {
  const auto card = cards_.find(cardName);
  if (card == cards_.end()) return std::nullopt;
  const auto provider = card->second.providers.find(providerId);
  if (provider == card->second.providers.end()) return std::nullopt;
  return provider->second;
}

}  // namespace Platform
