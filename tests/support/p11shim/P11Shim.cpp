// A PKCS#11 module that forwards to a private copy of SoftHSM2 and lets tests
// change what the module reports: the Cryptoki version, slot descriptions
// (reader names), return values, and whether the free slot is listed. Every
// call is written to a call log, and calls that overlap inside one loaded copy
// are marked, so tests can see whether the caller serialises its calls. The time spent
// inside its entry points is summed for benchmarks (P11Shim_CallTimeNs).
//
// The configuration is "<path of this file>.conf", re-read at every call so a
// test can change it between calls. Keys: target, version, reader.<label>,
// rv.<function>, log, delay_us, hide_free_slot, token_flags_set, token_flags_clear,
// find_fail.<object class>=<rv> (C_FindObjectsInit fails for that CKA_CLASS only),
// and the eToken vendor parts:
//   hw.counters=a,b,c,d        a retry-counter hardware-feature object with these four
//                              counters (absent key: no such object)
//   hw.pin_state.<user type>=f a PIN-state object for that user type with flag byte f
//   ext.getlist_rv=<rv>        what ETC_GetFunctionListEx returns (it fills the list anyway)
//   rv.ETC_ChangePin / rv.ETC_UnblockPin   results of the two extension entries
//   key_name.<CKA_ID hex>=<hex> the eToken key-name attribute (0x80001301) of the keys
//                              with that identifier, as these bytes
// and the behaviours of modules found in the field:
//   exported_version=<v>       the C_GetInfo exported by name reports this version, while
//                              the function list's C_GetInfo and version keep `version`
//                              (a 3.0 module whose C_GetFunctionList gives a 2.x list)
//   drop_sessions=<n>          whenever the number n changes, the next call first closes every
//                              session of every slot, as a card swap does
//   reader_ellipsis=1          a reader name longer than the description is cut to 61
//                              bytes and "..." instead of a plain cut at 64
//   delay_us.<function>=<us>   sleep inside that function only (overrides delay_us)
//   rv_times.<function>=<n>    rv.<function> answers only the first n calls that see it
//                              (counted in this loaded copy since the last call of that
//                              function without an injected result); later calls run normally
//   rv_at.<function>=<n>       rv.<function> answers only the n-th call that sees it
//                              (counted likewise); the others run normally
//   removed_at.<function>=<n>  the card leaves at the n-th call of that function (counted in
//                              this loaded copy): that call and every later one, of any
//                              function but the library's own (initialise, finalise, info,
//                              list), answer CKR_DEVICE_REMOVED for as long as the key is
//                              set; clearing it puts the card back (sessions opened before
//                              stay usable to SoftHSM2, as a caller may not know them, and
//                              the calls are counted afresh)
//   removed_after_call=1       the removing call itself first reaches SoftHSM2 (the card
//                              took the write, the answer was lost)
//   slot_fill_short=<n>        the first n C_GetSlotList calls that pass a list (counted in
//                              this loaded copy) answer CKR_BUFFER_TOO_SMALL with one slot
//                              more, as a module that rescans its readers on every call
//                              does when a card arrives between the count and the fill
//   refuse_duplicate_id=1      C_CreateObject answers CKR_TEMPLATE_INCONSISTENT when an object
//                              of the template's CKA_CLASS with its CKA_ID is on the token
//   pcsc_in_initialize=1       C_Initialize first establishes a PC/SC context and releases
//                              it again, as real vendor modules do (it then waits as long
//                              as pcsc-lite does); the call log gets "SCardEstablishContext
//                              <result in hex>"
// and what a screenshot shows of the token:
//   token_label=<text>         CK_TOKEN_INFO's label as the caller sees it (blank-padded, cut
//                              at 32 bytes); reader.<label> still names SoftHSM2's label
//   token_model=<text>         CK_TOKEN_INFO's model (cut at 16 bytes)
//   token_manufacturer=<text>  CK_TOKEN_INFO's manufacturer (cut at 32 bytes)
//   token_serial=<text>        CK_TOKEN_INFO's serial number (cut at 16 bytes)
// The extension entries log "<name>|<argument>|..." after their name line, PIN texts
// included (this is a test double: nothing else ever sees that log).
//
// Extending it: a new configuration key goes into Config and ParseLine; a
// changed result of one function is a Hook<> specialisation (token flags and
// PIN limits would be a Hook for C_GetTokenInfo); an extra vendor export goes into the
// export block at the end, next to ETC_GetFunctionListEx.

#include <p11-kit/pkcs11.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "../OwnModulePath.h"

