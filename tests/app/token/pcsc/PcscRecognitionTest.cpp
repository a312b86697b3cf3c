// Reader numbering and card naming against a private pcscd with the virtual reader, and
// the rig's own promises (private, quick to start, nothing left behind).
#include <gtest/gtest.h>

#include <PCSC/winscard.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <optional>
#include <thread>

#include "CardDatabaseFiles.h"
#include "CardRecognition.h"
#include "PcscRig.h"

namespace {

using TvrTest::Bytes;
using TvrTest::HexBytes;
using TvrTest::PrivatePcscd;
using TvrTest::ScriptedCard;

constexpr const char* kActivClient =
    "ActivIdentity ActivClient (Gemalto TOP IM GX4 72K (FIPS) Standard Rev B)";
// A T=0 answer-to-reset with the ten historical bytes "TAVRENIC01".
constexpr const char* kCardAtr = "3B 0A 54 41 56 52 45 4E 49 43 30 31";

#define SKIP_WITHOUT_PCSC_RIG()                                                   \
  do {                                                                            \
    if (const std::string reason = TvrTest::PcscRigUnavailableReason(); !reason.empty()) \
      GTEST_SKIP() << reason;                                                     \
  } while (0)

class PcscTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TvrTest::PcscSocketPath();  // before any PC/SC call: never the machine's pcscd
    SKIP_WITHOUT_PCSC_RIG();
    try {
      pcscd_.Start();
    } catch (const TvrTest::PcscRigUnavailable& e) {
      GTEST_SKIP() << e.what();
    }
    RecordProperty("pcscd_start_us", static_cast<int>(pcscd_.StartTime().count()));
  }

  // Inserts a scripted card into reader index and returns the ATR PC/SC reports.
  Bytes InsertCard(int index, const std::string& atrHex) {
    cards_.push_back(std::make_unique<ScriptedCard>(pcscd_, index, HexBytes(atrHex)));
    cards_.back()->Insert();
    const auto atr = TvrTest::WaitForCard(PrivatePcscd::ReaderName(index), true);
    EXPECT_TRUE(atr.has_value()) << pcscd_.Log();
    return atr.value_or(Bytes{});
  }

  PrivatePcscd pcscd_;
  std::vector<std::unique_ptr<ScriptedCard>> cards_;  // removed before the daemon stops
};

TEST_F(PcscTest, ReaderNumbersArePositionsAmongTheReaders) {
  const std::vector<std::pair<std::string, int>> cases = {
      {"Virtual PCD 00 00", 1},
      {"Virtual PCD 00 01", 2},
      {"Virtual PCD 00 02", 0},     // not connected
      {"Virtual PCD 00", 0},        // whole names only
      {"virtual pcd 00 01", 0},
      {"", 0},
  };
  for (const auto& [reader, number] : cases) EXPECT_EQ(GetReaderNumber(reader), number) << reader;
  pcscd_.Stop();
  EXPECT_EQ(GetReaderNumber("Virtual PCD 00 01"), 0);
}

TEST(PcscNoServiceTest, ReaderNumberIsZeroWithoutPcscd) {
  // The process's PC/SC socket belongs to the rig, and no private daemon runs. (The rig
  // names the socket on its first call, so that call comes first.)
  const std::string socket = TvrTest::PcscSocketPath();
  ASSERT_EQ(std::string(std::getenv("PCSCLITE_CSOCK_NAME") ? std::getenv("PCSCLITE_CSOCK_NAME") : ""), socket);
  ASSERT_FALSE(std::filesystem::exists(socket));
  EXPECT_EQ(GetReaderNumber("Virtual PCD 00 01"), 0);
}

TEST_F(PcscTest, CardNameOfAScriptedCardsAtr) {
  const Bytes atr = InsertCard(1, kCardAtr);
  ASSERT_EQ(atr, HexBytes(kCardAtr));

  const std::string exact = std::string("ATR = ") + kCardAtr + "\n";
  const std::string masked =
      "ATR = 3B 0A 54 41 56 52 45 4E 49 43 00 00 / FF FF FF FF FF FF FF FF FF FF 00 00\n";
  struct Case {
    const char* what;
    std::string database;
    std::string name;
  };
  const std::vector<Case> cases = {
      {"both names", "[Classic TPC]\n" + exact + "[" + kActivClient + "]\n" + exact, "Classic TPC"},
      {"ActivClient only", "[" + std::string(kActivClient) + "]\n" + exact, kActivClient},
      {"masked", "[IDPrime MD T=0]\n" + masked, "IDPrime MD T=0"},
      {"masked and ActivClient",
       "[" + std::string(kActivClient) + "]\n" + exact + "[Oberthur Technologies IAS-ECC Device]\n" +
           masked,
       "Oberthur Technologies IAS-ECC Device"},
      {"another card", "[Classic TPC]\nATR = 3B 0A 54 41 56 52 45 4E 49 43 30 32\n", ""},
      {"none", "", ""},
  };
  for (const Case& c : cases) {
    CardDatabaseFiles files;
    files.WriteMachine(c.database);
    EXPECT_EQ(GetCardNameForAtr(atr), c.name) << c.what;
  }

  // The user's file adds to the machine's.
  CardDatabaseFiles files;
  files.WriteMachine("[" + std::string(kActivClient) + "]\n" + exact);
  files.WriteUser("[Classic TPC]\n" + masked);
  EXPECT_EQ(GetCardNameForAtr(atr), "Classic TPC");
  const auto names = ListCardNamesForAtr(atr);
  EXPECT_EQ(std::vector<std::string>(names.begin(), names.end()),
            (std::vector<std::string>{kActivClient, "Classic TPC"}));
}

