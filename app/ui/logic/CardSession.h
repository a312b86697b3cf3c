// The main window's hold on the selected card: the clone of the vendor's token object,
// its read-write session and the cached token information and objects that the pages
// read, and the log-in road. No widgets: the window shows the lists and the notices this
// class returns.
//
// What replaces the token or the caches (the card list's refresh, another slot, log-in,
// log-out, reading the card again) runs as `Work`: `BeginWork` takes the card out of the
// session, a worker runs the operation on it, `FinishWork` puts it back. In between the
// session has no card to give: `Token()` and the caches are null, `HoldCard()` holds
// nothing and `Working()` says why, so nothing on the interface thread can read what the
// worker replaces.
//
// Who owns the card. The session alone owns the token clone and the caches; everything
// else borrows them for as long as it holds a `CardHold` taken from `HoldCard()` (the
// hosts of the pages hand them out). A page command takes one before it reads the token
// and keeps it until its last card call, across its dialogs, its worker and its task
// list; the log-in PIN dialog and the PIN page do the same. While any hold is alive the
// window does not touch the session: card and reader notices, the end of the session and
// the destruction of the window wait, the lists are disabled, and the waiting notices are
// applied once the last hold has gone. A notice that says the held card left or changed
// marks the keeper; from then on every hold answers `CardLeft()`, and the holder, which
// checks it after each dialog and before each card call, stops with "the card changed"
// instead of going on. So a raw token or object pointer stays valid for as long as its
// hold, and a PIN typed for one card never reaches another.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "CardHold.h"
#include "PKCS11Base.h"
#include "SecureString.h"
#include "VendorTokens.h"

class CardSession {
 public:
  struct CardEntry {
    std::string text;
    uint32_t slotIndex = 0;  // the card list's item data
  };
  // What the reader's card gives the lists and the log-in button.
  struct View {
    std::vector<CardEntry> cards;
    bool cardListEnabled = false;
    bool loginEnabled = false;
  };
  // A message for the user, with the message-box flags.
  struct Notice {
    std::string text;
    unsigned flags = 0;
  };
  // What the PIN dialog of the log-in needs; absent when the PIN pad takes the PIN.
  struct PinRequest {
    std::string title;
    int minimum = 0;
    int maximum = 0;
  };

  // The card's part that the work replaces.
  struct Card {
    std::unique_ptr<PKCS11Base> token;
    std::unique_ptr<TokenInfo> info;
    std::unique_ptr<TokenObjects> objects;
    View view;
  };

  // The session's card while a worker has it: one operation at a time, on any thread.
  class Work {
   public:
    // Drops the old clone (logged out, session closed) and connects the card in the
    // reader: the card list's entries, the token information and objects of its first slot.
    std::optional<Notice> RefreshCardList(const std::string& reader, const std::string& cardName);
    // Another slot of the same card (the card list's item data).
    std::optional<Notice> ConnectSelectedCard(const std::string& reader, uint32_t slotIndex);
    // Both read the caches again afterwards.
    std::optional<Notice> Login(const TvrCommon::SecureString* pin);
    std::optional<Notice> Logout();
    // The token information and objects read again.
    void ReadCaches();

   private:
    friend class CardSession;
    void DropToken();
    void Connect();
    const TokenRefMap* tokens_ = nullptr;
    Card card_;
  };

  explicit CardSession(TokenRefMap tokens);
  ~CardSession();
  CardSession(const CardSession&) = delete;
  CardSession& operator=(const CardSession&) = delete;

  // Interface thread: the card goes to the returned work until `FinishWork` takes it back.
  std::unique_ptr<Work> BeginWork();
  void FinishWork(Work& work);
  bool Working() const { return working_; }

  // The work's operations run at once on the calling thread (tests, tools without a
  // window; the window runs them on a worker).
  std::optional<Notice> RefreshCardList(const std::string& reader, const std::string& cardName);
  std::optional<Notice> ConnectSelectedCard(const std::string& reader, uint32_t slotIndex);

  // The log-in road: Logout when logged in, otherwise the PIN request (none with a
  // protected authentication path) and then Login. Both refresh the caches afterwards.
  bool IsLoggedIn() const;
  std::optional<PinRequest> LoginPinRequest() const;
  std::optional<Notice> Login(const TvrCommon::SecureString* pin);
  std::optional<Notice> Logout();

  // Logs out, closes the session and drops the clone and the caches.
  void Close();

  // The holds on the card; the window takes none of the calls above while one is alive.
  CardKeeper& Keeper() { return keeper_; }
  // Holds nothing while the work has the card.
  CardHold HoldCard() { return working_ ? CardHold() : keeper_.HoldCard(); }

  PKCS11Base* Token() const { return card_.token.get(); }
  // Without refresh the cached record (may be null); with refresh read afresh from the
  // token (null and the cache dropped without a token).
  TokenInfo* GetTokenInfo(bool refresh);
  TokenObjects* GetTokenObjects(bool refresh);
  // A record read from the token by a card task replaces the cached one.
  void KeepTokenInfo(std::unique_ptr<TokenInfo> info);
  const View& GetView() const { return card_.view; }
  std::string TypeKey() const;

 private:
  template <typename F>
  auto RunNow(F f);

  TokenRefMap tokens_;
  CardKeeper keeper_;
  Card card_;
  bool working_ = false;
};