namespace {

// Every function of the Cryptoki 2.x function list, in list order.
#define P11SHIM_FUNCTIONS(X)                                                                   \
  X(C_Initialize) X(C_Finalize) X(C_GetInfo) X(C_GetFunctionList) X(C_GetSlotList)             \
  X(C_GetSlotInfo) X(C_GetTokenInfo) X(C_GetMechanismList) X(C_GetMechanismInfo)               \
  X(C_InitToken) X(C_InitPIN) X(C_SetPIN) X(C_OpenSession) X(C_CloseSession)                   \
  X(C_CloseAllSessions) X(C_GetSessionInfo) X(C_GetOperationState) X(C_SetOperationState)      \
  X(C_Login) X(C_Logout) X(C_CreateObject) X(C_CopyObject) X(C_DestroyObject)                  \
  X(C_GetObjectSize) X(C_GetAttributeValue) X(C_SetAttributeValue) X(C_FindObjectsInit)        \
  X(C_FindObjects) X(C_FindObjectsFinal) X(C_EncryptInit) X(C_Encrypt) X(C_EncryptUpdate)      \
  X(C_EncryptFinal) X(C_DecryptInit) X(C_Decrypt) X(C_DecryptUpdate) X(C_DecryptFinal)         \
  X(C_DigestInit) X(C_Digest) X(C_DigestUpdate) X(C_DigestKey) X(C_DigestFinal)                \
  X(C_SignInit) X(C_Sign) X(C_SignUpdate) X(C_SignFinal) X(C_SignRecoverInit)                  \
  X(C_SignRecover) X(C_VerifyInit) X(C_Verify) X(C_VerifyUpdate) X(C_VerifyFinal)              \
  X(C_VerifyRecoverInit) X(C_VerifyRecover) X(C_DigestEncryptUpdate)                           \
  X(C_DecryptDigestUpdate) X(C_SignEncryptUpdate) X(C_DecryptVerifyUpdate) X(C_GenerateKey)    \
  X(C_GenerateKeyPair) X(C_WrapKey) X(C_UnwrapKey) X(C_DeriveKey) X(C_SeedRandom)              \
  X(C_GenerateRandom) X(C_GetFunctionStatus) X(C_CancelFunction) X(C_WaitForSlotEvent)

// Global state is constant-initialised and trivially destructible, so the
// library constructor and destructor below may use it in any order.
char gOwnPath[PATH_MAX];
std::mutex gTargetMutex;
void* gTargetHandle = nullptr;
std::atomic<CK_FUNCTION_LIST*> gTarget{nullptr};
std::atomic<int> gInFlight{0};
// Wall time spent inside the module's entry points, for benchmarks.
std::atomic<unsigned long long> gCallNs{0};

struct Config {
  std::string target;
  std::optional<CK_VERSION> version;
  std::map<std::string, std::string> readers;  // token label -> reader name
  std::map<std::string, CK_RV> rv;             // function name -> injected result
  std::string log;
  unsigned long delayUs = 0;
  bool hideFreeSlot = true;
  CK_FLAGS tokenFlagsSet = 0;    // ORed into CK_TOKEN_INFO.flags
  CK_FLAGS tokenFlagsClear = 0;  // then these bits are cleared
  std::optional<std::string> tokenLabel;         // replaces CK_TOKEN_INFO.label
  std::optional<std::string> tokenModel;         // replaces CK_TOKEN_INFO.model
  std::optional<std::string> tokenManufacturer;  // replaces CK_TOKEN_INFO.manufacturerID
  std::optional<std::string> tokenSerial;        // replaces CK_TOKEN_INFO.serialNumber
  std::map<CK_OBJECT_CLASS, CK_RV> findFail;  // C_FindObjectsInit result by searched class
  std::optional<std::array<CK_ULONG, 4>> counters;  // the retry-counter object, when present
  std::map<CK_ULONG, CK_BYTE> pinStates;            // user type -> PIN-state flag
  CK_RV getListExRv = CKR_OK;
  std::map<std::string, std::vector<unsigned char>> keyNames;  // CKA_ID hex -> key-name bytes
  std::optional<CK_VERSION> exportedVersion;
  unsigned long dropSessions = 0;
  bool readerEllipsis = false;
  std::map<std::string, unsigned long> delays;  // function name -> microseconds
  std::map<std::string, unsigned long> rvTimes;  // function name -> calls that get rv
  std::map<std::string, unsigned long> rvAt;     // function name -> the one call that gets rv
  unsigned long slotFillShort = 0;
  std::map<std::string, unsigned long> removedAt;  // function name -> call that removes the card
  bool removedAfterCall = false;
  bool pcscInInitialize = false;
  bool refuseDuplicateId = false;
};

std::string Trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

std::optional<unsigned long> ParseNumber(const std::string& text) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const char* digits = text.c_str() + (hex ? 2 : 0);
  if (*digits == '\0') return std::nullopt;
  char* end = nullptr;
  const unsigned long value = std::strtoul(digits, &end, hex ? 16 : 10);
  if (*end != '\0') return std::nullopt;
  return value;
}

// "2.20" is 2.20, "2.1" and "2.01" are both 2.01.
std::optional<CK_VERSION> ParseVersion(const std::string& text) {
  const auto dot = text.find('.');
  if (dot == std::string::npos) return std::nullopt;
  const auto major = ParseNumber(text.substr(0, dot));
  const auto minor = ParseNumber(text.substr(dot + 1));
  if (!major || !minor || *major > 255 || *minor > 255) return std::nullopt;
  return CK_VERSION{static_cast<unsigned char>(*major), static_cast<unsigned char>(*minor)};
}

