#include "RenewalTable.h"

#include <algorithm>

#include "CertificateTexts.h"
#include "Strings.h"
#include "TextFormat.h"

using Res::StringId;
using TvrServices::RenewalAction;
using TvrServices::RenewalRowKind;

RenewalTable::RenewalTable(const TokenObjects& objects, const TvrServices::CandidateMap& candidates,
                           const TvrServices::RenewalTrust& trust)
    : objects_(objects), candidates_(candidates), trust_(trust) {
  for (TvrServices::RenewalRow& pairing : TvrServices::PairRenewalCandidates(objects, candidates, trust)) {
    const int row = static_cast<int>(rows_.size());
    rows_.push_back(Row{std::move(pairing), {}, false});
    Row& added = rows_.back();
    if (added.pairing.kind == RenewalRowKind::Certificate) {
      const CertificateObject* record = objects.FindCertificate(added.pairing.handle);
      if (record && record->certificate) {
        added.texts[kOldColumn] = GetCertificateDisplayName(record->certificate.get(), false);
        links_.insert({row, kOldColumn});
      }
    }
    if (added.pairing.decision != added.pairing.ownThumbprint)
      SetNewCertificate(row, added.pairing.decision);
    if (added.texts[kOldColumn].empty()) added.texts[kOldColumn] = Res::Text(StringId::RenewalNoOldCertificate);
    if (added.texts[kNewColumn].empty()) added.texts[kNewColumn] = Res::Text(StringId::RenewalNoNewCertificate);
    if (added.texts[kValidityColumn].empty()) added.texts[kValidityColumn] = GetValidityText(nullptr);
    UpdateRowAction(row);
  }
  FollowPartners();
}

std::vector<std::string> RenewalTable::ColumnTitles() const {
  std::vector<std::string> titles = {"", Res::Text(StringId::RenewalColumnOld), Res::Text(StringId::RenewalColumnNew),
                                     Res::Text(StringId::RenewalColumnValidity),
                                     Res::Text(StringId::RenewalColumnAction)};
  if (advanced_) {
    titles.push_back(Res::Text(StringId::RenewalColumnLabel));
    titles.push_back(Res::Text(StringId::RenewalColumnId));
    titles.push_back("");
  }
  return titles;
}

void RenewalTable::SetNewCertificate(int row, const std::string& thumbprint) {
  const auto found = candidates_.find(thumbprint);
  if (found == candidates_.end()) return;
  Row& target = rows_[static_cast<size_t>(row)];
  target.pairing.decision = thumbprint;
  target.texts[kNewColumn] = GetCertificateDisplayName(found->second, false);
  target.texts[kValidityColumn] = GetValidityText(found->second);
  links_.insert({row, kNewColumn});
}

void RenewalTable::UpdateRowAction(int row) {
  Row& target = rows_[static_cast<size_t>(row)];
  switch (target.pairing.Action()) {
    case RenewalAction::Delete: target.texts[kActionColumn] = Res::Text(StringId::RenewalActionDelete); break;
    case RenewalAction::Replace: target.texts[kActionColumn] = Res::Text(StringId::RenewalActionReplace); break;
    case RenewalAction::Install: target.texts[kActionColumn] = Res::Text(StringId::RenewalActionInstall); break;
    case RenewalAction::None: target.texts[kActionColumn].clear(); break;
  }
  target.ticked = target.pairing.Action() != RenewalAction::None;
}

void RenewalTable::SetTicked(int row, bool ticked) {
  if (!ValidRow(row)) return;
  Row& target = rows_[static_cast<size_t>(row)];
  target.ticked = ticked && target.enabled;
  FollowPartners();
}

