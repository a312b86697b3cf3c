// Raw card commands and the PIN pad against a private pcscd: the exact commands a
// scripted card receives, the retry counter read through GET RESPONSE, the PIN-pad path
// through a reader double offering "modify PIN direct", and the Gemalto log-in text.
#include <gtest/gtest.h>

#include <PCSC/reader.h>

#include <cstring>
#include <filesystem>
#include <memory>

#include "Bit4idPin.h"
#include "Bit4utlDouble.h"
#include "CardPinCommands.h"
#include "CardTables.h"
#include "LoginFailedMessage.h"
#include "P11Rig.h"
#include "PKCS11Versions.h"
#include "PcscRig.h"

namespace {

using TvrTest::Bytes;
using TvrTest::HexBytes;
using TvrTest::PrivatePcscd;
using TvrTest::ScriptedCard;

constexpr const char* kCardAtr = "3B 0A 54 41 56 52 45 4E 49 43 30 31";
const std::string kReader0 = PrivatePcscd::ReaderName(0);
const std::string kReader1 = PrivatePcscd::ReaderName(1);

const Bytes kOk = {0x90, 0x00};
const char* const kGetDataPin = "00 CB 00 FF 10 A0 0E 83 01 81 8C 80 DF 21 80 DF 27 80 DF 28 80";
const char* const kGetDataPuk = "00 CB 00 FF 10 A0 0E 83 01 82 8C 80 DF 21 80 DF 27 80 DF 28 80";

// n bytes 0xA0, 0xA1, ... with the tries byte at index 19 when n is 32.
Bytes CounterData(size_t n, uint8_t tries) {
  Bytes data(n);
  for (size_t i = 0; i < n; ++i) data[i] = static_cast<uint8_t>(0xA0 + i);
  if (n >= 13) data[n - 13] = tries;
  return data;
}

Bytes With(Bytes data, const Bytes& tail) {
  data.insert(data.end(), tail.begin(), tail.end());
  return data;
}

class CardPinTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TvrTest::PcscSocketPath();  // before any PC/SC call: never the machine's pcscd
    if (const std::string reason = TvrTest::PcscRigUnavailableReason(); !reason.empty()) {
      GTEST_SKIP() << reason;
    }
    profileDir_ = std::make_unique<TvrTest::TempDir>();
    ::setenv("XDG_CONFIG_HOME", profileDir_->Path().c_str(), 1);
  }

  void StartPcscd() {
    try {
      pcscd_.Start();
    } catch (const TvrTest::PcscRigUnavailable& e) {
      GTEST_SKIP() << e.what();
    }
  }

  ScriptedCard& InsertCard(int reader) {
    cards_.push_back(std::make_unique<ScriptedCard>(pcscd_, reader, HexBytes(kCardAtr)));
    cards_.back()->Insert();
    EXPECT_TRUE(TvrTest::WaitForCard(PrivatePcscd::ReaderName(reader), true).has_value())
        << pcscd_.Log();
    return *cards_.back();
  }

  // Our PIN-pad and reader-prompt libraries in the process's module folder.
  void InstallPinPadLibraries(bool withReaderPrompts = true) {
    std::filesystem::copy_file(TVR_TVCARDPX_PATH, TvrTest::ModuleDir() + "/libtvcardpx.so");
    if (withReaderPrompts) {
      std::filesystem::copy_file(TVR_GPCPPRM_PATH, TvrTest::ModuleDir() + "/libgpcpprm.so");
    }
  }

  std::unique_ptr<PKCS11Base> TokenIn(const std::string& reader, int row) {
    auto token = PKCS11V220::Create(&VendorModuleTable[row], nullptr);
    token->SetReaderName(reader);
    return token;
  }

  std::unique_ptr<TvrTest::TempDir> profileDir_;
  PrivatePcscd pcscd_;
  std::vector<std::unique_ptr<ScriptedCard>> cards_;  // removed before the daemon stops

  void TearDown() override {
    cards_.clear();
    pcscd_.Stop();
    std::error_code ignored;
    for (const char* file : {"/libtvcardpx.so", "/libgpcpprm.so"}) {
      std::filesystem::remove(TvrTest::ModuleDir() + file, ignored);
    }
  }
};

