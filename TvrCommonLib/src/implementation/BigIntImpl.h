#ifndef TVRCOMMON_BIGINTIMPL_H
#define TVRCOMMON_BIGINTIMPL_H

#include <openssl/bn.h>

namespace TvrCommon {

// Owns one BIGNUM, never null.
class BigIntImpl {
public:
    // Takes ownership; null (a failed OpenSSL allocation) throws code 3.
    explicit BigIntImpl(BIGNUM* number);
    virtual ~BigIntImpl();

    BigIntImpl(const BigIntImpl&) = delete;
    BigIntImpl& operator=(const BigIntImpl&) = delete;

    BIGNUM* number;
};

}  // namespace TvrCommon

#endif
