// The contents page of the property sheet: the token's certificates, keys and encrypted
// data as a tree, with each item's context menu and double click. The tree and its rules
// come from ContentsTree, the commands from ContentsCommands; the page only wires them.
#pragma once

#include <QIcon>
#include <QMenu>
#include <QTreeWidget>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>

#include "CertificateCommands.h"
#include "ContentsHost.h"
#include "ContentsTree.h"
#include "RenewalCommand.h"

class ContentsPage : public QWidget, public IContentsView, public IRenewalView {
  Q_OBJECT
 public:
  ContentsPage(IContentsHost& host, IUserPort& port, QWidget* parent = nullptr);

  // Rebuilds the tree from the host's cache (each time the page is shown).
  void OnSetActive();
  // Empties the tree and fills it; with refresh the host re-reads the card first (on a
  // card task: the tree follows once it is over).
  void BuildTree(bool refresh);

  QTreeWidget* Tree() const { return tree_; }
  ContentsCommands& Commands() { return commands_; }
  // The context menu of an item with its greyed commands; null for an item without one.
  std::unique_ptr<QMenu> MenuFor(QTreeWidgetItem* item);
  // What a right click at a point of the tree's viewport does: select the item there and
  // open its menu (null when nothing opened). With `modal` false the menu is only shown.
  std::unique_ptr<QMenu> RightClickAt(const QPoint& point, bool modal = true);
  // What a double click on the item does.
  void DoubleClick(QTreeWidgetItem* item);

  static TreeImage ImageOf(const QTreeWidgetItem* item);
  static CK_OBJECT_HANDLE HandleOf(const QTreeWidgetItem* item);
  static QIcon IconFor(TreeImage image);

  // Replaces how a folder is opened (the desktop's file manager by default).
  void SetFolderOpener(std::function<void(const QString&)> opener) { folderOpener_ = std::move(opener); }

  // IContentsView
  void RefreshTree(bool refresh) override;
  void SetBusy(bool busy) override;
  // The tree, and with it every item's menu and double click.
  void SetCommandsEnabled(bool enabled) override;
  std::optional<std::string> ChooseCertificateFile() override;
  std::optional<std::string> ChooseFolder() override;
  void OpenFolder(const std::string& path) override;
  bool ShowCertificate(const std::vector<uint8_t>& der) override;

  // IRenewalView
  std::optional<std::string> ChooseZipFile() override;
  bool RunRenewalDialog(const TvrServices::RenewalSource& source,
                        const TvrServices::CandidateMap& candidates) override;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  std::optional<CK_OBJECT_HANDLE> Caret() const;

  IContentsHost& host_;
  ContentsCommands commands_;
  RenewalCommand renewal_;
  QTreeWidget* tree_;
  std::function<void(const QString&)> folderOpener_;
};
