#pragma once

#include "ErrCodeException.h"

// The code of the ErrCodeException that f throws, or -1 when it throws none.
template <typename F>
int CodeOf(F f)
{
    try {
        f();
    } catch (const TvrCommon::ErrCodeException& e) {
        return e.GetCode();
    }
    return -1;
}
