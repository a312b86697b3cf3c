#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <future>

#include "PcscRig.h"

namespace TvrTest {

namespace {

// vpcd's control messages have a one-byte payload: 0 power off, 1 power on, 2 reset
// (none answered) and 4, the one that wants the ATR back.
constexpr uint8_t kGetAtr = 4;

bool ReadExact(int fd, uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t got = ::recv(fd, data, size, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    data += got;
    size -= static_cast<size_t>(got);
  }
  return true;
}

bool SendFrame(int fd, const Bytes& payload) {
  Bytes frame{static_cast<uint8_t>(payload.size() >> 8), static_cast<uint8_t>(payload.size())};
  frame.insert(frame.end(), payload.begin(), payload.end());
  size_t sent = 0;
  while (sent < frame.size()) {
    const ssize_t n = ::send(fd, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

// Runs in the card's own thread: joins the daemon's network namespace (this thread only)
// and connects to the reader's port, retrying while the driver is not yet listening.
int ConnectToReader(int netns, int port) {
  if (::setns(netns, CLONE_NEWNET) != 0) {
    throw std::runtime_error(std::string("setns: ") + std::strerror(errno));
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  for (;;) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket failed");
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
      const int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      return fd;
    }
    const int error = errno;
    ::close(fd);
    if (std::chrono::steady_clock::now() >= deadline) {
      throw std::runtime_error("cannot connect to the virtual reader on port " +
                               std::to_string(port) + ": " + std::strerror(error));
    }
    ::usleep(5000);
  }
}

}  // namespace

ScriptedCard::ScriptedCard(const PrivatePcscd& pcscd, int readerIndex, Bytes atr)
    : pcscd_(pcscd), port_(PrivatePcscd::kVpcdPort + readerIndex), atr_(std::move(atr)) {}

ScriptedCard::~ScriptedCard() { Remove(); }

void ScriptedCard::Answer(const Bytes& command, std::vector<Bytes> responses) {
  std::lock_guard<std::mutex> guard(lock_);
  answers_[command] = std::move(responses);
  answered_[command] = 0;
}

void ScriptedCard::SetDefaultAnswer(Bytes response) {
  std::lock_guard<std::mutex> guard(lock_);
  defaultAnswer_ = std::move(response);
}

std::vector<Bytes> ScriptedCard::Commands() const {
  std::lock_guard<std::mutex> guard(lock_);
  return commands_;
}

bool ScriptedCard::Inserted() const {
  std::lock_guard<std::mutex> guard(lock_);
  return connected_;
}

void ScriptedCard::Insert() {
  if (thread_.joinable()) throw std::logic_error("the card is already inserted");
  if (pcscd_.NetworkNamespace() < 0) throw std::runtime_error("the private pcscd is not running");
  std::promise<int> connected;
  std::future<int> result = connected.get_future();
  const int netns = pcscd_.NetworkNamespace();
  const int port = port_;
  thread_ = std::thread([this, netns, port, promise = std::move(connected)]() mutable {
    int fd = -1;
    try {
      fd = ConnectToReader(netns, port);
    } catch (...) {
      promise.set_exception(std::current_exception());
      return;
    }
    {
      std::lock_guard<std::mutex> guard(lock_);
      connected_ = true;
    }
    promise.set_value(fd);
    Serve(fd);
  });
  try {
    fd_ = result.get();
  } catch (...) {
    thread_.join();
    throw;
  }
}

void ScriptedCard::Remove() {
  if (!thread_.joinable()) return;
  if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
  thread_.join();
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void ScriptedCard::Serve(int fd) {
  for (;;) {
    uint8_t header[2];
    if (!ReadExact(fd, header, sizeof header)) break;
    Bytes payload((static_cast<size_t>(header[0]) << 8) | header[1]);
    if (!ReadExact(fd, payload.data(), payload.size())) break;
    if (payload.size() <= 1) {
      if (payload.size() == 1 && payload[0] == kGetAtr && !SendFrame(fd, atr_)) break;
      continue;
    }
    if (!SendFrame(fd, Respond(payload))) break;
  }
  std::lock_guard<std::mutex> guard(lock_);
  connected_ = false;
}

Bytes ScriptedCard::Respond(const Bytes& command) {
  std::lock_guard<std::mutex> guard(lock_);
  commands_.push_back(command);
  const auto answer = answers_.find(command);
  if (answer == answers_.end() || answer->second.empty()) return defaultAnswer_;
  size_t& given = answered_[command];
  const Bytes& response = answer->second[std::min(given, answer->second.size() - 1)];
  ++given;
  return response;
}

}  // namespace TvrTest