void ParseLine(Config& config, const std::string& line) {
  const auto eq = line.find('=');
  if (eq == std::string::npos) return;
  const std::string key = Trim(line.substr(0, eq));
  const std::string value = Trim(line.substr(eq + 1));
  if (key == "target") {
    config.target = value;
  } else if (key == "version") {
    config.version = ParseVersion(value);
  } else if (key.rfind("reader.", 0) == 0) {
    config.readers[key.substr(7)] = value;
  } else if (key.rfind("rv_at.", 0) == 0) {
    if (const auto n = ParseNumber(value)) config.rvAt[key.substr(6)] = *n;
  } else if (key.rfind("rv_times.", 0) == 0) {
    if (const auto n = ParseNumber(value)) config.rvTimes[key.substr(9)] = *n;
  } else if (key.rfind("rv.", 0) == 0) {
    if (const auto rv = ParseNumber(value)) config.rv[key.substr(3)] = *rv;
  } else if (key == "log") {
    config.log = value;
  } else if (key == "delay_us") {
    config.delayUs = ParseNumber(value).value_or(0);
  } else if (key == "hide_free_slot") {
    config.hideFreeSlot = value != "0";
  } else if (key == "token_flags_set") {
    config.tokenFlagsSet = ParseNumber(value).value_or(0);
  } else if (key.rfind("find_fail.", 0) == 0) {
    const auto objectClass = ParseNumber(key.substr(10));
    const auto rv = ParseNumber(value);
    if (objectClass && rv) config.findFail[*objectClass] = *rv;
  } else if (key == "token_label") {
    config.tokenLabel = value;
  } else if (key == "token_model") {
    config.tokenModel = value;
  } else if (key == "token_manufacturer") {
    config.tokenManufacturer = value;
  } else if (key == "token_serial") {
    config.tokenSerial = value;
  } else if (key == "token_flags_clear") {
    config.tokenFlagsClear = ParseNumber(value).value_or(0);
  } else if (key == "hw.counters") {
    std::array<CK_ULONG, 4> counters{};
    std::istringstream in(value);
    std::string item;
    size_t n = 0;
    while (n < counters.size() && std::getline(in, item, ',')) {
      counters[n++] = ParseNumber(Trim(item)).value_or(0);
    }
    if (n == counters.size()) config.counters = counters;
  } else if (key.rfind("hw.pin_state.", 0) == 0) {
    const auto userType = ParseNumber(key.substr(13));
    const auto flag = ParseNumber(value);
    if (userType && flag) config.pinStates[*userType] = static_cast<CK_BYTE>(*flag);
  } else if (key == "ext.getlist_rv") {
    config.getListExRv = ParseNumber(value).value_or(CKR_OK);
  } else if (key.rfind("key_name.", 0) == 0) {
    std::vector<unsigned char> bytes;
    for (size_t i = 0; i + 1 < value.size(); i += 2) {
      bytes.push_back(static_cast<unsigned char>(std::strtoul(value.substr(i, 2).c_str(), nullptr, 16)));
    }
    config.keyNames[key.substr(9)] = bytes;
  } else if (key == "exported_version") {
    config.exportedVersion = ParseVersion(value);
  } else if (key == "drop_sessions") {
    config.dropSessions = ParseNumber(value).value_or(0);
  } else if (key == "reader_ellipsis") {
    config.readerEllipsis = value != "0";
  } else if (key.rfind("removed_at.", 0) == 0) {
    if (const auto n = ParseNumber(value)) config.removedAt[key.substr(11)] = *n;
  } else if (key == "removed_after_call") {
    config.removedAfterCall = value != "0";
  } else if (key == "refuse_duplicate_id") {
    config.refuseDuplicateId = value != "0";
  } else if (key == "pcsc_in_initialize") {
    config.pcscInInitialize = value != "0";
  } else if (key == "slot_fill_short") {
    config.slotFillShort = ParseNumber(value).value_or(0);
  } else if (key.rfind("delay_us.", 0) == 0) {
    if (const auto delay = ParseNumber(value)) config.delays[key.substr(9)] = *delay;
  }
}

Config ReadConfig() {
  Config config;
  std::ifstream in(std::string(gOwnPath) + ".conf");
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line[0] != '#') ParseLine(config, line);
  }
  return config;
}

// One write per line with O_APPEND, so lines of concurrent calls never interleave.
void AppendLog(const Config& config, const std::string& text) {
  if (config.log.empty()) return;
  const int fd = ::open(config.log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  const std::string line = text + "\n";
  [[maybe_unused]] const ssize_t written = ::write(fd, line.data(), line.size());
  ::close(fd);
}

CK_FUNCTION_LIST* LoadTarget(const Config& config) {
  if (CK_FUNCTION_LIST* target = gTarget.load()) return target;
  std::lock_guard lock(gTargetMutex);
  if (CK_FUNCTION_LIST* target = gTarget.load()) return target;
  if (config.target.empty()) return nullptr;
  void* handle = ::dlopen(config.target.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) return nullptr;
  auto getList = reinterpret_cast<CK_C_GetFunctionList>(::dlsym(handle, "C_GetFunctionList"));
  CK_FUNCTION_LIST* target = nullptr;
  if (!getList || getList(&target) != CKR_OK || !target) {
    ::dlclose(handle);
    return nullptr;
  }
  gTargetHandle = handle;
  gTarget.store(target);
  return target;
}

// Marks one call as in flight for its whole duration.
class CallScope {
 public:
  explicit CallScope(const char* name) : start_(std::chrono::steady_clock::now()) {
    const bool overlap = gInFlight.fetch_add(1) > 0;
    config_ = ReadConfig();
    AppendLog(config_, name);
    if (overlap) AppendLog(config_, std::string("OVERLAP ") + name);
    const auto delay = config_.delays.find(name);
    const unsigned long delayUs = delay != config_.delays.end() ? delay->second : config_.delayUs;
    if (delayUs) ::usleep(static_cast<useconds_t>(delayUs));
  }
  ~CallScope() {
    gInFlight.fetch_sub(1);
    gCallNs += static_cast<unsigned long long>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start_).count());
  }
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;

  const Config& config() const { return config_; }

 private:
  std::chrono::steady_clock::time_point start_;
  Config config_;
};

