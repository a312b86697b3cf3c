// What the card monitor's tests share: a host that records what the monitor tells the
// application, the card database naming the test card, SoftHSM2 tokens holding test-PKI
// certificates behind the test module posing as the Gemalto module, and the personal store.
#pragma once

#include "CardMonitor.h"
#include "CertificateRegistrar.h"
#include "P11Rig.h"
#include "ServicesFixture.h"
#include "platform/CertStore.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// A T=0 answer-to-reset with the historical bytes "TAVRENIC01", named "Classic TPC".
inline constexpr const char* kClassicTpcAtr = "3B0A5441565245 4E49433031";
inline constexpr const char* kUnknownAtr = "3B0A5441565245 4E49433039";

class RecordingHost : public IMonitorHost {
 public:
  // "title | text | icon"
  void QueueBalloon(const std::string& title, const std::string& text, uint32_t icon) override;
  void PostCardChanged() override { ++cardChanged_; }
  void PostReadersChanged() override { ++readersChanged_; }
  void ArmRestartTimer() override { ++restartArmed_; }
  std::map<std::string, PKCS11Base*> Tokens() override;
  bool TransportPinActivation(PKCS11Base*, const TokenInfo&, bool) override {
    ++activations_;
    return activationSucceeds_;
  }

  std::vector<std::string> Balloons() const;
  bool Saw(const std::string& text) const;
  void Clear();
  void SetTokens(std::map<std::string, PKCS11Base*> tokens);

  std::atomic<int> cardChanged_{0};
  std::atomic<int> readersChanged_{0};
  std::atomic<int> restartArmed_{0};
  std::atomic<int> activations_{0};
  std::atomic<bool> activationSucceeds_{true};

 private:
  mutable std::mutex lock_;
  std::vector<std::string> balloons_;
  std::map<std::string, PKCS11Base*> tokens_;
};

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = std::chrono::seconds(20));

class MonitorFixture : public ServicesFixture {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A card's token: the given certificates, each with its key (except CA certificates)
  // and the Gemalto container record that names it.
  void MakeToken(const std::string& label, const std::vector<const TvrTest::PkiItem*>& items);
  static void Tool(const std::vector<std::string>& argv);
  // The test module as the Gemalto module (token label -> reader of its slot), the
  // registrar and a monitor over `pcsc`; detection is not started.
  void MakeMonitor(const std::map<std::string, std::string>& readers, IPcsc& pcsc);

  bool InStore(const TvrTest::PkiItem& item) const;
  size_t StoreSize() const;
  bool HasEvent(const std::string& text) const;
  bool HasEventStarting(const std::string& prefix) const;
  // An RSA end entity of the intermediate with keyEncipherment alone: registered
  // without a revocation check.
  static TvrTest::PkiItem EncryptionLeaf(const std::string& cn);

  std::optional<TvrTest::SoftHsmTokens> tokens_;
  std::optional<TvrTest::InstalledShim> shim_;
  std::unique_ptr<PKCS11Base> tokenObject_;
  Platform::CertStorePtr store_;
  RecordingHost host_;
  std::unique_ptr<CertificateRegistrar> registrar_;
  std::unique_ptr<CardMonitor> monitor_;
};
