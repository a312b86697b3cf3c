#include "AboutDialog.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QIcon>

#include "UiText.h"
#include "VersionProbes.h"

AboutDialog::AboutDialog(const TvrServices::UpdateServer& server, QWidget* parent) : QDialog(parent) {
  setWindowTitle(T(Res::StringId::AppDisplayName));
  auto* layout = new QGridLayout(this);
  auto* icon = new QLabel(this);
  icon->setPixmap(QIcon(QStringLiteral(":/icon.png")).pixmap(48, 48));
  icon->setAlignment(Qt::AlignTop);
  auto* title = new QLabel(T(Res::StringId::AppDisplayName), this);
  QFont bold = title->font();
  bold.setBold(true);
  title->setFont(bold);
  installed_ = new QLabel(QString::fromLatin1(kUnknownVersion), this);
  online_ = new QLabel(QString::fromLatin1(kUnknownVersion), this);
  installed_->setTextFormat(Qt::PlainText);
  online_->setTextFormat(Qt::PlainText);
  link_ = new QLabel(this);
  link_->setTextFormat(Qt::RichText);
  link_->setTextInteractionFlags(Qt::TextBrowserInteraction);
  link_->setOpenExternalLinks(true);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
  layout->addWidget(icon, 0, 0, 4, 1);
  layout->addWidget(title, 0, 1, 1, 2);
  layout->addWidget(new QLabel(T(Res::StringId::AboutInstalledVersion), this), 1, 1);
  layout->addWidget(installed_, 1, 2);
  layout->addWidget(new QLabel(T(Res::StringId::AboutOnlineVersion), this), 2, 1);
  layout->addWidget(online_, 2, 2);
  layout->addWidget(link_, 3, 1, 1, 2);
  layout->addWidget(buttons, 4, 0, 1, 3);
  layout->setColumnStretch(2, 1);
  layout->setSizeConstraint(QLayout::SetFixedSize);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  SetLink(kPublisherPage);

  std::string own = TvrServices::GetOwnFileVersion();
  if (!own.empty()) installed_->setText(Q(own));

  TvrServices::UpdateServer fetched = server;
  fetched.http.abort = abort_;
  worker_ = std::thread([this, server = std::move(fetched)] {
    std::string text = TvrServices::HttpGetText(server, TvrServices::kAboutUpdateFilePath);
    if (!text.empty()) {
      std::string version, url;
      TvrServices::ParseVersionAndUrl(text, version, url);
      QMetaObject::invokeMethod(this, [this, version, url] { OnVersionFetched(version, url); },
                                Qt::QueuedConnection);
    }
    done_ = true;
  });
}

AboutDialog::~AboutDialog() {
  // Closing never waits for the server: the fetch ends at once.
  abort_->Abort();
  if (worker_.joinable()) worker_.join();
}

void AboutDialog::SetLink(const std::string& url) {
  // The address comes from the server: only http and https, and shown as text only.
  QString safe = Q(TvrServices::SafeWebAddress(url));
  link_->setText(safe.isEmpty() ? QString()
                                : QStringLiteral("<a href=\"%1\">%1</a>").arg(safe.toHtmlEscaped()));
}

void AboutDialog::OnVersionFetched(const std::string& version, const std::string& url) {
  online_->setText(Q(version));
  SetLink(url);
  emit versionFetched();
}
