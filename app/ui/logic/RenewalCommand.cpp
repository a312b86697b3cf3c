#include "RenewalCommand.h"

#include <memory>

#include "CertificateCommands.h"
#include "RenewalSearch.h"
#include "Strings.h"

using Res::StringId;

RenewalCommand::RenewalCommand(IContentsHost& host, IContentsView& view, IUserPort& port, IRenewalView& renewal,
                               std::function<void()> reregister)
    : host_(host), view_(view), port_(port), renewal_(renewal), reregister_(std::move(reregister)) {}

// What the search found, filled on the task and read by the follow-up.
struct RenewalCommand::SearchResult {
  TvrServices::CandidateSet candidates;
  std::string errorText;
  // Refers into `candidates`: the result is never copied or moved once filled.
  TvrServices::CandidateMap map;
  TvrServices::RenewalTrust trust;
};

void RenewalCommand::Run() {
  // Held through the search, the dialog, the worker and the task list.
  auto hold = std::make_shared<CardHold>(host_.HoldCard());
  PKCS11Base* token = host_.Token();
  if (!token) return;
  if (!token->IsLoggedIn()) {
    port_.MessageBox(Res::Text(StringId::ContentsPleaseLogIn), "", Platform::kMbOk);
    return;
  }
  TokenInfo* info = host_.GetTokenInfo(false);
  TokenObjects* objects = host_.GetTokenObjects(false);
  if (!info || !objects) return;

  const TvrServices::RenewalSettings settings = TvrServices::RenewalSettings::Load();
  const TvrServices::RenewalQuery query = TvrServices::PlanRenewalSearch(settings, *objects, info->serialNumber);
  std::string zipPath;
  if (query.kind == TvrServices::RenewalSourceKind::Zip) {
    const std::optional<std::string> chosen = renewal_.ChooseZipFile();
    if (!chosen || CardLeftDuringCommand(*hold, port_)) return;
    zipPath = *chosen;
  }
  // The search and the issuer downloads of the trust check go over the network: they run
  // on a task, with the tree disabled, and the window keeps painting.
  auto result = std::make_shared<SearchResult>();
  view_.SetCommandsEnabled(false);
  view_.SetBusy(true);
  host_.RunCardTask(
      [result, query, zipPath, caFile = caFile_, objects] {
        result->candidates = TvrServices::RunRenewalSearch(query, zipPath, result->errorText, caFile);
        if (result->candidates.empty()) return;
        result->map = TvrServices::MapCertificatesByThumbprint(result->candidates);
        result->trust = TvrServices::TrustRenewalCandidates(*objects, result->map);
      },
      [this, hold, result, token, objects] {
        view_.SetBusy(false);
        view_.SetCommandsEnabled(true);
        Continue(*hold, *result, token, objects);
      });
}

void RenewalCommand::Continue(const CardHold& hold, SearchResult& result, PKCS11Base* token,
                              TokenObjects* objects) {
  if (CardLeftDuringCommand(hold, port_)) return;
  if (result.candidates.empty()) {
    if (result.errorText.empty()) port_.MessageBox(Res::Text(StringId::RenewalNoCertificates), "", Platform::kMbOk);
    else port_.MessageBox(result.errorText, "", Platform::kMbOk | Platform::kMbIconError);
    return;
  }
  // The dialog checks the card again before its worker starts.
  const TvrServices::RenewalSource source{token, objects, &result.trust, [&hold] { return hold.CardLeft(); }};
  const bool changed = renewal_.RunRenewalDialog(source, result.map);
  if (CardLeftDuringCommand(hold, port_)) {
    // The worker may have written before the card went (or the modules were initialised
    // afresh under it): the store follows the card once the window has it again.
    if (reregister_) reregister_();
    return;
  }
  if (!changed) return;
  RereadCardIntoTree(host_, view_, [this] {
    if (reregister_) reregister_();
  });
}
