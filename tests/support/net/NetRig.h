// Network test rig: a scripted HTTP(S) server (http_test_server.py) and `openssl ocsp`,
// both on 127.0.0.1, started by the constructor and stopped by the destructor. Each is a
// child of the test process that dies with it; only these children are ever signalled.
#pragma once

#include "P11Rig.h"

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

namespace TvrTest {

// A child process (no shell) whose output goes to `logPath`; killed and reaped on
// destruction.
class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& argv, const std::string& logPath);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Running();
  void Stop();

 private:
  pid_t pid_ = -1;
};

// One request the server saw.
struct SeenRequest {
  std::string method;
  std::string path;
  std::string contentType;
  std::string userAgent;
  std::size_t length = 0;
  std::string body;  // as text; bodies with quotes or backslashes are not read back
};

class HttpTestServer {
 public:
  // Plain HTTP, or HTTPS with the given PEM certificate and key.
  HttpTestServer();
  HttpTestServer(const std::string& certPem, const std::string& keyPem);
  ~HttpTestServer();

  int Port() const { return port_; }
  // "http://127.0.0.1:<port>" or "https://...", without a trailing slash.
  std::string Base() const;
  // Served at /file/<name>.
  void AddFile(const std::string& name, const std::vector<unsigned char>& bytes) const;
  // Served at /answer/<name> (and cut short at /cutanswer/<name>) with this content type;
  // an empty type sends no Content-Type header.
  void AddAnswer(const std::string& name, const std::string& body, const std::string& contentType) const;
  // /fwd/<name> relays POSTs to an OCSP responder on that port.
  void Forward(const std::string& name, int port) const;
  std::vector<SeenRequest> Requests() const;

 private:
  void Start(const std::vector<std::string>& extra);

  TempDir dir_;
  std::unique_ptr<ChildProcess> process_;
  int port_ = 0;
  bool tls_ = false;
};

// `openssl ocsp` answering for the certificates in `indexTxt` issued by `caPem`, signed
// by `signerPem`/`signerKey`; further options as given (e.g. {"-ndays", "1"}). On
// `port` when given, else on a free one.
class OcspResponderProcess {
 public:
  OcspResponderProcess(const std::string& indexTxt, const std::string& caPem, const std::string& signerPem,
                       const std::string& signerKey, const std::vector<std::string>& extra = {},
                       int port = 0);
  ~OcspResponderProcess();

  int Port() const { return port_; }

 private:
  TempDir dir_;
  std::unique_ptr<ChildProcess> process_;
  int port_ = 0;
};

// A TCP port nobody listens on at the moment (any interface).
int FreeTcpPort();

// A TCP server on 127.0.0.1 that takes connections (the backlog completes them) and never
// answers: a directory or server that hangs. Throws when no port can be had.
class MuteTcpListener {
 public:
  MuteTcpListener();
  ~MuteTcpListener();
  MuteTcpListener(const MuteTcpListener&) = delete;
  MuteTcpListener& operator=(const MuteTcpListener&) = delete;
  int Port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

}  // namespace TvrTest
