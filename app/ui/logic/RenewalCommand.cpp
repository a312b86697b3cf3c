#include "RenewalCommand.h"

#include "CertificateCommands.h"
#include "RenewalSearch.h"
#include "Strings.h"

using Res::StringId;

RenewalCommand::RenewalCommand(IContentsHost& host, IContentsView& view, IUserPort& port, IRenewalView& renewal,
                               std::function<void()> reregister)
    : host_(host), view_(view), port_(port), renewal_(renewal), reregister_(std::move(reregister)) {}

void RenewalCommand::Run() {
  // Held through the search, the dialog, the worker and the task list.
  const CardHold hold = host_.HoldCard();
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
    if (!chosen || CardLeftDuringCommand(hold, port_)) return;
    zipPath = *chosen;
  }
  std::string errorText;
  TvrServices::CandidateSet candidates;
  {
    BusyScope busy(view_);
    candidates = TvrServices::RunRenewalSearch(query, zipPath, errorText, caFile_);
  }
  if (CardLeftDuringCommand(hold, port_)) return;
  if (candidates.empty()) {
    if (errorText.empty()) port_.MessageBox(Res::Text(StringId::RenewalNoCertificates), "", Platform::kMbOk);
    else port_.MessageBox(errorText, "", Platform::kMbOk | Platform::kMbIconError);
    return;
  }
  // The set owns the candidates until the end of the command; the map only refers.
  const TvrServices::CandidateMap map = TvrServices::MapCertificatesByThumbprint(candidates);
  TvrServices::RenewalTrust trust;
  {
    BusyScope busy(view_);
    trust = TvrServices::TrustRenewalCandidates(*objects, map);
  }
  // The dialog checks the card again before its worker starts.
  const TvrServices::RenewalSource source{token, objects, &trust, [&hold] { return hold.CardLeft(); }};
  const bool changed = renewal_.RunRenewalDialog(source, map);
  if (CardLeftDuringCommand(hold, port_) || !changed) return;
  view_.RefreshTree(true);
  if (reregister_) reregister_();
}
