// The card maker's PIN-pad library ("tvcardpx.dll") and reader-prompt library
// ("gpcpprm.dll") as the program calls them. Our own stand-ins of both are built from
// platform/pinpad: the PIN pad works through the PC/SC v2 part 10 "modify PIN direct"
// feature of the reader, and the readers here show their own prompts. The libraries are
// looked up at run time, so a machine without them simply has no PIN-pad path.
#pragma once

#include <PCSC/winscard.h>

#include <array>
#include <cstddef>
#include <cstdint>

namespace Platform {

inline constexpr const char* kPinPadLibrary = "tvcardpx.dll";
inline constexpr const char* kReaderPromptLibrary = "gpcpprm.dll";

inline constexpr const char* kPinPadModifyExport = "TVRCCardSPEModify";
inline constexpr const char* kReaderMessagesExport = "GetLanguageDependentReaderMessages";
inline constexpr const char* kLoadReaderMessagesExport = "LoadMessagesIntoReader";

// The number of prompt texts handed to the PIN pad (the program's string table holds them,
// in the language of its resources), in this order: title, the three value labels, the
// three prompts, success, time-out, cancelled, values differ, bad parameter, wrong first
// value.
inline constexpr size_t kPinPadPromptCount = 13;

// Reader message sets: the general one (also used for changing a PIN) and the one for
// unblocking.
enum class ReaderMessageSet : uint32_t { General = 1, Unblock = 2 };

// The 10-byte parameter block of TVRCCardSPEModify, little-endian: u32 mode (2), u8 offset
// of the first value's block, u8 offset of the new value's block (both from the start of
// the command data), u16 minimum and u16 maximum PIN length.
struct PinPadParameters {
  uint32_t mode = 2;
  uint8_t firstOffset = 0;
  uint8_t newOffset = 0;
  uint16_t minLength = 0;
  uint16_t maxLength = 0;
};
inline constexpr size_t kPinPadParameterSize = 10;
std::array<uint8_t, kPinPadParameterSize> EncodePinPadParameters(const PinPadParameters& p);
PinPadParameters DecodePinPadParameters(const uint8_t* block);

extern "C" {
// Lets the reader's PIN pad fill in the two value blocks of the command template and sends
// it. Non-zero on success, with the card's two status bytes in status.
typedef int (*TVRCCardSPEModifyFn)(SCARDHANDLE card, uint32_t commandLength,
                                   const uint8_t* command, uint32_t mode, uint8_t* status,
                                   uint32_t* reserved, const uint8_t* parameters,
                                   const char* const* prompts);
// A handle of the message set for the language; null when there is none.
typedef void* (*GetLanguageDependentReaderMessagesFn)(const char* language, uint32_t set);
// Puts the message set into the reader; 0 on success.
typedef long (*LoadMessagesIntoReaderFn)(SCARDHANDLE card, void* messages);
}

}  // namespace Platform