std::string TokenLabel(const CK_TOKEN_INFO& info) {
  std::string label(reinterpret_cast<const char*>(info.label), sizeof info.label);
  const auto end = label.find_last_not_of(' ');
  return end == std::string::npos ? std::string() : label.substr(0, end + 1);
}

CK_FUNCTION_LIST gOwnList;  // filled by the wrapper table below

// What a wrapper does after logging and injection: forward by default.
template <auto Member>
struct Hook {
  template <typename... Args>
  static CK_RV Run(const Config&, CK_FUNCTION_LIST* target, Args... args) {
    return (target->*Member)(args...);
  }
};

template <>
struct Hook<&CK_FUNCTION_LIST::C_GetFunctionList> {
  static CK_RV Run(const Config& config, CK_FUNCTION_LIST* target, CK_FUNCTION_LIST_PTR_PTR list) {
    if (!list) return CKR_ARGUMENTS_BAD;
    gOwnList.version = config.version.value_or(target->version);
    *list = &gOwnList;
    return CKR_OK;
  }
};

template <>
struct Hook<&CK_FUNCTION_LIST::C_GetInfo> {
  static CK_RV Run(const Config& config, CK_FUNCTION_LIST* target, CK_INFO_PTR info) {
    const CK_RV rv = target->C_GetInfo(info);
    if (rv == CKR_OK && config.version) info->cryptokiVersion = *config.version;
    return rv;
  }
};

// A context established and released through the process's own pcsc-lite (loaded on
// first use, so that modules without the option never bring it in).
void UsePcsc(const Config& config) {
  using Establish = long (*)(unsigned long, const void*, const void*, long*);
  using Release = long (*)(long);
  void* pcsc = ::dlopen("libpcsclite.so.1", RTLD_NOW | RTLD_LOCAL);
  if (!pcsc) {
    AppendLog(config, "SCardEstablishContext unavailable");
    return;
  }
  auto establish = reinterpret_cast<Establish>(::dlsym(pcsc, "SCardEstablishContext"));
  auto release = reinterpret_cast<Release>(::dlsym(pcsc, "SCardReleaseContext"));
  long context = 0;
  const long rv = establish ? establish(0 /* user scope */, nullptr, nullptr, &context) : -1;
  if (rv == 0 && release) release(context);
  std::ostringstream line;
  line << "SCardEstablishContext " << std::hex << static_cast<unsigned long>(rv & 0xFFFFFFFF);
  AppendLog(config, line.str());
}

template <>
struct Hook<&CK_FUNCTION_LIST::C_Initialize> {
  static CK_RV Run(const Config& config, CK_FUNCTION_LIST* target, CK_VOID_PTR args) {
    if (config.pcscInInitialize) UsePcsc(config);
    return target->C_Initialize(args);
  }
};

// Whether this fill of a slot list is one of the first slot_fill_short ones.
bool FillComesShort(const Config& config) {
  static std::atomic<unsigned long> fills{0};
  return config.slotFillShort > 0 && fills.fetch_add(1) < config.slotFillShort;
}

template <>
struct Hook<&CK_FUNCTION_LIST::C_GetSlotList> {
  static CK_RV Run(const Config& config, CK_FUNCTION_LIST* target, CK_BBOOL tokenPresent,
                   CK_SLOT_ID_PTR slots, CK_ULONG_PTR count) {
    if (slots && count && FillComesShort(config)) {
      CK_ULONG now = 0;
      const CK_RV rv = Run(config, target, tokenPresent, nullptr, &now);
      if (rv != CKR_OK) return rv;
      *count = now + 1;
      return CKR_BUFFER_TOO_SMALL;
    }
    if (!config.hideFreeSlot || !count) return target->C_GetSlotList(tokenPresent, slots, count);
    CK_ULONG all = 0;
    CK_RV rv = target->C_GetSlotList(tokenPresent, nullptr, &all);
    if (rv != CKR_OK) return rv;
    std::vector<CK_SLOT_ID> ids(all);
    rv = target->C_GetSlotList(tokenPresent, ids.data(), &all);
    if (rv != CKR_OK) return rv;
    ids.resize(all);
    std::vector<CK_SLOT_ID> kept;
    for (const CK_SLOT_ID id : ids) {
      CK_TOKEN_INFO info{};
      if (target->C_GetTokenInfo(id, &info) == CKR_OK && (info.flags & CKF_TOKEN_INITIALIZED)) {
        kept.push_back(id);
      }
    }
    const CK_ULONG capacity = *count;
    *count = kept.size();
    if (!slots) return CKR_OK;
    if (capacity < kept.size()) return CKR_BUFFER_TOO_SMALL;
    std::copy(kept.begin(), kept.end(), slots);
    return CKR_OK;
  }
};

template <>
struct Hook<&CK_FUNCTION_LIST::C_GetSlotInfo> {
  static CK_RV Run(const Config& config, CK_FUNCTION_LIST* target, CK_SLOT_ID slot,
                   CK_SLOT_INFO_PTR info) {
    const CK_RV rv = target->C_GetSlotInfo(slot, info);
    if (rv != CKR_OK || config.readers.empty()) return rv;
    CK_TOKEN_INFO token{};
    if (target->C_GetTokenInfo(slot, &token) != CKR_OK) return rv;
    const auto reader = config.readers.find(TokenLabel(token));
    if (reader == config.readers.end()) return rv;
    std::string description = reader->second;
    if (config.readerEllipsis && description.size() > sizeof info->slotDescription) {
      description = description.substr(0, sizeof info->slotDescription - 3) + "...";
    }
    std::memset(info->slotDescription, ' ', sizeof info->slotDescription);
    std::memcpy(info->slotDescription, description.data(),
                std::min(description.size(), sizeof info->slotDescription));
    return rv;
  }
};

