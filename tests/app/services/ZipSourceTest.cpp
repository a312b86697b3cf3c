#include "CertificateSources.h"
#include "SearchTestCertificates.h"
#include "ServicesFixture.h"
#include "SharedUtilities.h"

#include <zip.h>

#include <fstream>
#include <iterator>

using TvrServices::CandidateSet;
using TvrServices::kMaxZipEntryBytes;

namespace {

class ZipSourceTest : public ServicesFixture {
 protected:
  // Writes an archive of (name, bytes) entries; a name ending in "/" is a folder.
  // `dosDirectory` entries carry the MS-DOS directory attribute without the slash.
  std::string MakeZip(const std::string& name, const std::vector<std::pair<std::string, std::string>>& entries,
                      const std::vector<std::string>& dosDirectory = {}) {
    std::string path = dir_->Path() + "/" + name;
    int error = 0;
    zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    EXPECT_NE(archive, nullptr);
    if (!archive) return path;
    for (const auto& [entry, bytes] : entries) {
      zip_int64_t index;
      if (!entry.empty() && entry.back() == '/') {
        index = zip_dir_add(archive, entry.c_str(), ZIP_FL_ENC_UTF_8);
      } else {
        zip_source_t* source = zip_source_buffer(archive, bytes.data(), bytes.size(), 0);
        index = zip_file_add(archive, entry.c_str(), source, ZIP_FL_ENC_UTF_8);
        if (index < 0) zip_source_free(source);
      }
      EXPECT_GE(index, 0) << entry;
      for (const std::string& dos : dosDirectory)
        if (dos == entry) zip_file_set_external_attributes(archive, index, 0, ZIP_OPSYS_DOS, 0x10);
    }
    EXPECT_EQ(zip_close(archive), 0);
    return path;
  }

  static std::string Der(const TvrTest::PkiItem& item) {
    std::vector<unsigned char> der = item.Der();
    return std::string(der.begin(), der.end());
  }

  static std::set<std::string> Thumbprints(const CandidateSet& set) {
    std::set<std::string> thumbprints;
    for (const X509Ptr& certificate : set) thumbprints.insert(CertificateThumbprintHex(certificate.get()));
    return thumbprints;
  }
};

}  // namespace

TEST_F(ZipSourceTest, FindsCertificatesInFoldersAndSkipsTheRest) {
  SearchTestCertificates certs;
  // The entries' contents must stay alive until the archive is written.
  std::string renewal = Der(certs.renewal), stranger = Der(certs.stranger), old = Der(certs.old);
  std::string path = MakeZip("certs.zip", {{"certs/", ""},
                                           {"certs/renewal.cer", renewal},
                                           {"certs/deeper/", ""},
                                           {"certs/deeper/stranger.der", stranger},
                                           {"readme.txt", "not a certificate"},
                                           {"empty.cer", ""},
                                           {"marked-as-folder", old}},
                             {"marked-as-folder"});
  std::string errorText;
  CandidateSet set = TvrServices::LoadCertificatesFromZip(path, errorText);
  EXPECT_EQ(Thumbprints(set), (std::set<std::string>{CertificateThumbprintHex(certs.renewal.Cert()),
                                                     CertificateThumbprintHex(certs.stranger.Cert())}));
  EXPECT_EQ(errorText, "");
  EXPECT_EQ(Events(), std::vector<std::string>{"Failed to get certificate from ZIP!"});
}

