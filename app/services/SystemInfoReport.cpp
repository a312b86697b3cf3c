#include "SystemInfoReport.h"

#include <PCSC/reader.h>
#include <PCSC/winscard.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <vector>

#include "CardTables.h"
#include "VersionProbes.h"
#include "platform/CardDatabase.h"
#include "platform/Library.h"

namespace {

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  if (n > 0) std::vsnprintf(text.data(), text.size() + 1, format, args);
  va_end(args);
  return text;
}

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string FirstLine(const std::string& path) {
  std::istringstream in(ReadText(path));
  std::string line;
  std::getline(in, line);
  return Trim(line);
}

std::string Below(const std::string& root, const std::string& path) {
  if (root.empty() || root == "/") return path;
  return (root.back() == '/' ? root.substr(0, root.size() - 1) : root) + path;
}

// "key : value" lines (cpuinfo) or "Key: value kB" lines (meminfo): the first value of a key.
std::string ColonValue(const std::string& text, const std::string& key) {
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    const size_t colon = line.find(':');
    if (colon != std::string::npos && Trim(line.substr(0, colon)) == key) return Trim(line.substr(colon + 1));
  }
  return {};
}

std::string OsReleaseValue(const std::string& root, const std::string& key) {
  std::string text = ReadText(Below(root, "/etc/os-release"));
  if (text.empty()) text = ReadText(Below(root, "/usr/lib/os-release"));
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.compare(0, key.size() + 1, key + "=") != 0) continue;
    std::string value = Trim(line.substr(key.size() + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    return value;
  }
  return {};
}

uint64_t Mebibytes(uint64_t bytes) { return bytes >> 20; }

std::string ProcessorAndMemory(const std::string& root) {
  std::string text = "Processor: " + ColonValue(ReadText(Below(root, "/proc/cpuinfo")), "model name") + "\r\n";
  const std::string meminfo = ReadText(Below(root, "/proc/meminfo"));
  const std::string total = ColonValue(meminfo, "MemTotal");
  const std::string available = ColonValue(meminfo, "MemAvailable");
  if (!total.empty() && !available.empty()) {
    const uint64_t kib = 1024;
    text += Format("Physical memory (total): %llu MB\r\n",
                   static_cast<unsigned long long>(Mebibytes(std::strtoull(total.c_str(), nullptr, 10) * kib)));
    text += Format("Physical memory (available): %llu MB\r\n",
                   static_cast<unsigned long long>(Mebibytes(std::strtoull(available.c_str(), nullptr, 10) * kib)));
  }
  return text;
}

// The mount table's octal escapes undone, for statvfs.
std::string UnescapeMountPoint(const std::string& field) {
  std::string point;
  auto octal = [](char c) { return c >= '0' && c <= '7'; };
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && octal(field[i + 1]) && octal(field[i + 2]) && octal(field[i + 3])) {
      point += static_cast<char>(std::strtoul(field.substr(i + 1, 3).c_str(), nullptr, 8));
      i += 3;
    } else {
      point += field[i];
    }
  }
  return point;
}

// Control characters shown as octal escapes: a name holding a line break cannot start a
// line of its own in the report.
std::string EscapeControlCharacters(const std::string& text) {
  std::string shown;
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) shown += Format("\\%03o", static_cast<unsigned>(c));
    else shown += static_cast<char>(c);
  }
  return shown;
}

// A drive that stays in the machine: sysfs calls the device (or, for a partition, its
// disk) not removable. Devices sysfs does not know are not listed.
bool IsFixedDrive(const std::string& root, const std::string& device) {
  namespace fs = std::filesystem;
  std::error_code error;
  // /dev/mapper/<name> and /dev/disk/by-*/<name> are links to the kernel's own name.
  const fs::path node = fs::canonical(Below(root, device), error);
  const std::string name = (error ? fs::path(device) : node).filename().string();
  fs::path block = fs::canonical(Below(root, "/sys/class/block/" + name), error);
  if (error) return false;
  if (fs::exists(block / "partition", error)) block = block.parent_path();
  return FirstLine((block / "removable").string()) == "0";
}

