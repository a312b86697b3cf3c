// A certificate as the program shows it: its type, holder and validity, its description
// and qualified-statement summary from the certificate library, and the chain of issuers
// found among the certificates at hand (the card's own).
#pragma once

#include <QDialog>
#include <QTreeWidget>

#include <cstdint>
#include <vector>

class CertificateViewDialog : public QDialog {
  Q_OBJECT
 public:
  // `candidates` are DER certificates that may issue it (or one another).
  CertificateViewDialog(const std::vector<uint8_t>& der, const std::vector<std::vector<uint8_t>>& candidates,
                        QWidget* parent = nullptr);

  // False when the bytes are not a certificate (nothing to show).
  bool IsValid() const { return valid_; }
  QTreeWidget* Details() const { return details_; }
  QTreeWidget* Chain() const { return chain_; }

 private:
  bool valid_ = false;
  QTreeWidget* details_ = nullptr;
  QTreeWidget* chain_ = nullptr;
};
