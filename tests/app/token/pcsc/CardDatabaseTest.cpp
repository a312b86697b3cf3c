// The smart-card database file format, matching and merging, without PC/SC.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <fstream>
#include <sstream>
#include <vector>

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

TEST(CardDatabaseTest, ShippedDefaultsNameTheProvidersOfTheFourCardTypes) {
  CardDatabaseFiles files;
  std::ifstream shipped(TVR_SHIPPED_SMARTCARDS_CONF);
  std::stringstream text;
  text << shipped.rdbuf();
  ASSERT_FALSE(text.str().empty());
  files.WriteMachine(text.str());

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
  // No ATR is shipped: the vendor or administrator adds them.
  std::istringstream lines(text.str());
  for (std::string line; std::getline(lines, line);) {
    EXPECT_NE(line.rfind("ATR", 0), 0u) << line;
  }
}

}  // namespace
