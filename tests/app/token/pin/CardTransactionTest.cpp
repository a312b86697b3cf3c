// Raw card commands hold the card for their whole sequence against other programs (the
// vendor module among them), and get over a card that another program reset. Private
// pcscd, a scripted card, and hooks between the PC/SC calls of the code under test.
#include <gtest/gtest.h>

#include <PCSC/winscard.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <iterator>
#include <future>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "CardPinCommands.h"
#include "CardTables.h"
#include "P11Rig.h"
#include "PKCS11Versions.h"
#include "PcscHooks.h"
#include "PcscRig.h"

namespace {

using TvrTest::Bytes;
using TvrTest::HexBytes;
using TvrTest::PrivatePcscd;
using TvrTest::ScriptedCard;

const std::string kReader = PrivatePcscd::ReaderName(0);
const Bytes kOk = {0x90, 0x00};
const Bytes kGetDataPin = HexBytes("00 CB 00 FF 10 A0 0E 83 01 81 8C 80 DF 21 80 DF 27 80 DF 28 80");
const Bytes kGetResponse = HexBytes("00 C0 00 00 20");
const Bytes kOtherCommand = HexBytes("00 A4 04 00 02 3F 00");
const Bytes kOtherCommand2 = HexBytes("00 B0 00 00 04");

// 32 bytes whose byte 19 (13 from the end) is the tries count, then 90 00.
Bytes CounterResponse(uint8_t tries) {
  Bytes data(34, 0xA5);
  data[19] = tries;
  data[32] = 0x90;
  data[33] = 0x00;
  return data;
}

// Another program's connection to the reader, on the test's side of the hooks.
class OtherProgram {
 public:
  explicit OtherProgram(const std::string& reader) {
    PcscHooks::TestSide side;
    EXPECT_EQ(SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context_), SCARD_S_SUCCESS);
    DWORD protocol = 0;
    EXPECT_EQ(SCardConnect(context_, reader.c_str(), SCARD_SHARE_SHARED,
                           SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card_, &protocol),
              SCARD_S_SUCCESS);
    pci_ = protocol == SCARD_PROTOCOL_T1 ? SCARD_PCI_T1 : SCARD_PCI_T0;
  }
  ~OtherProgram() {
    PcscHooks::TestSide side;
    if (card_) SCardDisconnect(card_, SCARD_LEAVE_CARD);
    if (context_) SCardReleaseContext(context_);
  }
  OtherProgram(const OtherProgram&) = delete;
  OtherProgram& operator=(const OtherProgram&) = delete;

  LONG Begin() {
    PcscHooks::TestSide side;
    return SCardBeginTransaction(card_);
  }
  LONG End() {
    PcscHooks::TestSide side;
    return SCardEndTransaction(card_, SCARD_LEAVE_CARD);
  }
  LONG Send(const Bytes& command) {
    PcscHooks::TestSide side;
    uint8_t response[258];
    DWORD length = sizeof response;
    return SCardTransmit(card_, pci_, command.data(), static_cast<DWORD>(command.size()), nullptr,
                         response, &length);
  }

 private:
  SCARDCONTEXT context_ = 0;
  SCARDHANDLE card_ = 0;
  const SCARD_IO_REQUEST* pci_ = SCARD_PCI_T0;
};

// A one-shot signal between threads.
class Signal {
 public:
  void Raise() {
    std::lock_guard<std::mutex> guard(lock_);
    raised_ = true;
    changed_.notify_all();
  }
  // False when it was not raised within the bound.
  bool Wait(std::chrono::milliseconds bound) {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, bound, [this] { return raised_; });
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  bool raised_ = false;
};

class CardTransactionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TvrTest::PcscSocketPath();  // before any PC/SC call: never the machine's pcscd
    if (const std::string reason = TvrTest::PcscRigUnavailableReason(); !reason.empty()) {
      GTEST_SKIP() << reason;
    }
    try {
      pcscd_.Start();
    } catch (const TvrTest::PcscRigUnavailable& e) {
      GTEST_SKIP() << e.what();
    }
    card_ = std::make_unique<ScriptedCard>(pcscd_, 0, HexBytes("3B 0A 54 41 56 52 45 4E 49 43 30 31"));
    card_->Insert();
    ASSERT_TRUE(TvrTest::WaitForCard(kReader, true).has_value()) << pcscd_.Log();
    card_->Answer(kGetDataPin, {HexBytes("61 20")});
    card_->Answer(kGetResponse, {CounterResponse(3)});
    card_->Answer(kOtherCommand, {kOk});
    card_->Answer(kOtherCommand2, {HexBytes("01 02 03 04 90 00")});
    token_ = PKCS11V220::Create(&VendorModuleTable[1], nullptr);
    token_->SetReaderName(kReader);
    PcscHooks::Clear();
  }

  void TearDown() override {
    PcscHooks::Clear();
    card_.reset();
    pcscd_.Stop();
  }

  PrivatePcscd pcscd_;
  std::unique_ptr<ScriptedCard> card_;
  std::unique_ptr<PKCS11Base> token_;
};

// Another program that starts between our GET DATA and its GET RESPONSE waits until our
// chain is complete: its commands never land inside the chain.
TEST_F(CardTransactionTest, ChainIsNotSplitByAnotherProgram) {
  std::thread other;
  Signal otherDone;
  bool started = false;
  PcscHooks::SetAfterTransmit([&] {
    if (started) return;
    started = true;
    other = std::thread([&] {
      OtherProgram program(kReader);
      if (program.Begin() == SCARD_S_SUCCESS) {
        program.Send(kOtherCommand);
        program.End();
      }
      otherDone.Raise();
    });
    // Long enough for the other program to get in if nothing holds the card; when the
    // card is held it simply waits and our chain goes on.
    otherDone.Wait(std::chrono::milliseconds(500));
  });

  EXPECT_EQ(GemaltoGetRetryCounter(token_.get(), 0), 3);
  ASSERT_TRUE(started);
  other.join();
  EXPECT_EQ(card_->Commands(), std::vector<Bytes>({kGetDataPin, kGetResponse, kOtherCommand}));
}

// A program that takes the card after we connected keeps it for its whole transaction:
// our commands wait for its end and then run complete.
TEST_F(CardTransactionTest, WaitsForAnotherProgramsTransaction) {
  std::unique_ptr<OtherProgram> holder;
  std::thread releaser;
  Signal oursSent;
  PcscHooks::SetAfterConnect([&] {
    if (holder) return;
    holder = std::make_unique<OtherProgram>(kReader);
    EXPECT_EQ(holder->Begin(), SCARD_S_SUCCESS);
    EXPECT_EQ(holder->Send(kOtherCommand), SCARD_S_SUCCESS);
    releaser = std::thread([&] {
      // Ours could get a command through here if nothing made it wait for the holder.
      oursSent.Wait(std::chrono::milliseconds(500));
      EXPECT_EQ(holder->Send(kOtherCommand2), SCARD_S_SUCCESS);
      EXPECT_EQ(holder->End(), SCARD_S_SUCCESS);
    });
  });
  PcscHooks::SetAfterTransmit([&] { oursSent.Raise(); });

  EXPECT_EQ(GemaltoGetRetryCounter(token_.get(), 0), 3);
  ASSERT_TRUE(releaser.joinable());
  releaser.join();
  EXPECT_EQ(card_->Commands(),
            std::vector<Bytes>({kOtherCommand, kOtherCommand2, kGetDataPin, kGetResponse}));
}