// The file systems of fixed block devices (the counterpart of fixed drives), each device
// once, in the mount table's order. Removable media and their owners' names stay out.
std::string Drives(const SystemInfoProbes& probes) {
  std::string text;
  std::istringstream in(ReadText(Below(probes.root, "/proc/mounts")));
  std::set<std::string> seen;
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    std::string device, mountPoint, type;
    if (!(fields >> device >> mountPoint >> type)) continue;
    if (device.rfind("/dev/", 0) != 0 || device.rfind("/dev/loop", 0) == 0) continue;
    if (type == "squashfs" || type == "iso9660" || type == "udf") continue;
    if (seen.count(device) || !IsFixedDrive(probes.root, device)) continue;
    seen.insert(device);
    const std::string point = UnescapeMountPoint(mountPoint);
    text += "Fixed drive: " + EscapeControlCharacters(point) + "\r\n";
    uint64_t total = 0, free = 0;
    if (probes.diskSpace(point, total, free)) {
      text += Format("Total space: %llu MB\r\n", static_cast<unsigned long long>(Mebibytes(total)));
      text += Format("Free space: %llu MB\r\n", static_cast<unsigned long long>(Mebibytes(free)));
    }
  }
  return text;
}

std::string OperatingSystem(const std::string& root) {
  std::string type = FirstLine(Below(root, "/proc/sys/kernel/ostype"));
  std::string release = FirstLine(Below(root, "/proc/sys/kernel/osrelease"));
  std::string machine = FirstLine(Below(root, "/proc/sys/kernel/arch"));
  utsname names{};
  const bool haveUname = (root.empty() || root == "/") && ::uname(&names) == 0;
  if (haveUname) {
    if (type.empty()) type = names.sysname;
    if (release.empty()) release = names.release;
    if (machine.empty()) machine = names.machine;
  }
  if (type.empty() && release.empty()) return {};
  const std::string pretty = OsReleaseValue(root, "PRETTY_NAME");
  std::string text = "\r\nOperating system: " + type + " " + release;
  text += pretty.empty() ? "\r\n" : " with " + pretty + "\r\n";
  const bool wide = machine.find("64") != std::string::npos || machine == "s390x";
  text += Format("Operating system type: %d bit\r\n", wide ? 64 : 32);
  return text;
}

std::string VendorModules(const SystemInfoProbes& probes) {
  std::string text = "\r\nPKCS#11 modules:\r\n";
  for (size_t i = 0; i < kVendorModuleCount; ++i) {
    const VendorModuleEntry& entry = VendorModuleTable[i];
    const std::string file = Platform::SharedLibraryFileName(entry.moduleFile);
    text += Format("%d. %s: %s (%s)\r\n", static_cast<int>(i + 1), entry.typeKey, file.c_str(),
                   probes.moduleFound(file) ? "found" : "not found");
  }
  return text + "\r\n";
}

std::string SmartCardDatabase(const Platform::CardDatabase* cards) {
  std::string text;
  if (cards == nullptr) return text;
  for (const std::string& name : cards->CardNames()) {
    auto provider = [&](uint32_t id) { return cards->GetCardTypeProviderName(name, id).value_or(""); };
    text += "Smart card: " + name + "\r\n";
    text += "  Crypto Provider: " + provider(Platform::kScardProviderCsp) + "\r\n";
    text += "  Smart Card Key Storage Provider: " + provider(Platform::kScardProviderKsp) + "\r\n";
    text += "  80000001: " + provider(Platform::kScardProviderCardModule) + "\r\n";
  }
  return text;
}

// The service block, from what systemd tells of a unit. Windows' service type, error
// control, load-order group, tag and account have no counterpart and stay empty.
struct ServiceInfo {
  std::string startType, binaryPath, dependencies, displayName;
  int status = 2;  // unknown
};

std::string ServiceBlock(const ServiceInfo& service) {
  std::string text = "  Service type: \r\n";
  text += "  Start type: " + service.startType + "\r\n";
  text += "  Error control: \r\n";
  text += "  Binary path name: " + service.binaryPath + "\r\n";
  text += "  Load order group: \r\n";
  text += Format("  Tag Id: 0x%08x\r\n", 0u);
  text += "  Dependencies: " + service.dependencies + "\r\n";
  text += "  Service start name: \r\n";
  text += "  Display name: " + service.displayName + "\r\n";
  text += "  Status: " + SystemInfoReport::ServiceStatusText(service.status) + "\r\n";
  return text;
}

