// The running program's hold on its data folder ($XDG_DATA_HOME/Tavrenic): the certificate
// stores and the record of what the program registered. One copy of the program per data
// folder cleans up the record and registers; a copy started from another session (another
// runtime folder) shares the data folder all the same. The hold is an flock on a file in
// the folder, kept for the whole run and let go by the kernel when the process dies. The
// file also names its holder (computer, process, the socket it listens on), so that a
// later start can ask that copy to show itself.
#pragma once

#include <string>

class DataFolderLock {
 public:
  enum class State { Held, Busy, Failed };

  // What the holder wrote about itself; empty fields when it wrote nothing (yet).
  struct Holder {
    std::string host;
    std::string pid;
    std::string socket;
  };

  DataFolderLock() = default;
  ~DataFolderLock();
  DataFolderLock(const DataFolderLock&) = delete;
  DataFolderLock& operator=(const DataFolderLock&) = delete;

  // $XDG_DATA_HOME/Tavrenic, where the stores and the record live.
  static std::string Folder();
  // One name whatever the executable is called: every copy shares the stores.
  static std::string Path();

  // Never waits. Held: this object holds the folder now (what an earlier holder wrote
  // about itself is cleared). Busy: another process (or another object) holds it.
  // Failed: the file cannot be made or locked; Error() gives the errno.
  State TryLock();
  bool Held() const { return fd_ >= 0; }
  int Error() const { return error_; }

  // Writes this process as the holder, listening on `socket`.
  bool Announce(const std::string& socket);
  // What the current holder wrote about itself (lines cut, the file capped).
  static Holder ReadHolder();
  // This computer's name, as Announce writes it.
  static std::string HostName();

  void Unlock();

 private:
  int fd_ = -1;
  int error_ = 0;
};
