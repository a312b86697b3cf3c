#include "StoreFixture.h"

#include <stdlib.h>

#include "platform/Profile.h"

void StoreFixture::SetUp() {
  dir_.emplace();
  ::setenv("XDG_DATA_HOME", (dir_->Path() + "/data").c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", (dir_->Path() + "/config").c_str(), 1);
  ::setenv("TVR_SYSTEM_CONFIG_DIR", (dir_->Path() + "/none").c_str(), 1);
  ::setenv("TVR_TRUST_BUNDLE", BundlePath().c_str(), 1);
  ASSERT_TRUE(Platform::Profile().WriteInt("", "EventLogLevel", 3));
  Platform::SetEventSink(sink_);
  Platform::RegisterEventSource();
}

void StoreFixture::TearDown() {
  Platform::DeregisterEventSource();
  Platform::SetEventSink(nullptr);
  dir_.reset();
}

std::string StoreFixture::StoreFolder(const std::string& name) const {
  return dir_->Path() + "/data/Tavrenic/stores/" + name;
}

Platform::CertContextPtr StoreFixture::Context(const std::vector<uint8_t>& der) {
  auto context = Platform::CertContext::Create(der.data(), der.size());
  EXPECT_NE(context, nullptr);
  return context;
}