ServiceInfo UnitService(std::map<std::string, std::string> unit) {
  ServiceInfo service;
  std::string binary = unit["ExecStart"];
  // "{ path=/usr/sbin/pcscd ; argv[]=... }"
  const size_t path = binary.find("path=");
  if (path != std::string::npos) binary = Trim(binary.substr(path + 5, binary.find(';', path) - path - 5));
  service.binaryPath = binary;
  std::istringstream required(unit["Requires"]);
  for (std::string name; required >> name;) service.dependencies += (service.dependencies.empty() ? "" : ", ") + name;
  service.startType = unit["UnitFileState"];
  service.displayName = unit["Description"];
  return service;
}

// The smart-card service: pcscd's unit, and whether it answers.
std::string SmartCardService(const SystemInfoProbes& probes) {
  const std::map<std::string, std::string> unit = probes.unitProperties("pcscd.service");
  ServiceInfo service = UnitService(unit);
  if (probes.smartCardServiceReachable()) {
    service.status = 0;
  } else if (unit.count("ActiveState") && !unit.at("ActiveState").empty()) {
    service.status = 1;
  }
  return "\r\nSmart card service:\r\n" + ServiceBlock(service);
}

// The Gemalto service, where a unit of its name is installed; otherwise the block's
// texts stay empty and its state unknown.
std::string GemaltoService(const SystemInfoProbes& probes) {
  std::map<std::string, std::string> unit = probes.unitProperties("GslShmSrvc.service");
  ServiceInfo service;
  if (unit["LoadState"] == "loaded") {
    service = UnitService(unit);
    service.status = unit["ActiveState"] == "active" ? 0 : 1;
  }
  return "Gemalto service:\r\n" + ServiceBlock(service);
}

std::string SysfsValue(const std::filesystem::path& device, const char* name) {
  return FirstLine((device / name).string());
}

// USB devices of the smart-card class (0x0B), on the device or on one of its interfaces.
std::string UsbReaders(const std::string& root) {
  namespace fs = std::filesystem;
  std::vector<fs::path> devices;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(Below(root, "/sys/bus/usb/devices"), error)) {
    const std::string name = entry.path().filename().string();
    if (name.find(':') != std::string::npos) continue;  // an interface
    if (!fs::exists(entry.path() / "idVendor", error)) continue;
    devices.push_back(entry.path());
  }
  std::sort(devices.begin(), devices.end());
  std::string text;
  for (const fs::path& device : devices) {
    bool reader = SysfsValue(device, "bDeviceClass") == "0b";
    const std::string name = device.filename().string();
    for (const auto& entry : fs::directory_iterator(device, error)) {
      const std::string child = entry.path().filename().string();
      if (child.rfind(name + ":", 0) == 0 && SysfsValue(entry.path(), "bInterfaceClass") == "0b") reader = true;
    }
    if (!reader) continue;
    std::string vendor = SysfsValue(device, "idVendor"), product = SysfsValue(device, "idProduct");
    std::transform(vendor.begin(), vendor.end(), vendor.begin(), ::toupper);
    std::transform(product.begin(), product.end(), product.begin(), ::toupper);
    std::string serial = SysfsValue(device, "serial");
    if (serial.empty()) serial = name;
    text += "DeviceInstanceId: USB\\VID_" + vendor + "&PID_" + product + "\\" + serial + "\r\n";
    text += "  DEVICEDESC: " + SysfsValue(device, "product") + "\r\n";
    text += "  MFG: " + SysfsValue(device, "manufacturer") + "\r\n";
  }
  return text;
}

class InstalledVersions : public IVersionSource {
 public:
  explicit InstalledVersions(const std::string& root) : probes_(root) {}
  std::string ProgramVersion() override { return TvrServices::GetOwnFileVersion(); }
  std::string MiddlewareVersion(const std::string& vendorKey) override { return probes_.VendorVersion(vendorKey); }
  std::string MiddlewareFolder(const std::string& vendorKey) override {
    return probes_.VendorInstallLocation(vendorKey);
  }

 private:
  TvrServices::VersionProbes probes_;
};

std::string Versions(IVersionSource& versions, const std::string& gemaltoService) {
  auto program = [&] { return versions.ProgramVersion(); };
  auto version = [&](const char* key) { return versions.MiddlewareVersion(key); };
  auto folder = [&](const char* key) { return versions.MiddlewareFolder(key); };
  std::string text = "\r\nOlvanta Kelmardin executable version: " + program() + "\r\n";
  const std::pair<const char*, const char*> middleware[] = {
      {"Bit4ID", "Bit4ID Universal Middleware"},
      {"Gemalto", "Gemalto Classic Client"},
      {"Gemalto2", "SafeNet Authentication Client"},
      {"Oberthur", "Oberthur AuthentIC Webpack"},
  };
  for (const auto& [key, product] : middleware) {
    text += "\r\n" + std::string(product) + " version: " + version(key) + "\r\n";
    text += std::string(product) + " install location: " + folder(key) + "\r\n";
    if (std::string(key) == "Gemalto") text += gemaltoService;
  }
  return text;
}