TEST_F(CardPinTest, ChangeAndUnblockSendTheWholeCommand) {
  StartPcscd();
  ScriptedCard& card = InsertCard(0);
  const Bytes change = HexBytes("00 24 00 81 10  31 32 33 34 00 00 00 00  35 36 37 38 00 00 00 00");
  const Bytes unblock = HexBytes("00 2C 00 81 10  38 37 36 35 34 33 32 31  39 39 39 39 39 00 00 00");
  card.Answer(change, {kOk, HexBytes("63 C2")});
  card.Answer(unblock, {kOk});

  EXPECT_TRUE(GemaltoChangePin(kReader0, 4, 8, MakePin("1234"), MakePin("5678")));
  EXPECT_FALSE(GemaltoChangePin(kReader0, 4, 8, MakePin("1234"), MakePin("5678")));  // 63 C2
  EXPECT_TRUE(GemaltoUnblockPin(kReader0, 4, 8, MakePin("87654321"), MakePin("99999")));
  EXPECT_EQ(card.Commands(), std::vector<Bytes>({change, change, unblock}));
}

TEST_F(CardPinTest, RefusedCommandsSendNothing) {
  StartPcscd();
  ScriptedCard& card = InsertCard(0);
  card.SetDefaultAnswer(kOk);
  struct Case {
    const char* name;
    uint16_t n;
    const char* first;
    const char* second;
  };
  const std::vector<Case> cases = {
      {"current PIN absent", 8, nullptr, "5678"},
      {"new PIN absent", 8, "1234", nullptr},
      {"Lc would not fit one byte", 128, "1234", "5678"},
      {"the maximum SoftHSM2 reports", 255, "1234", "5678"},
      {"no PIN block", 0, "1234", "5678"},
      {"current PIN longer than its block", 8, "123456789", "5678"},
      {"new PIN longer than its block", 4, "1234", "56789"},
  };
  for (const Case& c : cases) {
    auto first = c.first ? MakePin(c.first) : nullptr;
    auto second = c.second ? MakePin(c.second) : nullptr;
    EXPECT_FALSE(GemaltoChangePin(kReader0, 4, c.n, std::move(first), std::move(second)))
        << c.name;
  }
  EXPECT_TRUE(card.Commands().empty());
  // The largest block that fits goes out whole.
  EXPECT_TRUE(GemaltoChangePin(kReader0, 4, 127, MakePin("1234"), MakePin("5678")));
  ASSERT_EQ(card.Commands().size(), 1u);
  EXPECT_EQ(card.Commands()[0].size(), 5u + 254u);
  EXPECT_EQ(card.Commands()[0][4], 254);
  // A reader without a card.
  EXPECT_FALSE(GemaltoChangePin(kReader1, 4, 8, MakePin("1234"), MakePin("5678")));
}

// The PINs were typed for the card in the reader when the operation started. Another card
// of the same type in its place (the same answer-to-reset, another event count) gets
// nothing; the card itself still gets its command.
TEST_F(CardPinTest, AnotherCardInTheReaderGetsNoPinCommand) {
  StartPcscd();
  ScriptedCard& first = InsertCard(0);
  first.SetDefaultAnswer(kOk);
  const std::optional<CardIdentity> started = ReadCardIdentity(kReader0);
  ASSERT_TRUE(started.has_value());
  EXPECT_EQ(started->atr, HexBytes(kCardAtr));
  EXPECT_FALSE(ReadCardIdentity(kReader1).has_value());  // no card there
  EXPECT_TRUE(CardStillIn(kReader0, *started));
  EXPECT_TRUE(GemaltoChangePin(kReader0, 4, 8, MakePin("1234"), MakePin("5678"), &*started));
  EXPECT_EQ(first.Commands().size(), 1u);

  first.Remove();
  ASSERT_TRUE(TvrTest::WaitForCard(kReader0, false).has_value()) << pcscd_.Log();
  ScriptedCard& second = InsertCard(0);
  second.SetDefaultAnswer(kOk);
  EXPECT_FALSE(CardStillIn(kReader0, *started));
  EXPECT_FALSE(GemaltoChangePin(kReader0, 4, 8, MakePin("1234"), MakePin("5678"), &*started));
  EXPECT_FALSE(GemaltoUnblockPin(kReader0, 4, 8, MakePin("87654321"), MakePin("5678"), &*started));
  EXPECT_FALSE(GemaltoChangePin(kReader0, 4, 8, nullptr, nullptr, &*started));  // the PIN pad's road
  EXPECT_TRUE(second.Commands().empty());
  // Started for the card now in the reader, the command goes out.
  const std::optional<CardIdentity> now = ReadCardIdentity(kReader0);
  ASSERT_TRUE(now.has_value());
  EXPECT_NE(*now, *started);
  EXPECT_TRUE(GemaltoChangePin(kReader0, 4, 8, MakePin("1234"), MakePin("5678"), &*now));
  EXPECT_EQ(second.Commands().size(), 1u);
}

