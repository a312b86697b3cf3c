// The contents page's encrypted data and PFX import commands with their Qt dialogs.
#pragma once

#include <QObject>
#include <QStringList>
#include <QWidget>

#include "ContentsHost.h"
#include "EncryptedData.h"
#include "PfxImport.h"
#include "UserPort.h"

class ContentsPage;

// The open-file dialog's filters from the string table's "text|patterns|...||" list.
QStringList NameFiltersFromList(const QString& list);

// The dialogs the two commands ask through.
class QtCardDataDialogs : public IEncryptedDataPort, public IPfxImportPort {
 public:
  QtCardDataDialogs(IUserPort& port, QWidget* page);

  std::optional<std::string> ChooseEncryptionCertificate(
      const std::vector<const CertificateObject*>& offered) override;
  std::optional<EncryptedDataText> EditEncryptedData(bool labelReadOnly, const std::string& label,
                                                     const std::string& text) override;
  std::optional<std::string> ChoosePfxFile() override;
  std::optional<TvrCommon::SecureString> AskPfxPassword(const std::string& fileName) override;
  std::optional<KeyAndCertLabels> AskLabels(const std::string& prefix, const TokenObjects& objects) override;

 private:
  IUserPort& port_;
  QWidget* page_;
};

// Joins the commands to the page's menus; lives as long as the page (its child).
class CardDataCommands : public QObject {
  Q_OBJECT
 public:
  CardDataCommands(ContentsPage& page, IContentsHost& host, IUserPort& port);

 private:
  QtCardDataDialogs dialogs_;
  EncryptedDataCommands encrypted_;
  PfxImport import_;
};
