#include "platform/PinPad.h"

namespace Platform {

namespace {

void Put16(uint8_t* at, uint16_t value) {
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(value >> 8);
}

uint16_t Get16(const uint8_t* at) { return static_cast<uint16_t>(at[0] | (at[1] << 8)); }

}  // namespace

std::array<uint8_t, kPinPadParameterSize> EncodePinPadParameters(const PinPadParameters& p) {
  std::array<uint8_t, kPinPadParameterSize> block{};
  for (int i = 0; i < 4; ++i) block[i] = static_cast<uint8_t>(p.mode >> (8 * i));
  block[4] = p.firstOffset;
  block[5] = p.newOffset;
  Put16(&block[6], p.minLength);
  Put16(&block[8], p.maxLength);
  return block;
}

PinPadParameters DecodePinPadParameters(const uint8_t* block) {
  PinPadParameters p;
  p.mode = static_cast<uint32_t>(block[0]) | (static_cast<uint32_t>(block[1]) << 8) |
           (static_cast<uint32_t>(block[2]) << 16) | (static_cast<uint32_t>(block[3]) << 24);
  p.firstOffset = block[4];
  p.newOffset = block[5];
  p.minLength = Get16(&block[6]);
  p.maxLength = Get16(&block[8]);
  return p;
}

}  // namespace Platform
