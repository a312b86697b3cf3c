// Private data, configuration and trust-bundle locations, and a recording event sink.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "P11Rig.h"
#include "TestCertificates.h"
#include "platform/CertStore.h"
#include "platform/EventLog.h"

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
