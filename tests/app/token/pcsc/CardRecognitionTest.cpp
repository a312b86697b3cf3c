// The card tables, loading vendor modules and choosing a reader's slot (SoftHSM2 behind
// the shim names the slots after readers; no PC/SC service is needed).
#include <gtest/gtest.h>

#include <fstream>

#include "CardRecognition.h"
#include "EventLog.h"
#include "TokenTestFixture.h"

namespace {

TEST(CardTablesTest, CardTypeRowsAreFoundByTheExactCardName) {
  for (const CardTypeEntry& row : CardTypeTable) {
    EXPECT_EQ(FindCardTypeByCardName(row.cardName), &row) << row.cardName;
    const VendorModuleEntry* vendor = FindVendorModuleByType(&row);
    ASSERT_NE(vendor, nullptr) << row.typeKey;
    EXPECT_STREQ(vendor->typeKey, row.typeKey);
  }
  EXPECT_EQ(FindCardTypeByCardName("Incard  TS2048"), &CardTypeTable[0]);
  for (const char* other : {"Incard TS2048", "classic tpc", "Classic TPC ", "Classic", ""}) {
    EXPECT_EQ(FindCardTypeByCardName(other), nullptr) << other;
  }
  const CardTypeEntry stranger{"Some Card", "Nobody", "Some card", 1};
  EXPECT_EQ(FindVendorModuleByType(&stranger), nullptr);
  EXPECT_EQ(FindVendorModuleByType(nullptr), nullptr);
}

class VendorModuleTest : public TokenTest {};

TEST_F(VendorModuleTest, FailedLoadIsAWarningWithTheFileAndCode) {
  // bit4ipki.dll is not installed; a file that is no library stands for eTPKCS11.dll.
  {
    std::ofstream junk(TvrTest::ModuleDir() + "/libeTPKCS11.so");
    junk << "not a library";
  }
  struct Case {
    const VendorModuleEntry* row;
    const char* event;
  };
  const std::vector<Case> cases = {
      {&VendorModuleTable[0], "Load Library ERROR! Module path: bit4ipki.dll Error code: 0000007e"},
      {&VendorModuleTable[2], "Load Library ERROR! Module path: eTPKCS11.dll Error code: 000000c1"},
  };
  for (const Case& c : cases) {
    sink_->Clear();
    EXPECT_EQ(LoadVendorModule(c.row), nullptr);
    EXPECT_EQ(sink_->Entries(), (std::vector<Platform::RecordingEventSink::Entry>{
                                    {EVENTLOG_WARNING_TYPE, c.event}}));
  }
  // Warnings are written from level 2 up.
  SetEventLogLevel(1);
  sink_->Clear();
  EXPECT_EQ(LoadVendorModule(&VendorModuleTable[0]), nullptr);
  EXPECT_TRUE(Events().empty());
  EXPECT_EQ(LoadVendorModule(nullptr), nullptr);
}

TEST_F(VendorModuleTest, InstalledModuleLoadsWithoutEvent) {
  InstallShim();
  Platform::ModuleHandle module = LoadVendorModule(&VendorModuleTable[1]);  // gclib.dll
  ASSERT_NE(module, nullptr);
  EXPECT_NE(Platform::GetProcAddress(module, "C_GetFunctionList"), nullptr);
  EXPECT_TRUE(Events().empty());
  Platform::FreeLibrary(module);
}

// Slots of three tokens: two named after one reader, one after another.
class SlotSelectionTest : public TokenTest {
 protected:
  static constexpr const char* kSecondReader = "Virtual PCD 00 01";

  void SetUp() override {
    TokenTest::SetUp();
    TvrTest::TokenSpec spec;
    spec.withKeyAndCertificate = false;
    for (const char* label : {"Second", "Third"}) {
      spec.label = label;
      tokens_->AddToken(spec);
    }
  }

  // The token object over the shim with these slot names, and its slot list.
  std::unique_ptr<PKCS11Base> Token(const std::map<std::string, std::string>& readers,
                                    bool ellipsis = false) {
    InstallShim({.readers = readers});
    if (ellipsis) shim_->SetOption("reader_ellipsis", "1");
    auto token = CreateToken();
    EXPECT_TRUE(token->IsValid());
    slots_ = token->GetSlotList(true);
    EXPECT_EQ(slots_.size(), 3u);
    return token;
  }

  std::string DescriptionOfCurrentSlot(PKCS11Base& token) {
    auto info = token.GetSlotInfo();
    return info ? info->description : "<none>";
  }

