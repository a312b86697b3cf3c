// The texts a PIN-pad reader is given follow the language of the resources, like every
// other text of the program.
#include <gtest/gtest.h>

#include <filesystem>

#include "CardPinCommands.h"
#include "P11Rig.h"
#include "Strings.h"

namespace {

using Platform::ReaderMessageSet;

const PinPadPrompts kHungarianChange = {
    "PIN megváltoztatása", "Jelenlegi PIN kód:", "Új PIN kód:", "Új PIN kód (még egyszer):",
    "Kérem, adja meg a jelenlegi PIN kódot!", "Kérem, adja meg az új PIN kódot!",
    "Kérem, adja meg az új PIN kódot még egyszer!", "Sikeres PIN megváltoztatás!",
    "A művelet időtúllépés miatt megszakítva!", "A művelet felhasználói kérésre megszakítva!",
    "A megadott új PIN kódok nem egyeznek!", "Hibás paraméter!", "Hibás PIN kód!",
};
const PinPadPrompts kHungarianUnblock = {
    "PIN feloldása", "PUK kód:", "Új PIN kód:", "Új PIN kód (még egyszer):",
    "Kérem, adja meg a jelenlegi PIN kódot!", "Kérem, adja meg az új PIN kódot!",
    "Kérem, adja meg az új PIN kódot még egyszer!", "Sikeres PIN feloldás!",
    "A művelet időtúllépés miatt megszakítva!", "A művelet felhasználói kérésre megszakítva!",
    "A megadott új PIN kódok nem egyeznek!", "Hibás paraméter!", "Hibás PUK kód!",
};

class PinPadPromptsTest : public ::testing::Test {
 protected:
  void TearDown() override {
    Res::UnloadEnglishResources();
    std::filesystem::remove(TvrTest::ModuleDir() + "/libkelmardin_eng.so");
  }
};

TEST_F(PinPadPromptsTest, PromptsFollowTheResourceLanguage) {
  EXPECT_EQ(PinPadPromptTexts(ReaderMessageSet::General), kHungarianChange);
  EXPECT_EQ(PinPadPromptTexts(ReaderMessageSet::Unblock), kHungarianUnblock);

  std::filesystem::copy_file(TVR_ENGLISH_LIBRARY, TvrTest::ModuleDir() + "/libkelmardin_eng.so",
                             std::filesystem::copy_options::overwrite_existing);
  ASSERT_TRUE(Res::LoadEnglishResources());
  const PinPadPrompts change = PinPadPromptTexts(ReaderMessageSet::General);
  const PinPadPrompts unblock = PinPadPromptTexts(ReaderMessageSet::Unblock);
  EXPECT_EQ(change[0], "Change PIN");
  EXPECT_EQ(change[1], "Current PIN:");
  EXPECT_EQ(change[12], "Wrong PIN!");
  EXPECT_EQ(unblock[0], "Unblock PIN");
  EXPECT_EQ(unblock[1], "PUK:");
  EXPECT_EQ(unblock[7], "PIN unblocked successfully!");
  EXPECT_EQ(unblock[12], "Wrong PUK!");
  for (size_t i = 0; i < change.size(); ++i) {
    EXPECT_NE(change[i], kHungarianChange[i]) << "change text " << i << " stays Hungarian";
    EXPECT_NE(unblock[i], kHungarianUnblock[i]) << "unblock text " << i << " stays Hungarian";
  }

  Res::UnloadEnglishResources();
  EXPECT_EQ(PinPadPromptTexts(ReaderMessageSet::General), kHungarianChange);
}

}  // namespace