TEST_F(PcscTest, ScriptedCardAnswersFromItsTable) {
  const Bytes atr = InsertCard(0, "3B 02 14 50");
  EXPECT_EQ(atr, HexBytes("3B 02 14 50"));
  ScriptedCard& card = *cards_.back();
  const Bytes verify = HexBytes("00 20 00 81 04 31 32 33 34");
  card.Answer(verify, {HexBytes("63 C2"), HexBytes("63 C1")});
  card.Answer(HexBytes("00 CA 01 00 00"), {HexBytes("61 04")});
  card.Answer(HexBytes("00 C0 00 00 04"), {HexBytes("DE AD BE EF 90 00")});

  SCARDCONTEXT context = 0;
  ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context), SCARD_S_SUCCESS);
  SCARDHANDLE handle = 0;
  DWORD protocol = 0;
  ASSERT_EQ(SCardConnect(context, PrivatePcscd::ReaderName(0).c_str(), SCARD_SHARE_SHARED,
                         SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &handle, &protocol),
            SCARD_S_SUCCESS);
  const auto transmit = [&](const Bytes& command) {
    uint8_t response[258];
    DWORD length = sizeof response;
    const SCARD_IO_REQUEST* pci = protocol == SCARD_PROTOCOL_T1 ? SCARD_PCI_T1 : SCARD_PCI_T0;
    EXPECT_EQ(SCardTransmit(handle, pci, command.data(), command.size(), nullptr, response, &length),
              SCARD_S_SUCCESS);
    return Bytes(response, response + length);
  };
  EXPECT_EQ(transmit(verify), HexBytes("63 C2"));
  EXPECT_EQ(transmit(verify), HexBytes("63 C1"));
  EXPECT_EQ(transmit(verify), HexBytes("63 C1"));  // the last answer repeats
  EXPECT_EQ(transmit(HexBytes("00 A4 04 00 00")), HexBytes("6D 00"));
  EXPECT_EQ(transmit(HexBytes("00 CA 01 00 00")), HexBytes("61 04"));
  EXPECT_EQ(transmit(HexBytes("00 C0 00 00 04")), HexBytes("DE AD BE EF 90 00"));
  SCardDisconnect(handle, SCARD_LEAVE_CARD);
  SCardReleaseContext(context);
  EXPECT_EQ(card.Commands().size(), 6u);
  EXPECT_EQ(card.Commands().front(), verify);

  card.Remove();
  EXPECT_FALSE(card.Inserted());
  EXPECT_EQ(TvrTest::WaitForCard(PrivatePcscd::ReaderName(0), false), Bytes{});
  card.Insert();  // the same card again
  EXPECT_TRUE(card.Inserted());
  EXPECT_EQ(TvrTest::WaitForCard(PrivatePcscd::ReaderName(0), true), HexBytes("3B 02 14 50"));
}

std::string NamespaceOf(const std::string& pid, const char* kind) {
  return std::filesystem::read_symlink("/proc/" + pid + "/ns/" + kind).string();
}

TEST(PcscRigTest, DaemonIsPrivate) {
  TvrTest::PcscSocketPath();
  SKIP_WITHOUT_PCSC_RIG();
  const bool hadRunPcscd = std::filesystem::exists("/run/pcscd");
  PrivatePcscd pcscd;
  try {
    pcscd.Start();
  } catch (const TvrTest::PcscRigUnavailable& e) {
    GTEST_SKIP() << e.what();
  }
  const std::string pid = std::to_string(pcscd.Pid());
  EXPECT_NE(NamespaceOf(pid, "mnt"), NamespaceOf("self", "mnt"));
  EXPECT_NE(NamespaceOf(pid, "net"), NamespaceOf("self", "net"));
  EXPECT_EQ(std::filesystem::exists("/run/pcscd"), hadRunPcscd);
  EXPECT_TRUE(std::filesystem::exists(TvrTest::PcscSocketPath()));
  // The virtual reader's port is open only inside the daemon's namespace.
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(PrivatePcscd::kVpcdPort);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_NE(::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ::close(fd);
  std::printf("private pcscd ready after %lld us\n",
              static_cast<long long>(pcscd.StartTime().count()));
  pcscd.Stop();
  EXPECT_FALSE(std::filesystem::exists("/proc/" + pid));
}

TEST(PcscRigTest, DaemonDiesWithATestProcessThatDidNotStopIt) {
  TvrTest::PcscSocketPath();
  SKIP_WITHOUT_PCSC_RIG();
  // Orphans come to this process, so the daemon's end can be observed here.
  ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  int report[2];
  ASSERT_EQ(::pipe(report), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(report[0]);
    pid_t daemon = -1;
    try {
      static PrivatePcscd pcscd;  // never destroyed: the process dies first
      pcscd.Start();
      daemon = pcscd.Pid();
    } catch (...) {
    }
    (void)!::write(report[1], &daemon, sizeof daemon);
    ::_exit(1);  // as a crashing test would: no stop, no clean-up
  }
  ::close(report[1]);
  pid_t daemon = -1;
  ASSERT_EQ(::read(report[0], &daemon, sizeof daemon), static_cast<ssize_t>(sizeof daemon));
  ::close(report[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_GT(daemon, 0) << "the child could not start the rig";

  // The daemon is killed by the parent-death signal; wait at most 5 s for it.
  pid_t got = 0;
  for (int i = 0; i < 500 && got == 0; ++i) {
    got = ::waitpid(daemon, &status, WNOHANG);
    if (got == 0) ::usleep(10000);
  }
  if (got == 0) ::kill(daemon, SIGKILL), ::waitpid(daemon, &status, 0);  // our own orphan
  ASSERT_EQ(got, daemon);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
}

}  // namespace
