// Private data, configuration and trust-bundle locations, and a recording event sink.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "P11Rig.h"
#include "TestCertificates.h"
#include "platform/CertStore.h"
#include "platform/EventLog.h"

// Runs the body in a forked child and returns the text it returns, or a text saying that it
// did not finish within the limit (the child is then killed) or that it died. Keeps a test of
// a call that may hang from hanging itself.
std::string RunInChild(const std::function<std::string()>& body, std::chrono::seconds limit);

class StoreFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  std::string StoreFolder(const std::string& name) const;
  std::string BundlePath() const { return dir_->Path() + "/bundle.crt"; }
  // A standalone context of the DER bytes.
  static Platform::CertContextPtr Context(const std::vector<uint8_t>& der);
  std::vector<std::string> Events() const { return sink_->Texts(); }

  std::optional<TvrTest::TempDir> dir_;
  std::shared_ptr<Platform::RecordingEventSink> sink_ = std::make_shared<Platform::RecordingEventSink>();
};