TEST_F(CardPinTest, RetryCounterFromGetDataAndGetResponse) {
  StartPcscd();
  struct Case {
    const char* name;
    uint32_t index;
    std::vector<std::pair<Bytes, Bytes>> answers;  // command -> response
    int expected;
  };
  const Bytes getDataPin = HexBytes(kGetDataPin);
  const Bytes getDataPuk = HexBytes(kGetDataPuk);
  const std::vector<Case> cases = {
      {"61 20, then 32 bytes",
       0,
       {{getDataPin, HexBytes("61 20")},
        {HexBytes("00 C0 00 00 20"), With(CounterData(32, 2), kOk)}},
       2},
      {"data and 90 00 at once (T=1)", 0, {{getDataPin, With(CounterData(32, 5), kOk)}}, 5},
      {"PUK index", 1, {{getDataPuk, With(CounterData(32, 0), kOk)}}, 0},
      {"data in every response",
       0,
       {{getDataPin, With(CounterData(5, 0), HexBytes("61 10"))},
        {HexBytes("00 C0 00 00 10"), With(Bytes(16, 0x07), HexBytes("61 08"))},
        {HexBytes("00 C0 00 00 08"), With(Bytes{0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28, 0x29}, kOk)}},
       7},  // 29 bytes collected: the one 13 from the end is the 13th of the 16
      {"fewer bytes than announced",
       0,
       {{getDataPin, HexBytes("61 20")},
        {HexBytes("00 C0 00 00 20"), With(CounterData(20, 4), kOk)}},
       4},
      {"the largest count", 0, {{getDataPin, With(CounterData(32, 15), kOk)}}, 15},
      // A tries byte that no ISO 7816 counter can hold is a card's error, not a count.
      {"16 is no count", 0, {{getDataPin, With(CounterData(32, 16), kOk)}}, -1},
      {"FF is no count", 1, {{getDataPuk, With(CounterData(32, 0xFF), kOk)}}, -1},
      {"referenced data not found", 0, {{getDataPin, HexBytes("6A 88")}}, -1},
      {"answer too short", 0, {{getDataPin, With(CounterData(12, 3), kOk)}}, -1},
      {"a card that never stops answering 61 xx",
       0,
       {{getDataPin, HexBytes("61 04")}, {HexBytes("00 C0 00 00 04"), HexBytes("01 02 03 04 61 04")}},
       -1},
  };
  ScriptedCard& card = InsertCard(0);
  auto token = TokenIn(kReader0, 1);
  for (const Case& c : cases) {
    for (const auto& [command, response] : c.answers) card.Answer(command, {response});
    const size_t before = card.Commands().size();
    EXPECT_EQ(GemaltoGetRetryCounter(token.get(), c.index), c.expected) << c.name;
    const auto all = card.Commands();
    const std::vector<Bytes> sent(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
    ASSERT_FALSE(sent.empty()) << c.name;
    EXPECT_EQ(sent[0], c.index ? getDataPuk : getDataPin) << c.name;
    if (std::string(c.name) == "61 20, then 32 bytes") {
      EXPECT_EQ(sent, std::vector<Bytes>({getDataPin, HexBytes("00 C0 00 00 20")}));
    }
    EXPECT_LE(sent.size(), 17u) << c.name;  // the continuation loop is bounded
  }
  cards_.clear();
  ASSERT_TRUE(TvrTest::WaitForCard(kReader0, false).has_value());
  EXPECT_EQ(GemaltoGetRetryCounter(TokenIn(kReader0, 1).get(), 0), -1);  // no card
  EXPECT_EQ(GemaltoGetRetryCounter(nullptr, 0), -1);
}

TEST_F(CardPinTest, GemaltoLoginFailedMessage) {
  StartPcscd();
  ScriptedCard& card = InsertCard(0);
  card.Answer(HexBytes(kGetDataPin), {With(CounterData(32, 2), kOk), With(CounterData(32, 0), kOk),
                                      HexBytes("6A 88")});
  auto token = TokenIn(kReader0, 1);
  const std::string failed = "Sikertelen bejelentkezés!";
  EXPECT_EQ(BuildLoginFailedMessage(token.get()),
            failed + "\nPIN kód zárolva lesz 2 hibás próbálkozás után.");
  EXPECT_EQ(BuildLoginFailedMessage(token.get()), failed + "\nPIN kód zárolva.");
  EXPECT_EQ(BuildLoginFailedMessage(token.get()), failed);
}

TEST_F(CardPinTest, Bit4idLibraryGetsTheReaderNumber) {
  StartPcscd();
  TvrTest::InstalledBit4utl library;
  auto token = TokenIn(kReader1, 0);
  EXPECT_EQ(Bit4idGetRetryCounter(token.get(), 1), 3);
  EXPECT_TRUE(Bit4idChangePinPuk(kReader0, 0, nullptr, nullptr));
  EXPECT_TRUE(Bit4idUnblockPin("Virtual PCD 00 07", 0, nullptr, nullptr));
  const auto calls = library.Calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0], std::vector<std::string>({"CNS_DS_GetRetrycounters", "2", "1", "0", "0"}));
  EXPECT_EQ(calls[1], std::vector<std::string>({"CNS_DS_ChangePinPuk_pinpad", "1", "0"}));
  EXPECT_EQ(calls[2], std::vector<std::string>({"CNS_DS_UnblockPin_pinpad", "0", "0"}));
}

