// A PIN-pad reader for the private pcscd: an IFD handler that passes everything to the
// vpcd driver and gives the configured slots the PC/SC v2 part 10 "modify PIN direct"
// feature. A modify request is written to the record file (one hex line per block); the
// "pad" then types the configured values into the command at the block's insertion
// offsets and sends it to the card, whose answer goes back to the caller.
//
// Configuration: "<path of this file>.conf", re-read at every call, with the keys driver
// (the vpcd driver to forward to), slots (comma-separated slot numbers with a PIN pad),
// first and new (the values the pad types) and record (the record file).
// The handler header declares the entry points without C linkage.
extern "C" {
#include <PCSC/ifdhandler.h>
}
#include <PCSC/reader.h>
#include <dlfcn.h>
#include <limits.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "../OwnModulePath.h"

namespace {

// The control code our pad answers to, as CCID readers number it.
constexpr DWORD kModifyPinDirect = SCARD_CTL_CODE(FEATURE_MODIFY_PIN_DIRECT + 0x330000);
constexpr size_t kHeaderLength = 5;

char gOwnPath[PATH_MAX];

struct Config {
  std::string driver;
  std::set<DWORD> slots;
  std::string first;
  std::string next;
  std::string record;
};

Config ReadConfig() {
  Config config;
  std::ifstream in(std::string(gOwnPath) + ".conf");
  for (std::string line; std::getline(in, line);) {
    const auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = line.substr(0, eq);
    const std::string value = line.substr(eq + 1);
    if (key == "driver") config.driver = value;
    if (key == "first") config.first = value;
    if (key == "new") config.next = value;
    if (key == "record") config.record = value;
    if (key == "slots") {
      std::istringstream items(value);
      for (std::string item; std::getline(items, item, ',');) {
        if (!item.empty()) config.slots.insert(std::stoul(item));
      }
    }
  }
  return config;
}

// The vpcd driver's entry points, bound once.
struct Driver {
  RESPONSECODE (*createByName)(DWORD, LPSTR) = nullptr;
  RESPONSECODE (*create)(DWORD, DWORD) = nullptr;
  RESPONSECODE (*close)(DWORD) = nullptr;
  RESPONSECODE (*getCapabilities)(DWORD, DWORD, PDWORD, PUCHAR) = nullptr;
  RESPONSECODE (*setCapabilities)(DWORD, DWORD, DWORD, PUCHAR) = nullptr;
  RESPONSECODE (*setProtocol)(DWORD, DWORD, UCHAR, UCHAR, UCHAR, UCHAR) = nullptr;
  RESPONSECODE (*power)(DWORD, DWORD, PUCHAR, PDWORD) = nullptr;
  RESPONSECODE (*transmit)(DWORD, SCARD_IO_HEADER, PUCHAR, DWORD, PUCHAR, PDWORD,
                           PSCARD_IO_HEADER) = nullptr;
  RESPONSECODE (*presence)(DWORD) = nullptr;
  RESPONSECODE (*control)(DWORD, DWORD, PUCHAR, DWORD, PUCHAR, DWORD, LPDWORD) = nullptr;
};

template <typename Fn>
void Bind(void* handle, Fn& fn, const char* name) {
  fn = reinterpret_cast<Fn>(::dlsym(handle, name));
}

const Driver& Vpcd() {
  static std::once_flag once;
  static Driver driver;
  std::call_once(once, [] {
    void* handle = ::dlopen(ReadConfig().driver.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) return;
    Bind(handle, driver.createByName, "IFDHCreateChannelByName");
    Bind(handle, driver.create, "IFDHCreateChannel");
    Bind(handle, driver.close, "IFDHCloseChannel");
    Bind(handle, driver.getCapabilities, "IFDHGetCapabilities");
    Bind(handle, driver.setCapabilities, "IFDHSetCapabilities");
    Bind(handle, driver.setProtocol, "IFDHSetProtocolParameters");
    Bind(handle, driver.power, "IFDHPowerICC");
    Bind(handle, driver.transmit, "IFDHTransmitToICC");
    Bind(handle, driver.presence, "IFDHICCPresence");
    Bind(handle, driver.control, "IFDHControl");
  });
  return driver;
}

void Record(const Config& config, PUCHAR data, DWORD length) {
  std::string line;
  char hex[3];
  for (DWORD i = 0; i < length; ++i) {
    std::snprintf(hex, sizeof hex, "%02X", data[i]);
    line += hex;
  }
  std::ofstream(config.record, std::ios::app) << line << "\n";
}

void Type(std::vector<UCHAR>& command, size_t offset, const std::string& value) {
  for (size_t i = 0; i < value.size() && kHeaderLength + offset + i < command.size(); ++i) {
    command[kHeaderLength + offset + i] = static_cast<UCHAR>(value[i]);
  }
}

RESPONSECODE ModifyPin(const Config& config, DWORD lun, PUCHAR tx, DWORD txLength, PUCHAR rx,
                       DWORD rxLength, LPDWORD returned) {
  Record(config, tx, txLength);
  if (txLength < sizeof(PIN_MODIFY_STRUCTURE)) return IFD_COMMUNICATION_ERROR;
  PIN_MODIFY_STRUCTURE modify;
  std::memcpy(&modify, tx, sizeof modify);
  if (txLength < sizeof modify + modify.ulDataLength || modify.ulDataLength < kHeaderLength) {
    return IFD_COMMUNICATION_ERROR;
  }
  std::vector<UCHAR> command(tx + sizeof modify, tx + sizeof modify + modify.ulDataLength);
  Type(command, modify.bInsertionOffsetOld, config.first);
  Type(command, modify.bInsertionOffsetNew, config.next);
  SCARD_IO_HEADER send{1, 0};
  SCARD_IO_HEADER received{0, 0};
  DWORD length = rxLength;
  const RESPONSECODE rv = Vpcd().transmit(lun, send, command.data(),
                                          static_cast<DWORD>(command.size()), rx, &length,
                                          &received);
  *returned = rv == IFD_SUCCESS ? length : 0;
  return rv;
}

__attribute__((constructor)) void OnLoad() {
  TvrTest::StoreOwnModulePath(reinterpret_cast<void*>(&OnLoad), gOwnPath);
}

}  // namespace

