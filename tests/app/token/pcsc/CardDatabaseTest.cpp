// The smart-card database file format, matching and merging, without PC/SC.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <fstream>
#include <sstream>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "CardDatabaseFiles.h"
#include "CardRecognition.h"
#include "CardTables.h"
#include "PcscRig.h"
#include "platform/CardDatabase.h"

namespace {

using Platform::CardDatabase;
using TvrTest::HexBytes;

std::vector<std::string> Names(const Platform::CardNameSet& set) { return {set.begin(), set.end()}; }

std::vector<std::string> ListFor(const std::string& text, const std::string& atrHex) {
  CardDatabase db;
  db.AddText(text);
  return Names(db.ListCards(HexBytes(atrHex)));
}

TEST(CardDatabaseTest, AtrMatchingWithAndWithoutMask) {
  const std::string db =
      "[Exact]\n"
      "ATR = 3B 0A 54 41 56 52 45 4E 49 43 30 31\n"
      "[Masked]\n"
      "ATR = 3B:0A:54:41:56:52:45:4E:49:43:00:00 / FF:FF:FF:FF:FF:FF:FF:FF:FF:FF:00:00\n"
      "[Nibble]\n"
      "ATR = 3b0a544156524\n";  // odd digit count: no ATR for this card
  struct Case {
    const char* atr;
    std::vector<std::string> names;
  };
  const std::vector<Case> cases = {
      {"3B 0A 54 41 56 52 45 4E 49 43 30 31", {"Exact", "Masked"}},
      {"3B 0A 54 41 56 52 45 4E 49 43 FF 7E", {"Masked"}},  // only masked-out bytes differ
      {"3B 0A 54 41 56 52 45 4E 49 44 30 31", {}},          // a compared byte differs
      {"3B 0A 54 41 56 52 45 4E 49 43 30", {}},             // shorter
      {"3B 0A 54 41 56 52 45 4E 49 43 30 31 00", {}},       // longer
      {"", {}},                                             // no ATR matches no card
  };
  for (const Case& c : cases) EXPECT_EQ(ListFor(db, c.atr), c.names) << c.atr;
}

TEST(CardDatabaseTest, CardNamesAreOrderedByUtf16CodeUnits) {
  // U+E000 is EE 80 80 in UTF-8, U+1F600 is F0 9F 98 80: bytes put U+E000 first, UTF-16
  // code units (E000 against D83D DE00) put U+1F600 first.
  const std::string privateUse = "\xEE\x80\x80";
  const std::string emoji = "\xF0\x9F\x98\x80";
  std::string text;
  for (const std::string& name : {privateUse, emoji, std::string("b"), std::string("Z"),
                                  std::string("Zz")}) {
    text += "[" + name + "]\nATR = 3B 00\n";
  }
  EXPECT_EQ(ListFor(text, "3B 00"), (std::vector<std::string>{"Z", "Zz", "b", emoji, privateUse}));

  const Platform::Utf16CodeUnitLess less;
  EXPECT_TRUE(less(emoji, privateUse));
  EXPECT_FALSE(less(privateUse, emoji));
  EXPECT_FALSE(less("a", "a"));
  // Malformed bytes sort after every character and still give a strict order.
  EXPECT_TRUE(less(privateUse, "\xFF"));
  EXPECT_TRUE(less("\xC0\x80", "\xC1"));  // an overlong form is two malformed bytes
}

TEST(CardDatabaseTest, MalformedLinesAreIgnoredOneByOne) {
  const std::string text =
      "\xEF\xBB\xBF"                       // byte-order mark
      "ATR = 3B 00\r\n"                    // before any card
      "[Good]\r\n"
      "  ATR = 3B 01 / FF\r\n"             // mask of another length
      "ATR = 3B 02 / F0 0F\r\n"
      "ATR = 3B 0G\n"                      // not hex
      "ATR = " + std::string(34 * 2, 'A') + "\n"  // longer than any ATR
      "ATR\n"                              // no value
      "Unknown = 3B 03\n"
      "CryptoProvider =\n"                 // empty name
      "CryptoProvider = Good CSP\n"
      "[Bad \xC3\x28 name]\n"              // not UTF-8: what follows belongs nowhere
      "ATR = 3B 06\n"
      "KeyStorageProvider = Stolen KSP\n"
      "[Broken\n"                          // no closing bracket
      "ATR = 3B 04\n"
      "[]\n"
      "ATR = 3B 05\n"
      "[Good]\n"
      "KeyStorageProvider = Bad \xFF KSP\n"
      "ATR = 3B 07\n";
  CardDatabase db;
  db.AddText(text);
  EXPECT_EQ(Names(db.ListCards(HexBytes("3B 02"))), std::vector<std::string>{"Good"});
  EXPECT_EQ(Names(db.ListCards(HexBytes("3B 07"))), std::vector<std::string>{"Good"});
  EXPECT_EQ(Names(db.ListCards(HexBytes("35 F2"))), std::vector<std::string>{"Good"});  // masked
  for (const char* atr : {"3B 00", "3B 01", "3B 03", "3B 04", "3B 05", "3B 06"}) {
    EXPECT_TRUE(db.ListCards(HexBytes(atr)).empty()) << atr;
  }
  EXPECT_EQ(db.GetCardTypeProviderName("Good", Platform::kScardProviderCsp), "Good CSP");
  EXPECT_FALSE(db.GetCardTypeProviderName("Good", Platform::kScardProviderKsp));
}

TEST(CardDatabaseTest, MachineFileThenUserFile) {
  CardDatabaseFiles files;
  EXPECT_TRUE(CardDatabase::Load().ListCards(HexBytes("3B 00")).empty());  // no files at all

  files.WriteMachine(
      "[Card]\nATR = 3B 01\nCryptoProvider = Machine CSP\nKeyStorageProvider = Machine KSP\n");
  files.WriteUser("[Card]\nATR = 3B 02\nKeyStorageProvider = User KSP\n[Own]\nATR = 3B 01\n");
  const CardDatabase db = CardDatabase::Load();
  EXPECT_EQ(Names(db.ListCards(HexBytes("3B 01"))), (std::vector<std::string>{"Card", "Own"}));
  EXPECT_EQ(Names(db.ListCards(HexBytes("3B 02"))), std::vector<std::string>{"Card"});

  std::string csp, ksp, module;
  GetCardTypeProviderNames("Card", csp, ksp, module);
  EXPECT_EQ(csp, "Machine CSP");
  EXPECT_EQ(ksp, "User KSP");
  EXPECT_EQ(module, "");
  GetCardTypeProviderNames("Unknown", csp, ksp, module);
  EXPECT_EQ(csp + ksp + module, "");
}

TEST(CardDatabaseTest, OnlyARegularFileOfADatabasesSizeIsRead) {
  // Each would hang (FIFO), never end (device) or fill the memory if read as it stands.
  const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                    ("carddb-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string fifo = (dir / "fifo.conf").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string big = (dir / "big.conf").string();
  {
    std::ofstream out(big);
    out << "[Card]\nATR = 3B 01\n" << std::string(5 * 1024 * 1024, '#') << "\n";
  }
  const std::string good = (dir / "good.conf").string();
  std::ofstream(good) << "[Card]\nATR = 3B 01\n";
  const std::string link = (dir / "link.conf").string();
  std::filesystem::create_symlink(good, link);

  struct Case {
    std::string path;
    bool read;
  };
  for (const Case& c : {Case{fifo, false}, Case{"/dev/zero", false}, Case{big, false},
                        Case{(dir / "missing.conf").string(), false}, Case{good, true}, Case{link, true}}) {
    CardDatabase db;
    EXPECT_EQ(db.AddFile(c.path), c.read) << c.path;
    EXPECT_EQ(db.ListCards(HexBytes("3B 01")).size(), c.read ? 1u : 0u) << c.path;
  }
  std::filesystem::remove_all(dir);
}

TEST(CardDatabaseTest, ProviderNamesByProviderId) {
  CardDatabaseFiles files;
  files.WriteMachine(
      "[Card]\nCryptoProvider = A CSP\nKeyStorageProvider = A KSP\nCardModule = a module\n");
  EXPECT_EQ(GetCardTypeProviderName("Card", 2), "A CSP");
  EXPECT_EQ(GetCardTypeProviderName("Card", 3), "A KSP");
  EXPECT_EQ(GetCardTypeProviderName("Card", 0x80000001), "a module");
  EXPECT_EQ(GetCardTypeProviderName("Card", 1), "");
  EXPECT_EQ(GetCardTypeProviderName("card", 2), "");  // card names are case-sensitive
}

std::string ShippedText() {
  std::ifstream shipped(TVR_SHIPPED_SMARTCARDS_CONF);
  std::stringstream text;
  text << shipped.rdbuf();
  return text.str();
}

TEST(CardDatabaseTest, ShippedDefaultsNameTheProvidersOfTheFourCardTypes) {
  CardDatabaseFiles files;
  const std::string text = ShippedText();
  ASSERT_FALSE(text.empty());
  files.WriteMachine(text);

  struct Expected {
    const char* csp;
    const char* ksp;
  };
  const std::map<std::string, Expected> expected = {
      {"Incard  TS2048", {"Bit4id Universal Middleware Provider", ""}},
      {"Classic TPC", {"Gemalto Classic Card CSP", ""}},
      {"IDPrime MD T=0",
       {"eToken Base Cryptographic Provider", "SafeNet Smart Card Key Storage Provider"}},
      {"Oberthur Technologies IAS-ECC Device",
       {"Microsoft Base Smart Card Crypto Provider", "Microsoft Smart Card Key Storage Provider"}},
  };
  for (const CardTypeEntry& row : CardTypeTable) {
    const auto want = expected.find(row.cardName);
    ASSERT_NE(want, expected.end()) << row.cardName;
    std::string csp, ksp, module;
    GetCardTypeProviderNames(row.cardName, csp, ksp, module);
    EXPECT_EQ(csp, want->second.csp) << row.cardName;
    EXPECT_EQ(ksp, want->second.ksp) << row.cardName;
  }
}

// ATRs as the pcsc-tools smart-card list gives them for real cards, each recognised as the
// card type's name through the shipped file alone.
TEST(CardDatabaseTest, ShippedFileRecognisesTheListedCards) {
  CardDatabaseFiles files;
  files.WriteMachine(ShippedText());
  struct Case {
    const char* atr;
    const char* cardName;  // "" for no card
    const char* typeKey;
  };
  const Case cases[] = {
      // "Gemalto Classic TPC - IM", "Gemalto Classic TPC (Trusted PKI Card) IM"
      {"3B 7D 96 00 00 80 31 80 65 B0 83 11 40 C8 83 00 90 00", "Classic TPC", "Gemalto"},
      {"3B 7D 96 00 00 80 31 80 65 B0 93 11 D0 A9 83 00 90 00", "Classic TPC", "Gemalto"},
      // The other three forms of the Classic TPC family.
      {"3B 6D 00 00 80 31 80 65 B0 83 11 40 C8 83 00 90 00", "Classic TPC", "Gemalto"},
      {"3B ED 00 00 81 31 20 43 80 31 80 65 B0 83 02 04 7E 83 00 90 00 32", "Classic TPC",
       "Gemalto"},
      {"3B FD 96 00 00 81 31 20 43 80 31 80 65 B0 83 11 00 C8 83 00 90 00 15", "Classic TPC",
       "Gemalto"},
      // "Gemalto IDPrime MD", "Gemalto IDPrime MD 840 (PKI)", "Gemalto IDPrime MD840 (eID)"
      {"3B 7F 96 00 00 80 31 80 65 B0 84 41 3D F6 12 0F FE 82 90 00", "IDPrime MD T=0",
       "Gemalto2"},
      {"3B 7F 96 00 00 80 31 80 65 B0 85 03 00 EF 12 0F FE 82 90 00", "IDPrime MD T=0",
       "Gemalto2"},
      {"3B 7F 96 00 00 80 31 80 65 B0 85 03 00 EF 12 02 C1 82 90 00", "IDPrime MD T=0",
       "Gemalto2"},
      // "Oberthur Cosmo v7 IAS ECC"
      {"3B DD 18 00 81 31 FE 45 80 F9 A0 00 00 00 77 01 08 00 07 90 00 FE",
       "Oberthur Technologies IAS-ECC Device", "Oberthur"},
      // Near misses: one compared byte away from a shipped ATR, or a card of another maker
      // with the same length and frame.
      {"3B DD 96 00 81 31 FE 45 80 F9 A0 00 00 00 77 01 08 00 07 90 00 70", "", ""},  // Cosmo v8.1-n
      {"3B 7F 96 00 00 80 31 80 65 B0 84 61 60 FB 12 0F FD 82 90 00", "", ""},  // IDPrime 930
      {"3B 7D 11 00 00 00 31 80 71 8E 64 52 D9 01 00 82 90 00", "", ""},  // Oberthur Galactic V2
      {"3B 6D 00 00 80 31 80 65 B0 84 11 40 C8 83 00 90 00", "", ""},
      // The list's "Touch&Sign 2048 (PKI)" is not shipped as the Incard TS2048 card.
      {"3B FF 18 00 FF 81 31 FE 55 00 6B 42 49 54 34 49 44 20 31 2E 30 00 90 00 91", "", ""},
  };
  for (const Case& c : cases) {
    const std::string name = GetCardNameForAtr(HexBytes(c.atr));
    EXPECT_EQ(name, c.cardName) << c.atr;
    EXPECT_EQ(ListCardNamesForAtr(HexBytes(c.atr)).size(), *c.cardName ? 1u : 0u) << c.atr;
    const CardTypeEntry* row = FindCardTypeByCardName(name);
    EXPECT_EQ(row ? std::string(row->typeKey) : "", c.typeKey) << c.atr;
  }

  // Every ATR line of the file is understood and stands for the card it is listed under:
  // with its masked-out bytes as written, it names exactly that card.
  std::istringstream lines(ShippedText());
  std::string card;
  int atrLines = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("[", 0) == 0) card = line.substr(1, line.find(']') - 1);
    if (line.rfind("ATR", 0) != 0) continue;
    ++atrLines;
    const std::string atr = line.substr(line.find('=') + 1, line.find('/') - line.find('=') - 1);
    EXPECT_EQ(Names(ListCardNamesForAtr(HexBytes(atr))), std::vector<std::string>{card}) << line;
  }
  EXPECT_EQ(atrLines, 7);
}

}  // namespace
