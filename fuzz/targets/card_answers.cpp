// Answers of the card to the commands the program sends itself (PIN change, unblock and
// the retry counters' GET DATA with its GET RESPONSE chain).
//
// This program stands in for pcsc-lite: its SCard* functions take the place of the
// library's at link time, hand out the fuzzer's answers one per SCardTransmit and now and
// then report the card reset by another program. The deadline wrappers of the context and
// the connect are replaced too: the real ones probe the service's socket and start a
// helper thread per call, which would find no service here and cost most of the time.
//
// Input: one byte picks the command, one byte the PIN block length; then answers, each a
// length byte and that many bytes. Length bytes 0xF0..0xFD stand for a PC/SC failure of
// the call instead (0xF0: the card was reset); 0xFE is followed by a two-byte length, for
// answers longer than the buffer.
#include <PCSC/winscard.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "CardPinCommands.h"
#include "platform/PcscDeadline.h"
#include "CardTables.h"
#include "FuzzSupport.h"
#include "PKCS11Versions.h"
#include "VendorPin.h"

namespace {

TvrFuzz::Input* g_answers = nullptr;
constexpr SCARDHANDLE kCard = 0x5CA4D;
constexpr SCARDCONTEXT kContext = 0xC0274;

// A replay whose inputs never reach the card tests nothing: it fails instead.
struct ReachCheck {
  size_t inputs = 0;
  size_t transmits = 0;
  ~ReachCheck() {
    if (inputs > 0 && transmits == 0) {
      std::fprintf(stderr, "fuzz check failed: no input reached the card\n");
      std::_Exit(1);
    }
  }
} g_reach;

}  // namespace

namespace Platform {

LONG EstablishContextWithin(DWORD scope, SCARDCONTEXT* context, std::chrono::milliseconds,
                            const std::atomic<bool>*) {
  return SCardEstablishContext(scope, nullptr, nullptr, context);
}

LONG ConnectWithin(SCARDCONTEXT context, const std::string& reader, DWORD shareMode, DWORD protocols,
                   SCARDHANDLE* card, DWORD* activeProtocol, std::chrono::milliseconds) {
  return SCardConnect(context, reader.c_str(), shareMode, protocols, card, activeProtocol);
}

}  // namespace Platform

extern "C" {

LONG SCardEstablishContext(DWORD, LPCVOID, LPCVOID, LPSCARDCONTEXT context) {
  *context = kContext;
  return SCARD_S_SUCCESS;
}
LONG SCardReleaseContext(SCARDCONTEXT) { return SCARD_S_SUCCESS; }
LONG SCardConnect(SCARDCONTEXT, LPCSTR, DWORD, DWORD, LPSCARDHANDLE card, LPDWORD protocol) {
  *card = kCard;
  *protocol = SCARD_PROTOCOL_T1;
  return SCARD_S_SUCCESS;
}
LONG SCardReconnect(SCARDHANDLE, DWORD, DWORD, DWORD, LPDWORD protocol) {
  *protocol = SCARD_PROTOCOL_T0;
  return SCARD_S_SUCCESS;
}
LONG SCardDisconnect(SCARDHANDLE, DWORD) { return SCARD_S_SUCCESS; }
LONG SCardBeginTransaction(SCARDHANDLE) { return SCARD_S_SUCCESS; }
LONG SCardEndTransaction(SCARDHANDLE, DWORD) { return SCARD_S_SUCCESS; }

LONG SCardTransmit(SCARDHANDLE, const SCARD_IO_REQUEST*, LPCBYTE command, DWORD commandLength,
                   SCARD_IO_REQUEST*, LPBYTE response, LPDWORD responseLength) {
  // Every byte of the command is read, as the reader driver would.
  ++g_reach.transmits;
  volatile uint8_t sum = 0;
  for (DWORD i = 0; i < commandLength; ++i) sum = sum + command[i];
  TvrFuzz::Input& answers = *g_answers;
  if (answers.Size() == 0) return SCARD_E_NOT_TRANSACTED;
  size_t length = answers.Byte();
  if (length == 0xF0) return SCARD_W_RESET_CARD;
  if (length > 0xF0 && length < 0xFE) return SCARD_E_COMM_DATA_LOST;
  if (length == 0xFE) length = (static_cast<size_t>(answers.Byte()) << 8) | answers.Byte();
  const std::string answer = answers.Take(length);
  if (answer.size() > *responseLength) {
    *responseLength = static_cast<DWORD>(answer.size());
    return SCARD_E_INSUFFICIENT_BUFFER;
  }
  std::memcpy(response, answer.data(), answer.size());
  *responseLength = static_cast<DWORD>(answer.size());
  return SCARD_S_SUCCESS;
}

}  // extern "C"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::unique_ptr<PKCS11Base> token = [] {
    auto created = PKCS11V220::Create(&VendorModuleTable[1], nullptr);
    created->SetReaderName("Fuzz Reader 00 00");
    return created;
  }();
  TvrFuzz::Input input(data, size);
  ++g_reach.inputs;
  const uint8_t command = input.Byte();
  const uint16_t n = input.Byte();
  g_answers = &input;
  switch (command % 4) {
    case 0:
    case 1: {
      const int tries = GemaltoGetRetryCounter(token.get(), command % 2);
      TvrFuzz::Require(tries >= -1 && tries <= 15, "a retry count is -1 or 0..15");
      break;
    }
    case 2:
      (void)GemaltoChangePin("Fuzz Reader 00 00", 4, n, MakePin("1234"), MakePin("567890"));
      break;
    default:
      (void)GemaltoUnblockPin("Fuzz Reader 00 00", 4, n, MakePin("12345678"), MakePin("4321"));
      break;
  }
  g_answers = nullptr;
  return 0;
}
