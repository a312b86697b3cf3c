// Private settings, stores and event sink for the online services' tests, and leaves of
// the test PKI whose OCSP addresses point at the tests' own servers.
#pragma once

#include "NetRig.h"
#include "TestPki.h"
#include "platform/EventLog.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

class ServicesFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Puts the certificate into a system store ("ROOT", "CA").
  static void AddToStore(const std::string& store, const TvrTest::PkiItem& item);
  // An end entity of the intermediate with these OCSP addresses (and no caIssuers).
  static TvrTest::PkiItem Leaf(const std::vector<std::string>& ocspUrls, const std::string& cn = "Leaf",
                               const std::string& keyType = "ec");
  // Writes the certificate and key as PEM files into the test folder (for a responder).
  void Save(TvrTest::PkiItem& item, const std::string& name) const;
  // An `openssl ocsp` index line: "V" good, or "R" with a reason ("keyCompromise",
  // "certificateHold").
  static std::string IndexLine(const TvrTest::PkiItem& item, const std::string& reason = "");
  // Writes the index and starts a responder for the intermediate, signed by `signer`
  // (the PKI's OCSP signer by default).
  std::unique_ptr<TvrTest::OcspResponderProcess> Responder(const std::vector<std::string>& lines,
                                                           const TvrTest::PkiItem* signer = nullptr,
                                                           const std::vector<std::string>& extra = {});
  std::vector<std::string> Events() const { return sink_->Texts(); }
  // From now on the first event written turns "EventLogLevel" to 0: what is written after
  // it shows that the level was not read again.
  void DropLevelAfterFirstEvent();

  std::optional<TvrTest::TempDir> dir_;
  std::shared_ptr<Platform::RecordingEventSink> sink_ = std::make_shared<Platform::RecordingEventSink>();
};
