// One vendor PKCS#11 module behind the token layer's abstract class.
//
// An object holds the module, a current slot, at most one open session and a logged-in
// flag. Every operation reports failure by its result and an error event; nothing here
// throws. The primary object (made by a version class's Create) and its clones share the
// module: whichever of them goes last finalises and unloads it, so a clone stays usable
// after the primary object is gone.
//
// The modules are initialised without locking arguments, yet the card monitor works on
// the primary object while the interface thread works on a clone: every call into one
// module is therefore serialised by a lock shared by the primary object and its clones.
// The primary object's Reinitialize ends every session of the module, its clones'
// included, and modules number new sessions from 1 again: an object whose session or
// log-in predates the last Reinitialize forgets it, without calling the module, so that
// its old handle never names another object's new session.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include "CardTables.h"
#include "Pkcs11.h"
#include "SecureString.h"
#include "TokenInfo.h"
#include "TokenObjects.h"
#include "platform/Library.h"

using ModuleHandle = Platform::ModuleHandle;

struct SlotInfo {
  std::string description;     // at most 64 bytes, trailing blanks cut
  std::string manufacturerId;  // at most 32 bytes, trailing blanks cut
  bool tokenPresent = false;
};

struct SessionInfo {
  CK_SLOT_ID slotId = 0;
  uint32_t state = 0;  // CK_STATE 0..4; any other value is kept as 5
  uint32_t flags = 0;
  uint32_t deviceError = 0;
  bool readWrite = false;
  bool serial = false;
};

// The module's CK_INFO.cryptokiVersion as "%d.%02d" ("2.01", "2.20"); empty on any failure.
// Asked through the function list of C_GetFunctionList, the one the token class binds to:
// a module may export a newer C_GetInfo under that name than its list carries.
// Initialises and finalises the module once; the caller loads it afresh afterwards.
// `givenUp`, once set while the module initialises, leaves the module alone from then on
// (no version, no finalise): its caller stopped waiting for it.
std::string GetCryptokiVersion(ModuleHandle module, const std::atomic<bool>* givenUp = nullptr);

// Results by which a module says that a session is gone (closed behind our back, the card
// pulled or swapped); the token object then forgets its session and log-in.
bool MeansSessionGone(CK_RV rv);

class PKCS11Base {
 public:
  // Slot 0. The last of the primary object and its clones to go finalises and unloads
  // the module. Neither logs out nor closes the session.
  virtual ~PKCS11Base();

  PKCS11Base(const PKCS11Base&) = delete;
  PKCS11Base& operator=(const PKCS11Base&) = delete;

