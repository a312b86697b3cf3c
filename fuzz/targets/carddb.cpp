// The smart-card database files (shipped, and the user's own that anyone may edit): the
// file is read, then looked up with the ATRs it names and with a few others.
#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "platform/CardDatabase.h"

namespace {

// The hex bytes after "ATR" on each line, up to a '/' (the mask), at most 40 bytes.
std::vector<std::vector<uint8_t>> AtrsNamedIn(const std::string& text) {
  std::vector<std::vector<uint8_t>> atrs;
  size_t pos = 0;
  while ((pos = text.find("ATR", pos)) != std::string::npos) {
    pos += 3;
    std::vector<uint8_t> atr;
    int high = -1;
    for (size_t i = pos; i < text.size() && text[i] != '\n' && text[i] != '/' && atr.size() < 40; ++i) {
      const unsigned char c = static_cast<unsigned char>(text[i]);
      if (!std::isxdigit(c)) continue;
      const int digit = std::isdigit(c) ? c - '0' : (std::tolower(c) - 'a' + 10);
      if (high < 0) {
        high = digit;
      } else {
        atr.push_back(static_cast<uint8_t>(high * 16 + digit));
        high = -1;
      }
    }
    atrs.push_back(atr);
    if (atrs.size() >= 64) break;
  }
  return atrs;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  Platform::CardDatabase database;
  database.AddText(text);
  database.AddText(text);  // a second file naming the same cards
  auto atrs = AtrsNamedIn(text);
  atrs.push_back({});
  atrs.push_back(std::vector<uint8_t>(Platform::CardDatabase::kMaxAtrLength, 0x3B));
  atrs.push_back(std::vector<uint8_t>(Platform::CardDatabase::kMaxAtrLength + 1, 0x3B));
  for (const auto& atr : atrs) {
    for (const std::string& card : database.ListCards(atr)) {
      TvrFuzz::Require(database.HasCard(card), "a listed card is known");
      for (uint32_t provider : {Platform::kScardProviderCsp, Platform::kScardProviderKsp,
                                Platform::kScardProviderCardModule}) {
        (void)database.GetCardTypeProviderName(card, provider);
      }
    }
  }
  return 0;
}
