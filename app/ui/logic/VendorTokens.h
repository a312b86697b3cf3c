// Loading the four vendor PKCS#11 modules at start-up into one token object each.
#pragma once

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

// Loads the rows of the vendor-module table in table order. A module that is missing,
// whose version cannot be read, or that reports a Cryptoki version other than 2.01, 2.10,
// 2.11, 2.20, 2.40 and 3.x is left out (2.40 and 3.x go through the 2.20 class); a token
// object without a function list is reported through the port and left out; one that
// failed to initialise is kept. beforeRow runs first for each row (the Gemalto row's
// service wait).
TokenMap LoadVendorTokens(IUserPort& port,
                          const std::function<void(const VendorModuleEntry&)>& beforeRow = {});

TokenRefMap RefsOf(const TokenMap& tokens);