  std::string TokenLabelOfCurrentSlot(PKCS11Base& token) {
    auto info = token.GetTokenInfo();
    return info ? info->label : "<none>";
  }

  std::vector<CK_SLOT_ID> slots_;
};

TEST_F(SlotSelectionTest, IndexCountsTheSlotsOfTheReader) {
  auto token = Token({{"TvrTest", kSecondReader}, {"Second", kReader}, {"Third", kSecondReader}});
  std::vector<CK_SLOT_ID> chosen;
  for (uint32_t n : {0u, 1u}) {
    token->SetReaderName("stale");
    ASSERT_TRUE(SelectSlotForReader(slots_, kSecondReader, n, token.get())) << n;
    EXPECT_EQ(token->GetReaderName(), kSecondReader);
    EXPECT_EQ(DescriptionOfCurrentSlot(*token), kSecondReader);
    chosen.push_back(token->GetSlot());
  }
  EXPECT_NE(chosen[0], chosen[1]);
  // The two slots in slot-list order.
  std::vector<CK_SLOT_ID> inOrder;
  for (CK_SLOT_ID slot : slots_) {
    if (slot == chosen[0] || slot == chosen[1]) inOrder.push_back(slot);
  }
  EXPECT_EQ(inOrder, chosen);

  token->SetReaderName("stale");
  EXPECT_FALSE(SelectSlotForReader(slots_, kSecondReader, 2, token.get()));
  EXPECT_EQ(token->GetReaderName(), kSecondReader);
  EXPECT_EQ(token->GetSlot(), slots_.back());  // the last slot tried

  EXPECT_FALSE(SelectSlotForReader(slots_, "Virtual PCD 00 02", 0, token.get()));
  EXPECT_EQ(token->GetReaderName(), "Virtual PCD 00 02");
  // A longer reader name is not named by a shorter description.
  EXPECT_FALSE(SelectSlotForReader(slots_, std::string(kSecondReader) + " x", 0, token.get()));
  // An empty reader name matches every slot.
  ASSERT_TRUE(SelectSlotForReader(slots_, "", 2, token.get()));
  EXPECT_EQ(token->GetSlot(), slots_[2]);
  EXPECT_FALSE(SelectSlotForReader(slots_, kSecondReader, 0, nullptr));
}

TEST_F(SlotSelectionTest, ReaderNamesLongerThanTheDescriptionField) {
  // pcsc-lite names USB readers after the device and interface; such names exceed the
  // 64 bytes of a slot description, which then holds only the first 64.
  const std::string longName =
      "Tavrenic Test Reader Company CardMan Deluxe [CCID Interface] (0123456789AB) 00 00";
  // Cut at 64 bytes this ends in a blank, which the description loses too.
  const std::string blankAt64 = std::string(63, 'r') + " (serial) 00 00";
  ASSERT_GT(longName.size(), 64u);
  for (const std::string& reader : {longName, blankAt64}) {
    auto token = Token({{"TvrTest", kReader}, {"Second", reader}, {"Third", kSecondReader}});
    ASSERT_TRUE(SelectSlotForReader(slots_, reader, 0, token.get())) << reader;
    EXPECT_EQ(token->GetReaderName(), reader);
    // The first 64 bytes without trailing blanks.
    const std::string description = reader.substr(0, reader.find_last_not_of(' ', 63) + 1);
    EXPECT_EQ(DescriptionOfCurrentSlot(*token), description);
    EXPECT_FALSE(SelectSlotForReader(slots_, reader, 1, token.get()));
    // Another long name that differs within the first 64 bytes does not match.
    std::string other = reader;
    other[10] = '#';
    EXPECT_FALSE(SelectSlotForReader(slots_, other, 0, token.get()));
  }
}

// Many modules cut a long reader name to 61 bytes and "..."; two readers that differ only
// after that get the same description, and the reader numbers and the slot order decide.
TEST_F(SlotSelectionTest, ReadersWhoseCutNamesComeOutTheSame) {
  const std::string common =
      "Tavrenic Test Reader Company CardMan Deluxe [CCID Interface] (serial ";
  const std::string first = common + "0001) 00 00", second = common + "0002) 01 00";
  ASSERT_GT(common.size(), 64u);
  auto token = Token({{"TvrTest", first}, {"Second", second}, {"Third", kSecondReader}}, true);
  const std::string cut = common.substr(0, 61) + "...";

  // The slots of "TvrTest" and "Second" in slot order.
  std::vector<std::string> labelsInSlotOrder;
  for (CK_SLOT_ID slot : slots_) {
    token->SetSlot(slot);
    if (DescriptionOfCurrentSlot(*token) == cut) labelsInSlotOrder.push_back(TokenLabelOfCurrentSlot(*token));
  }
  ASSERT_EQ(labelsInSlotOrder.size(), 2u);

  // Either PC/SC order: the reader listed first takes the first such slot.
  for (const std::vector<std::string>& pcsc :
       {std::vector<std::string>{first, second, kSecondReader},
        std::vector<std::string>{kSecondReader, second, first}}) {
    auto list = [&pcsc] {
      std::vector<PcscReader> readers;
      for (const std::string& name : pcsc) readers.push_back({name, true});
      return readers;
    };
    const std::vector<std::string> byNumber =
        pcsc[0] == first ? std::vector<std::string>{first, second} : std::vector<std::string>{second, first};
    for (size_t rank = 0; rank < 2; ++rank) {
      ASSERT_TRUE(SelectSlotForReader(slots_, byNumber[rank], 0, token.get(), list));
      EXPECT_EQ(token->GetReaderName(), byNumber[rank]);
      EXPECT_EQ(DescriptionOfCurrentSlot(*token), cut);
      EXPECT_EQ(TokenLabelOfCurrentSlot(*token), labelsInSlotOrder[rank]);
      EXPECT_FALSE(SelectSlotForReader(slots_, byNumber[rank], 1, token.get(), list));
    }
  }
  // A reader alone with its description, or not known to PC/SC, takes every slot so named.
  auto alone = [&first] { return std::vector<PcscReader>{{first, true}}; };
  ASSERT_TRUE(SelectSlotForReader(slots_, first, 1, token.get(), alone));
  EXPECT_EQ(TokenLabelOfCurrentSlot(*token), labelsInSlotOrder[1]);
  auto none = [] { return std::vector<PcscReader>{}; };
  ASSERT_TRUE(SelectSlotForReader(slots_, second, 0, token.get(), none));
  EXPECT_EQ(TokenLabelOfCurrentSlot(*token), labelsInSlotOrder[0]);
  // A short reader name never asks PC/SC.
  auto unexpected = [] {
    ADD_FAILURE() << "PC/SC asked";
    return std::vector<PcscReader>{};
  };
  ASSERT_TRUE(SelectSlotForReader(slots_, kSecondReader, 0, token.get(), unexpected));
  EXPECT_EQ(TokenLabelOfCurrentSlot(*token), "Third");
  // Differing within the first 61 bytes: no match.
  std::string other = first;
  other[5] = '#';
  EXPECT_FALSE(SelectSlotForReader(slots_, other, 0, token.get(), unexpected));
}

// Only readers with a card have token slots: an empty reader that shares the cut name
// takes no share of them, whatever its number.
TEST_F(SlotSelectionTest, AnEmptyReaderWithTheSameCutNameTakesNoSlot) {
  const std::string common =
      "Tavrenic Test Reader Company CardMan Deluxe [CCID Interface] (serial ";
  const std::string empty = common + "0001) 00 00", holding = common + "0002) 01 00";
  const std::string cut = common.substr(0, 61) + "...";
  auto list = [&] {
    return std::vector<PcscReader>{{empty, false}, {holding, true}, {kSecondReader, true}};
  };
  // A card with two tokens in the second reader: both are its own, in slot order.
  {
    auto token = Token({{"TvrTest", holding}, {"Second", holding}, {"Third", kSecondReader}}, true);
    std::vector<std::string> labels;
    for (CK_SLOT_ID slot : slots_) {
      token->SetSlot(slot);
      if (DescriptionOfCurrentSlot(*token) == cut) labels.push_back(TokenLabelOfCurrentSlot(*token));
    }
    ASSERT_EQ(labels.size(), 2u);
    for (uint32_t n : {0u, 1u}) {
      ASSERT_TRUE(SelectSlotForReader(slots_, holding, n, token.get(), list)) << n;
      EXPECT_EQ(TokenLabelOfCurrentSlot(*token), labels[n]);
    }
    EXPECT_FALSE(SelectSlotForReader(slots_, holding, 2, token.get(), list));
  }
  // A card with one token there gets it.
  auto token = Token({{"TvrTest", holding}, {"Second", kSecondReader}, {"Third", kSecondReader}}, true);
  ASSERT_TRUE(SelectSlotForReader(slots_, holding, 0, token.get(), list));
  EXPECT_EQ(TokenLabelOfCurrentSlot(*token), "TvrTest");
  EXPECT_FALSE(SelectSlotForReader(slots_, holding, 1, token.get(), list));
}

}  // namespace