  virtual bool IsValid() const;                                    // 1
  virtual std::unique_ptr<PKCS11Base> Clone() const = 0;           // 2
  virtual CK_FUNCTION_LIST* GetFunctionList() const;               // 3
  virtual void Reinitialize();                                     // 4
  virtual bool IsInitialized() const;                              // 5
  virtual std::vector<CK_SLOT_ID> GetSlotList(bool tokenPresent);  // 6
  virtual void SetSlot(CK_SLOT_ID slot);                           // 7
  virtual std::unique_ptr<SlotInfo> GetSlotInfo();                 // 8
  virtual bool IsTokenPresent();                                   // 9
  virtual std::unique_ptr<TokenInfo> GetTokenInfo();               // 10
  virtual bool OpenSession(bool readWrite);                        // 11
  virtual bool CloseSession();                                     // 12
  virtual bool HasSession() const;                                 // 13
  virtual std::unique_ptr<SessionInfo> GetSessionInfo();           // 14
  virtual CK_SESSION_HANDLE GetSession() const;                    // 15
  // A null PIN passes a null pointer and length 0 (PIN pad or protected path).
  virtual bool Login(const TvrCommon::SecureString* pin, CK_USER_TYPE userType);        // 16
  virtual bool LoginEx(const TvrCommon::SecureString* pin, bool securityOfficer,
                       CK_RV* rv);                                                       // 17
  virtual bool Logout();                                                                 // 18
  virtual bool IsLoggedIn() const;                                                       // 19
  virtual std::unique_ptr<TokenObjects> ReadObjects();                                   // 20
  // The same, looking at `stop` between the module calls: once it is set the read ends
  // with what it has (the caller then drops it).
  std::unique_ptr<TokenObjects> ReadObjectsUnlessStopped(const std::atomic<bool>& stop);
  virtual bool InitPIN(const TvrCommon::SecureString* pin);                              // 21
  virtual bool SetPIN(const TvrCommon::SecureString* oldPin,
                      const TvrCommon::SecureString* newPin);                            // 22
  virtual bool DestroyObject(CK_OBJECT_HANDLE object);                                   // 23
  virtual bool CreateCertificate(const std::string* idHex, const std::string* label,
                                 uint32_t category, X509* certificate);                  // 24
  virtual bool CreatePublicKey(const std::string* idHex, const std::string* label,
                               EVP_PKEY* key);                                           // 25
  virtual bool CreatePrivateKey(const std::string* idHex, const std::string* label,
                                EVP_PKEY* key);                                          // 26
  virtual bool CreateDataObject(bool isPrivate, const std::string* label,
                                const std::string* application, const uint8_t* value,
                                uint32_t valueLength);                                   // 27
  virtual bool Decrypt(CK_OBJECT_HANDLE key, const uint8_t* input, uint32_t inputLength,
                       uint8_t* output, uint32_t* outputLength);                         // 28
  virtual bool SignRSA(CK_OBJECT_HANDLE key, const TvrCommon::SecureString* pin,
                       const uint8_t* data, uint32_t dataLength, uint8_t* signature,
                       uint32_t* signatureLength);                                       // 29
  virtual bool SignEC(CK_OBJECT_HANDLE key, const TvrCommon::SecureString* pin,
                      const uint8_t* data, uint32_t dataLength, uint8_t* signature,
                      uint32_t* signatureLength);                                        // 30
  virtual std::vector<std::string> GetMechanismList();                                   // 31
  virtual bool GenerateRSAKeyPair(const std::string* publicLabel,
                                  const std::string* publicIdHex,
                                  const std::string* privateLabel,
                                  const std::string* privateIdHex, uint32_t kind,
                                  uint32_t modulusBits, const uint8_t* publicExponent,
                                  uint32_t publicExponentLength);                        // 32
  virtual bool GenerateECKeyPair(const std::string* publicLabel,
                                 const std::string* publicIdHex,
                                 const std::string* privateLabel,
                                 const std::string* privateIdHex, uint32_t kind,
                                 const uint8_t* ecParameters,
                                 uint32_t ecParametersLength);                           // 33
  virtual std::unique_ptr<std::string> GetAttribute(CK_OBJECT_HANDLE object,
                                                    CK_ATTRIBUTE_TYPE type);             // 34

  // The vendor-module row given to the factory (null for none).
  const VendorModuleEntry* GetVendorModule() const { return vendorModule_; }
  // PC/SC name of the reader the current slot belongs to. The card monitor changes it on
  // the primary object while the interface thread clones that object, hence the copy
  // under a lock.
  std::string GetReaderName() const;
  void SetReaderName(const std::string& name);
  CK_SLOT_ID GetSlot() const { return slotId_; }
  bool IsClone() const { return isClone_; }
  // The loaded vendor library (shared with clones), for the vendor's own exports.
  ModuleHandle GetModule() const { return binding_->module; }
  // Runs one call into the module, a vendor extension included, under the module's
  // call lock.
  template <typename Fn, typename... Args>
  CK_RV CallModule(Fn fn, Args... args) const {
    return Call(fn, args...);
  }

  // What C_GetInfo reported when the module was (re)initialised.
  CK_VERSION GetCryptokiVersionField() const { return cryptokiVersion_; }
  const std::string& GetManufacturerId() const { return manufacturerId_; }
  uint32_t GetLibraryFlags() const { return libraryFlags_; }
  const std::string& GetLibraryDescription() const { return libraryDescription_; }
  CK_VERSION GetLibraryVersion() const { return libraryVersion_; }

 protected:
  // The Cryptoki generation of a version class, for the operations that differ by it.
  enum class Generation { V201, V210, V211, V220 };

  PKCS11Base(const VendorModuleEntry* row, ModuleHandle module);
  // Clone construction: shares the module, the function list and the call lock.
  explicit PKCS11Base(const PKCS11Base& primary, bool /*cloneTag*/);

  virtual Generation GetGeneration() const = 0;

  void LogError(const char* format, ...) const __attribute__((format(printf, 2, 3)));
  void LogInfo(const char* format, ...) const __attribute__((format(printf, 2, 3)));

  // True when the function list is there; otherwise writes "NO FUNCTIONLIST POINTER".
  bool CheckFunctionList() const;

  // Calls one Cryptoki function under the module's call lock. A module that leaves a
  // slot of its list empty answers CKR_FUNCTION_NOT_SUPPORTED instead of crashing us.
  // A result saying the session is gone makes the object forget its session and log-in,
  // so that the next OpenSession and log-in start afresh.
  template <typename Fn, typename... Args>
  CK_RV Call(Fn fn, Args... args) const {
    std::lock_guard<std::recursive_mutex> guard(binding_->callLock);
    if (!fn) return CKR_FUNCTION_NOT_SUPPORTED;
    const CK_RV rv = fn(args...);
    if (MeansSessionGone(rv)) ForgetSession();
    return rv;
  }

