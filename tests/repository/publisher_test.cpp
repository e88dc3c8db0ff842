// The publisher library: reading descriptors and building the catalog.
#include <gtest/gtest.h>

#include <filesystem>

#include "publisher.h"
#include "repo_fixtures.h"
#include "test_support.h"

namespace {

using namespace xelotest;
namespace fs = std::filesystem;

const qyxl::catalog::Update& entry(const qyxl::catalog::Catalog& c, const std::string& id) {
  const auto* u = c.find(id);
  if (!u) throw std::runtime_error("no catalog entry " + id);
  return *u;
}

class PublisherTest : public ::testing::Test {
 protected:
  qyxl::catalog::Catalog load() {
    qyxl::catalog::Catalog c;
    std::string error;
    EXPECT_TRUE(xelorepo::loadCatalog(dir.path(), "catalog.xml", c, error)) << error;
    return c;
  }
  xelorepo::Report publish() { return xelorepo::publishRepository(dir.path(), {}); }
  static bool mentions(const std::vector<std::string>& lines, const std::string& text) {
    for (const auto& l : lines)
      if (l.find(text) != std::string::npos) return true;
    return false;
  }

  TempDir dir{"repo-publish"};
  TestRepository repo{dir.path()};
};

TEST_F(PublisherTest, CatalogDescribesEveryPackageFromItsDescriptor) {
  addStandardContent(repo);
  repo.publish();
  auto c = load();
  EXPECT_EQ(c.updates.size(), 21u);

  const auto& uefi = entry(c, kStdUefi);
  EXPECT_EQ(uefi.kind, "update");
  EXPECT_EQ(uefi.name, "UEFI firmware 2.10");
  EXPECT_EQ(uefi.machineTypes, std::vector<std::string>{"7101"});  // from "Korvex KX-71-[7101]"
  EXPECT_EQ(uefi.platforms.front(), "NONE");
  EXPECT_EQ(uefi.preReqs, std::vector<std::string>{kStdBmcNew});
  ASSERT_EQ(uefi.files.size(), 4u);
  const std::vector<std::string> roles{"metadata", "metadata", "data", "metadata"};
  for (std::size_t i = 0; i < 4; ++i) {
    const auto& f = uefi.files[i];
    EXPECT_EQ(f.role, roles[i]) << f.name;
    EXPECT_EQ(f.path, "updates/" + f.name);
    EXPECT_EQ(f.size, repo.sizeOf(f.name));
    EXPECT_EQ(f.sha1, sha1OfFile(repo.pathOf(f.name)));
  }
  EXPECT_EQ(entry(c, kStdNicDriver).coReqs, std::vector<std::string>{kStdNicFirmware});
  EXPECT_EQ(entry(c, kStdBmcNew).supersedes, std::vector<std::string>{kStdBmcOld});

  const auto& pack = entry(c, kStdPack7101);
  EXPECT_EQ(pack.kind, "pack");
  EXPECT_EQ(pack.members.size(), 9u);
  EXPECT_EQ(pack.files.size(), 3u);  // descriptor, readme, change history: no payload
  EXPECT_EQ(pack.supersedes, std::vector<std::string>{kStdPack7101Old});
  EXPECT_EQ(entry(c, kStdKyt).kind, "tool");
  EXPECT_EQ(entry(c, kStdEsxi41).files[2].name, kStdEsxi41);
}

TEST_F(PublisherTest, PackPropertiesBeforeTheMarkerAreNotThePacks) {
  // An update-pack descriptor may describe other things before its own
  // section; only what follows the "NOVP" value is the pack.
  fs::create_directories(dir / "packs");
  writeFile(dir / "packs/qor_utl_novp_7101-2.00_anyos_noarch.xml",
            "<CIM><INSTANCE>\n"
            "<PROPERTY NAME=\"identificationCode\"><VALUE>not-the-pack</VALUE></PROPERTY>\n"
            "<PROPERTY NAME=\"category\"><VALUE>NOVP</VALUE></PROPERTY>\n"
            "<PROPERTY NAME=\"identificationCode\"><VALUE>qor_utl_novp_7101-2.00_anyos_noarch</VALUE></PROPERTY>\n"
            "<PROPERTY NAME=\"readme\"><VALUE></VALUE></PROPERTY>\n"
            "<PROPERTY NAME=\"readmeFilename\"><VALUE>pack.txt</VALUE></PROPERTY>\n"
            "<PROPERTY NAME=\"payload\"><VALUE>ignored.bin</VALUE></PROPERTY>\n"
            "<PROPERTY.ARRAY NAME=\"updateIds\"><VALUE.ARRAY><VALUE>a</VALUE><VALUE>b</VALUE></VALUE.ARRAY>"
            "</PROPERTY.ARRAY>\n</INSTANCE></CIM>\n");
  writeFile(dir / "packs/pack.txt", "readme");
  xelorepo::Descriptor d;
  std::string error;
  ASSERT_TRUE(xelorepo::readDescriptor(dir / "packs/qor_utl_novp_7101-2.00_anyos_noarch.xml", d, error)) << error;
  EXPECT_EQ(d.id, "qor_utl_novp_7101-2.00_anyos_noarch");
  EXPECT_EQ(d.readme, "pack.txt");
  EXPECT_EQ(d.payload, "");  // packs carry no payload
  EXPECT_EQ(d.members, (std::vector<std::string>{"a", "b"}));
  auto report = publish();
  EXPECT_TRUE(report.ok);
  EXPECT_TRUE(mentions(report.warnings, "member a is not in the repository"));
}

TEST_F(PublisherTest, MachineTypeElements) {
  EXPECT_EQ(xelorepo::machineTypeOfElement("Korvex KX-71 -[7101]"), "7101");
  EXPECT_EQ(xelorepo::machineTypeOfElement("  9754 "), "9754");
  EXPECT_EQ(xelorepo::machineTypeOfElement("Model [ 7102 ] tail"), "7102");
}

TEST_F(PublisherTest, ProblemsStopPublishingAndKeepThePreviousCatalog) {
  repo.addUpdate("qor_fw_good_1.0_anyos_noarch", {"7101"}, {}, 100);
  repo.publish();
  const std::string previous = readFile(repo.catalogPath());

  struct Case {
    std::string what;
    std::function<void()> damage;
    std::string expected;
  };
  const std::vector<Case> cases{
      {"missing payload", [&] { fs::remove(dir / "updates/qor_fw_good_1.0_anyos_noarch.bin"); }, "missing"},
      {"unsafe payload name",
       [&] {
         std::string d = readFile(dir / "updates/qor_fw_good_1.0_anyos_noarch.xml");
         d.replace(d.find("qor_fw_good_1.0_anyos_noarch.bin"), 32, "../../outside.bin");
         writeFile(dir / "updates/qor_fw_good_1.0_anyos_noarch.xml", d);
       },
       "not a plain file name"},
      {"duplicate id",
       [&] {
         fs::create_directories(dir / "copy");
         for (const auto& e : fs::directory_iterator(dir / "updates")) fs::copy_file(e.path(), dir / "copy" / e.path().filename());
       },
       "already described"},
      {"one name, two contents",
       [&] {
         fs::create_directories(dir / "other");
         writeFile(dir / "other/qor_fw_other_1.0_anyos_noarch.xml",
                   "<CIM>\n<PROPERTY NAME=\"identificationCode\">\n<VALUE>qor_fw_other_1.0_anyos_noarch</VALUE>\n"
                   "</PROPERTY>\n<PROPERTY NAME=\"payload\">\n<VALUE>qor_fw_good_1.0_anyos_noarch.bin</VALUE>\n"
                   "</PROPERTY>\n</CIM>\n");
         writeFile(dir / "other/qor_fw_good_1.0_anyos_noarch.bin", "different bytes");
       },
       "share the download name"},
      {"descriptor of another name",
       [&] {
         std::string d = readFile(dir / "updates/qor_fw_good_1.0_anyos_noarch.xml");
         d.replace(d.find("qor_fw_good_1.0_anyos_noarch.xml"), 32, "renamed.xml");
         writeFile(dir / "updates/qor_fw_good_1.0_anyos_noarch.xml", d);
       },
       "xmlFilename"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir backup("repo-backup");
    fs::copy(dir.path(), backup.path(), fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    c.damage();
    auto report = publish();
    EXPECT_FALSE(report.ok);
    EXPECT_TRUE(mentions(report.errors, c.expected)) << (report.errors.empty() ? "" : report.errors.front());
    EXPECT_EQ(readFile(repo.catalogPath()), previous);
    // Back to the good folder for the next case.
    fs::remove_all(dir.path());
    fs::copy(backup.path(), dir.path(), fs::copy_options::recursive);
  }
  EXPECT_TRUE(publish().ok);
}

TEST_F(PublisherTest, VerifyFindsChangedAndMissingFiles) {
  addStandardContent(repo);
  repo.publish();
  EXPECT_TRUE(xelorepo::verifyRepository(dir.path(), "catalog.xml", {}).ok);

  writeFile(repo.pathOf(std::string(kStdKyt) + ".zip"), repo.contentOf(std::string(kStdKyt) + ".zip") + "x");
  auto bytes = repo.contentOf(std::string(kStdUefi) + ".bin");
  bytes[0] = static_cast<char>(~bytes[0]);
  writeFile(repo.pathOf(std::string(kStdUefi) + ".bin"), bytes);
  fs::remove(repo.pathOf(std::string(kStdDnxelo) + ".zip"));
  auto report = xelorepo::verifyRepository(dir.path(), "catalog.xml", {});
  EXPECT_FALSE(report.ok);
  EXPECT_EQ(report.errors.size(), 3u);
  EXPECT_TRUE(mentions(report.errors, "does not match its SHA-1"));
  EXPECT_TRUE(mentions(report.errors, "bytes, the catalog says"));
  EXPECT_TRUE(mentions(report.errors, "missing"));
}

TEST_F(PublisherTest, CatalogRoundTripsThroughTheClientsParser) {
  qyxl::catalog::Catalog c;
  qyxl::catalog::Update u;
  u.id = "id & <odd> \"name\"";
  u.name = "Ünïcode name";
  u.machineTypes = {"7101"};
  u.files.push_back({"a b.bin", "dir/a b.bin", 12, true, std::string(40, 'f'), "data"});
  c.updates.push_back(u);
  qyxl::catalog::Catalog back;
  std::string error;
  ASSERT_TRUE(qyxl::catalog::parseCatalog(qyxl::catalog::writeCatalog(c), back, error)) << error;
  ASSERT_EQ(back.updates.size(), 1u);
  EXPECT_EQ(back.updates[0].id, u.id);
  EXPECT_EQ(back.updates[0].name, u.name);
  EXPECT_EQ(back.updates[0].files[0].path, "dir/a b.bin");
  EXPECT_EQ(back.updates[0].files[0].size, 12u);
  EXPECT_EQ(back.updates[0].files[0].sha1, std::string(40, 'f'));

  // A newer format is refused rather than misread.
  EXPECT_FALSE(qyxl::catalog::parseCatalog("<repository format=\"2\"/>", back, error));
}

TEST(CatalogSizes, ANumberBeyondSixtyFourBitsIsMalformed) {
  // Found by fuzzing: twenty digits past the largest 64-bit number were read
  // as that largest number, and the entry kept its path.
  qyxl::catalog::Catalog c;
  std::string error;
  ASSERT_TRUE(qyxl::catalog::parseCatalog(
      "<repository><update id=\"u\">"
      "<file name=\"big.bin\" path=\"u/big.bin\" size=\"99999999999999999999\"/>"
      "<file name=\"max.bin\" path=\"u/max.bin\" size=\"18446744073709551615\"/>"
      "<file name=\"zeros.bin\" path=\"u/zeros.bin\" size=\"00000000000000000042\"/>"
      "</update></repository>",
      c, error))
      << error;
  const auto& files = c.updates.at(0).files;
  EXPECT_FALSE(files[0].hasSize);
  EXPECT_EQ(files[0].path, "");  // refused by the client, never fetched
  EXPECT_TRUE(files[1].hasSize);
  EXPECT_EQ(files[1].size, 18446744073709551615ull);
  EXPECT_EQ(files[2].size, 42u);
  EXPECT_EQ(files[2].path, "u/zeros.bin");
}

}  // namespace
