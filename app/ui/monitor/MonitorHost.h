// What the card monitor and the registration need from the application: balloons,
// notices to the main window, the vendor token objects and the PIN-activation hook.
// Everything here may be called from the monitor thread; the application hands work
// for the interface thread over by posting it there.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "PKCS11Base.h"
#include "TokenInfo.h"

inline constexpr uint32_t kIconInformation = 1;
inline constexpr uint32_t kIconWarning = 2;
inline constexpr uint32_t kIconError = 3;

class IBalloonTarget {
 public:
  virtual ~IBalloonTarget() = default;
  virtual void QueueBalloon(const std::string& title, const std::string& text, uint32_t icon) = 0;
};

class IMonitorHost : public IBalloonTarget {
 public:
  // A card went into or out of the main window's current reader.
  virtual void PostCardChanged() = 0;
  // The reader list changed, or detection failed.
  virtual void PostReadersChanged() = 0;
  // Detection failed: try again in 10 s. Armed on the interface thread.
  virtual void ArmRestartTimer() = 0;
  // Vendor type key -> the vendor's primary token object.
  virtual std::map<std::string, PKCS11Base*> Tokens() = 0;
  // Activates the PINs of a card in transport state; false: leave the card unregistered.
  virtual bool TransportPinActivation(PKCS11Base* /*token*/, const TokenInfo& /*info*/, bool /*transport*/) {
    return true;
  }
};
