// Typed per-user and machine-wide settings (the program's "registry" on Linux).
//
// A profile is a text file of sections holding typed values. The user file is
// $XDG_CONFIG_HOME/Tavrenic/<application>.conf (default ~/.config); the machine file is
// Tavrenic/<application>.conf in the first machine settings folder that has it (see
// SystemConfigDirectories: /etc/xdg by default), layered value by value over the defaults
// shipped with the program (<datadir>/kelmardin/<application>.conf), which stand in alone
// when no machine file exists. Reads through Profile::Scope::Merged look in the user file
// first, then in the machine file, then in the shipped defaults; writes always go to the
// user file. Values keep their type (string, expandable string, 32-bit
// integer, multi-string, binary) so that callers can tell "absent" from "wrong type".
//
// Users may edit the file by hand: a write changes only the line of its value (or adds one
// in the value's section) and keeps comments and lines it does not understand as they are.
// Writes are atomic (temp file, fsync, rename) and serialised between threads and
// processes by a lock file beside the profile.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace Platform {

enum class ValueType { None, String, ExpandString, Dword, MultiString, Binary };

struct ProfileValue {
  ValueType type = ValueType::None;
  std::string text;                    // String, ExpandString
  uint32_t dword = 0;                  // Dword
  std::vector<std::string> strings;    // MultiString
  std::vector<uint8_t> bytes;          // Binary

  static ProfileValue String(std::string s);
  static ProfileValue ExpandString(std::string s);
  static ProfileValue Dword(uint32_t v);
  static ProfileValue MultiString(std::vector<std::string> v);
  static ProfileValue Binary(std::vector<uint8_t> v);
  bool operator==(const ProfileValue&) const = default;
};

class Profile {
 public:
  enum class Scope { User, Machine, Merged };

  // A profile of the named application; an empty name means the current application
  // (see SetApplicationName).
  explicit Profile(std::string application = {}, Scope scope = Scope::Merged);

  // The application name used by Profile() with no name: by default the executable's
  // base name, so "kelmardin" for the program.
  static void SetApplicationName(const std::string& name);
  static std::string ApplicationName();

  std::string UserFilePath() const;
  std::string MachineFilePath() const;

  // Section "" is the application's own key; other sections are its sub-keys.
  std::optional<ProfileValue> Read(const std::string& section, const std::string& name) const;
  ValueType TypeOf(const std::string& section, const std::string& name) const;

  // Typed getters: the default when the value is absent or of another type.
  // GetString accepts String only (an expandable string is another type).
  std::string GetString(const std::string& section, const std::string& name,
                        const std::string& def = {}) const;
  uint32_t GetDword(const std::string& section, const std::string& name, uint32_t def = 0) const;
  int GetInt(const std::string& section, const std::string& name, int def = 0) const;
  std::vector<std::string> GetMultiString(const std::string& section, const std::string& name) const;
  std::optional<std::vector<uint8_t>> GetBinary(const std::string& section,
                                                const std::string& name) const;

  // Writers report success; they fail when the user file cannot be read or written
  // (the file stays as it was; the last error says why, and an error event when the log
  // level admits errors), and for a machine-scope profile, which is read-only to the program.
  bool Write(const std::string& section, const std::string& name, const ProfileValue& value);
  bool WriteString(const std::string& section, const std::string& name, const std::string& v);
  bool WriteDword(const std::string& section, const std::string& name, uint32_t v);
  bool WriteInt(const std::string& section, const std::string& name, int v);
  bool WriteMultiString(const std::string& section, const std::string& name,
                        const std::vector<std::string>& v);
  bool WriteBinary(const std::string& section, const std::string& name,
                   const std::vector<uint8_t>& v);
  // Removing a value that is not there succeeds.
  bool Delete(const std::string& section, const std::string& name);

 private:
  std::string application_;
  Scope scope_;
};

// Replaces %NAME% with the environment variable's value (left as it is when unset).
std::string ExpandEnvironmentStrings(const std::string& text);

}  // namespace Platform
