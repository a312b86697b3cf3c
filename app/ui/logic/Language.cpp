#include "Language.h"

#include "Settings.h"
#include "Strings.h"
#include "platform/FileHelpers.h"
#include "platform/Profile.h"

namespace {

// Far above any machine-wide profile.
constexpr size_t kMaxMachineProfileSize = 4u << 20;

// Whether the machine-wide profile can be read. Anyone with rights over the folder can put
// a FIFO or a device there: those are refused at once, never waited for.
bool CanOpen(const std::string& path) {
  std::string text;
  return Platform::ReadRegularFile(path, kMaxMachineProfileSize, true, text) == Platform::FileRead::Ok;
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
