// A private machine-wide and user smart-card database for one test: both locations are
// pointed at a temporary folder through the environment for the object's life.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "P11Rig.h"

class CardDatabaseFiles {
 public:
  CardDatabaseFiles() {
    ::setenv("TVR_SYSTEM_CONFIG_DIR", (dir_.Path() + "/machine").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (dir_.Path() + "/user").c_str(), 1);
  }
  void WriteMachine(const std::string& text) const { Write(dir_.Path() + "/machine", text); }
  void WriteUser(const std::string& text) const { Write(dir_.Path() + "/user", text); }

 private:
  static void Write(const std::string& root, const std::string& text) {
    std::filesystem::create_directories(root + "/Tavrenic");
    std::ofstream out(root + "/Tavrenic/smartcards.conf", std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) throw std::runtime_error("cannot write the card database under " + root);
  }

  TvrTest::TempDir dir_;
};
