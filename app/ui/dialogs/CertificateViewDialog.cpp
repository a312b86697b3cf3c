#include "CertificateViewDialog.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QTabWidget>
#include <QVBoxLayout>

#include <memory>

#include <openssl/x509v3.h>

#include "CertificateTexts.h"
#include "PropertyWriter.h"
#include "TokenObjects.h"
#include "UiText.h"
#include "X509Certificate.h"

namespace {

using Res::StringId;

X509Ptr Decode(const std::vector<uint8_t>& der) {
  const unsigned char* p = der.data();
  return X509Ptr(der.empty() ? nullptr : d2i_X509(nullptr, &p, static_cast<long>(der.size())));
}

QString ValueText(const TvrX509::PropertyValue& value) {
  switch (value.type) {
    // Names and addresses come from the certificate: nothing in them may reorder the row.
    case 1: return Q(DisplayText(value.value.text ? value.value.text : ""));
    case 2: return T(value.value.boolean ? StringId::YesWord : StringId::NoWord);
    case 3: return QString::number(value.value.integer);
    case 5: return QString::number(value.value.number);
    default: return {};
  }
}

// The library's description as tree items: sections are parents, properties rows.
class TreeWriter : public TvrX509::IPropertyWriter {
 public:
  TreeWriter(QTreeWidget* tree, QTreeWidgetItem* parent) : tree_(tree), parent_(parent) {}
  std::unique_ptr<IPropertyWriter> AddSection(const std::string& name, const TvrX509::PropertyAttributes&,
                                              const TvrX509::SectionFormat&) override {
    auto* item = parent_ ? new QTreeWidgetItem(parent_) : new QTreeWidgetItem(tree_);
    item->setText(0, QString::fromStdString(name));
    QFont bold = item->font(0);
    bold.setBold(true);
    item->setFont(0, bold);
    item->setExpanded(true);
    item->setFirstColumnSpanned(true);
    return std::make_unique<TreeWriter>(tree_, item);
  }
  void AddProperty(const std::string& name, const TvrX509::PropertyValue& value, const TvrX509::PropertyAttributes&,
                   const TvrX509::PropertyFormat&) override {
    auto* item = parent_ ? new QTreeWidgetItem(parent_) : new QTreeWidgetItem(tree_);
    item->setText(0, QString::fromStdString(name));
    item->setText(1, ValueText(value));
    item->setToolTip(1, PlainToolTip(item->text(1)));
  }

 private:
  QTreeWidget* tree_;
  QTreeWidgetItem* parent_;
};

// The certificate, then each issuer found among the candidates, up to a self-issued one.
std::vector<X509Ptr> BuildChain(X509* leaf, const std::vector<std::vector<uint8_t>>& candidates) {
  std::vector<X509Ptr> chain;
  chain.emplace_back(X509_dup(leaf));
  std::vector<X509Ptr> pool;
  for (const auto& der : candidates)
    if (X509Ptr c = Decode(der)) pool.push_back(std::move(c));
  while (chain.size() < 16) {
    X509* last = chain.back().get();
    if (X509_check_issued(last, last) == X509_V_OK) break;
    X509* issuer = nullptr;
    for (const X509Ptr& c : pool)
      if (X509_cmp(c.get(), last) != 0 && X509_check_issued(c.get(), last) == X509_V_OK) issuer = c.get();
    if (!issuer) break;
    chain.emplace_back(X509_dup(issuer));
  }
  return chain;
}

}  // namespace

CertificateViewDialog::CertificateViewDialog(const std::vector<uint8_t>& der,
                                             const std::vector<std::vector<uint8_t>>& candidates, QWidget* parent)
    : QDialog(parent) {
  setWindowTitle(T(StringId::CertTypeDefault));
  X509Ptr certificate = Decode(der);
  valid_ = certificate != nullptr;
  auto* layout = new QVBoxLayout(this);
  auto* heading = new QLabel(this);
  heading->setWordWrap(true);
  heading->setTextFormat(Qt::PlainText);
  if (certificate) {
    heading->setText(Q(GetCertificateDisplayName(certificate.get(), false)) + "\n" +
                     Q(GetValidityText(certificate.get())));
  }
  layout->addWidget(heading);

  auto* tabs = new QTabWidget(this);
  details_ = new QTreeWidget(tabs);
  details_->setColumnCount(2);
  details_->setHeaderHidden(true);
  details_->setRootIsDecorated(true);
  chain_ = new QTreeWidget(tabs);
  // Room above capital accents in names.
  for (QTreeWidget* tree : {details_, chain_})
    tree->setStyleSheet(QStringLiteral("QTreeWidget::item { padding: 2px 0px; }"));
  chain_->setHeaderHidden(true);
  tabs->addTab(details_, T(StringId::CertificateDetailsTab));
  tabs->addTab(chain_, T(StringId::CertificateChainTab));
  layout->addWidget(tabs, 1);

  if (certificate) {
    TreeWriter writer(details_, nullptr);
    TvrX509::X509Certificate(certificate.get()).DumpProperties(writer);
    details_->expandAll();
    details_->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    // The root issuer first, as certificate dialogs show a chain.
    std::vector<X509Ptr> chain = BuildChain(certificate.get(), candidates);
    QTreeWidgetItem* parentItem = nullptr;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
      auto* item = parentItem ? new QTreeWidgetItem(parentItem) : new QTreeWidgetItem(chain_);
      item->setText(0, Q(GetCertificateDisplayName(it->get(), true)));
      item->setExpanded(true);
      parentItem = item;
    }
    chain_->expandAll();
  }

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(buttons);
  resize(560, 520);
}
