// The About dialog: the installed version at once, the version published on the update
// server when a worker has fetched it, and the link to the download page. Closing aborts
// a fetch still running.
#pragma once

#include <QDialog>
#include <QLabel>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "UpdateCheck.h"

class AboutDialog : public QDialog {
  Q_OBJECT
 public:
  static constexpr const char* kUnknownVersion = "0.0.0.0";
  // The link's address until the server names one.
  static constexpr const char* kPublisherPage = "https://www.tavrenic.hu/kelmardin";

  explicit AboutDialog(const TvrServices::UpdateServer& server, QWidget* parent = nullptr);
  ~AboutDialog() override;

  QLabel* InstalledVersion() { return installed_; }
  QLabel* OnlineVersion() { return online_; }
  QLabel* Link() { return link_; }
  // True once the worker has ended (with or without an answer).
  bool FetchDone() const { return done_; }

 signals:
  void versionFetched();

 private:
  void OnVersionFetched(const std::string& version, const std::string& url);
  void SetLink(const std::string& url);

  QLabel* installed_;
  QLabel* online_;
  QLabel* link_;
  std::shared_ptr<TvrServices::HttpAbort> abort_ = std::make_shared<TvrServices::HttpAbort>();
  std::thread worker_;
  std::atomic<bool> done_{false};
};
