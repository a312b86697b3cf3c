// The advanced settings page: the card types whose certificates are registered
// automatically, for display only.
#pragma once

#include <QTreeWidget>
#include <QWidget>

#include <set>
#include <string>

class AdvancedSettingsPage : public QWidget {
  Q_OBJECT
 public:
  // `loadedTypeKeys`: the vendor type keys whose module the program has loaded.
  explicit AdvancedSettingsPage(std::set<std::string> loadedTypeKeys, QWidget* parent = nullptr);

  // Refills the list (each time the page is shown).
  void OnSetActive();

  QTreeWidget* List() const { return list_; }

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  std::set<std::string> loadedTypeKeys_;
  QTreeWidget* list_;
};
