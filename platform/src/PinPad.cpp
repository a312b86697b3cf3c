#include "platform/PinPad.h"

namespace Platform {

namespace {

// The change texts double as the general set: a reader shows them for every PIN entry
// that is not an unblocking.
constexpr PinPadPrompts kGeneral = {
    "PIN megváltoztatása",
    "Jelenlegi PIN kód:",
    "Új PIN kód:",
    "Új PIN kód (még egyszer):",
    "Kérem, adja meg a jelenlegi PIN kódot!",
    "Kérem, adja meg az új PIN kódot!",
    "Kérem, adja meg az új PIN kódot még egyszer!",
    "Sikeres PIN megváltoztatás!",
    "A művelet időtúllépés miatt megszakítva!",
    "A művelet felhasználói kérésre megszakítva!",
    "A megadott új PIN kódok nem egyeznek!",
    "Hibás paraméter!",
    "Hibás PIN kód!",
};

constexpr PinPadPrompts kUnblock = {
    "PIN feloldása",
    "PUK kód:",
    "Új PIN kód:",
    "Új PIN kód (még egyszer):",
    "Kérem, adja meg a jelenlegi PIN kódot!",
    "Kérem, adja meg az új PIN kódot!",
    "Kérem, adja meg az új PIN kódot még egyszer!",
    "Sikeres PIN feloldás!",
    "A művelet időtúllépés miatt megszakítva!",
    "A művelet felhasználói kérésre megszakítva!",
    "A megadott új PIN kódok nem egyeznek!",
    "Hibás paraméter!",
    "Hibás PUK kód!",
};

void Put16(uint8_t* at, uint16_t value) {
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(value >> 8);
}

uint16_t Get16(const uint8_t* at) { return static_cast<uint16_t>(at[0] | (at[1] << 8)); }

}  // namespace

const PinPadPrompts& ReaderPromptTexts(ReaderMessageSet set) {
  return set == ReaderMessageSet::Unblock ? kUnblock : kGeneral;
}

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