 private:
  // The loaded module with its function list, initialisation state and call lock; shared
  // by the primary object and its clones. The last holder finalises and unloads it.
  struct Binding {
    explicit Binding(ModuleHandle handle) : module(handle) {}
    ~Binding();
    Binding(const Binding&) = delete;
    Binding& operator=(const Binding&) = delete;

    const ModuleHandle module;
    CK_FUNCTION_LIST* functionList = nullptr;  // set once, during the primary's construction
    std::atomic<bool> initialized{false};
    // Counts the finalisations of Reinitialize: sessions opened before the last one are gone.
    std::atomic<uint64_t> generation{0};
    std::recursive_mutex callLock;
  };

  bool InitializeAndReadInfo();
  void ForgetSession() const {
    loggedIn_ = false;
    session_ = 0;
  }
  // The session and log-in were taken before the module was last reinitialised.
  bool SessionPredatesBinding() const {
    return (session_ != 0 || loggedIn_) && sessionGeneration_ != binding_->generation.load();
  }
  // Under the call lock: forgets a session and log-in that predate the binding.
  void DropStaleSession() const {
    if (SessionPredatesBinding()) ForgetSession();
  }
  // Records that the session or log-in belongs to the module's current initialisation;
  // called before the session or log-in is set, so that a reader without the call lock
  // never sees a new one with an old generation.
  void MarkSessionCurrent() const { sessionGeneration_ = binding_->generation.load(); }
  std::recursive_mutex& CallLock() const { return binding_->callLock; }
  bool ReadByteAttributes(CK_OBJECT_HANDLE object, CK_ATTRIBUTE* attributes, size_t count,
                          std::vector<std::vector<uint8_t>>& values, CK_RV& rv);
  void ReadOneObject(TokenObjects& objects, CK_OBJECT_CLASS objectClass, const char* prefix,
                     CK_OBJECT_HANDLE handle);
  bool CreateObject(CK_ATTRIBUTE* attributes, size_t count);
  // The common part of both key-pair generations; keyParts are the public template's
  // attributes of the key kind (modulus bits and exponent, or EC parameters).
  bool GenerateKeyPair(CK_MECHANISM_TYPE mechanism, const CK_ATTRIBUTE* keyParts,
                       size_t keyPartCount, const std::string* publicLabel,
                       const std::string* publicIdHex, const std::string* privateLabel,
                       const std::string* privateIdHex, uint32_t kind);
  // Runs a two-step output operation (length query, then the output) without ever
  // letting the module write past the caller's capacity.
  template <typename Fn>
  CK_RV RunSizedOutput(Fn fn, const uint8_t* input, uint32_t inputLength, uint8_t* output,
                       uint32_t* outputLength);
  bool Sign(CK_MECHANISM_TYPE mechanism, CK_OBJECT_HANDLE key,
            const TvrCommon::SecureString* pin, const uint8_t* data, uint32_t dataLength,
            uint8_t* signature, uint32_t* signatureLength);

  const VendorModuleEntry* vendorModule_ = nullptr;
  const std::shared_ptr<Binding> binding_;
  CK_VERSION cryptokiVersion_{0, 0};
  std::string manufacturerId_;
  uint32_t libraryFlags_ = 0;
  std::string libraryDescription_;
  CK_VERSION libraryVersion_{0, 0};
  mutable std::mutex readerNameLock_;
  std::string readerName_;  // guarded by readerNameLock_
  CK_SLOT_ID slotId_ = 0;
  // Mutable: any call, a const one included, may learn that the session is gone. Written
  // under the call lock only; atomic because HasSession and IsLoggedIn read them without
  // it: the interface thread asks while a card task may sit in a slow or hung module call.
  mutable std::atomic<CK_SESSION_HANDLE> session_{0};
  mutable std::atomic<bool> loggedIn_{false};
  // The binding's generation when the session was opened or the log-in made.
  mutable std::atomic<uint64_t> sessionGeneration_{0};
  bool isClone_ = false;
};

// Closes the token's session when the scope ends.
class PKCS11SessionGuard {
 public:
  explicit PKCS11SessionGuard(PKCS11Base* token) : token_(token) {}
  ~PKCS11SessionGuard() {
    if (token_ && token_->HasSession()) token_->CloseSession();
  }
  PKCS11SessionGuard(const PKCS11SessionGuard&) = delete;
  PKCS11SessionGuard& operator=(const PKCS11SessionGuard&) = delete;

 private:
  PKCS11Base* token_;
};