void RenewalTable::FollowPartners() {
  // A change can reach a row that another certificate row depends on: until nothing moves.
  for (size_t pass = 0; pass <= rows_.size(); ++pass) {
    bool moved = false;
    for (size_t i = 0; i < rows_.size(); ++i) {
      Row& row = rows_[i];
      if (row.pairing.kind != RenewalRowKind::Certificate || row.pairing.Action() == RenewalAction::None) {
        row.enabled = true;
        continue;
      }
      std::vector<TvrServices::RenewalRow> pairings;
      std::vector<bool> ticked;
      for (const Row& other : rows_) {
        pairings.push_back(other.pairing);
        ticked.push_back(other.ticked);
      }
      ticked[i] = true;
      const std::list<TvrServices::RenewalOperation> operations =
          TvrServices::BuildRenewalOperations(std::move(pairings), ticked, objects_, candidates_, trust_);
      const bool carried =
          std::any_of(operations.begin(), operations.end(),
                      [&](const TvrServices::RenewalOperation& o) { return o.oldCertificate == row.pairing.handle; });
      if (carried == row.enabled) {
        if (!carried) row.ticked = false;
        continue;
      }
      // Unticked with the partner it needs, ticked again with it.
      row.enabled = carried;
      row.ticked = carried;
      moved = true;
    }
    if (!moved) return;
  }
}

void RenewalTable::SetAdvanced(bool advanced) {
  if (advanced == advanced_) return;
  advanced_ = advanced;
  for (size_t i = 0; i < rows_.size(); ++i) {
    Row& row = rows_[i];
    const int index = static_cast<int>(i);
    if (!advanced) {
      links_.erase({index, kChangeColumn});
      for (int column : {kLabelColumn, kIdColumn, kChangeColumn}) row.texts[static_cast<size_t>(column)].clear();
      continue;
    }
    const TokenObject* record = nullptr;
    if (row.pairing.kind == RenewalRowKind::Certificate) record = objects_.FindCertificate(row.pairing.handle);
    else record = objects_.FindPublicKey(row.pairing.handle);
    if (!record) continue;
    row.texts[kLabelColumn] = Utf8ToCString(record->label);
    row.texts[kIdColumn] = Utf8ToCString(record->GetId());
    row.texts[kChangeColumn] = Res::Text(StringId::RenewalChange);
    links_.insert({index, kChangeColumn});
  }
}

std::vector<uint8_t> RenewalTable::OldCertificateDer(int row) const {
  if (!ValidRow(row)) return {};
  const CertificateObject* record = objects_.FindCertificate(rows_[static_cast<size_t>(row)].pairing.handle);
  return record ? record->value : std::vector<uint8_t>{};
}

X509* RenewalTable::NewCertificate(int row) const {
  if (!ValidRow(row)) return nullptr;
  const auto found = candidates_.find(rows_[static_cast<size_t>(row)].pairing.decision);
  return found == candidates_.end() ? nullptr : found->second;
}

std::vector<std::string> RenewalTable::ChoicesFor(int row) const {
  if (!ValidRow(row)) return {};
  return TvrServices::CandidatesForRow(rows_[static_cast<size_t>(row)].pairing, objects_, candidates_, trust_);
}

void RenewalTable::Choose(int row, const std::string& thumbprint) {
  const std::vector<std::string> choices = ChoicesFor(row);
  if (std::find(choices.begin(), choices.end(), thumbprint) == choices.end()) return;
  SetNewCertificate(row, thumbprint);
  UpdateRowAction(row);
  FollowPartners();
}

std::list<TvrServices::RenewalOperation> RenewalTable::Operations() const {
  std::vector<TvrServices::RenewalRow> pairings;
  std::vector<bool> ticked;
  for (const Row& row : rows_) {
    pairings.push_back(row.pairing);
    ticked.push_back(row.ticked);
  }
  return TvrServices::BuildRenewalOperations(std::move(pairings), ticked, objects_, candidates_, trust_);
}

std::vector<std::string> RenewalTable::TaskTexts(const std::list<TvrServices::RenewalOperation>& operations) {
  std::vector<std::string> texts;
  for (const TvrServices::RenewalTask& task : TvrServices::RenewalTasks(operations)) {
    StringId id = StringId::RenewalTaskInstall;
    switch (task.step) {
      case TvrServices::RenewalStep::DeleteCertificate: id = StringId::RenewalTaskDeleteCertificate; break;
      case TvrServices::RenewalStep::DeletePublicKey: id = StringId::RenewalTaskDeletePublicKey; break;
      case TvrServices::RenewalStep::DeletePrivateKey: id = StringId::RenewalTaskDeletePrivateKey; break;
      case TvrServices::RenewalStep::InstallCertificate: break;
    }
    texts.push_back(FormatText(Res::Text(id), Utf8ToCString(task.label).c_str()));
  }
  return texts;
}
