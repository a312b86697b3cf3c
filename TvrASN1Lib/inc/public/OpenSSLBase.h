#pragma once

#include "ASN1Exception.h"
#include "DERBytes.h"
#include "ErrCodeException.h"
#include "OpenSSLErrors.h"

#include <memory>

namespace TvrASN1 {

// Owns one OpenSSL ASN.1 object together with the five item functions of its type.
// Implementation classes of the certificate library derive from it and read `object`
// directly. A borrowed object belongs to someone else and is never freed here.
template <typename T>
class OpenSSLBase {
public:
    using NewFn = T* (*)();
    using FreeFn = void (*)(T*);
    using DupFn = T* (*)(const T*);
    using D2iFn = T* (*)(T**, const unsigned char**, long);
    using I2dFn = int (*)(const T*, unsigned char**);

    OpenSSLBase(NewFn newFn, FreeFn freeFn, DupFn dupFn, D2iFn d2iFn, I2dFn i2dFn)
        : object(nullptr), fnNew(newFn), fnFree(freeFn), fnDup(dupFn), fnD2i(d2iFn),
          fnI2d(i2dFn), borrowed(false)
    {
        if (!fnNew || !fnFree || !fnDup || !fnD2i || !fnI2d)
            throw TvrCommon::ErrCodeException(4);
        object = fnNew();
        if (!object)
            throw TvrCommon::ErrCodeException(3);
    }

    OpenSSLBase(const DERBytes& der, NewFn newFn, FreeFn freeFn, DupFn dupFn, D2iFn d2iFn,
                I2dFn i2dFn)
        : object(nullptr), fnNew(newFn), fnFree(freeFn), fnDup(dupFn), fnD2i(d2iFn),
          fnI2d(i2dFn), borrowed(false)
    {
        Decode(der);
    }

    OpenSSLBase(T* borrowedObject, NewFn newFn, FreeFn freeFn, DupFn dupFn, D2iFn d2iFn,
                I2dFn i2dFn)
        : object(borrowedObject), fnNew(newFn), fnFree(freeFn), fnDup(dupFn), fnD2i(d2iFn),
          fnI2d(i2dFn), borrowed(true)
    {
        if (!object)
            throw TvrCommon::ErrCodeException(3);
    }

    OpenSSLBase(const OpenSSLBase& other)
        : object(nullptr), fnNew(other.fnNew), fnFree(other.fnFree), fnDup(other.fnDup),
          fnD2i(other.fnD2i), fnI2d(other.fnI2d), borrowed(false)
    {
        object = other.object ? fnDup(other.object) : nullptr;
        if (!object)
            throw TvrCommon::ErrCodeException(3);
    }

    // The duplicate is made before the held object is let go, so a failed copy leaves
    // this object as it was.
    OpenSSLBase& operator=(const OpenSSLBase& other)
    {
        if (this == &other || object == other.object)
            return *this;
        T* copy = other.object ? fnDup(other.object) : nullptr;
        if (!copy)
            throw TvrCommon::ErrCodeException(3);
        Release();
        object = copy;
        borrowed = false;
        return *this;
    }

    virtual ~OpenSSLBase() { Release(); }

    // Holds a duplicate of `source`; the caller keeps its own object.
    void Set(const T* source)
    {
        if (!source)
            throw TvrCommon::ErrCodeException(4);
        T* copy = fnDup(source);
        if (!copy)
            throw TvrCommon::ErrCodeException(3);
        Release();
        object = copy;
        borrowed = false;
    }

    // Takes over `owned` (may be null) in place of the held object.
    void Adopt(T* owned)
    {
        Release();
        object = owned;
        borrowed = false;
    }

    std::unique_ptr<DERBytes> GetDER() const
    {
        int length = object ? fnI2d(object, nullptr) : 0;
        if (length <= 0)
            throw TvrCommon::ErrCodeException(1);
        auto der = std::make_unique<DERBytes>(static_cast<size_t>(length), 0);
        unsigned char* p = const_cast<unsigned char*>(der->GetData());
        if (fnI2d(object, &p) != length)
            throw TvrCommon::ErrCodeException(1);
        return der;
    }

    T* object;
    NewFn fnNew;
    FreeFn fnFree;
    DupFn fnDup;
    D2iFn fnD2i;
    I2dFn fnI2d;
    bool borrowed;

protected:
    // Decodes the first complete DER object of `der`; bytes after it are ignored.
    void Decode(const DERBytes& der)
    {
        OpenSSLErrorJanitor janitor;
        const unsigned char* p = der.GetData();
        T* decoded = fnD2i(nullptr, &p, static_cast<long>(der.GetSize()));
        if (!decoded) {
            LogOpenSSLErrors(1, "error parsing input");
            throw ASN1Exception(1);
        }
        Release();
        object = decoded;
        borrowed = false;
    }

    void Release()
    {
        if (object && !borrowed)
            fnFree(object);
        object = nullptr;
    }
};

} // namespace TvrASN1
