// The contents page's "renew certificates" command: searches the configured source for
// newer certificates of the card's keys, lets the user pair them in the renewal dialog,
// and, when the card changed, rebuilds the tree and registers the card again.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "CertificateSources.h"
#include "ContentsHost.h"
#include "RenewalPairing.h"
#include "UserPort.h"

class IRenewalView {
 public:
  virtual ~IRenewalView() = default;
  // The ZIP archive to search; nothing when cancelled.
  virtual std::optional<std::string> ChooseZipFile() = 0;
  // The renewal dialog over the candidates; true when it ended with OK and changed the
  // card.
  virtual bool RunRenewalDialog(const TvrServices::RenewalSource& source,
                                const TvrServices::CandidateMap& candidates) = 0;
};

class RenewalCommand {
 public:
  RenewalCommand(IContentsHost& host, IContentsView& view, IUserPort& port, IRenewalView& renewal,
                 std::function<void()> reregister);

  void Run();
  // Trust anchors added for the search service (tests).
  void SetCaFile(std::string caFile) { caFile_ = std::move(caFile); }

 private:
  struct SearchResult;
  // After the search: the renewal dialog over what it found, on the interface thread.
  void Continue(const CardHold& hold, SearchResult& result, PKCS11Base* token, TokenObjects* objects);

  IContentsHost& host_;
  IContentsView& view_;
  IUserPort& port_;
  IRenewalView& renewal_;
  std::function<void()> reregister_;
  std::string caFile_;
};
