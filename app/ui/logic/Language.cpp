#include "Language.h"

#include <fcntl.h>
#include <unistd.h>

#include "Settings.h"
#include "Strings.h"
#include "platform/Profile.h"

namespace {

// Whether the machine-wide profile can be opened for reading.
bool CanOpen(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

}  // namespace

std::string ResolveLanguage(IUserPort& port) {
  Platform::Profile user({}, Platform::Profile::Scope::User);
  std::string language = user.GetString("", Settings::kLanguage, "");
  if (!language.empty()) return language;

  Platform::Profile machine(kMachineProfileName, Platform::Profile::Scope::Machine);
  if (!CanOpen(machine.MachineFilePath())) {
    port.MessageBox(Res::Text(Res::StringId::RegistryOpenError), "", Platform::kMbIconError);
  } else if (auto value = machine.Read("", Settings::kLanguage)) {
    if (value->type == Platform::ValueType::String ||
        value->type == Platform::ValueType::ExpandString) {
      language = value->text;
    }
  }
  if (language.empty()) language = Settings::kLanguageHungarian;
  user.WriteString("", Settings::kLanguage, language);
  return language;
}

bool WantsEnglishResources(const std::string& language) {
  return language == Settings::kLanguageEnglish;
}
