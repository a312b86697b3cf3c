#pragma once

namespace TvrCrypto {

class CryptoAlgJanitorImpl;

// Holds OpenSSL set up: the first janitor alive in the process runs the set-up, the last one
// to die the clean-up. Any thread may create and destroy janitors.
class CryptoAlgJanitor {
public:
    CryptoAlgJanitor();
    // A copy takes a hold of its own, so every janitor gives back exactly one.
    CryptoAlgJanitor(const CryptoAlgJanitor& other);
    // Changes nothing: each janitor keeps its own hold.
    CryptoAlgJanitor& operator=(const CryptoAlgJanitor& other);
    virtual ~CryptoAlgJanitor();

private:
    CryptoAlgJanitorImpl* m_impl;
};

} // namespace TvrCrypto
