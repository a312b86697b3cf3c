// The smart-card database: which card names an answer-to-reset stands for, and which
// providers serve a card name.
//
// Three files are read in turn: the database shipped with the program
// (<datadir>/kelmardin/smartcards.conf), the machine file Tavrenic/smartcards.conf in the
// first machine settings folder that has it (see SystemConfigDirectories: /etc/xdg by
// default) and the user file $XDG_CONFIG_HOME/Tavrenic/smartcards.conf (default
// ~/.config). A missing or unreadable file counts as empty. Format:
//
//   # comment (also ';')
//   [Card name]                     exact, case-sensitive; the text between the brackets
//   ATR = 3B 7D 96 00 ...           hex bytes, blanks and ':' ignored; may repeat
//   ATR = 3B 7D 96 00 ... / FF FF 00 ...   the same with a mask of equal length
//   CryptoProvider = name           provider id 2
//   KeyStorageProvider = name       provider id 3
//   CardModule = name               provider id 0x80000001
//
// A card matches an ATR of the same length whose bytes, masked, equal the registered
// ATR masked (no mask: every byte compared). A card named in several files keeps the ATRs
// of every file; a provider name of a later file replaces an earlier file's. Lines that do
// not fit the format are ignored one by one.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace Platform {

inline constexpr uint32_t kScardProviderCsp = 2;
inline constexpr uint32_t kScardProviderKsp = 3;
inline constexpr uint32_t kScardProviderCardModule = 0x80000001;

// Orders UTF-8 texts as their UTF-16 forms compare code unit by code unit (characters
// above U+FFFF come before U+E000..U+FFFF). Malformed bytes sort after every character.
struct Utf16CodeUnitLess {
  bool operator()(const std::string& a, const std::string& b) const;
};

using CardNameSet = std::set<std::string, Utf16CodeUnitLess>;

class CardDatabase {
 public:
  // The longest answer-to-reset a card can send.
  static constexpr size_t kMaxAtrLength = 33;

  // The shipped file, the machine file, then the user file, as the environment names
  // them now.
  static CardDatabase Load();
  // Empty when there is no shipped database to read (tests).
  static std::string ShippedFilePath();
  static std::string MachineFilePath();
  static std::string UserFilePath();

  // Adds one file's contents (later additions win for provider names).
  void AddText(const std::string& text);
  // Adds a file; false when it cannot be read (the database is unchanged then).
  bool AddFile(const std::string& path);

  // The card names registered for this ATR; none for an empty ATR.
  CardNameSet ListCards(const std::vector<uint8_t>& atr) const;
  // Every registered card name, in byte order.
  std::vector<std::string> CardNames() const;
  // Whether the card name is registered (with or without ATRs and providers).
  bool HasCard(const std::string& cardName) const;
  // The provider name of a card name for a provider id; nothing when not registered.
  std::optional<std::string> GetCardTypeProviderName(const std::string& cardName,
                                                     uint32_t providerId) const;

 private:
  struct AtrPattern {
    std::vector<uint8_t> atr;
    std::vector<uint8_t> mask;  // same length as atr
  };
  struct Card {
    std::vector<AtrPattern> atrs;
    std::map<uint32_t, std::string> providers;
  };
  std::map<std::string, Card> cards_;
};

}  // namespace Platform
