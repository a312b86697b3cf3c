#include "P11Rig.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace TvrTest {
namespace {

// Copies under a temporary name and renames, so a reader never sees half a file.
void CopyInto(const std::string& from, const std::string& to) {
  const std::string partial = to + ".partial";
  std::error_code error;
  fs::copy_file(from, partial, fs::copy_options::overwrite_existing, error);
  if (!error) fs::rename(partial, to, error);
  if (error) throw std::runtime_error("cannot copy " + from + " to " + to + ": " + error.message());
}

void WriteFileAtomically(const std::string& path, const std::string& content) {
  const std::string partial = path + ".partial";
  {
    std::ofstream out(partial, std::ios::trunc);
    out << content;
    if (!out.flush()) throw std::runtime_error("cannot write " + partial);
  }
  std::error_code error;
  fs::rename(partial, path, error);
  if (error) throw std::runtime_error("cannot rename " + partial + ": " + error.message());
}

}  // namespace

InstalledShim::InstalledShim(const std::string& fileName, const ShimOptions& options)
    : options_(options) {
  static std::atomic<int> installs{0};
  const std::string dir = ModuleDir();
  path_ = dir + "/" + fileName;
  // A private SoftHSM2 file per installation: separate files are separate
  // instances, and a name never reused avoids getting a still-loaded one back.
  targetPath_ = path_ + ".softhsm2-" + std::to_string(installs++) + ".so";
  logPath_ = path_ + ".log";
  if (fs::exists(path_)) throw std::runtime_error(path_ + " is already installed");
  const char* build = options.withoutFunctionList ? TVR_P11SHIM_NOFL_PATH
                      : options.withoutExtensions ? TVR_P11SHIM_NOEXT_PATH
                                                  : TVR_P11SHIM_PATH;
  CopyInto(build, path_);
  CopyInto(TVR_SOFTHSM2_MODULE, targetPath_);
  WriteConf();
}

InstalledShim::~InstalledShim() {
  std::error_code ignored;
  for (const std::string& file : {path_, targetPath_, logPath_, path_ + ".conf"}) {
    fs::remove(file, ignored);
  }
}

void InstalledShim::WriteConf() const {
  std::ostringstream conf;
  conf << "target=" << targetPath_ << "\n"
       << "log=" << logPath_ << "\n"
       << "delay_us=" << options_.delayUs << "\n"
       << "hide_free_slot=" << (options_.hideFreeSlot ? 1 : 0) << "\n"
       << "pcsc_in_initialize=" << (options_.pcscInInitialize ? 1 : 0) << "\n";
  if (!options_.version.empty()) conf << "version=" << options_.version << "\n";
  for (const auto& [label, reader] : options_.readers) conf << "reader." << label << "=" << reader << "\n";
  for (const auto& [function, rv] : rv_) conf << "rv." << function << "=0x" << std::hex << rv << std::dec << "\n";
  for (const auto& [key, value] : extra_) conf << key << "=" << value << "\n";
  WriteFileAtomically(path_ + ".conf", conf.str());
}

void InstalledShim::InjectRv(const std::string& function, unsigned long rv) {
  rv_[function] = rv;
  WriteConf();
}

void InstalledShim::ClearRv(const std::string& function) {
  rv_.erase(function);
  WriteConf();
}

void InstalledShim::SetVersion(const std::string& version) {
  options_.version = version;
  WriteConf();
}

std::vector<std::string> InstalledShim::CallLog() const {
  std::vector<std::string> lines;
  std::ifstream in(logPath_);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::size_t InstalledShim::CountCalls(const std::string& line) const {
  const auto lines = CallLog();
  return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
}

bool InstalledShim::SawOverlap() const {
  const auto lines = CallLog();
  return std::any_of(lines.begin(), lines.end(),
                     [](const std::string& line) { return line.rfind("OVERLAP", 0) == 0; });
}

void InstalledShim::ClearLog() {
  std::error_code ignored;
  fs::remove(logPath_, ignored);
}

void InstalledShim::SetOption(const std::string& key, const std::string& value) {
  extra_[key] = value;
  WriteConf();
}

void InstalledShim::DropSessions() { SetOption("drop_sessions", std::to_string(++drops_)); }

void InstalledShim::ClearOption(const std::string& key) {
  extra_.erase(key);
  WriteConf();
}

}  // namespace TvrTest