template <>
struct Hook<&CK_FUNCTION_LIST::C_GetTokenInfo> {
  static CK_RV Run(const Config& config, CK_FUNCTION_LIST* target, CK_SLOT_ID slot,
                   CK_TOKEN_INFO_PTR info) {
    const CK_RV rv = target->C_GetTokenInfo(slot, info);
    if (rv != CKR_OK) return rv;
    info->flags = (info->flags | config.tokenFlagsSet) & ~config.tokenFlagsClear;
    const auto fill = [](CK_UTF8CHAR* field, size_t size, const std::string& text) {
      std::memset(field, ' ', size);
      std::memcpy(field, text.data(), std::min(text.size(), size));
    };
    if (config.tokenLabel) fill(info->label, sizeof info->label, *config.tokenLabel);
    if (config.tokenModel) fill(info->model, sizeof info->model, *config.tokenModel);
    if (config.tokenManufacturer) fill(info->manufacturerID, sizeof info->manufacturerID, *config.tokenManufacturer);
    if (config.tokenSerial) fill(info->serialNumber, sizeof info->serialNumber, *config.tokenSerial);
    return rv;
  }
};

// The eToken's vendor-defined hardware-feature objects, made up from the configuration
// (SoftHSM2 cannot hold them). Their handles lie far above SoftHSM2's.
constexpr CK_HW_FEATURE_TYPE kRetryCounterFeature = 0x80005002;
constexpr CK_HW_FEATURE_TYPE kPinStateFeature = 0x8000500A;
constexpr CK_ATTRIBUTE_TYPE kPinStateUserType = 0x80001219;
constexpr CK_ATTRIBUTE_TYPE kPinStateFlag = 0x80001218;
constexpr CK_ATTRIBUTE_TYPE kCounterAttributes[4] = {0x80001110, 0x80001111, 0x80001152,
                                                     0x80001154};
constexpr CK_OBJECT_HANDLE kRetryCounterHandle = 0x7E000000;
constexpr CK_OBJECT_HANDLE kPinStateHandleBase = 0x7E000100;

using Bytes = std::vector<unsigned char>;
using VendorObject = std::map<CK_ATTRIBUTE_TYPE, Bytes>;

Bytes UlongBytes(CK_ULONG value) {
  Bytes bytes(sizeof value);
  std::memcpy(bytes.data(), &value, sizeof value);
  return bytes;
}

std::map<CK_OBJECT_HANDLE, VendorObject> VendorObjects(const Config& config) {
  std::map<CK_OBJECT_HANDLE, VendorObject> objects;
  if (config.counters) {
    VendorObject& counter = objects[kRetryCounterHandle];
    counter[CKA_CLASS] = UlongBytes(CKO_HW_FEATURE);
    counter[CKA_HW_FEATURE_TYPE] = UlongBytes(kRetryCounterFeature);
    for (size_t i = 0; i < 4; ++i) {
      counter[kCounterAttributes[i]] = UlongBytes((*config.counters)[i]);
    }
  }
  CK_OBJECT_HANDLE next = kPinStateHandleBase;
  for (const auto& [userType, flag] : config.pinStates) {
    VendorObject& state = objects[next++];
    state[CKA_CLASS] = UlongBytes(CKO_HW_FEATURE);
    state[CKA_HW_FEATURE_TYPE] = UlongBytes(kPinStateFeature);
    state[kPinStateUserType] = UlongBytes(userType);
    state[kPinStateFlag] = Bytes{flag};
  }
  return objects;
}

// Open searches for vendor objects, by session (the library's load and unload hooks never
// touch them, so their construction order does not matter).
std::mutex gSearchMutex;
std::map<CK_SESSION_HANDLE, std::vector<CK_OBJECT_HANDLE>> gVendorSearches;
std::map<CK_SESSION_HANDLE, std::vector<CK_OBJECT_HANDLE>>& VendorSearches() {
  return gVendorSearches;
}

bool SearchesHardwareFeatures(CK_ATTRIBUTE_PTR attributes, CK_ULONG count) {
  for (CK_ULONG i = 0; attributes && i < count; ++i) {
    if (attributes[i].type == CKA_CLASS && attributes[i].ulValueLen == sizeof(CK_ULONG) &&
        *static_cast<CK_ULONG*>(attributes[i].pValue) == CKO_HW_FEATURE) {
      return true;
    }
  }
  return false;
}

bool Matches(const VendorObject& object, CK_ATTRIBUTE_PTR attributes, CK_ULONG count) {
  for (CK_ULONG i = 0; i < count; ++i) {
    const auto value = object.find(attributes[i].type);
    if (value == object.end() || value->second.size() != attributes[i].ulValueLen ||
        std::memcmp(value->second.data(), attributes[i].pValue, attributes[i].ulValueLen) != 0) {
      return false;
    }
  }
  return true;
}

