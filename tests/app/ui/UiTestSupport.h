// Shared pieces of the application tests: a scripted user port, a private profile, and
// small GIF files built byte by byte.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "UserPort.h"
#include "platform/EventLog.h"

namespace UiTest {

// Records every message box and answers from a script (OK, or No for a Yes/No question,
// when the script is empty).
class ScriptedUserPort : public IUserPort {
 public:
  struct Box {
    std::string text;
    std::string caption;
    unsigned flags;
  };
  int MessageBox(const std::string& text, const std::string& caption, unsigned flags) override {
    boxes.push_back({text, caption, flags});
    if (!answers.empty()) {
      const int answer = answers.front();
      answers.pop_front();
      return answer;
    }
    return (flags & 0x0F) == Platform::kMbYesNo ? Platform::kIdNo : Platform::kIdOk;
  }
  std::vector<Box> boxes;
  std::deque<int> answers;
};

// The user's and the machine's profile in a fresh folder for the test's length, and the
// event log recording into a sink.
class ProfileSandbox {
 public:
  ProfileSandbox() {
    char pattern[] = "/tmp/tvr-ui-XXXXXX";
    const char* tmp = std::getenv("TMPDIR");
    std::string base = std::string(tmp && *tmp ? tmp : "/tmp") + "/tvr-ui-XXXXXX";
    std::vector<char> buffer(base.begin(), base.end());
    buffer.push_back('\0');
    root_ = ::mkdtemp(buffer.data()) ? buffer.data() : pattern;
    std::filesystem::create_directories(root_ + "/user/Tavrenic");
    std::filesystem::create_directories(root_ + "/system/Tavrenic");
    std::filesystem::create_directories(root_ + "/runtime");
    std::filesystem::create_directories(root_ + "/data");
    ::setenv("XDG_DATA_HOME", (root_ + "/data").c_str(), 1);
    std::filesystem::permissions(root_ + "/runtime", std::filesystem::perms::owner_all);
    ::setenv("XDG_CONFIG_HOME", (root_ + "/user").c_str(), 1);
    ::setenv("TVR_SYSTEM_CONFIG_DIR", (root_ + "/system").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", (root_ + "/runtime").c_str(), 1);
    events = std::make_shared<Platform::RecordingEventSink>();
    Platform::SetEventSink(events);
    Platform::RegisterEventSource();
  }
  ~ProfileSandbox() {
    Platform::DeregisterEventSource();
    Platform::SetEventSink(nullptr);
    std::error_code error;
    std::filesystem::remove_all(root_, error);
  }
  const std::string& Root() const { return root_; }
  // Writes the machine-wide profile with these lines.
  void WriteMachineProfile(const std::string& lines) const {
    std::ofstream(root_ + "/system/Tavrenic/kelmardin.conf") << lines;
  }

  std::shared_ptr<Platform::RecordingEventSink> events;

 private:
  std::string root_;
};

// GIF files made here, so that every block is known. Pixels are colour indexes 0..3.
struct TestFrame {
  int left = 0, top = 0, width = 1, height = 1;
  std::vector<uint8_t> pixels;  // width x height indexes
  int delay = -1;               // -1: no graphic control extension
  int disposal = 0;
  bool commentBefore = false;
};

inline void Put16(std::vector<uint8_t>& out, int v) {
  out.push_back(static_cast<uint8_t>(v & 0xFF));
  out.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
}

// LZW with a minimum code size of 2 and a clear code before every second pixel, so
// that the code size stays at 3 bits.
inline std::vector<uint8_t> LzwBlocks(const std::vector<uint8_t>& pixels) {
  std::vector<uint8_t> bytes;
  uint32_t acc = 0;
  int bits = 0;
  auto put = [&](uint32_t code) {
    acc |= code << bits;
    bits += 3;
    while (bits >= 8) {
      bytes.push_back(static_cast<uint8_t>(acc & 0xFF));
      acc >>= 8;
      bits -= 8;
    }
  };
  for (size_t i = 0; i < pixels.size(); ++i) {
    if (i % 2 == 0) put(4);  // clear
    put(pixels[i] & 3);
  }
  put(5);  // end of information
  if (bits > 0) bytes.push_back(static_cast<uint8_t>(acc & 0xFF));
  std::vector<uint8_t> out{2};
  for (size_t at = 0; at < bytes.size(); at += 255) {
    const size_t n = std::min<size_t>(255, bytes.size() - at);
    out.push_back(static_cast<uint8_t>(n));
    out.insert(out.end(), bytes.begin() + static_cast<long>(at), bytes.begin() + static_cast<long>(at + n));
  }
  out.push_back(0);
  return out;
}

// Colours: 0 white, 1 red, 2 green, 3 blue.
inline std::vector<uint8_t> MakeGif(int width, int height, const std::vector<TestFrame>& frames,
                                    const char* version = "GIF89a", bool withLoopExtension = true) {
  std::vector<uint8_t> out(version, version + 6);
  Put16(out, width);
  Put16(out, height);
  out.push_back(0x81);  // global colour table of 4 entries
  out.push_back(0);
  out.push_back(0);
  for (int c : {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0xFF, 0x00, 0x00, 0x00, 0xFF}) out.push_back(static_cast<uint8_t>(c));
  if (withLoopExtension) {
    for (int b : {0x21, 0xFF, 0x0B}) out.push_back(static_cast<uint8_t>(b));
    for (char c : std::string("NETSCAPE2.0")) out.push_back(static_cast<uint8_t>(c));
    for (int b : {0x03, 0x01, 0x00, 0x00, 0x00}) out.push_back(static_cast<uint8_t>(b));
  }
  for (const TestFrame& f : frames) {
    if (f.commentBefore) {
      for (int b : {0x21, 0xFE, 0x03, 0x61, 0x62, 0x63, 0x00}) out.push_back(static_cast<uint8_t>(b));
    }
    if (f.delay >= 0) {
      out.push_back(0x21);
      out.push_back(0xF9);
      out.push_back(4);
      out.push_back(static_cast<uint8_t>((f.disposal & 7) << 2));
      Put16(out, f.delay);
      out.push_back(0);
      out.push_back(0);
    }
    out.push_back(0x2C);
    Put16(out, f.left);
    Put16(out, f.top);
    Put16(out, f.width);
    Put16(out, f.height);
    out.push_back(0);
    std::vector<uint8_t> pixels = f.pixels;
    pixels.resize(static_cast<size_t>(f.width * f.height), pixels.empty() ? 0 : pixels.back());
    const std::vector<uint8_t> data = LzwBlocks(pixels);
    out.insert(out.end(), data.begin(), data.end());
  }
  out.push_back(0x3B);
  return out;
}

// A 6 x 4 picture in three frames: red over the whole screen (delay 2), green 2 x 2 at
// (2, 1) that is cleared afterwards (delay 20, disposal 2), and blue 1 x 1 at (5, 3) with
// no graphic control extension, after a comment.
inline std::vector<uint8_t> ThreeFrameGif() {
  TestFrame red{0, 0, 6, 4, std::vector<uint8_t>(24, 1), 2, 0, false};
  TestFrame green{2, 1, 2, 2, std::vector<uint8_t>(4, 2), 20, 2, false};
  TestFrame blue{5, 3, 1, 1, {3}, -1, 0, true};
  return MakeGif(6, 4, {red, green, blue});
}

}  // namespace UiTest