TEST_F(ZipSourceTest, UnreadableArchivesGiveTheFileError) {
  SearchTestCertificates certs;
  std::string renewal = Der(certs.renewal);
  std::string good = MakeZip("good.zip", {{"renewal.cer", renewal}});
  std::ifstream in(good, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), {});
  // Cut into the central directory: the archive no longer holds together.
  std::string cut = dir_->Path() + "/cut.zip";
  std::ofstream(cut, std::ios::binary) << bytes.substr(0, bytes.size() - 30);
  // A central directory whose entry points at a local header that is not there.
  std::string corrupt = dir_->Path() + "/corrupt.zip";
  std::string damaged = bytes;
  size_t central = damaged.rfind(std::string("PK\x01\x02", 4));
  ASSERT_NE(central, std::string::npos);
  damaged[central + 42] = static_cast<char>(damaged[central + 42] + 7);  // local header offset
  std::ofstream(corrupt, std::ios::binary) << damaged;
  std::string text = dir_->Path() + "/text.zip";
  std::ofstream(text) << "plain text";

  for (const std::string& path : {cut, corrupt, text, dir_->Path() + "/missing.zip"}) {
    sink_->Clear();
    std::string errorText;
    CandidateSet set = TvrServices::LoadCertificatesFromZip(path, errorText);
    EXPECT_TRUE(set.empty()) << path;
    EXPECT_EQ(errorText, "A fájl hibás.") << path;
    EXPECT_EQ(Events(), std::vector<std::string>{"Failed to init zip reader from file!"}) << path;
  }
}

TEST_F(ZipSourceTest, EntriesOverTheCapAreSkippedUnread) {
  SearchTestCertificates certs;
  // A certificate followed by padding still decodes, so only the cap keeps it out.
  std::string padded = Der(certs.stranger) + std::string(kMaxZipEntryBytes, '\0');
  std::string atCap = Der(certs.renewal);
  atCap += std::string(kMaxZipEntryBytes - atCap.size(), '\0');
  std::string path = MakeZip("big.zip", {{"padded.cer", padded}, {"at-cap.cer", atCap}});
  std::string errorText;
  CandidateSet set = TvrServices::LoadCertificatesFromZip(path, errorText);
  EXPECT_EQ(Thumbprints(set), std::set<std::string>{CertificateThumbprintHex(certs.renewal.Cert())});
  EXPECT_EQ(errorText, "");
}

namespace {

// A picked archive is outside data: its entry count and its total contents are capped,
// whatever its headers say.
TEST_F(ZipSourceTest, EntryCountAndTotalContentsAreCapped) {
  SearchTestCertificates certs;
  std::vector<std::pair<std::string, std::string>> many;
  for (zip_int64_t i = 0; i <= TvrServices::kMaxZipEntries; ++i) many.push_back({std::to_string(i), "x"});
  std::string errorText;
  EXPECT_TRUE(TvrServices::LoadCertificatesFromZip(MakeZip("many.zip", many), errorText).empty());
  EXPECT_EQ(errorText, "A fájl hibás.");
  EXPECT_EQ(Events(), std::vector<std::string>{"Failed to read zip: more than 1000 entries!"});

  // A certificate, then entries just under the per-entry cap that together pass the total.
  std::vector<std::pair<std::string, std::string>> large = {{"renewal.cer", Der(certs.renewal)}};
  const size_t padding = TvrServices::kMaxZipTotalBytes / (kMaxZipEntryBytes - 1) + 2;
  for (size_t i = 0; i < padding; ++i) large.push_back({"pad" + std::to_string(i), std::string(kMaxZipEntryBytes - 1, 'p')});
  large.push_back({"stranger.cer", Der(certs.stranger)});
  sink_->Clear();
  errorText.clear();
  CandidateSet set = TvrServices::LoadCertificatesFromZip(MakeZip("large.zip", large), errorText);
  EXPECT_EQ(Thumbprints(set), std::set<std::string>{CertificateThumbprintHex(certs.renewal.Cert())});
  EXPECT_EQ(errorText, "A fájl hibás.");
  const std::vector<std::string> events = Events();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back(), "Failed to read zip: more than 16 MiB of contents!");
  EXPECT_LT(events.size(), padding);  // stopped before the last entries were read
}

// Every skipped entry writes a warning; the log level is read once for the whole archive,
// not again for each entry.
TEST_F(ZipSourceTest, LogLevelIsReadOncePerArchive) {
  std::string path = MakeZip("text.zip", {{"a.txt", "not a certificate"}, {"b.txt", "nor this"}, {"c.txt", "no"}});
  DropLevelAfterFirstEvent();
  std::string errorText;
  EXPECT_TRUE(TvrServices::LoadCertificatesFromZip(path, errorText).empty());
  EXPECT_EQ(Events(), std::vector<std::string>(3, "Failed to get certificate from ZIP!"));
}

}  // namespace
