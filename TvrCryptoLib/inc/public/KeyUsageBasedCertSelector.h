#ifndef TVRCRYPTO_KEYUSAGEBASEDCERTSELECTOR_H
#define TVRCRYPTO_KEYUSAGEBASEDCERTSELECTOR_H

namespace TvrCrypto {

// Which key usages a certificate must offer for a purpose. Kinds: 1 signing,
// 2 authentication, 4 encryption, 8 and 16 anything.
class KeyUsageBasedCertSelector {
public:
    KeyUsageBasedCertSelector(unsigned flags, bool option);
    virtual ~KeyUsageBasedCertSelector();

    unsigned GetFlags() const { return m_flags; }
    bool HasFlag1() const { return (m_flags & 0x01) != 0; }
    bool HasFlag2() const { return (m_flags & 0x02) != 0; }
    bool HasFlag4() const { return (m_flags & 0x04) != 0; }
    bool HasFlag16() const { return (m_flags & 0x10) != 0; }
    bool GetOption() const { return m_option; }

    // The key-usage mask a certificate for the kind must offer, by the OpenSSL
    // type of its public key; an unknown kind throws code 4.
    static unsigned GetKeyUsageFromKey(int kind, int keyType, bool nonRepudiationOnly);
    // The one key-usage bit the kind requires in addition (0 when none).
    static unsigned GetKeyUsageBit(int kind);

    static const KeyUsageBasedCertSelector Signing;
    static const KeyUsageBasedCertSelector Authentication;
    static const KeyUsageBasedCertSelector Encryption;

private:
    unsigned m_flags;
    bool m_option;
};

}  // namespace TvrCrypto

#endif
