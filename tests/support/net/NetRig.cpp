#include "NetRig.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace TvrTest {

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const std::string& path, const std::string& text) {
  std::ofstream out(path + ".tmp", std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out || std::rename((path + ".tmp").c_str(), path.c_str()) != 0)
    throw std::runtime_error("cannot write " + path);
}

// The value of "key": "..." in one JSON line of the server's log (values it writes
// carry no escaped quotes that matter here).
std::string JsonText(const std::string& line, const std::string& key) {
  std::string marker = "\"" + key + "\": \"";
  size_t at = line.find(marker);
  if (at == std::string::npos) return "";
  at += marker.size();
  size_t end = line.find('"', at);
  return line.substr(at, end - at);
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& logPath) {
  std::vector<std::string> args = argv;
  std::vector<char*> raw;
  for (std::string& arg : args) raw.push_back(arg.data());
  raw.push_back(nullptr);
  int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (log < 0) throw std::runtime_error("cannot create " + logPath);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive a crashed test
    ::dup2(log, STDOUT_FILENO);
    ::dup2(log, STDERR_FILENO);
    ::execv(raw[0], raw.data());
    ::_exit(127);
  }
  ::close(log);
  if (pid < 0) throw std::runtime_error("fork failed");
  pid_ = pid;
}

ChildProcess::~ChildProcess() { Stop(); }

bool ChildProcess::Running() {
  if (pid_ < 0) return false;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) == pid_) {
    pid_ = -1;
    return false;
  }
  return true;
}

void ChildProcess::Stop() {
  if (pid_ < 0) return;
  ::kill(pid_, SIGTERM);
  for (int waited = 0; waited < 3000; waited += 10) {
    if (!Running()) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid_, SIGKILL);
  int status = 0;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
}

int FreeTcpPort() {
  int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_any;
  socklen_t length = sizeof address;
  bool ok = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
  if (fd >= 0) ::close(fd);
  if (!ok) throw std::runtime_error("FreeTcpPort: no port");
  return ntohs(address.sin6_port);
}

MuteTcpListener::MuteTcpListener() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  const bool ok = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                  ::listen(fd_, 8) == 0 &&
                  ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0;
  if (!ok) {
    if (fd_ >= 0) ::close(fd_);
    throw std::runtime_error("MuteTcpListener: no port");
  }
  port_ = ntohs(address.sin_port);
}

MuteTcpListener::~MuteTcpListener() { ::close(fd_); }

HttpTestServer::HttpTestServer() { Start({}); }

HttpTestServer::HttpTestServer(const std::string& certPem, const std::string& keyPem) : tls_(true) {
  Start({certPem, keyPem});
}

HttpTestServer::~HttpTestServer() = default;

void HttpTestServer::Start(const std::vector<std::string>& extra) {
  ::mkdir((dir_.Path() + "/files").c_str(), 0700);
  std::vector<std::string> argv = {"/usr/bin/python3", TVR_HTTP_TEST_SERVER, dir_.Path()};
  argv.insert(argv.end(), extra.begin(), extra.end());
  process_ = std::make_unique<ChildProcess>(argv, dir_.Path() + "/server.log");
  for (int waited = 0; waited < 10000; waited += 10) {
    std::string port = ReadAll(dir_.Path() + "/port");
    if (!port.empty()) {
      port_ = std::stoi(port);
      return;
    }
    if (!process_->Running()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  throw std::runtime_error("test HTTP server did not start: " + ReadAll(dir_.Path() + "/server.log"));
}

std::string HttpTestServer::Base() const {
  return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_);
}

void HttpTestServer::AddFile(const std::string& name, const std::vector<unsigned char>& bytes) const {
  WriteAll(dir_.Path() + "/files/" + name, std::string(bytes.begin(), bytes.end()));
}

void HttpTestServer::AddAnswer(const std::string& name, const std::string& body,
                               const std::string& contentType) const {
  WriteAll(dir_.Path() + "/files/" + name + ".type", contentType);
  WriteAll(dir_.Path() + "/files/" + name, body);
}

void HttpTestServer::Forward(const std::string& name, int port) const {
  WriteAll(dir_.Path() + "/fwd-" + name, std::to_string(port));
}

std::vector<SeenRequest> HttpTestServer::Requests() const {
  std::vector<SeenRequest> seen;
  std::istringstream lines(ReadAll(dir_.Path() + "/requests.log"));
  for (std::string line; std::getline(lines, line);) {
    SeenRequest request;
    request.method = JsonText(line, "method");
    request.path = JsonText(line, "path");
    request.contentType = JsonText(line, "content-type");
    request.userAgent = JsonText(line, "user-agent");
    request.body = JsonText(line, "body");
    size_t at = line.find("\"length\": ");
    if (at != std::string::npos) request.length = std::stoul(line.substr(at + 10));
    seen.push_back(request);
  }
  return seen;
}

OcspResponderProcess::OcspResponderProcess(const std::string& indexTxt, const std::string& caPem,
                                           const std::string& signerPem, const std::string& signerKey,
                                           const std::vector<std::string>& extra, int port) {
  std::string log = dir_.Path() + "/responder.log";
  // A port can be taken between the probe and the bind: the responder then exits, and
  // the next attempt takes another port.
  for (int attempt = 0; attempt < 5; ++attempt) {
    port_ = port ? port : FreeTcpPort();
    std::vector<std::string> argv = {TVR_OPENSSL_CLI, "ocsp", "-port", std::to_string(port_), "-index",
                                     indexTxt, "-CA", caPem, "-rsigner", signerPem, "-rkey", signerKey};
    argv.insert(argv.end(), extra.begin(), extra.end());
    process_ = std::make_unique<ChildProcess>(argv, log);
    for (int waited = 0; waited < 10000 && process_->Running(); waited += 10) {
      if (ReadAll(log).find("waiting for OCSP client connections") != std::string::npos) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    process_.reset();
  }
  throw std::runtime_error("openssl ocsp did not start: " + ReadAll(log));
}

OcspResponderProcess::~OcspResponderProcess() = default;

}  // namespace TvrTest
