#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "Bit4utlDouble.h"
#include "P11Rig.h"

namespace fs = std::filesystem;

namespace TvrTest {

InstalledBit4utl::InstalledBit4utl(bool withExports) : path_(ModuleDir() + "/libbit4utl.so") {
  if (fs::exists(path_)) throw std::runtime_error(path_ + " is already installed");
  fs::copy_file(withExports ? TVR_BIT4UTL_DOUBLE_PATH : TVR_BIT4UTL_EMPTY_PATH, path_);
  WriteConf();
}

InstalledBit4utl::~InstalledBit4utl() {
  std::error_code ignored;
  for (const std::string& file : {path_, path_ + ".conf", path_ + ".log"}) fs::remove(file, ignored);
}

void InstalledBit4utl::Set(const std::string& key, const std::string& value) {
  settings_.emplace_back(key, value);
  WriteConf();
}

void InstalledBit4utl::WriteConf() const {
  std::ofstream out(path_ + ".conf", std::ios::trunc);
  for (const auto& [key, value] : settings_) out << key << "=" << value << "\n";
  if (!out.flush()) throw std::runtime_error("cannot write " + path_ + ".conf");
}

std::vector<std::vector<std::string>> InstalledBit4utl::Calls() const {
  std::vector<std::vector<std::string>> calls;
  std::ifstream in(path_ + ".log");
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> fields;
    std::istringstream parts(line);
    for (std::string field; std::getline(parts, field, '|');) fields.push_back(field);
    calls.push_back(fields);
  }
  return calls;
}

void InstalledBit4utl::ClearCalls() {
  std::error_code ignored;
  fs::remove(path_ + ".log", ignored);
}

}  // namespace TvrTest
