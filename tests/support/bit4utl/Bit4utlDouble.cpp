// Test double of the Bit4ID utility library (libbit4utl.so). Every export writes one line
// "<export>|<argument>|..." to "<path of this file>.log", PIN texts included (null texts
// as "null"), so tests can see which argument group each selector fills; PIN texts never
// appear anywhere else. Results come from "<path of this file>.conf", re-read at every
// call: rv.<export>=<int> (default 0), tries.<selector>=<int> (what CNS_DS_GetRetrycounters
// returns, default 3; rv.CNS_DS_GetRetrycounters overrides it for every selector) and
// limits=<eight ints> for CNS_DS_GetPinLimit. Built a second time with none of them exported.
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "../OwnModulePath.h"

namespace {

char gOwnPath[PATH_MAX];

struct Config {
  std::map<std::string, long> values;  // every key with a number as its value
  std::vector<int> limits;
};

std::string Trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

Config ReadConfig() {
  Config config;
  std::ifstream in(std::string(gOwnPath) + ".conf");
  for (std::string line; std::getline(in, line);) {
    const auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = Trim(line.substr(0, eq));
    const std::string value = Trim(line.substr(eq + 1));
    if (key == "limits") {
      std::istringstream items(value);
      for (std::string item; std::getline(items, item, ',');) {
        config.limits.push_back(static_cast<int>(std::strtol(item.c_str(), nullptr, 0)));
      }
    } else {
      config.values[key] = std::strtol(value.c_str(), nullptr, 0);
    }
  }
  return config;
}

long Value(const Config& config, const std::string& key, long fallback) {
  const auto found = config.values.find(key);
  return found == config.values.end() ? fallback : found->second;
}

struct Text {
  const char* text;
  int length;
};

std::string Field(int value) { return std::to_string(value); }
std::string Field(Text t) { return t.text ? std::string(t.text, static_cast<size_t>(t.length)) : "null"; }
std::string Field(const int* out) { return out ? "out" : "null"; }

template <typename... Args>
void Log(const char* name, const Args&... args) {
  std::string line = name;
  ((line += "|" + Field(args)), ...);
  line += "\n";
  const int fd = ::open((std::string(gOwnPath) + ".log").c_str(),
                        O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  [[maybe_unused]] const ssize_t written = ::write(fd, line.data(), line.size());
  ::close(fd);
}

int Result(const char* name) { return static_cast<int>(Value(ReadConfig(), std::string("rv.") + name, 0)); }

__attribute__((constructor)) void OnLoad() {
  TvrTest::StoreOwnModulePath(reinterpret_cast<void*>(&OnLoad), gOwnPath);
}

}  // namespace

// The build without exports keeps them hidden.
extern "C" {
#ifndef BIT4UTL_DOUBLE_NO_EXPORTS
#pragma GCC visibility push(default)
#endif

int CNS_DS_ChangePinPuk(int reader, int r0, const char* a, int al, const char* b, int bl,
                        const char* c, int cl, const char* d, int dl, const char* e, int el,
                        const char* f, int fl, const char* g, int gl, const char* h, int hl,
                        int r1, int r2) {
  Log("CNS_DS_ChangePinPuk", reader, r0, Text{a, al}, al, Text{b, bl}, bl, Text{c, cl}, cl,
      Text{d, dl}, dl, Text{e, el}, el, Text{f, fl}, fl, Text{g, gl}, gl, Text{h, hl}, hl, r1,
      r2);
  return Result("CNS_DS_ChangePinPuk");
}

int CNS_DS_ChangePinPuk_pinpad(int reader, int selector) {
  Log("CNS_DS_ChangePinPuk_pinpad", reader, selector);
  return Result("CNS_DS_ChangePinPuk_pinpad");
}

int CNS_DS_UnblockPin(int reader, int r0, const char* a, int al, const char* b, int bl,
                      const char* c, int cl, const char* d, int dl, int r1, int r2) {
  Log("CNS_DS_UnblockPin", reader, r0, Text{a, al}, al, Text{b, bl}, bl, Text{c, cl}, cl,
      Text{d, dl}, dl, r1, r2);
  return Result("CNS_DS_UnblockPin");
}

int CNS_DS_UnblockPin_pinpad(int reader, int selector) {
  Log("CNS_DS_UnblockPin_pinpad", reader, selector);
  return Result("CNS_DS_UnblockPin_pinpad");
}

int DS_ReactivatePin(int reader, int r0, const char* pin, int length, int r1, int r2, int r3,
                     int r4, int r5, int r6) {
  Log("DS_ReactivatePin", reader, r0, Text{pin, length}, length, r1, r2, r3, r4, r5, r6);
  return Result("DS_ReactivatePin");
}

int DS_ReactivatePin_pinpad(int reader) {
  Log("DS_ReactivatePin_pinpad", reader);
  return Result("DS_ReactivatePin_pinpad");
}

int CNS_DS_GetPinLimit(int reader, int r0, int* o1, int* o2, int* o3, int* o4, int* o5,
                       int* o6, int* o7, int* o8) {
  Log("CNS_DS_GetPinLimit", reader, r0, o1, o2, o3, o4, o5, o6, o7, o8);
  const Config config = ReadConfig();
  int* outputs[] = {o1, o2, o3, o4, o5, o6, o7, o8};
  for (size_t i = 0; i < 8 && i < config.limits.size(); ++i) {
    if (outputs[i]) *outputs[i] = config.limits[i];
  }
  return static_cast<int>(Value(config, "rv.CNS_DS_GetPinLimit", 0));
}

int CNS_DS_GetRetrycounters(int reader, int selector, int r0, int r1) {
  Log("CNS_DS_GetRetrycounters", reader, selector, r0, r1);
  const Config config = ReadConfig();
  const long tries = Value(config, "tries." + std::to_string(selector), 3);
  return static_cast<int>(Value(config, "rv.CNS_DS_GetRetrycounters", tries));
}

#ifndef BIT4UTL_DOUBLE_NO_EXPORTS
#pragma GCC visibility pop
#endif
}
