#include "PcscRig.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

namespace TvrTest {

MutePcscd::MutePcscd() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tvr-mute-pcscd-XXXXXX";
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed for " + pattern);
  folder_ = pattern;
  path_ = folder_ + "/pcscd.comm";
  Listen();
}

MutePcscd::MutePcscd(const std::string& socketPath) : path_(socketPath) {
  std::error_code ignored;
  std::filesystem::remove(path_, ignored);
  Listen();
}

void MutePcscd::Listen() {
  listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (listener_ < 0 || path_.size() >= sizeof address.sun_path) throw std::runtime_error("no socket for " + path_);
  std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener_, 64) != 0)
    throw std::runtime_error("cannot listen on " + path_);
  if (::pipe2(wake_, O_CLOEXEC) != 0) throw std::runtime_error("no pipe");
  thread_ = std::thread([this] { Serve(); });
}

MutePcscd::~MutePcscd() {
  const char quit = 'q';
  [[maybe_unused]] ssize_t n = ::write(wake_[1], &quit, 1);
  thread_.join();
  ::close(wake_[0]);
  ::close(wake_[1]);
  ::close(listener_);
  std::error_code error;
  if (folder_.empty()) std::filesystem::remove(path_, error);
  else std::filesystem::remove_all(folder_, error);
}

void MutePcscd::HangUp() {
  const char hangUp = 'h';
  [[maybe_unused]] ssize_t n = ::write(wake_[1], &hangUp, 1);
}

int MutePcscd::Connections() const { return connections_; }

void MutePcscd::Serve() {
  std::vector<int> clients;
  bool hungUp = false;
  for (;;) {
    pollfd fds[2] = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents & POLLIN) {
      char command = 0;
      if (::read(wake_[0], &command, 1) != 1 || command == 'q') break;
      hungUp = true;
      for (int client : clients) ::close(client);
      clients.clear();
    }
    if (fds[0].revents & POLLIN) {
      const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      ++connections_;
      if (hungUp) ::close(client);
      else clients.push_back(client);
    }
  }
  // The clients' waits end with an error now.
  for (int client : clients) ::close(client);
}

}  // namespace TvrTest
