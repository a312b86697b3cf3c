#include "Pcsc.h"

#include <algorithm>
#include <cstring>

#include "platform/PcscDeadline.h"

namespace {

class SystemPcscImpl : public IPcsc {
 public:
  LONG EstablishContext(SCARDCONTEXT* context, const std::atomic<bool>& stopping) override {
    return Platform::EstablishContextWithin(SCARD_SCOPE_USER, context, Platform::kPcscContextDeadline, &stopping);
  }
  LONG ReleaseContext(SCARDCONTEXT context) override { return SCardReleaseContext(context); }

  LONG ListReaders(SCARDCONTEXT context, std::vector<std::string>& readers) override {
    DWORD length = 0;
    LONG rv = SCardListReaders(context, nullptr, nullptr, &length);
    if (rv != SCARD_S_SUCCESS) return rv;
    std::vector<char> buffer(length + 1, '\0');
    rv = SCardListReaders(context, nullptr, buffer.data(), &length);
    if (rv != SCARD_S_SUCCESS) return rv;
    for (const char* p = buffer.data(); *p; p += std::strlen(p) + 1) readers.emplace_back(p);
    return rv;
  }

  LONG GetStatusChange(SCARDCONTEXT context, DWORD timeoutMs, std::vector<ReaderStateEntry>& states) override {
    std::vector<SCARD_READERSTATE> raw(states.size());
    for (size_t i = 0; i < states.size(); ++i) {
      raw[i] = SCARD_READERSTATE{};
      raw[i].szReader = states[i].reader.c_str();
      raw[i].dwCurrentState = states[i].currentState;
    }
    LONG rv = SCardGetStatusChange(context, timeoutMs, raw.data(), static_cast<DWORD>(raw.size()));
    if (rv != SCARD_S_SUCCESS) return rv;
    for (size_t i = 0; i < states.size(); ++i) {
      states[i].eventState = raw[i].dwEventState;
      DWORD length = std::min<DWORD>(raw[i].cbAtr, sizeof raw[i].rgbAtr);
      states[i].atr.assign(raw[i].rgbAtr, raw[i].rgbAtr + length);
    }
    return rv;
  }

  LONG Cancel(SCARDCONTEXT context) override { return SCardCancel(context); }

  LONG Connect(SCARDCONTEXT context, const std::string& reader, DWORD shareMode, DWORD protocols,
               SCARDHANDLE* card, DWORD* activeProtocol) override {
    return SCardConnect(context, reader.c_str(), shareMode, protocols, card, activeProtocol);
  }

  LONG Disconnect(SCARDHANDLE card, DWORD disposition) override { return SCardDisconnect(card, disposition); }
};

}  // namespace

IPcsc& SystemPcsc() {
  static SystemPcscImpl pcsc;
  return pcsc;
}
