// The table of the renewal dialog: one row per card certificate and per public key that
// a candidate can be installed for, with the names, validity and action texts, the tick
// of each row, the link cells and the advanced columns (label, identifier, "Módosít").
// The dialog only shows it and passes clicks on.
#pragma once

#include <array>
#include <list>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "RenewalPairing.h"

class RenewalTable {
 public:
  static constexpr int kOldColumn = 1, kNewColumn = 2, kValidityColumn = 3, kActionColumn = 4, kLabelColumn = 5,
                       kIdColumn = 6, kChangeColumn = 7;

  struct Row {
    TvrServices::RenewalRow pairing;
    std::array<std::string, 8> texts;
    bool ticked = false;
    // False for a deletion that the run would drop as things are ticked now (an old key
    // pair whose partner's install is unticked): it is shown unticked and cannot be
    // ticked until its partner is again.
    bool enabled = true;
  };

  // Pairs the objects with the candidates that `trust` vouches for; all three must
  // outlive the table.
  RenewalTable(const TokenObjects& objects, const TvrServices::CandidateMap& candidates,
               const TvrServices::RenewalTrust& trust);

  // The column titles: five, or eight in the advanced view.
  std::vector<std::string> ColumnTitles() const;
  const std::vector<Row>& Rows() const { return rows_; }
  bool Advanced() const { return advanced_; }
  bool IsLinkCell(int row, int column) const { return links_.count({row, column}) != 0; }

  // A disabled row stays unticked. Rows that depend on this one follow it.
  void SetTicked(int row, bool ticked);
  void SetAdvanced(bool advanced);

  // The certificates a click on a link shows: the card's old one (DER), the row's
  // candidate (null when the decision names none).
  std::vector<uint8_t> OldCertificateDer(int row) const;
  X509* NewCertificate(int row) const;
  // Thumbprints of the candidates that hold the row's key, for the user's choice.
  std::vector<std::string> ChoicesFor(int row) const;
  // The user chose another candidate for the row; a thumbprint that is not among the
  // row's choices is ignored.
  void Choose(int row, const std::string& thumbprint);

  // The operations of the ticked rows; unticked rows keep what the card holds.
  std::list<TvrServices::RenewalOperation> Operations() const;
  // One text per step of the operations.
  static std::vector<std::string> TaskTexts(const std::list<TvrServices::RenewalOperation>& operations);

 private:
  void SetNewCertificate(int row, const std::string& thumbprint);
  void UpdateRowAction(int row);
  // Disables (and unticks) every ticked certificate row that the operations would drop as
  // the other rows are ticked now, and enables (and ticks) again those that they would
  // carry out once more.
  void FollowPartners();
  bool ValidRow(int row) const { return row >= 0 && static_cast<size_t>(row) < rows_.size(); }

  const TokenObjects& objects_;
  const TvrServices::CandidateMap& candidates_;
  const TvrServices::RenewalTrust& trust_;
  std::vector<Row> rows_;
  std::set<std::pair<int, int>> links_;
  bool advanced_ = false;
};