// pcsc-lite's LONG is 64 bits wide here; the report shows the 32-bit codes.
std::string Failure(const char* call, LONG result) {
  const uint32_t code = static_cast<uint32_t>(result);
  return Format("Failed %s. Errorcode: %d (0x%X)\r\n", call, static_cast<int32_t>(code), code);
}

class ScopedContext {
 public:
  ScopedContext() { result_ = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context_); }
  ~ScopedContext() {
    if (result_ == SCARD_S_SUCCESS) SCardReleaseContext(context_);
  }
  ScopedContext(const ScopedContext&) = delete;
  ScopedContext& operator=(const ScopedContext&) = delete;
  LONG Result() const { return result_; }
  SCARDCONTEXT Get() const { return context_; }

 private:
  SCARDCONTEXT context_ = 0;
  LONG result_;
};

class ScopedCard {
 public:
  ScopedCard(SCARDCONTEXT context, const char* reader) {
    DWORD protocol = 0;
    LONG result = SCardConnect(context, reader, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
                               &card_, &protocol);
    // An empty reader still answers for its attributes when connected directly.
    if (result == SCARD_E_NO_SMARTCARD || result == SCARD_W_REMOVED_CARD) {
      result = SCardConnect(context, reader, SCARD_SHARE_DIRECT, 0, &card_, &protocol);
    }
    connected_ = result == SCARD_S_SUCCESS;
  }
  ~ScopedCard() {
    if (connected_) SCardDisconnect(card_, SCARD_LEAVE_CARD);
  }
  ScopedCard(const ScopedCard&) = delete;
  ScopedCard& operator=(const ScopedCard&) = delete;
  bool Connected() const { return connected_; }
  bool Attribute(DWORD id, std::vector<uint8_t>& value) const {
    // pcsc-lite answers no length query here, and carries at most MAX_BUFFER_SIZE bytes.
    value.assign(MAX_BUFFER_SIZE, 0);
    DWORD length = static_cast<DWORD>(value.size());
    if (SCardGetAttrib(card_, id, value.data(), &length) != SCARD_S_SUCCESS) return false;
    value.resize(std::min<size_t>(length, value.size()));
    return true;
  }

 private:
  SCARDHANDLE card_ = 0;
  bool connected_ = false;
};

std::string ReaderAttributes(const ScopedCard& card) {
  std::string text;
  const std::pair<DWORD, const char*> texts[] = {
      {SCARD_ATTR_VENDOR_NAME, "VendorName"},
      {SCARD_ATTR_VENDOR_IFD_SERIAL_NO, "VendorIFDSerialNo"},
      {SCARD_ATTR_VENDOR_IFD_TYPE, "VendorIFDType"},
  };
  std::vector<uint8_t> value;
  for (const auto& [id, name] : texts) {
    if (!card.Attribute(id, value)) continue;
    // Drivers count the terminating zero in or not; the text ends at the first zero.
    const auto end = std::find(value.begin(), value.end(), 0);
    text += "  " + std::string(name) + ": " + std::string(value.begin(), end) + "\r\n";
  }
  if (card.Attribute(SCARD_ATTR_VENDOR_IFD_VERSION, value)) {
    uint32_t v = 0;
    for (size_t i = 0; i < std::min<size_t>(value.size(), 4); ++i) v |= static_cast<uint32_t>(value[i]) << (8 * i);
    text += Format("  VendorIFDVersion: %d.%d.%04d\r\n", static_cast<int>(v >> 24),
                   static_cast<int>((v >> 16) & 0xFF), static_cast<int>(v & 0xFFFF));
  }
  return text;
}

bool ModuleBelowRoot(const std::string& root, const std::string& file) {
  std::vector<std::string> folders = {"/usr/lib", "/usr/local/lib", "/lib", "/usr/lib64", "/lib64"};
  const std::string multiarch = Platform::MultiarchPkcs11Directory();
  if (!multiarch.empty()) {
    folders.push_back(multiarch);
    folders.push_back(std::filesystem::path(multiarch).parent_path().string());
  }
  std::error_code error;
  for (const std::string& folder : folders) {
    if (std::filesystem::exists(Below(root, folder + "/" + file), error)) return true;
  }
  return false;
}

}  // namespace

