#include "SlapdProcess.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

namespace TvrTest {

namespace {

constexpr const char* kSlapd = "/usr/sbin/slapd";
constexpr const char* kSlapadd = "/usr/sbin/slapadd";
constexpr const char* kSchemaDir = "/etc/ldap/schema";
constexpr const char* kModuleDir = "/usr/lib/ldap";

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

// Runs a command to its end within `timeoutMs`; its exit code, or -1 when it had to be
// killed or did not run.
int RunBounded(const std::vector<std::string>& argv, const std::string& logPath, int timeoutMs) {
  std::vector<std::string> args = argv;
  std::vector<char*> raw;
  for (std::string& arg : args) raw.push_back(arg.data());
  raw.push_back(nullptr);
  int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (log < 0) return -1;
  pid_t pid = ::fork();
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    ::dup2(log, STDOUT_FILENO);
    ::dup2(log, STDERR_FILENO);
    ::execv(raw[0], raw.data());
    ::_exit(127);
  }
  ::close(log);
  if (pid < 0) return -1;
  int status = 0;
  for (int waited = 0; waited < timeoutMs; waited += 10) {
    if (::waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
  return -1;
}

bool Accepts(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return ok;
}

}  // namespace

SlapdProcess::SlapdProcess(const std::string& suffix, const std::string& ldif, const std::string& schema) {
  // A port can be taken between the probe and slapd's bind: then the next attempt
  // loads a fresh database for another port.
  for (int attempt = 0; attempt < 5; ++attempt)
    if (TryStart(suffix, ldif, schema)) return;
  throw std::runtime_error("slapd did not start: " + ReadAll(dir_.Path() + "/slapd.log"));
}

SlapdProcess::~SlapdProcess() { Stop(); }

void SlapdProcess::Stop() { process_.reset(); }

bool SlapdProcess::TryStart(const std::string& suffix, const std::string& ldif, const std::string& schema) {
  process_.reset();
  port_ = FreeTcpPort();
  const std::string dir = dir_.Path();
  std::filesystem::remove_all(dir + "/db");
  std::filesystem::create_directories(dir + "/db");
  WriteFile(dir + "/extra.schema", schema);
  WriteFile(dir + "/data.ldif", ReplaceAll(ldif, "@PORT@", std::to_string(port_)));
  std::string conf = std::string("include ") + kSchemaDir + "/core.schema\n" + "include " + kSchemaDir +
                     "/cosine.schema\n" + "include " + kSchemaDir + "/inetorgperson.schema\n" + "include " + dir +
                     "/extra.schema\n" + "pidfile " + dir + "/slapd.pid\n" + "argsfile " + dir + "/slapd.args\n" +
                     "modulepath " + kModuleDir + "\n" + "moduleload back_mdb\n" + "access to * by * read\n" +
                     "database mdb\n" + "maxsize 10485760\n" + "suffix \"" + suffix + "\"\n" +
                     "rootdn \"cn=admin," + suffix + "\"\n" + "directory " + dir + "/db\n";
  WriteFile(dir + "/slapd.conf", conf);

  if (RunBounded({kSlapadd, "-q", "-f", dir + "/slapd.conf", "-l", dir + "/data.ldif"}, dir + "/slapadd.log",
                 30000) != 0)
    throw std::runtime_error("slapadd failed: " + ReadAll(dir + "/slapadd.log"));

  std::string url = "ldap://127.0.0.1:" + std::to_string(port_) + "/";
  process_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{kSlapd, "-f", dir + "/slapd.conf", "-h", url, "-d", "0"}, dir + "/slapd.log");
  for (int waited = 0; waited < 10000 && process_->Running(); waited += 10) {
    if (Accepts(port_)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  process_.reset();
  return false;
}

}  // namespace TvrTest
