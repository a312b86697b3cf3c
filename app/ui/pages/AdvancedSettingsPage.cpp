#include "AdvancedSettingsPage.h"

#include <QApplication>
#include <QLabel>
#include <QHeaderView>
#include <QVBoxLayout>

#include "AdvancedSettings.h"
#include "PaddedRowDelegate.h"
#include "UiText.h"

AdvancedSettingsPage::AdvancedSettingsPage(std::set<std::string> loadedTypeKeys, QWidget* parent)
    : QWidget(parent), loadedTypeKeys_(std::move(loadedTypeKeys)), list_(new QTreeWidget(this)) {
  setWindowTitle(T(Res::StringId::AdvancedSettingsPageTitle));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(12, 12, 12, 12);
  layout->setSpacing(6);
  layout->addWidget(new QLabel(T(Res::StringId::AutoRegisterLabel), this));
  list_->setHeaderLabels({T(Res::StringId::DisplayNameColumn)});
  list_->setRootIsDecorated(false);
  list_->setColumnWidth(0, 270);
  list_->setItemDelegate(new PaddedRowDelegate(list_));
  layout->addWidget(list_, 1);
}

namespace {
std::set<std::string> KeysOf(const TokenRefMap& tokens) {
  std::set<std::string> keys;
  for (const auto& [key, token] : tokens) keys.insert(key);
  return keys;
}
}  // namespace

AdvancedSettingsPage::AdvancedSettingsPage(const TokenRefMap& tokens, QWidget* parent)
    : AdvancedSettingsPage(KeysOf(tokens), parent) {}

void AdvancedSettingsPage::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  OnSetActive();
}

void AdvancedSettingsPage::OnSetActive() {
  QApplication::setOverrideCursor(Qt::WaitCursor);
  list_->clear();
  for (const AutoRegisterItem& entry : AutoRegisterItems(loadedTypeKeys_)) {
    auto* item = new QTreeWidgetItem(list_, {Q(entry.displayName)});
    item->setData(0, Qt::UserRole, static_cast<int>(entry.row));
    item->setFlags(Qt::ItemIsUserCheckable | Qt::ItemIsEnabled);
    item->setCheckState(0, entry.checked ? Qt::Checked : Qt::Unchecked);
  }
  // Display only: nothing here changes a flag.
  list_->setEnabled(false);
  QApplication::restoreOverrideCursor();
}
