#include <gtest/gtest.h>

#include <ctime>

#include "CertificateTexts.h"
#include "ContentsFixture.h"
#include "ContentsTree.h"

using TvrTest::CertBuilder;
using TvrTest::CertSpec;
using TvrTest::PkiItem;
using TvrTest::TestPki;

namespace {

PkiItem LeafEnding(const std::string& cn, std::time_t notAfter, EVP_PKEY* key = nullptr) {
  CertSpec spec;
  spec.subject = "/C=HU/O=Tavrenic/CN=" + cn;
  spec.notBefore = notAfter - 400 * 86400;
  spec.notAfter = notAfter;
  spec.extensions = {{"keyUsage", "critical,digitalSignature"}};
  return CertBuilder::Issue(spec, &TestPki::Get().Intermediate(), key);
}

class ContentsTreeTest : public UiTest::ContentsFixture {};

TEST_F(ContentsTreeTest, ExpiryImagesAndTooltipsOnTheCard) {
  const std::time_t now = std::time(nullptr);
  PkiItem in15 = LeafEnding("Tizenöt Nap", now + 15 * 86400);
  PkiItem in10 = LeafEnding("Tíz Nap", now + 10 * 86400);
  PkiItem gone = LeafEnding("Lejárt Tegnap", now - 86400);
  AddCertificate(in15.Der(), "01", "Ő tizenöt");
  AddCertificate(in10.Der(), "02", "tíz");
  AddCertificate(gone.Der(), "03", "lejárt");
  Open();

  std::optional<TreeItem> root = BuildContentsTree(GetTokenInfo(false), GetTokenObjects(false), {}, now);
  ASSERT_TRUE(root);
  EXPECT_EQ(root->text, "Kártya - Sorozatszám: " + GetTokenInfo(false)->serialNumber);
  EXPECT_EQ(root->image, TreeImage::Card);
  EXPECT_TRUE(root->expanded);
  ASSERT_EQ(root->children.size(), 3u);
  // SoftHSM2 hands out handles in its own order: find the items by CKA_ID.
  const TokenObjects* objects = GetTokenObjects(false);
  auto byId = [&](const std::string& id) -> const TreeItem& {
    for (const TreeItem& item : root->children)
      if (objects->FindCertificate(item.handle)->GetId() == id) return item;
    throw std::runtime_error("no item " + id);
  };
  const TreeItem& a = byId("01");
  const TreeItem& b = byId("02");
  const TreeItem& c = byId("03");
  EXPECT_EQ(a.text, "Hitelesítő tanúsítvány - Tulajdonos: Tizenöt Nap");
  EXPECT_EQ(a.image, TreeImage::Certificate);
  EXPECT_EQ(b.image, TreeImage::ExpiringCertificate);
  EXPECT_EQ(c.image, TreeImage::ExpiredCertificate);

  EXPECT_EQ(ContentsTooltip(objects, a.image, a.handle), "Címke: Ő tizenöt");
  EXPECT_EQ(ContentsTooltip(objects, b.image, b.handle), "Címke: tíz\r\nA tanúsítvány le fog járni!");
  EXPECT_EQ(ContentsTooltip(objects, c.image, c.handle), "Címke: lejárt\r\nA tanúsítvány lejárt!");
  EXPECT_EQ(ContentsTooltip(objects, TreeImage::Card, 0), "");
}

TEST_F(ContentsTreeTest, ExpiryBoundaries) {
  const std::time_t now = 1'800'000'000;
  auto image = [&](std::time_t notAfter) {
    CertificateObject record;
    record.certificate.reset(X509_dup(LeafEnding("B", notAfter).Cert()));
    return CertificateImage(record, now);
  };
  EXPECT_EQ(image(now), TreeImage::ExpiringCertificate);  // the last valid second
  EXPECT_EQ(image(now - 1), TreeImage::ExpiredCertificate);
  EXPECT_EQ(image(now + 14 * 86400), TreeImage::Certificate);
  EXPECT_EQ(image(now + 14 * 86400 - 1), TreeImage::ExpiringCertificate);
  EXPECT_EQ(CertificateImage(CertificateObject(), now), TreeImage::Certificate);  // undecodable
}

TEST_F(ContentsTreeTest, KeysUnderTheirCertificatesAndWithout) {
  const TestPki& pki = TestPki::Get();
  PkiItem lone = LeafEnding("Lone", std::time(nullptr) + 400 * 86400);
  // Certificate 01 with its key pair; key pair 02 without a certificate; a private key
  // with the certificate's id under another key.
  AddCertificate(pki.SigningLeaf().Der(), "01", "cert01", &pki.SigningLeaf(), "key01");
  AddKeyPair(lone, "02", "key02");
  Open();
  TokenObjects* objects = GetTokenObjects(false);
  objects->AddDataObject(900, "titok", "Encrypted Data", {1, 2});
  objects->AddDataObject(901, "other", "Encrypted Data ", {1});
  objects->AddDataObject(902, "other", "encrypted data", {1});
  const std::time_t now = std::time(nullptr);

  auto kinds = [](const TreeItem& item) {
    std::string text;
    for (const TreeItem& child : item.children) text += std::to_string(static_cast<int>(child.image));
    return text;
  };
  std::optional<TreeItem> root = BuildContentsTree(GetTokenInfo(false), objects, {false, true}, now);
  ASSERT_TRUE(root);
  EXPECT_EQ(kinds(*root), "16");  // certificate, encrypted data
  EXPECT_EQ(root->children[1].text, "Titkosított adat");
  EXPECT_EQ(ContentsTooltip(objects, TreeImage::EncryptedData, 900), "Címke: titok");
  EXPECT_TRUE(root->children[0].children.empty());

  root = BuildContentsTree(GetTokenInfo(false), objects, {true, false}, now);
  EXPECT_EQ(kinds(*root), "16");
  EXPECT_EQ(kinds(root->children[0]), "23");
  EXPECT_TRUE(root->children[0].expanded);
  const int bits = EVP_PKEY_bits(pki.SigningLeaf().Key());
  EXPECT_EQ(root->children[0].children[0].text, "Publikus kulcs - Kulcshossz: " + std::to_string(bits) + " bit");
  EXPECT_EQ(root->children[0].children[1].text, "Privát kulcs - Exportálható: nem");

  root = BuildContentsTree(GetTokenInfo(false), objects, {true, true}, now);
  EXPECT_EQ(kinds(*root), "1236");  // the lone pair as two top-level items
  EXPECT_EQ(objects->FindPublicKey(root->children[1].handle)->GetId(), "02");
  EXPECT_EQ(objects->FindPrivateKey(root->children[2].handle)->GetId(), "02");

  // A token with a label and nothing on it shows the root alone; without a label, nothing.
  TokenObjects empty;
  TokenInfo info = *GetTokenInfo(false);
  root = BuildContentsTree(&info, &empty, {}, now);
  ASSERT_TRUE(root);
  EXPECT_TRUE(root->children.empty());
  EXPECT_FALSE(root->expanded);
  info.label.clear();
  EXPECT_FALSE(BuildContentsTree(&info, &empty, {}, now));
  EXPECT_FALSE(BuildContentsTree(nullptr, objects, {}, now));
}

// Which commands each menu greys, over the token states and object kinds that decide it.
TEST(ContentsMenuTest, GreyingTable) {
  TokenObjects objects;
  const std::vector<uint8_t> der = TestPki::Get().SigningLeaf().Der();
  objects.AddCertificate(1, "01", "imported", der);
  objects.AddCertificate(2, "01", "KP_CH_DS", der);
  objects.AddCertificate(3, "45435f445333", "x", der);
  objects.AddCertificate(4, "45435F445333", "kp_ch_ds", der);  // case differs: not the card's
  objects.AddPublicKey(5, "01", "pub", false);
  TokenInfo initialised, blank;
  initialised.userPinInitialized = true;

  auto enabled = [&](TreeImage image, CK_OBJECT_HANDLE handle, const TokenInfo& info,
                     std::optional<TreeImage> parent, uint32_t allow) {
    std::optional<ItemMenu> menu = ContextMenuFor(image, handle, info, objects, parent, allow);
    if (!menu) return std::string("none");
    std::string flags = std::to_string(menu->menu) + ":";
    for (const MenuEntry& e : menu->entries) flags += e.enabled ? '1' : '0';
    return flags;
  };
  const auto card = TreeImage::Card;
  struct Row {
    const char* what;
    TreeImage image;
    CK_OBJECT_HANDLE handle;
    bool pinInitialised;
    std::optional<TreeImage> parent;
    uint32_t allowDelete;
    const char* expected;
  };
  const Row rows[] = {
      {"card", card, 0, true, std::nullopt, 0, "158:1111"},
      {"card, no user PIN", card, 0, false, std::nullopt, 0, "158:1100"},
      {"imported certificate", TreeImage::Certificate, 1, true, card, 0, "137:1111"},
      {"certificate, no user PIN", TreeImage::Certificate, 1, false, card, 1, "137:1000"},
      {"expiring certificate", TreeImage::ExpiringCertificate, 1, true, card, 0, "137:1111"},
      {"card's label", TreeImage::Certificate, 2, true, card, 0, "137:1110"},
      {"card's label, allowed", TreeImage::ExpiredCertificate, 2, true, card, 1, "137:1111"},
      {"card's label, value 2", TreeImage::Certificate, 2, true, card, 2, "137:1110"},
      {"card's id", TreeImage::Certificate, 3, true, card, 0, "137:1110"},
      {"other case", TreeImage::Certificate, 4, true, card, 0, "137:1111"},
      {"top-level public key", TreeImage::PublicKey, 5, true, card, 0, "141:1"},
      {"public key under a certificate", TreeImage::PublicKey, 5, true, TreeImage::Certificate, 0, "141:0"},
      {"public key, parent unknown", TreeImage::PublicKey, 5, true, std::nullopt, 0, "141:0"},
      {"top-level public key, no user PIN", TreeImage::PublicKey, 5, false, card, 0, "141:0"},
      {"encrypted data", TreeImage::EncryptedData, 9, true, card, 0, "167:11"},
      {"encrypted data, no user PIN", TreeImage::EncryptedData, 9, false, card, 0, "167:10"},
      {"private key", TreeImage::PrivateKey, 6, true, card, 0, "none"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(enabled(row.image, row.handle, row.pinInitialised ? initialised : blank, row.parent, row.allowDelete),
              row.expected);
  }
  std::optional<ItemMenu> menu = ContextMenuFor(TreeImage::Certificate, 1, initialised, objects, card, 0);
  ASSERT_TRUE(menu);
  std::vector<std::string> texts;
  for (const MenuEntry& e : menu->entries) texts.push_back(e.text);
  EXPECT_EQ(texts, (std::vector<std::string>{"Megtekintés", "Megújítás", "Regisztrálás", "Törlés"}));
  EXPECT_EQ(DoubleClickActionFor(TreeImage::ExpiredCertificate), DoubleClickAction::ViewCertificate);
  EXPECT_EQ(DoubleClickActionFor(TreeImage::EncryptedData), DoubleClickAction::EditEncryptedData);
  EXPECT_EQ(DoubleClickActionFor(TreeImage::PublicKey), DoubleClickAction::None);
}

}  // namespace
