// Loading the four vendor PKCS#11 modules at start-up into one token object each.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "PKCS11Base.h"
#include "UserPort.h"

// Vendor type key -> the vendor's one primary token object (owner of its module).
using TokenMap = std::map<std::string, std::unique_ptr<PKCS11Base>>;
// A copy for users that own nothing.
using TokenRefMap = std::map<std::string, PKCS11Base*>;

// How long one module may take to load and start: its version probe and its token
// object's initialisation, which a real module spends talking to the smart-card service.
inline constexpr std::chrono::milliseconds kModuleStartDeadline{10000};

struct VendorLoadOptions {
  // Runs first for each row, on the calling thread (the Gemalto row's service wait).
  std::function<void(const VendorModuleEntry&)> beforeRow;
  std::chrono::milliseconds deadline = kModuleStartDeadline;
  // Waits on the calling thread until `finished()` holds, `until` has passed or the
  // program is ending (the program runs its event loop meanwhile). None: a plain wait.
  std::function<void(const std::function<bool()>& finished, std::chrono::steady_clock::time_point until)> wait;
  // Called on a loading thread when its module's work is done (it wakes `wait`); never
  // after LoadVendorTokens has returned.
  std::function<void()> wake;
  // The program is ending: nothing more is loaded.
  std::function<bool()> ending;
};

// Loads the rows of the vendor-module table in table order, each module's work (load,
// version probe, token object) on a thread of its own while the calling thread waits;
// the questions and messages stay on the calling thread. A module that is missing,
// whose version cannot be read, or that reports a Cryptoki version other than 2.01, 2.10,
// 2.11, 2.20, 2.40 and 3.x is left out (2.40 and 3.x go through the 2.20 class); a token
// object without a function list is reported through the port and left out; one that
// failed to initialise is kept. A module that does not finish within the deadline is
// left behind, logged: never used, called or finalised again.
TokenMap LoadVendorTokens(IUserPort& port, const VendorLoadOptions& options);
TokenMap LoadVendorTokens(IUserPort& port,
                          const std::function<void(const VendorModuleEntry&)>& beforeRow = {});

TokenRefMap RefsOf(const TokenMap& tokens);