template <>
struct Hook<&CK_FUNCTION_LIST::C_FindObjectsInit> {
  static CK_RV Run(const Config& config, CK_FUNCTION_LIST* target, CK_SESSION_HANDLE session,
                   CK_ATTRIBUTE_PTR attributes, CK_ULONG count) {
    for (CK_ULONG i = 0; attributes && i < count; ++i) {
      if (attributes[i].type != CKA_CLASS || attributes[i].ulValueLen != sizeof(CK_OBJECT_CLASS))
        continue;
      const auto fail = config.findFail.find(*static_cast<CK_OBJECT_CLASS*>(attributes[i].pValue));
      if (fail != config.findFail.end()) return fail->second;
    }
    // SoftHSM2 keeps the session's search state (one search at a time, session checks);
    // hardware-feature objects are then served from the configuration.
    const CK_RV rv = target->C_FindObjectsInit(session, attributes, count);
    if (rv != CKR_OK || !SearchesHardwareFeatures(attributes, count)) return rv;
    std::vector<CK_OBJECT_HANDLE> found;
    for (const auto& [handle, object] : VendorObjects(config)) {
      if (Matches(object, attributes, count)) found.push_back(handle);
    }
    std::lock_guard lock(gSearchMutex);
    VendorSearches()[session] = found;
    return rv;
  }
};

// A module that keeps CKA_ID unique per class refuses a second object with the same one.
template <>
struct Hook<&CK_FUNCTION_LIST::C_CreateObject> {
  static CK_RV Run(const Config& config, CK_FUNCTION_LIST* target, CK_SESSION_HANDLE session,
                   CK_ATTRIBUTE_PTR attributes, CK_ULONG count, CK_OBJECT_HANDLE_PTR object) {
    if (config.refuseDuplicateId && attributes) {
      std::vector<CK_ATTRIBUTE> search;
      for (CK_ULONG i = 0; i < count; ++i)
        if (attributes[i].type == CKA_CLASS || attributes[i].type == CKA_ID) search.push_back(attributes[i]);
      if (search.size() == 2) {
        CK_OBJECT_HANDLE found = 0;
        CK_ULONG n = 0;
        if (target->C_FindObjectsInit(session, search.data(), CK_ULONG(search.size())) == CKR_OK) {
          target->C_FindObjects(session, &found, 1, &n);
          target->C_FindObjectsFinal(session);
        }
        if (n) return CKR_TEMPLATE_INCONSISTENT;
      }
    }
    return target->C_CreateObject(session, attributes, count, object);
  }
};

template <>
struct Hook<&CK_FUNCTION_LIST::C_FindObjects> {
  static CK_RV Run(const Config&, CK_FUNCTION_LIST* target, CK_SESSION_HANDLE session,
                   CK_OBJECT_HANDLE_PTR objects, CK_ULONG capacity, CK_ULONG_PTR count) {
    {
      std::lock_guard lock(gSearchMutex);
      const auto search = VendorSearches().find(session);
      if (search != VendorSearches().end()) {
        if (!objects || !count) return CKR_ARGUMENTS_BAD;
        std::vector<CK_OBJECT_HANDLE>& left = search->second;
        const CK_ULONG n = std::min<CK_ULONG>(capacity, left.size());
        std::copy(left.begin(), left.begin() + n, objects);
        left.erase(left.begin(), left.begin() + n);
        *count = n;
        return CKR_OK;
      }
    }
    return target->C_FindObjects(session, objects, capacity, count);
  }
};

template <>
struct Hook<&CK_FUNCTION_LIST::C_FindObjectsFinal> {
  static CK_RV Run(const Config&, CK_FUNCTION_LIST* target, CK_SESSION_HANDLE session) {
    const CK_RV rv = target->C_FindObjectsFinal(session);
    std::lock_guard lock(gSearchMutex);
    VendorSearches().erase(session);
    return rv;
  }
};

// Fills a template from attribute values held here, as Cryptoki asks: a null value gives
// the length, a short buffer CKR_BUFFER_TOO_SMALL, an unknown type CKR_ATTRIBUTE_TYPE_INVALID.
CK_RV FillAttributes(const VendorObject& object, CK_ATTRIBUTE_PTR attributes, CK_ULONG count) {
  CK_RV result = CKR_OK;
  for (CK_ULONG i = 0; i < count; ++i) {
    const auto value = object.find(attributes[i].type);
    if (value == object.end()) {
      attributes[i].ulValueLen = CK_UNAVAILABLE_INFORMATION;
      result = CKR_ATTRIBUTE_TYPE_INVALID;
    } else if (!attributes[i].pValue) {
      attributes[i].ulValueLen = value->second.size();
    } else if (attributes[i].ulValueLen < value->second.size()) {
      attributes[i].ulValueLen = CK_UNAVAILABLE_INFORMATION;
      result = CKR_BUFFER_TOO_SMALL;
    } else {
      std::memcpy(attributes[i].pValue, value->second.data(), value->second.size());
      attributes[i].ulValueLen = value->second.size();
    }
  }
  return result;
}

constexpr CK_ATTRIBUTE_TYPE kKeyNameAttribute = 0x80001301;

// The configured key name of a SoftHSM2 key object, found by its CKA_ID; none for other
// objects.
std::optional<Bytes> KeyName(const Config& config, CK_FUNCTION_LIST* target,
                             CK_SESSION_HANDLE session, CK_OBJECT_HANDLE handle) {
  if (config.keyNames.empty()) return std::nullopt;
  CK_OBJECT_CLASS objectClass = CKO_DATA;
  CK_ATTRIBUTE classQuery = {CKA_CLASS, &objectClass, sizeof objectClass};
  if (target->C_GetAttributeValue(session, handle, &classQuery, 1) != CKR_OK ||
      (objectClass != CKO_PUBLIC_KEY && objectClass != CKO_PRIVATE_KEY)) {
    return std::nullopt;
  }
  CK_ATTRIBUTE idQuery = {CKA_ID, nullptr, 0};
  if (target->C_GetAttributeValue(session, handle, &idQuery, 1) != CKR_OK) return std::nullopt;
  Bytes id(idQuery.ulValueLen);
  idQuery.pValue = id.data();
  if (target->C_GetAttributeValue(session, handle, &idQuery, 1) != CKR_OK) return std::nullopt;
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (const unsigned char byte : id) {
    hex += digits[byte >> 4];
    hex += digits[byte & 15];
  }
  const auto name = config.keyNames.find(hex);
  if (name == config.keyNames.end()) return std::nullopt;
  return name->second;
}