// A program that holds the card and never lets go, taken before our connect (pcscd then
// holds the connect) or between our connect and our transaction: the command gives up
// after a few seconds with its failure, and nothing of ours (no PIN) reaches the card.
TEST_F(CardTransactionTest, GivesUpOnAProgramThatNeverLetsGo) {
  const Bytes change = HexBytes("00 24 00 81 08  31 32 33 34  35 36 37 38");
  card_->Answer(change, {kOk});
  const size_t before = card_->Commands().size();
  for (bool beforeOurConnect : {true, false}) {
    std::unique_ptr<OtherProgram> holder;
    auto hold = [&] {
      holder = std::make_unique<OtherProgram>(kReader);
      EXPECT_EQ(holder->Begin(), SCARD_S_SUCCESS);
    };
    if (beforeOurConnect) hold();
    else PcscHooks::SetAfterConnect([&] { if (!holder) hold(); });
    const auto start = std::chrono::steady_clock::now();
    auto result = std::async(std::launch::async, [&] {
      return beforeOurConnect ? GemaltoGetRetryCounter(token_.get(), 0)
                              : static_cast<int>(GemaltoChangePin(kReader, 4, 4, MakePin("1234"), MakePin("5678")));
    });
    if (result.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
      holder->End();  // lets the stuck call finish, so that the test can end
      ADD_FAILURE() << "still waiting for the card after 20 s";
    }
    EXPECT_EQ(result.get(), beforeOurConnect ? -1 : 0);
    // The fault waits for ever; the deadlines are a few seconds.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(12));
    ASSERT_TRUE(holder);
    EXPECT_EQ(holder->End(), SCARD_S_SUCCESS);
    PcscHooks::Clear();
  }
  EXPECT_EQ(card_->Commands().size(), before);
}

// The deadline of holding the card is kept by one watchdog for the program: a thread per
// transaction cost more than the commands. The threads alive at each of our PC/SC calls
// over many commands stay those of the first.
TEST_F(CardTransactionTest, TransactionsStartNoThreadOfTheirOwn) {
  auto threads = [] {
    std::set<std::string> tids;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task", ec))
      tids.insert(entry.path().filename().string());
    return tids;
  };
  std::set<std::string> first, later;
  bool firstCall = true;
  PcscHooks::SetBeforeCardCall([&] {
    // Threads alive across a pause: the short-lived helpers of the connect, which may still
    // be ending, do not count.
    const std::set<std::string> now = threads();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    const std::set<std::string> after = threads();
    for (const std::string& tid : now)
      if (after.count(tid)) (firstCall ? first : later).insert(tid);
    firstCall = false;
  });
  constexpr int kCommands = 10;
  for (int i = 0; i < kCommands; ++i) ASSERT_EQ(GemaltoGetRetryCounter(token_.get(), 0), 3);
  ASSERT_EQ(PcscHooks::Count("SCardBeginTransaction"), kCommands);
  std::vector<std::string> added;
  std::set_difference(later.begin(), later.end(), first.begin(), first.end(), std::back_inserter(added));
  // A thread per transaction shows kCommands - 1 new ones.
  EXPECT_LT(added.size(), 3u) << added.size() << " threads appeared";
}

// A card that another program reset after we connected is connected again once, and the
// whole sequence runs again; a card reset once more is given up.
TEST_F(CardTransactionTest, ResetCardIsReconnectedOnce) {
  const Bytes change = HexBytes("00 24 00 81 08  31 32 33 34  35 36 37 38");
  card_->Answer(change, {kOk});
  struct Case {
    const char* name;
    int resets;
    bool retryCounter;  // else a PIN change
    int expected;       // tries, or 1/0 for the change
    size_t commands;
  };
  const Case cases[] = {
      {"retry counter, one reset", 1, true, 3, 2},
      {"retry counter, reset again", 2, true, -1, 0},
      {"PIN change, one reset", 1, false, 1, 1},
      {"PIN change, reset again", 2, false, 0, 0},
  };
  for (const Case& c : cases) {
    PcscHooks::Clear();
    int resets = c.resets;
    bool resetOk = true;
    PcscHooks::SetAfterConnect([&] {
      if (resets > 0 && resets--) resetOk = resetOk && PcscHooks::ResetCardFromAnotherConnection(kReader);
    });
    const size_t before = card_->Commands().size();
    const int result = c.retryCounter
                           ? GemaltoGetRetryCounter(token_.get(), 0)
                           : GemaltoChangePin(kReader, 4, 4, MakePin("1234"), MakePin("5678"));
    EXPECT_TRUE(resetOk) << c.name;
    EXPECT_EQ(resets, 0) << c.name;
    EXPECT_EQ(result, c.expected) << c.name;
    EXPECT_EQ(PcscHooks::Count("SCardReconnect"), 1) << c.name;
    EXPECT_EQ(card_->Commands().size() - before, c.commands) << c.name;
  }
}

}  // namespace
