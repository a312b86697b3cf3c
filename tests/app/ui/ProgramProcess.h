// The program itself as a child of a test: on Qt's offscreen platform, in the profile and
// runtime folder the test has set up.
#pragma once

#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>

namespace UiTest {

inline void StartProgram(QProcess& process) {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("QT_QPA_PLATFORM", "offscreen");
  process.setProcessEnvironment(env);
  process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  process.start(TVR_KELMARDIN_PATH, {});
  ASSERT_TRUE(process.waitForStarted(10000));
}

}  // namespace UiTest
