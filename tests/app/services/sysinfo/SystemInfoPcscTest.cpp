// The report's reader section against a private pcscd with the virtual readers, and the
// line it writes when no smart-card service runs.
#include <gtest/gtest.h>

#include "PcscRig.h"
#include "SystemInfoReport.h"

namespace {

constexpr char kNoService[] = "Failed SCardEstablishContext. Errorcode: -2146435043 (0x8010001D)\r\n";

TEST(SystemInfoPcscTest, NoServiceGivesTheFailureLineWithThe32BitCode) {
  TvrTest::PcscSocketPath();  // this process's PC/SC calls go to the rig's socket, where nothing listens
  EXPECT_EQ(SystemInfoReport::PcscReadersText(), kNoService);
  SystemInfoProbes probes;
  probes.unitProperties = [](const std::string&) { return std::map<std::string, std::string>{{"ActiveState", "inactive"}}; };
  const std::string report = SystemInfoReport::Build(probes);
  EXPECT_NE(report.find(std::string("  Status: not running\r\n\r\nSmart card reader(s):\r\n") + kNoService),
            std::string::npos);
}

TEST(SystemInfoPcscTest, ListsEveryReaderWithItsAttributes) {
  const std::string why = TvrTest::PcscRigUnavailableReason();
  if (!why.empty()) GTEST_SKIP() << why;
  TvrTest::PrivatePcscd pcscd;
  pcscd.EnablePinPad(1, "", "");  // vendor attributes on both readers
  try {
    pcscd.Start();
  } catch (const TvrTest::PcscRigUnavailable& e) {
    GTEST_SKIP() << e.what();
  }
  TvrTest::ScriptedCard card(pcscd, 0, TvrTest::HexBytes("3B 7D 96 00 00 80 31 80 65 B0 83 11 17 D6 83 00 90 00"));
  card.Insert();
  ASSERT_TRUE(TvrTest::WaitForCard(TvrTest::PrivatePcscd::ReaderName(0), true));
  const std::string text = SystemInfoReport::PcscReadersText();
  // The reader without a card answers through a direct connection; the name ends at its zero.
  const std::string attributes = "  VendorName: Tavrenic\r\n  VendorIFDVersion: 1.2.0003\r\n";
  EXPECT_EQ(text, "Virtual PCD 00 00\r\n" + attributes + "Virtual PCD 00 01\r\n" + attributes);
  // The card was left where it was.
  EXPECT_TRUE(card.Inserted());
  SystemInfoProbes probes;
  probes.unitProperties = [](const std::string&) { return std::map<std::string, std::string>{}; };
  const std::string report = SystemInfoReport::Build(probes);
  EXPECT_NE(report.find("  Status: running\r\n\r\nSmart card reader(s):\r\n" + text), std::string::npos);
  pcscd.Stop();
  EXPECT_EQ(SystemInfoReport::PcscReadersText(), kNoService);
}

}  // namespace
