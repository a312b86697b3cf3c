// What the program's start loads: nothing of the network stack (HTTP, LDAP, ZIP and the
// TLS, Kerberos and SASL libraries behind them) until an exchange needs it. Each library
// loaded at start costs every start its relocations.
#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QTest>

#include <fstream>
#include <sstream>

#include "ProgramProcess.h"
#include "SingleInstance.h"
#include "UiTestSupport.h"

namespace {

TEST(ProgramStartTest, StartLoadsNoNetworkLibrary) {
  UiTest::ProfileSandbox sandbox;
  std::ofstream(sandbox.Root() + "/user/Tavrenic/kelmardin.conf")
      << "\"Language\"=\"HUN\"\n\"ShowSplashScreen\"=dword:00000000\n"
         "\"WaitForSCardSvr\"=dword:00000000\n\"WaitForSCardSvr2\"=dword:00000000\n";
  QProcess program;
  UiTest::StartProgram(program);
  // Listening for a second start: the program is past its libraries' loading.
  SingleInstance probe;
  ASSERT_TRUE(QTest::qWaitFor([&] { return QFile::exists(probe.ServerName()); }, 30000));
  std::ifstream maps("/proc/" + std::to_string(program.processId()) + "/maps");
  std::stringstream text;
  text << maps.rdbuf();
  program.terminate();
  program.waitForFinished(10000);
  ASSERT_NE(text.str().find("libQt6Widgets"), std::string::npos);
  for (const char* library : {"libkelmardin_net", "libcurl", "libldap", "liblber", "libzip", "libgnutls",
                              "libkrb5", "libsasl2", "libQt6Network", "libssl"})
    EXPECT_EQ(text.str().find(library), std::string::npos) << library << " is loaded at start";
}

}  // namespace
