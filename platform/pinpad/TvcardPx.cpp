// Our stand-in for the card maker's PIN-pad library. A PIN change or unblock command goes
// to the reader through the PC/SC v2 part 10 "modify PIN direct" feature, which every CCID
// PIN-pad reader offers: the reader asks for the current (or PUK) value and the new one
// twice, writes them into the two blocks of the command and sends it to the card. The
// reader shows its own prompts, so the texts handed in are not needed here.
#include <PCSC/reader.h>
#include <PCSC/winscard.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/PinPad.h"

namespace {

// A short command: header, Lc and at most 255 data bytes.
constexpr uint32_t kMaxCommandLength = 5 + 255;
constexpr size_t kHeaderLength = 5;

// The control code the reader gives for "modify PIN direct"; 0 when it has no PIN pad.
DWORD FindModifyPinControl(SCARDHANDLE card) {
  uint8_t features[256];
  DWORD length = 0;
  if (SCardControl(card, CM_IOCTL_GET_FEATURE_REQUEST, nullptr, 0, features, sizeof features,
                   &length) != SCARD_S_SUCCESS) {
    return 0;
  }
  length = std::min<DWORD>(length, sizeof features);
  // Tag, length, value: each value of this list is a big-endian control code.
  for (DWORD at = 0; at + 2 <= length;) {
    const uint8_t tag = features[at];
    const uint8_t size = features[at + 1];
    if (at + 2 + size > length) break;
    if (tag == FEATURE_MODIFY_PIN_DIRECT && size == 4) {
      return (static_cast<DWORD>(features[at + 2]) << 24) |
             (static_cast<DWORD>(features[at + 3]) << 16) |
             (static_cast<DWORD>(features[at + 4]) << 8) | features[at + 5];
    }
    at += 2 + size;
  }
  return 0;
}

// The modify structure for a command whose two value blocks begin at the parameter
// block's offsets (counted from the start of the command data).
std::vector<uint8_t> BuildModifyBlock(const Platform::PinPadParameters& p,
                                      const uint8_t* command, uint32_t commandLength) {
  std::vector<uint8_t> block(sizeof(PIN_MODIFY_STRUCTURE) + commandLength, 0);
  auto* modify = reinterpret_cast<PIN_MODIFY_STRUCTURE*>(block.data());
  modify->bTimerOut = 0;   // the reader's own time-outs
  modify->bTimerOut2 = 0;
  // Units are bytes, the values start right after Lc, left-justified ASCII.
  modify->bmFormatString = 0x82;
  // Block size in the low nibble; a larger block is left to the template's zero padding.
  modify->bmPINBlockString = p.maxLength <= 0x0F ? static_cast<uint8_t>(p.maxLength) : 0;
  modify->bmPINLengthFormat = 0;
  modify->bInsertionOffsetOld = p.firstOffset;
  modify->bInsertionOffsetNew = p.newOffset;
  const uint16_t minimum = std::min<uint16_t>(p.minLength, 0xFF);
  const uint16_t maximum = std::min<uint16_t>(p.maxLength, 0xFF);
  modify->wPINMaxExtraDigit = static_cast<uint16_t>((minimum << 8) | maximum);
  modify->bConfirmPIN = 0x03;                // ask for the current value, confirm the new one
  modify->bEntryValidationCondition = 0x02;  // entry ends with the validation key
  modify->bNumberMessage = 0x03;
  modify->wLangId = 0x040E;  // Hungarian
  modify->bMsgIndex1 = 0;
  modify->bMsgIndex2 = 1;
  modify->bMsgIndex3 = 2;
  modify->ulDataLength = commandLength;
  std::memcpy(block.data() + sizeof(PIN_MODIFY_STRUCTURE), command, commandLength);
  return block;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int TVRCCardSPEModify(
    SCARDHANDLE card, uint32_t commandLength, const uint8_t* command, uint32_t /*mode*/,
    uint8_t* status, uint32_t* reserved, const uint8_t* parameters,
    const char* const* /*prompts*/) {
  if (reserved) *reserved = 0;
  if (!command || !status || !parameters || commandLength <= kHeaderLength ||
      commandLength > kMaxCommandLength) {
    return 0;
  }
  const Platform::PinPadParameters p = Platform::DecodePinPadParameters(parameters);
  const uint32_t dataLength = commandLength - kHeaderLength;
  if (p.maxLength == 0 || p.minLength > p.maxLength ||
      p.firstOffset + p.maxLength > dataLength || p.newOffset + p.maxLength > dataLength) {
    return 0;
  }
  const DWORD control = FindModifyPinControl(card);
  if (control == 0) return 0;

  const std::vector<uint8_t> block = BuildModifyBlock(p, command, commandLength);
  uint8_t response[258];
  DWORD responseLength = 0;
  if (SCardControl(card, control, block.data(), block.size(), response, sizeof response,
                   &responseLength) != SCARD_S_SUCCESS ||
      responseLength < 2 || responseLength > sizeof response) {
    return 0;
  }
  status[0] = response[responseLength - 2];
  status[1] = response[responseLength - 1];
  return 1;
}