template <>
struct Hook<&CK_FUNCTION_LIST::C_GetAttributeValue> {
  static CK_RV Run(const Config& config, CK_FUNCTION_LIST* target, CK_SESSION_HANDLE session,
                   CK_OBJECT_HANDLE handle, CK_ATTRIBUTE_PTR attributes, CK_ULONG count) {
    const auto objects = VendorObjects(config);
    const auto object = objects.find(handle);
    if (object != objects.end()) {
      CK_SESSION_INFO info{};
      if (const CK_RV rv = target->C_GetSessionInfo(session, &info); rv != CKR_OK) return rv;
      return FillAttributes(object->second, attributes, count);
    }
    // A template asking for the key name alone is answered here for configured keys.
    if (count == 1 && attributes && attributes[0].type == kKeyNameAttribute) {
      if (const auto name = KeyName(config, target, session, handle)) {
        return FillAttributes(VendorObject{{kKeyNameAttribute, *name}}, attributes, count);
      }
    }
    return target->C_GetAttributeValue(session, handle, attributes, count);
  }
};

// Closes every session of every slot when the drop_sessions value has changed since the
// last call: the caller's session handles die without the caller being told, as when a
// card is swapped.
std::mutex gDropMutex;
unsigned long gDropSeen = 0;  // the key's absence counts as 0

void DropSessionsWhenTold(const Config& config, CK_FUNCTION_LIST* target) {
  std::lock_guard lock(gDropMutex);
  if (config.dropSessions == gDropSeen) return;
  gDropSeen = config.dropSessions;
  CK_ULONG count = 0;
  if (target->C_GetSlotList(CK_FALSE, nullptr, &count) != CKR_OK) return;
  std::vector<CK_SLOT_ID> slots(count);
  if (target->C_GetSlotList(CK_FALSE, slots.data(), &count) != CKR_OK) return;
  for (CK_ULONG i = 0; i < count; ++i) target->C_CloseAllSessions(slots[i]);
}

// Calls that saw an injected result, by function; a call without one starts the count
// afresh, so that rv_at and rv_times count from when the result was injected.
std::mutex gInjectionLock;
std::map<std::string, unsigned long> gInjectionUsed;

void ForgetInjection(const std::string& name) {
  std::lock_guard<std::mutex> guard(gInjectionLock);
  gInjectionUsed.erase(name);
}

// Whether an injected result answers this call: always, or for the first rv_times calls.
bool InjectionApplies(const Config& config, const std::string& name) {
  auto& lock = gInjectionLock;
  auto& used = gInjectionUsed;
  if (const auto at = config.rvAt.find(name); at != config.rvAt.end()) {
    std::lock_guard<std::mutex> guard(lock);
    return ++used[name] == at->second;
  }
  const auto limit = config.rvTimes.find(name);
  if (limit == config.rvTimes.end()) return true;
  std::lock_guard<std::mutex> guard(lock);
  return used[name]++ < limit->second;
}

enum class Removal { Present, RemovedNow, Gone };

// Whether the card has left (see removed_at): the removing call itself is told apart, so
// that it may first reach the target.
Removal CardRemoval(const Config& config, const std::string& name) {
  static std::mutex lock;
  static std::map<std::string, unsigned long> calls;
  static bool gone = false;
  if (name == "C_Initialize" || name == "C_Finalize" || name == "C_GetInfo" || name == "C_GetFunctionList")
    return Removal::Present;
  std::lock_guard<std::mutex> guard(lock);
  if (config.removedAt.empty()) {
    gone = false;  // put back: the next removal counts afresh
    calls.clear();
    return Removal::Present;
  }
  if (gone) return Removal::Gone;
  const auto at = config.removedAt.find(name);
  if (at == config.removedAt.end() || ++calls[name] < at->second) return Removal::Present;
  gone = true;
  return Removal::RemovedNow;
}

// The one wrapper shape: log, detect overlap, inject, then run the hook.
template <const char* Name, auto Member, typename Function>
struct Wrapper;

template <const char* Name, auto Member, typename... Args>
struct Wrapper<Name, Member, CK_RV (*)(Args...)> {
  static CK_RV Call(Args... args) {
    const CallScope scope(Name);
    const Config& config = scope.config();
    const Removal removal = CardRemoval(config, Name);
    if (removal == Removal::Gone) return CKR_DEVICE_REMOVED;
    if (removal == Removal::RemovedNow && !config.removedAfterCall) return CKR_DEVICE_REMOVED;
    if (const auto injected = config.rv.find(Name); injected == config.rv.end()) {
      ForgetInjection(Name);
    } else if (InjectionApplies(config, Name)) {
      return injected->second;
    }
    CK_FUNCTION_LIST* target = LoadTarget(config);
    if (!target) return CKR_GENERAL_ERROR;
    if (!(target->*Member)) return CKR_FUNCTION_NOT_SUPPORTED;
    DropSessionsWhenTold(config, target);
    const CK_RV rv = Hook<Member>::Run(config, target, args...);
    return removal == Removal::RemovedNow ? CKR_DEVICE_REMOVED : rv;
  }
};