std::string SystemInfoReport::ServiceStatusText(int status) {
  switch (status) {
    case 0: return "running";
    case 1: return "not running";
    case 2: return "running status is unknown";
    default: return {};
  }
}

std::string SystemInfoReport::PcscReadersText() {
  ScopedContext context;
  if (context.Result() != SCARD_S_SUCCESS) return Failure("SCardEstablishContext", context.Result());
  DWORD length = 0;
  LONG result = SCardListReaders(context.Get(), nullptr, nullptr, &length);
  std::vector<char> names;
  if (result == SCARD_S_SUCCESS) {
    names.assign(length, '\0');
    result = SCardListReaders(context.Get(), nullptr, names.data(), &length);
  }
  if (result != SCARD_S_SUCCESS) return Failure("SCardListReaders", result);
  std::string text;
  for (const char* name = names.data(); name < names.data() + names.size() && *name; name += std::strlen(name) + 1) {
    text += std::string(name) + "\r\n";
    ScopedCard card(context.Get(), name);
    if (card.Connected()) text += ReaderAttributes(card);
  }
  return text;
}

std::map<std::string, std::string> SystemInfoReport::SystemdUnitProperties(const std::string& unit,
                                                                            int timeLimitMs) {
  std::map<std::string, std::string> properties;
  // Everything the child needs is made before the fork: it only duplicates descriptors and
  // execs (the parent may have other threads holding the allocator's lock).
  const std::string property = "--property=LoadState,UnitFileState,ExecStart,Requires,Description,ActiveState";
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return properties;
  const pid_t child = ::fork();
  if (child < 0) {
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    return properties;
  }
  if (child == 0) {
    ::dup2(pipeFds[1], STDOUT_FILENO);
    const int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
      ::dup2(null, STDIN_FILENO);
      ::dup2(null, STDERR_FILENO);
    }
    ::execlp("systemctl", "systemctl", "show", "--no-pager", property.c_str(), unit.c_str(),
             static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  std::string output;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeLimitMs);
  bool complete = false;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd fd{pipeFds[0], POLLIN, 0};
    if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0) break;
    char buffer[4096];
    const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
    if (n <= 0) {
      complete = n == 0;
      break;
    }
    output.append(buffer, static_cast<size_t>(n));
  }
  ::close(pipeFds[0]);
  if (!complete) ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (!complete || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return properties;
  std::istringstream in(output);
  for (std::string line; std::getline(in, line);) {
    const size_t equals = line.find('=');
    if (equals != std::string::npos) properties[line.substr(0, equals)] = Trim(line.substr(equals + 1));
  }
  return properties;
}

std::string SystemInfoReport::Build(SystemInfoProbes probes) {
  const std::string root = probes.root;
  if (!probes.diskSpace) {
    probes.diskSpace = [root](const std::string& mountPoint, uint64_t& total, uint64_t& free) {
      struct statvfs info{};
      if (::statvfs(Below(root, mountPoint).c_str(), &info) != 0) return false;
      total = static_cast<uint64_t>(info.f_blocks) * info.f_frsize;
      free = static_cast<uint64_t>(info.f_bfree) * info.f_frsize;
      return true;
    };
  }
  if (!probes.readers) probes.readers = &SystemInfoReport::PcscReadersText;
  if (!probes.smartCardServiceReachable) {
    probes.smartCardServiceReachable = [] { return ScopedContext().Result() == SCARD_S_SUCCESS; };
  }
  if (!probes.unitProperties) {
    probes.unitProperties = [](const std::string& unit) { return SystemdUnitProperties(unit); };
  }
  if (!probes.moduleFound) {
    probes.moduleFound = [root](const std::string& file) { return ModuleBelowRoot(root, file); };
  }

  std::string text = ProcessorAndMemory(root);
  text += Drives(probes);
  text += OperatingSystem(root);
  text += VendorModules(probes);
  text += "\r\nSmart card(s) and provider(s):\r\n" + SmartCardDatabase(probes.cards);
  text += SmartCardService(probes);
  text += "\r\nSmart card reader(s):\r\n" + probes.readers();
  text += "\r\nSmart card reader(s) and driver(s):\r\n" + UsbReaders(root);
  InstalledVersions installed(root);
  text += Versions(probes.versions ? *probes.versions : installed, GemaltoService(probes));
  return text;
}
