// Our stand-in for the card maker's reader-prompt library. It hands out a handle per
// message set; loading one into a reader succeeds without sending anything, since the
// PIN-pad readers here show their own prompts.
#include <PCSC/winscard.h>

#include <cstdint>

#include "platform/PinPad.h"

namespace {

struct ReaderMessages {
  Platform::ReaderMessageSet set;
};

const ReaderMessages kGeneral{Platform::ReaderMessageSet::General};
const ReaderMessages kUnblock{Platform::ReaderMessageSet::Unblock};

}  // namespace

extern "C" {

// The readers here keep their own texts, so every language gets the same handles.
__attribute__((visibility("default"))) void* GetLanguageDependentReaderMessages(
    const char* language, uint32_t set) {
  if (!language) return nullptr;
  switch (static_cast<Platform::ReaderMessageSet>(set)) {
    case Platform::ReaderMessageSet::General: return const_cast<ReaderMessages*>(&kGeneral);
    case Platform::ReaderMessageSet::Unblock: return const_cast<ReaderMessages*>(&kUnblock);
  }
  return nullptr;
}

__attribute__((visibility("default"))) long LoadMessagesIntoReader(SCARDHANDLE /*card*/,
                                                                   void* messages) {
  return messages ? SCARD_S_SUCCESS : SCARD_E_INVALID_PARAMETER;
}

}  // extern "C"
