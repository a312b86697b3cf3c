#include "VendorTokens.h"

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "CardRecognition.h"
#include "EventLog.h"
#include "PKCS11Versions.h"
#include "Strings.h"

namespace {

std::string Format(const std::string& pattern, const std::string& argument) {
  std::string out;
  const size_t at = pattern.find("%s");
  if (at == std::string::npos) return pattern;
  out = pattern.substr(0, at) + argument + pattern.substr(at + 2);
  return out;
}

// Cryptoki 2.40 kept the function list of 2.01, and 3.x modules hand out that list (their
// own is asked for by another name): such a module is used through the newest class.
bool UsedAsNewestVersion(const std::string& version) {
  return version == "2.40" || (version.size() == 4 && version.compare(0, 2, "3.") == 0);
}

std::unique_ptr<PKCS11Base> CreateForVersion(const std::string& version,
                                             const VendorModuleEntry* row, ModuleHandle module) {
  if (version == "2.01") return PKCS11V201::Create(row, module);
  if (version == "2.10") return PKCS11V210::Create(row, module);
  if (version == "2.11") return PKCS11V211::Create(row, module);
  if (version == "2.20") return PKCS11V220::Create(row, module);
  if (UsedAsNewestVersion(version)) return PKCS11V220::Create(row, module);
  return nullptr;
}

// Token objects of modules given up on: never finalised, never unloaded, as the module
// may still be inside a call of its own. Reachable for good (not a leak).
void KeepForGood(std::unique_ptr<PKCS11Base> token) {
  static auto* lock = new std::mutex;
  static auto* kept = new std::vector<std::unique_ptr<PKCS11Base>>;
  const std::lock_guard<std::mutex> guard(*lock);
  kept->push_back(std::move(token));
}

// One row's module work, shared by its thread and the waiting caller.
struct RowLoad {
  std::mutex lock;
  std::condition_variable done;
  bool finished = false;
  bool abandoned = false;
  std::atomic<bool> givenUp{false};
  std::function<void()> wake;
  bool loaded = false;  // the module file was found
  std::string version;
  bool unsupported = false;
  std::unique_ptr<PKCS11Base> token;

  bool Finished() {
    const std::lock_guard<std::mutex> guard(lock);
    return finished;
  }
  // False when the work finished meanwhile: its result is the caller's after all.
  bool Abandon() {
    const std::lock_guard<std::mutex> guard(lock);
    if (finished) return false;
    abandoned = true;
    givenUp = true;
    wake = nullptr;
    return true;
  }
  void Finish() {
    const std::lock_guard<std::mutex> guard(lock);
    finished = true;
    if (abandoned) {
      if (token) KeepForGood(std::move(token));
      return;
    }
    done.notify_all();
    if (wake) wake();
  }
};

void LoadRow(const std::shared_ptr<RowLoad>& load, const VendorModuleEntry* row) {
  // One load serves the version probe and the token object: the probe finalises what it
  // initialised, so the token object starts the module afresh all the same.
  ModuleHandle module = LoadVendorModule(row);
  load->loaded = module != nullptr;
  if (module) {
    load->version = GetCryptokiVersion(module, &load->givenUp);
    // Given up meanwhile: the module is left as it is, loaded and maybe initialised.
    if (!load->givenUp) {
      if (!load->version.empty()) load->token = CreateForVersion(load->version, row, module);
      if (!load->version.empty() && !load->token) load->unsupported = true;
      if (!load->token) Platform::FreeLibrary(module);
    }
  }
  load->Finish();
}

void PlainWait(RowLoad& load, std::chrono::steady_clock::time_point until, const std::function<bool()>& ending) {
  std::unique_lock<std::mutex> guard(load.lock);
  while (!load.finished && std::chrono::steady_clock::now() < until && !(ending && ending())) {
    load.done.wait_until(guard, std::min(until, std::chrono::steady_clock::now() + std::chrono::milliseconds(50)));
  }
}

}  // namespace

TokenMap LoadVendorTokens(IUserPort& port, const VendorLoadOptions& options) {
  TokenMap tokens;
  const auto ending = [&] { return options.ending && options.ending(); };
  for (const VendorModuleEntry& row : VendorModuleTable) {
    if (ending()) break;
    if (options.beforeRow) options.beforeRow(row);
    if (ending()) break;
    const std::string moduleFile = Platform::SharedLibraryFileName(row.moduleFile);

    auto load = std::make_shared<RowLoad>();
    load->wake = options.wake;
    std::thread worker;
    try {
      worker = std::thread(LoadRow, load, &row);
    } catch (const std::system_error&) {
      LogEvent(EVENTLOG_ERROR_TYPE, "No thread to load: " + moduleFile);
      continue;
    }
    const auto until = std::chrono::steady_clock::now() + options.deadline;
    if (options.wait) options.wait([&load] { return load->Finished(); }, until);
    else PlainWait(*load, until, options.ending);
    if (load->Abandon()) {
      worker.detach();
      if (!ending())
        LogEvent(EVENTLOG_ERROR_TYPE, "Module did not start in time, left behind: " + moduleFile);
      continue;
    }
    worker.join();

    if (!load->loaded || load->version.empty()) continue;
    if (UsedAsNewestVersion(load->version))
      LogEvent(EVENTLOG_INFORMATION_TYPE, "Cryptoki version " + load->version + " used as 2.20: " + moduleFile);
    if (load->unsupported) {
      LogEvent(EVENTLOG_WARNING_TYPE, "Unsupported Cryptoki version " + load->version + ": " + moduleFile);
      continue;
    }
    std::unique_ptr<PKCS11Base> token = std::move(load->token);
    if (!token->IsValid()) {
      port.MessageBox(Format(Res::Text(Res::kString240), moduleFile), "",
                      Platform::kMbIconError);
      continue;  // the token object unloads its module
    }
    if (token->IsInitialized()) {
      LogEvent(EVENTLOG_INFORMATION_TYPE, "Succeeded to initialize: " + moduleFile);
    } else {
      LogEvent(EVENTLOG_ERROR_TYPE, "Failed to initialize: " + moduleFile);
    }
    tokens.emplace(row.typeKey, std::move(token));
  }
  return tokens;
}

TokenMap LoadVendorTokens(IUserPort& port, const std::function<void(const VendorModuleEntry&)>& beforeRow) {
  VendorLoadOptions options;
  options.beforeRow = beforeRow;
  return LoadVendorTokens(port, options);
}

TokenRefMap RefsOf(const TokenMap& tokens) {
  TokenRefMap refs;
  for (const auto& [key, token] : tokens) refs.emplace(key, token.get());
  return refs;
}
