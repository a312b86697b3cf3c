// The Bit4ID adapters against the utility library's double: which argument group each
// selector fills, the PIN-pad forms, results, and the failure paths without the library.
#include <gtest/gtest.h>

#include <functional>
#include <optional>

#include "Bit4idPin.h"
#include "Bit4utlDouble.h"
#include "CardTables.h"
#include "P11Rig.h"
#include "PKCS11Versions.h"
#include "PcscRig.h"

namespace {

using Fields = std::vector<std::string>;

class Bit4idTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // No private pcscd runs: reader numbers are 0, and the machine's pcscd is never asked.
    TvrTest::PcscSocketPath();
    token_ = PKCS11V220::Create(&VendorModuleTable[0], nullptr);
    token_->SetReaderName("Virtual PCD 00 00");
  }

  std::unique_ptr<PKCS11Base> token_;
};

// An unused (current, new) group.
const Fields kEmptyGroup = {"null", "0", "null", "0"};

Fields Concat(std::initializer_list<Fields> parts) {
  Fields all;
  for (const Fields& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

struct CallCase {
  const char* name;
  std::function<bool()> call;
  Fields logged;
};

TEST_F(Bit4idTest, EachAdapterFillsTheArgumentGroupOfItsSelector) {
  TvrTest::InstalledBit4utl library;
  Bit4idPinLimits limits;
  const std::vector<CallCase> cases = {
      {"change global PIN",
       [] { return Bit4idChangePinPuk("Virtual PCD 00 00", 0, MakePin("1234"), MakePin("56789")); },
       Concat({{"CNS_DS_ChangePinPuk", "0", "0", "1234", "4", "56789", "5"}, kEmptyGroup,
               kEmptyGroup, kEmptyGroup, {"0", "0"}})},
      // Arguments 11 to 14 (after the name: fields 11 to 14).
      {"change signing PIN",
       [] { return Bit4idChangePinPuk("Virtual PCD 00 00", 2, MakePin("1234"), MakePin("56789")); },
       Concat({{"CNS_DS_ChangePinPuk", "0", "0"}, kEmptyGroup, kEmptyGroup,
               {"1234", "4", "56789", "5"}, kEmptyGroup, {"0", "0"}})},
      {"change with a PUK selector sends no group",
       [] { return Bit4idChangePinPuk("Virtual PCD 00 00", 1, MakePin("1234"), MakePin("5678")); },
       Concat({{"CNS_DS_ChangePinPuk", "0", "0"}, kEmptyGroup, kEmptyGroup, kEmptyGroup,
               kEmptyGroup, {"0", "0"}})},
      {"change on the PIN pad when the old text is absent",
       [] { return Bit4idChangePinPuk("Virtual PCD 00 00", 2, nullptr, MakePin("5678")); },
       {"CNS_DS_ChangePinPuk_pinpad", "0", "2"}},
      {"change on the PIN pad when the new text is absent",
       [] { return Bit4idChangePinPuk("Virtual PCD 00 00", 0, MakePin("1234"), nullptr); },
       {"CNS_DS_ChangePinPuk_pinpad", "0", "0"}},
      {"unblock global PIN",
       [] { return Bit4idUnblockPin("Virtual PCD 00 00", 0, MakePin("87654321"), MakePin("1111")); },
       Concat({{"CNS_DS_UnblockPin", "0", "0", "87654321", "8", "1111", "4"}, kEmptyGroup,
               {"0", "0"}})},
      {"unblock signing PIN",
       [] { return Bit4idUnblockPin("Virtual PCD 00 00", 1, MakePin("87654321"), MakePin("1111")); },
       Concat({{"CNS_DS_UnblockPin", "0", "0"}, kEmptyGroup,
               {"87654321", "8", "1111", "4", "0", "0"}})},
      {"unblock on the PIN pad",
       [] { return Bit4idUnblockPin("Virtual PCD 00 00", 1, nullptr, nullptr); },
       {"CNS_DS_UnblockPin_pinpad", "0", "1"}},
      {"reactivate", [] { return Bit4idReactivatePin(3, MakePin("246810")); },
       {"DS_ReactivatePin", "3", "0", "246810", "6", "0", "0", "0", "0", "0", "0"}},
      {"reactivate on the PIN pad", [] { return Bit4idReactivatePin(3, nullptr); },
       {"DS_ReactivatePin_pinpad", "3"}},
      {"PIN limits", [&limits] { return Bit4idGetPinLimit(2, limits); },
       {"CNS_DS_GetPinLimit", "2", "0", "out", "out", "out", "out", "out", "out", "out", "out"}},
      {"retry counter",
       [this] { return Bit4idGetRetryCounter(token_.get(), kBit4idSigningPuk) == 3; },
       {"CNS_DS_GetRetrycounters", "0", "3", "0", "0"}},
  };
  for (const CallCase& c : cases) {
    library.ClearCalls();
    EXPECT_TRUE(c.call()) << c.name;
    const auto calls = library.Calls();
    ASSERT_EQ(calls.size(), 1u) << c.name;
    EXPECT_EQ(calls[0], c.logged) << c.name;
  }
}

TEST_F(Bit4idTest, ResultsOfTheLibrary) {
  TvrTest::InstalledBit4utl library;
  library.Set("rv.CNS_DS_ChangePinPuk", "6");
  library.Set("rv.CNS_DS_UnblockPin_pinpad", "-1");
  library.Set("rv.DS_ReactivatePin", "0x63C2");
  EXPECT_FALSE(Bit4idChangePinPuk("r", 0, MakePin("1234"), MakePin("5678")));
  EXPECT_FALSE(Bit4idUnblockPin("r", 0, nullptr, nullptr));
  EXPECT_FALSE(Bit4idReactivatePin(1, MakePin("1234")));

  // Counts pass through; an error result is never shown as a count.
  const std::vector<std::pair<std::string, int>> tries = {
      {"2", 2}, {"0", 0}, {"15", 15}, {"16", -1}, {"-1", -1}, {"0x80100069", -1}};
  for (const auto& [value, expected] : tries) {
    library.Set("tries.0", value);
    EXPECT_EQ(Bit4idGetRetryCounter(token_.get(), kBit4idGlobalPin), expected) << value;
  }
  EXPECT_EQ(Bit4idGetRetryCounter(nullptr, kBit4idGlobalPin), -1);
}

TEST_F(Bit4idTest, PinLimitsAreTakenOnlyWhenTheLibrarySucceeds) {
  TvrTest::InstalledBit4utl library;
  library.Set("limits", "4,8,6,12,5,10,7,14");
  Bit4idPinLimits limits;
  ASSERT_TRUE(Bit4idGetPinLimit(1, limits));
  EXPECT_EQ(limits.globalPin.minimum, 4);
  EXPECT_EQ(limits.globalPin.maximum, 8);
  EXPECT_EQ(limits.globalPuk.minimum, 6);
  EXPECT_EQ(limits.globalPuk.maximum, 12);
  EXPECT_EQ(limits.signingPin.minimum, 5);
  EXPECT_EQ(limits.signingPin.maximum, 10);
  EXPECT_EQ(limits.signingPuk.minimum, 7);
  EXPECT_EQ(limits.signingPuk.maximum, 14);

  // A failing call that still wrote its outputs leaves the caller's bounds alone.
  library.Set("rv.CNS_DS_GetPinLimit", "1");
  library.Set("limits", "9,9,9,9,9,9,9,9");
  Bit4idPinLimits preset;
  EXPECT_FALSE(Bit4idGetPinLimit(1, preset));
  EXPECT_EQ(preset.globalPin.minimum, 1);
  EXPECT_EQ(preset.signingPuk.maximum, 16);
}

TEST_F(Bit4idTest, EveryAdapterFailsWithoutTheLibraryOrItsExports) {
  for (const bool installed : {false, true}) {
    std::optional<TvrTest::InstalledBit4utl> empty;
    if (installed) empty.emplace(false);  // the library is there, its exports are not
    const std::string what = installed ? "without exports" : "without the library";
    Bit4idPinLimits limits;
    EXPECT_FALSE(Bit4idChangePinPuk("r", 0, MakePin("1234"), MakePin("5678"))) << what;
    EXPECT_FALSE(Bit4idChangePinPuk("r", 0, nullptr, nullptr)) << what;
    EXPECT_FALSE(Bit4idUnblockPin("r", 1, MakePin("1234"), MakePin("5678"))) << what;
    EXPECT_FALSE(Bit4idUnblockPin("r", 1, nullptr, nullptr)) << what;
    EXPECT_FALSE(Bit4idReactivatePin(1, MakePin("1234"))) << what;
    EXPECT_FALSE(Bit4idReactivatePin(1, nullptr)) << what;
    EXPECT_FALSE(Bit4idGetPinLimit(1, limits)) << what;
    EXPECT_EQ(limits.globalPin.maximum, 16) << what;
    for (uint8_t selector = 0; selector < 4; ++selector) {
      EXPECT_EQ(Bit4idGetRetryCounter(token_.get(), selector), -1) << what;
    }
    if (installed) {
      EXPECT_TRUE(empty->Calls().empty());
    }
  }
}

}  // namespace
