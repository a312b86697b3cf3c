// Every object of a token, as PKCS11Base::ReadObjects reads them.
#pragma once

class TokenObjects {
 public:
  TokenObjects() = default;
  TokenObjects(const TokenObjects&) = delete;
  TokenObjects& operator=(const TokenObjects&) = delete;
};