// The modify structure as the PIN pad received it.
PIN_MODIFY_STRUCTURE ModifyHeader(const Bytes& block) {
  PIN_MODIFY_STRUCTURE modify{};
  if (block.size() >= sizeof modify) std::memcpy(&modify, block.data(), sizeof modify);
  return modify;
}

TEST_F(CardPinTest, PinPadFillsTheTemplate) {
  pcscd_.EnablePinPad(0, "1234", "5678");
  StartPcscd();
  InstallPinPadLibraries();
  ScriptedCard& card = InsertCard(0);
  const Bytes typedChange = HexBytes("00 24 00 81 10  31 32 33 34 00 00 00 00  35 36 37 38 00 00 00 00");
  const Bytes typedUnblock = HexBytes("00 2C 00 81 10  31 32 33 34 00 00 00 00  35 36 37 38 00 00 00 00");
  card.Answer(typedChange, {kOk, HexBytes("63 C1")});
  card.Answer(typedUnblock, {kOk});

  EXPECT_TRUE(GemaltoChangePin(kReader0, 4, 8, nullptr, nullptr)) << pcscd_.Log();
  EXPECT_FALSE(GemaltoChangePin(kReader0, 4, 8, nullptr, nullptr));  // 63 C1 from the card
  EXPECT_TRUE(GemaltoUnblockPin(kReader0, 6, 8, nullptr, nullptr));
  EXPECT_EQ(card.Commands(), std::vector<Bytes>({typedChange, typedChange, typedUnblock}));

  const auto blocks = pcscd_.PinPadBlocks();
  ASSERT_EQ(blocks.size(), 3u);
  for (size_t i = 0; i < blocks.size(); ++i) {
    const PIN_MODIFY_STRUCTURE modify = ModifyHeader(blocks[i]);
    EXPECT_EQ(modify.bmFormatString, 0x82);
    EXPECT_EQ(modify.bmPINBlockString, 0x08);
    EXPECT_EQ(modify.bInsertionOffsetOld, 0);
    EXPECT_EQ(modify.bInsertionOffsetNew, 8);
    // Packed fields are copied out before gtest takes references to them.
    const uint16_t lengths = modify.wPINMaxExtraDigit;
    const uint32_t dataLength = modify.ulDataLength;
    EXPECT_EQ(lengths, i < 2 ? 0x0408 : 0x0608);
    EXPECT_EQ(modify.bConfirmPIN, 0x03);
    EXPECT_EQ(dataLength, 21u);
    // The template: the header, Lc and two empty blocks.
    const Bytes data(blocks[i].begin() + sizeof modify, blocks[i].end());
    Bytes expected = HexBytes(i < 2 ? "00 24 00 81 10" : "00 2C 00 81 10");
    expected.resize(21, 0);
    EXPECT_EQ(data, expected);
  }
}

TEST_F(CardPinTest, PinPadFailsWithoutTheFeatureOrTheLibrary) {
  pcscd_.EnablePinPad(0, "1234", "5678");
  StartPcscd();
  ScriptedCard& card = InsertCard(1);  // the reader without a PIN pad
  card.SetDefaultAnswer(kOk);
  // Without the PIN-pad library.
  EXPECT_FALSE(GemaltoChangePin(kReader1, 4, 8, nullptr, nullptr));
  InstallPinPadLibraries(false);  // the reader-prompt library stays absent
  EXPECT_FALSE(GemaltoChangePin(kReader1, 4, 8, nullptr, nullptr));
  EXPECT_FALSE(GemaltoUnblockPin(kReader1, 4, 8, nullptr, nullptr));
  EXPECT_TRUE(card.Commands().empty());
  EXPECT_TRUE(pcscd_.PinPadBlocks().empty());

  // The absent reader-prompt library does not stop a reader that has a PIN pad.
  ScriptedCard& padded = InsertCard(0);
  padded.SetDefaultAnswer(kOk);
  EXPECT_TRUE(GemaltoChangePin(kReader0, 4, 8, nullptr, nullptr));
  EXPECT_EQ(pcscd_.PinPadBlocks().size(), 1u);
}

}  // namespace
