// What the contents page and its commands need from the main window, and what they ask
// of the window system beyond message boxes. The main window implements the host; the
// page implements the view; tests implement both over a SoftHSM2 token.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "CardTask.h"
#include "CardHold.h"
#include "PKCS11Base.h"
#include "TokenInfo.h"
#include "TokenObjects.h"
#include "platform/CertStore.h"

class IContentsHost : public ICardTaskRunner {
 public:
  virtual ~IContentsHost() = default;
  // A hold on the connected card for as long as a command uses it (see CardSession.h):
  // token, information and objects stay valid meanwhile; `CardLeft` says the card went.
  virtual CardHold HoldCard() = 0;
  // The connected card's token object; null without a card.
  virtual PKCS11Base* Token() = 0;
  // The cached token information and objects; with refresh they are re-read from the
  // card first. Null when there is nothing to show.
  virtual TokenInfo* GetTokenInfo(bool refresh) = 0;
  virtual TokenObjects* GetTokenObjects(bool refresh) = 0;
  // Reads the token information and objects again into the caches, then runs `done` on
  // the interface thread. The window reads on a card task (the caches are replaced when
  // it is over, so a holder calls this only once it is done with their records); without
  // a window it reads at once.
  virtual void RereadCard(std::function<void()> done) {
    GetTokenInfo(true);
    GetTokenObjects(true);
    if (done) done();
  }
  virtual std::string ReaderName() = 0;
  virtual std::string CardName() = 0;
  // The user's personal store ("MY"), kept open by the main window.
  virtual Platform::CertStore* PersonalStore() = 0;
  // The registrar of card insertion (it guards its per-reader list against the monitor
  // thread): takes out what was registered for the reader, and registers afresh.
  virtual void UnregisterCertificates(const std::string& reader) = 0;
  virtual void RegisterCertificates(const std::string& reader, const std::string& cryptoProvider,
                                    const std::string& keyStorageProvider, PKCS11Base* token,
                                    const TokenObjects* objects) = 0;
  // Whether the card monitor still sees a card in the reader (any thread). A card that
  // left while its certificates were registered again must end unregistered.
  virtual bool CardPresent(const std::string& /*reader*/) { return true; }
  // Runs `then` on the interface thread once the window has connected the reader's card
  // again after a card or reader notice, and its own card work is over. Without a window
  // the card is never connected again: nothing runs.
  virtual void WhenCardConnected(std::function<void()> /*then*/) {}
  // Like `RunCardTask` for work that borrows nothing of the window's card (the store and
  // the registrar only): it holds no card, so the card's notices meanwhile are applied at
  // once and nothing holds a card that is not there.
  virtual void RunStoreTask(std::function<void()> work, std::function<void()> done) {
    work();
    done();
  }
};

class IContentsView {
 public:
  virtual ~IContentsView() = default;
  // Rebuilds the tree, with refresh after re-reading the card.
  virtual void RefreshTree(bool refresh) = 0;
  // The wait cursor.
  virtual void SetBusy(bool busy) = 0;
  // The page's commands are refused while off-thread work on the card is under way.
  virtual void SetCommandsEnabled(bool /*enabled*/) {}
  // A file to read a certificate from; nothing when cancelled.
  virtual std::optional<std::string> ChooseCertificateFile() = 0;
  // A folder to copy into; nothing when cancelled.
  virtual std::optional<std::string> ChooseFolder() = 0;
  // Shows the folder in the desktop's file manager.
  virtual void OpenFolder(const std::string& path) = 0;
  // Shows a certificate; false when it cannot be shown.
  virtual bool ShowCertificate(const std::vector<uint8_t>& der) = 0;
};

// After a command changed the card: the card read again (on a card task in the window),
// then the tree rebuilt from the new records and `then` run, on the interface thread.
inline void RereadCardIntoTree(IContentsHost& host, IContentsView& view, std::function<void()> then = {}) {
  host.RereadCard([&view, then = std::move(then)] {
    view.RefreshTree(false);
    if (then) then();
  });
}

// The command's controls and the wait cursor while its card task runs: off when the
// task starts, back in its follow-up.
inline void CommandTaskBegins(IContentsView& view) {
  view.SetCommandsEnabled(false);
  view.SetBusy(true);
}
inline void CommandTaskEnds(IContentsView& view) {
  view.SetBusy(false);
  view.SetCommandsEnabled(true);
}

// Begins the wait cursor for the scope's length.
class BusyScope {
 public:
  explicit BusyScope(IContentsView& view) : view_(view) { view_.SetBusy(true); }
  ~BusyScope() { view_.SetBusy(false); }
  BusyScope(const BusyScope&) = delete;
  BusyScope& operator=(const BusyScope&) = delete;

 private:
  IContentsView& view_;
};