#define P11SHIM_WRAPPER(name)            \
  constexpr char kName_##name[] = #name; \
  using name##_Wrapper = Wrapper<kName_##name, &CK_FUNCTION_LIST::name, CK_##name>;
P11SHIM_FUNCTIONS(P11SHIM_WRAPPER)
#undef P11SHIM_WRAPPER

constexpr CK_FUNCTION_LIST MakeOwnList() {
  CK_FUNCTION_LIST list{};
#define P11SHIM_SLOT(name) list.name = &name##_Wrapper::Call;
  P11SHIM_FUNCTIONS(P11SHIM_SLOT)
#undef P11SHIM_SLOT
  return list;
}


// The eToken extension list: a table of function pointers of which only the change (39th)
// and unblock (40th) entries are filled.
std::string TextArgument(CK_UTF8CHAR_PTR text, CK_ULONG length) {
  return text ? std::string(reinterpret_cast<const char*>(text), length) : std::string("null");
}

// Runs an extension entry: name line, argument line, injection, then the session check.
template <typename... Parts>
CK_RV ExtensionCall(const char* name, CK_SESSION_HANDLE session, const Parts&... parts) {
  const CallScope scope(name);
  const Config& config = scope.config();
  std::ostringstream args;
  args << name << "|" << session;
  ((args << "|" << parts), ...);
  AppendLog(config, args.str());
  if (const auto injected = config.rv.find(name); injected != config.rv.end()) {
    return injected->second;
  }
  CK_FUNCTION_LIST* target = LoadTarget(config);
  if (!target) return CKR_GENERAL_ERROR;
  CK_SESSION_INFO info{};
  return target->C_GetSessionInfo(session, &info);
}

std::string Hex(CK_ULONG value) {
  std::ostringstream text;
  text << "0x" << std::hex << value;
  return text.str();
}

CK_RV EtcChangePin(CK_SESSION_HANDLE session, CK_USER_TYPE userType, CK_ULONG a, CK_ULONG b,
                   CK_ULONG c, CK_ULONG d, CK_UTF8CHAR_PTR oldPin, CK_ULONG oldLength,
                   CK_UTF8CHAR_PTR newPin, CK_ULONG newLength) {
  return ExtensionCall("ETC_ChangePin", session, Hex(userType), a, b, c, d,
                       TextArgument(oldPin, oldLength), oldLength,
                       TextArgument(newPin, newLength), newLength);
}

CK_RV EtcUnblockPin(CK_SESSION_HANDLE session, CK_USER_TYPE userType, CK_UTF8CHAR_PTR newPin,
                    CK_ULONG newLength, CK_ULONG mode, CK_ULONG zero, CK_UTF8CHAR_PTR puk,
                    CK_ULONG pukLength) {
  return ExtensionCall("ETC_UnblockPin", session, Hex(userType),
                       TextArgument(newPin, newLength), newLength, mode, zero,
                       TextArgument(puk, pukLength), pukLength);
}

[[maybe_unused]] void* const gExtensionList[40] = {
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    reinterpret_cast<void*>(&EtcChangePin), reinterpret_cast<void*>(&EtcUnblockPin)};

__attribute__((constructor)) void OnLoad() {
  TvrTest::StoreOwnModulePath(reinterpret_cast<void*>(&OnLoad), gOwnPath);
  gOwnList = MakeOwnList();
  AppendLog(ReadConfig(), "load");
}

__attribute__((destructor)) void OnUnload() {
  AppendLog(ReadConfig(), "unload");
  if (gTargetHandle) ::dlclose(gTargetHandle);
  gTargetHandle = nullptr;
  gTarget.store(nullptr);
}

}  // namespace

// Entry points exported by name. Vendor extensions go here as well.
extern "C" {
#pragma GCC visibility push(default)

CK_RV C_Initialize(CK_VOID_PTR initArgs) { return C_Initialize_Wrapper::Call(initArgs); }
CK_RV C_Finalize(CK_VOID_PTR reserved) { return C_Finalize_Wrapper::Call(reserved); }
// The list's C_GetInfo answers with `version`; this one may be told to claim another.
CK_RV C_GetInfo(CK_INFO_PTR info) {
  const CK_RV rv = C_GetInfo_Wrapper::Call(info);
  if (rv != CKR_OK || !info) return rv;
  if (const auto exported = ReadConfig().exportedVersion) info->cryptokiVersion = *exported;
  return rv;
}
#ifndef P11SHIM_NO_GET_FUNCTION_LIST
CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
  return C_GetFunctionList_Wrapper::Call(list);
}
#endif
#ifndef P11SHIM_NO_ETC_EXTENSIONS
// Fills the list even when told to fail, so a caller that ignores the result shows.
CK_RV ETC_GetFunctionListEx(void** list) {
  const CallScope scope("ETC_GetFunctionListEx");
  if (!list) return CKR_ARGUMENTS_BAD;
  *list = const_cast<void**>(gExtensionList);
  return scope.config().getListExRv;
}
#endif

// Nanoseconds spent inside the entry points since the module was loaded.
unsigned long long P11Shim_CallTimeNs() { return gCallNs.load(); }

#pragma GCC visibility pop
}