extern "C" {
#pragma GCC visibility push(default)

RESPONSECODE IFDHCreateChannelByName(DWORD lun, LPSTR device) {
  return Vpcd().createByName ? Vpcd().createByName(lun, device) : IFD_COMMUNICATION_ERROR;
}
RESPONSECODE IFDHCreateChannel(DWORD lun, DWORD channel) {
  return Vpcd().create ? Vpcd().create(lun, channel) : IFD_COMMUNICATION_ERROR;
}
RESPONSECODE IFDHCloseChannel(DWORD lun) {
  return Vpcd().close ? Vpcd().close(lun) : IFD_COMMUNICATION_ERROR;
}
RESPONSECODE IFDHGetCapabilities(DWORD lun, DWORD tag, PDWORD length, PUCHAR value) {
  const DWORD room = length ? *length : 0;  // vpcd clears it for a tag it does not know
  const RESPONSECODE result = Vpcd().getCapabilities ? Vpcd().getCapabilities(lun, tag, length, value)
                                                     : IFD_COMMUNICATION_ERROR;
  if (result == IFD_SUCCESS || length == nullptr || value == nullptr) return result;
  // Vendor attributes as a real reader's driver gives them: the name with its terminating
  // zero counted in, the version as a little-endian DWORD (1.2.0003).
  std::vector<UCHAR> answer;
  if (tag == SCARD_ATTR_VENDOR_NAME) {
    const char name[] = "Tavrenic";
    answer.assign(name, name + sizeof name);
  } else if (tag == SCARD_ATTR_VENDOR_IFD_VERSION) {
    answer = {0x03, 0x00, 0x02, 0x01};
  } else {
    return result;
  }
  if (room < answer.size()) return IFD_ERROR_INSUFFICIENT_BUFFER;
  std::memcpy(value, answer.data(), answer.size());
  *length = static_cast<DWORD>(answer.size());
  return IFD_SUCCESS;
}
RESPONSECODE IFDHSetCapabilities(DWORD lun, DWORD tag, DWORD length, PUCHAR value) {
  return Vpcd().setCapabilities ? Vpcd().setCapabilities(lun, tag, length, value)
                                : IFD_COMMUNICATION_ERROR;
}
RESPONSECODE IFDHSetProtocolParameters(DWORD lun, DWORD protocol, UCHAR flags, UCHAR pts1,
                                       UCHAR pts2, UCHAR pts3) {
  return Vpcd().setProtocol ? Vpcd().setProtocol(lun, protocol, flags, pts1, pts2, pts3)
                            : IFD_COMMUNICATION_ERROR;
}
RESPONSECODE IFDHPowerICC(DWORD lun, DWORD action, PUCHAR atr, PDWORD length) {
  return Vpcd().power ? Vpcd().power(lun, action, atr, length) : IFD_COMMUNICATION_ERROR;
}
RESPONSECODE IFDHTransmitToICC(DWORD lun, SCARD_IO_HEADER send, PUCHAR tx, DWORD txLength,
                               PUCHAR rx, PDWORD rxLength, PSCARD_IO_HEADER received) {
  return Vpcd().transmit ? Vpcd().transmit(lun, send, tx, txLength, rx, rxLength, received)
                         : IFD_COMMUNICATION_ERROR;
}
RESPONSECODE IFDHICCPresence(DWORD lun) {
  return Vpcd().presence ? Vpcd().presence(lun) : IFD_COMMUNICATION_ERROR;
}
RESPONSECODE IFDHControl(DWORD lun, DWORD code, PUCHAR tx, DWORD txLength, PUCHAR rx,
                         DWORD rxLength, LPDWORD returned) {
  const Config config = ReadConfig();
  if (returned) *returned = 0;
  if (config.slots.count(lun & 0xFFFF) && returned && rx) {
    if (code == CM_IOCTL_GET_FEATURE_REQUEST) {
      if (rxLength < 6) return IFD_COMMUNICATION_ERROR;
      const UCHAR feature[6] = {FEATURE_MODIFY_PIN_DIRECT, 4,
                                static_cast<UCHAR>(kModifyPinDirect >> 24),
                                static_cast<UCHAR>(kModifyPinDirect >> 16),
                                static_cast<UCHAR>(kModifyPinDirect >> 8),
                                static_cast<UCHAR>(kModifyPinDirect)};
      std::memcpy(rx, feature, sizeof feature);
      *returned = sizeof feature;
      return IFD_SUCCESS;
    }
    if (code == kModifyPinDirect && tx) return ModifyPin(config, lun, tx, txLength, rx, rxLength, returned);
  }
  return Vpcd().control ? Vpcd().control(lun, code, tx, txLength, rx, rxLength, returned)
                        : IFD_COMMUNICATION_ERROR;
}

#pragma GCC visibility pop
}
