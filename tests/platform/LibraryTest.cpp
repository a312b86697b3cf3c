#include "platform/Library.h"

#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "platform/LastError.h"

namespace {

TEST(Library, WindowsNamesMapToSharedObjects) {
  EXPECT_EQ(Platform::SharedLibraryFileName("gclib.dll"), "libgclib.so");
  EXPECT_EQ(Platform::SharedLibraryFileName("OCSCryptoki.DLL"), "libOCSCryptoki.so");
  EXPECT_EQ(Platform::SharedLibraryFileName("libz.so.1"), "libz.so.1");
  EXPECT_EQ(Platform::SharedLibraryFileName("/opt/x/y.dll"), "/opt/x/y.dll");
}

TEST(Library, LoadsFindsSymbolsAndFrees) {
  Platform::ModuleHandle h = Platform::LoadLibrary("libz.so.1");
  ASSERT_NE(h, nullptr) << Platform::LastLoaderErrorText();
  EXPECT_NE(Platform::GetProcAddress(h, "zlibVersion"), nullptr);
  Platform::SetLastError(0);
  EXPECT_EQ(Platform::GetProcAddress(h, "NoSuchSymbol"), nullptr);
  EXPECT_EQ(Platform::GetLastError(), Platform::kErrorProcNotFound);
  EXPECT_FALSE(Platform::LastLoaderErrorText().empty());
  EXPECT_TRUE(Platform::FreeLibrary(h));
}

TEST(Library, FailuresKeepACodeAndTheLoadersText) {
  EXPECT_EQ(Platform::LoadLibrary("tvr-no-such-module.dll"), nullptr);
  EXPECT_EQ(Platform::GetLastError(), Platform::kErrorModNotFound);
  EXPECT_NE(Platform::LastLoaderErrorText().find("libtvr-no-such-module.so"), std::string::npos)
      << Platform::LastLoaderErrorText();

  const std::string bogus = ::testing::TempDir() + "/libbogus-module.so";
  std::ofstream(bogus) << "not an ELF file";
  EXPECT_EQ(Platform::LoadLibrary(bogus), nullptr);
  EXPECT_EQ(Platform::GetLastError(), Platform::kErrorBadExeFormat);

  EXPECT_EQ(Platform::LoadLibrary(""), nullptr);
  EXPECT_EQ(Platform::GetProcAddress(nullptr, "x"), nullptr);
  EXPECT_FALSE(Platform::FreeLibrary(nullptr));
}

TEST(LastError, TextsEndWithALineBreakAndUnknownCodesHaveNone) {
  auto denied = Platform::SystemErrorText(5);
  ASSERT_TRUE(denied.has_value());
  EXPECT_EQ(*denied, "Access is denied.\n");
  EXPECT_TRUE(Platform::SystemErrorText(0x8010001Du).has_value());
  EXPECT_FALSE(Platform::SystemErrorText(0xDEADBEEFu).has_value());
  EXPECT_EQ(Platform::ErrorFromErrno(ENOENT), Platform::kErrorFileNotFound);
  EXPECT_EQ(Platform::ErrorFromErrno(EACCES), Platform::kErrorAccessDenied);
}

TEST(LastError, IsPerThread) {
  Platform::SetLastError(42);
  std::thread([] {
    EXPECT_EQ(Platform::GetLastError(), 0u);
    Platform::SetLastError(7);
  }).join();
  EXPECT_EQ(Platform::GetLastError(), 42u);
}

}  // namespace
