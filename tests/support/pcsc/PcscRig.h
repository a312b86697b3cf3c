// PC/SC test rig: a private pcscd with the vsmartcard virtual reader, and scripted cards
// that the tests insert and remove.
//
// The private pcscd runs in its own mount and network namespaces (root only): its socket
// folder is bound over /run/pcscd inside the namespace only (over /run when the machine
// has no /run/pcscd), its USB driver folder is hidden so it never claims a real reader,
// and the virtual reader listens on the namespace's own loopback. Nothing outside the
// namespace changes and no other pcscd is ever signalled. The daemon dies with the
// thread that started it (parent-death signal), so a crashing test leaves nothing behind.
//
// The PC/SC client library reads PCSCLITE_CSOCK_NAME once per process, so the socket
// path is fixed per process (PcscSocketPath) and one private pcscd runs at a time.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace TvrTest {

using Bytes = std::vector<uint8_t>;

// "3B 8F 80 01" or "3B8F8001" -> bytes; throws std::invalid_argument on bad text.
Bytes HexBytes(const std::string& hex);

// Why the rig cannot run on this machine (not root, pcscd or the vpcd driver missing);
// empty when it can. Tests skip with this text.
std::string PcscRigUnavailableReason();

// Thrown by PrivatePcscd::Start when the machine refuses the namespaces (for example a
// container without CAP_SYS_ADMIN); tests skip on it.
class PcscRigUnavailable : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// This process's PC/SC socket path. The first call makes the rig's folder and sets
// PCSCLITE_CSOCK_NAME, so every PC/SC call of the process goes to the private daemon,
// or fails with SCARD_E_NO_SERVICE while none runs; it never reaches the machine's pcscd.
std::string PcscSocketPath();

class PrivatePcscd {
 public:
  // The virtual readers "Virtual PCD 00 00" and "Virtual PCD 00 01" listen on these
  // ports of the namespace's loopback.
  static constexpr int kVpcdPort = 0x8C7B;
  static constexpr int kReaderCount = 2;

  PrivatePcscd() = default;
  ~PrivatePcscd();
  PrivatePcscd(const PrivatePcscd&) = delete;
  PrivatePcscd& operator=(const PrivatePcscd&) = delete;

  // Starts the daemon and returns once it lists both virtual readers (at most 5 s).
  // Throws PcscRigUnavailable or std::runtime_error (with the daemon's output).
  void Start();
  // Stops the daemon by its PID: SIGTERM, then SIGKILL after 3 s. No-op when stopped.
  void Stop();

  bool Running() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }
  // From fork to both readers listed, for the last Start.
  std::chrono::microseconds StartTime() const { return startTime_; }
  // The daemon's network namespace (for scripted cards); -1 while stopped.
  int NetworkNamespace() const { return netns_; }
  std::string Log() const;

  static std::string ReaderName(int index);  // "Virtual PCD 00 0<index>"

  // Before Start: serves the readers through a PIN-pad double (PinPadIfd.cpp) that gives
  // the reader of readerIndex the PC/SC v2 part 10 "modify PIN direct" feature; its pad
  // types firstValue and newValue into the command's value blocks. The other reader has
  // no PIN pad. Through the double both readers answer the vendor name ("Tavrenic", its
  // terminating zero counted in) and the vendor version (1.2.0003) attributes.
  void EnablePinPad(int readerIndex, const std::string& firstValue, const std::string& newValue);
  // The modify structures the PIN pad received, in order.
  std::vector<Bytes> PinPadBlocks() const;

 private:
  int pinPadReader_ = -1;
  std::string pinPadFirst_;
  std::string pinPadNew_;
  pid_t pid_ = -1;
  int netns_ = -1;
  std::chrono::microseconds startTime_{0};
};

// A card in a virtual reader: any ATR, and a table of answers to command APDUs. The
// card is a TCP client of the reader (connected = inserted). Answers are looked up by the
// whole command; several answers to one command are given in turn, the last repeating;
// any other command gets the default answer (6D 00, instruction not supported).
class ScriptedCard {
 public:
  ScriptedCard(const PrivatePcscd& pcscd, int readerIndex, Bytes atr);
  ~ScriptedCard();
  ScriptedCard(const ScriptedCard&) = delete;
  ScriptedCard& operator=(const ScriptedCard&) = delete;

  void Answer(const Bytes& command, std::vector<Bytes> responses);
  void SetDefaultAnswer(Bytes response);

  // Connects to the reader (at most 2 s); throws std::runtime_error on failure.
  void Insert();
  // Disconnects and waits for the card's thread; no-op when not inserted.
  void Remove();
  bool Inserted() const;

  // Every command APDU received so far, in order (control messages not included).
  std::vector<Bytes> Commands() const;

 private:
  void Serve(int fd);
  Bytes Respond(const Bytes& command);

  const PrivatePcscd& pcscd_;
  int port_;
  Bytes atr_;

  mutable std::mutex lock_;
  std::map<Bytes, std::vector<Bytes>> answers_;
  std::map<Bytes, size_t> answered_;
  Bytes defaultAnswer_{0x6D, 0x00};
  std::vector<Bytes> commands_;
  bool connected_ = false;

  int fd_ = -1;
  std::thread thread_;
};

// What pcsc-lite's client sees of a pcscd that hangs: a socket that takes every
// connection and never answers. Needs no root. Point PCSCLITE_CSOCK_NAME at SocketPath()
// before the process's first PC/SC call (or in a child's environment). Destroying it
// closes the connections, so that waiting clients get an error and end.
class MutePcscd {
 public:
  MutePcscd();
  // On that socket path (its folder must exist): the path of a private pcscd that is
  // started once this rig is gone (the socket file goes with the rig).
  explicit MutePcscd(const std::string& socketPath);
  ~MutePcscd();
  MutePcscd(const MutePcscd&) = delete;
  MutePcscd& operator=(const MutePcscd&) = delete;

  const std::string& SocketPath() const { return path_; }
  // From now on the service goes away: every connection, open or new, is closed.
  void HangUp();
  // Connections taken so far.
  int Connections() const;

 private:
  void Listen();
  void Serve();

  std::string folder_;  // ours, removed with the rig; empty when the path was given
  std::string path_;
  int listener_ = -1;
  int wake_[2] = {-1, -1};
  std::atomic<int> connections_{0};
  std::thread thread_;
};

// Waits (at most timeout) until the reader has a card and returns its ATR, or until it
// has none (present false) and returns an empty vector. Nothing when the wait ends
// otherwise (time-out, no service, unknown reader).
std::optional<Bytes> WaitForCard(const std::string& reader, bool present,
                                 std::chrono::milliseconds timeout = std::chrono::seconds(5));

// The PC/SC reader names in the daemon's order; empty on any failure.
std::vector<std::string> ListPcscReaders();

}  // namespace TvrTest
