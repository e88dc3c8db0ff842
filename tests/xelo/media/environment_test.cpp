#include "media/environment.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/options.h"
#include "host/host.h"
#include "log/logger.h"
#include "test_support.h"

namespace fs = std::filesystem;
using namespace XELO;
using Names = std::vector<std::string>;

namespace {

const std::string kBasicZip = "qor_utl_boot_tools-141_anyos_x86-64.zip";
const std::string kMidZip = "qor_utl_boot_tools-141_anyos_x86-64-mid.zip";
const std::string kFullZip = "qor_utl_boot_tools-141_anyos_x86-64-full.zip";

// Options of a run in a fresh working directory (use()).
class EnvironmentTest : public ::testing::Test {
 protected:
  void SetUp() override { use(); }
  // Starts over in an empty working directory holding `names`.
  void use(const Names& names = {}) {
    dirs.push_back(std::make_unique<xelotest::TempDir>("xelo-env"));
    options.workingDir = dirs.back()->path();
    add(names);
  }
  void add(const Names& names) {
    for (const std::string& name : names) {
      fs::path path = fs::path(work()) / name;
      fs::create_directories(path.parent_path());
      xelotest::writeFile(path.string(), "x");
    }
  }
  std::string work() const { return dirs.back()->path(); }
  // Matching entries of a sub-directory, in listing order.
  Names listed(const std::string& sub, const std::string& prefix) {
    Names names, matching;
    listDirectory((fs::path(work()) / sub).string(), names);
    for (const std::string& n : names)
      if (n.rfind(prefix, 0) == 0) matching.push_back(n);
    return matching;
  }

  Options options;

 private:
  std::vector<std::unique_ptr<xelotest::TempDir>> dirs;
};

bool logged(const std::string& text) {
  return xelotest::readFile(processLogger().getLogFilePath()).find(text) != std::string::npos;
}

}  // namespace

TEST_F(EnvironmentTest, BaseNameAndNeedFollowTheFunctionList) {
  EXPECT_EQ(bootToolsBaseName({"linuxtk"}), std::string(kBootToolsBaseFull));
  for (const Names& functions : {Names{}, Names{"novpi"}, Names{"kyt", "novpi"}, Names{"linuxtk", "novpi"}})
    EXPECT_EQ(bootToolsBaseName(functions), std::string(kBootToolsBaseMid));
  EXPECT_EQ(std::string(kBootToolsBaseFull) + ".zip", kFullZip);

  const std::pair<Names, int> needs[] = {{{"linuxtk"}, 3}, {{"novpi", "linuxtk"}, 3}, {{"novpi"}, 2},
                                         {{"kyt"}, 2},     {{"dunvar"}, 0},           {{}, 0}};
  for (const auto& [functions, need] : needs) {
    options.functions = functions;
    EXPECT_EQ(bootToolsNeed(options), need) << ::testing::PrintToString(functions);
  }
}

TEST_F(EnvironmentTest, BootToolsZipTakesExactVariantThenLargerOnes) {
  use({kBasicZip, kMidZip, kFullZip});
  EXPECT_EQ(findBootToolsZip(options, 1), kBasicZip);
  EXPECT_EQ(findBootToolsZip(options, 2), kMidZip);
  EXPECT_EQ(findBootToolsZip(options, 3), kFullZip);
  for (int need : {0, 4, -1}) EXPECT_EQ(findBootToolsZip(options, need), "") << need;

  use({kFullZip});
  EXPECT_EQ(findBootToolsZip(options, 1), kFullZip);
  EXPECT_EQ(findBootToolsZip(options, 2), kFullZip);

  use({kBasicZip, kMidZip});  // a smaller variant never stands in
  EXPECT_EQ(findBootToolsZip(options, 3), "");
  use({kBasicZip});
  EXPECT_EQ(findBootToolsZip(options, 2), "");

  use({kMidZip, kFullZip});  // "linuxtk" with "novpi": mid base name, full need
  options.functions = {"linuxtk", "novpi"};
  EXPECT_EQ(findBootToolsZip(options, bootToolsNeed(options)), kFullZip);
}

TEST_F(EnvironmentTest, DirectoryNamedLikeAZipDoesNotCount) {
  fs::create_directories(fs::path(work()) / kMidZip);
  EXPECT_EQ(findBootToolsZip(options, 2), "");
  options.toolZip = kMidZip;
  EXPECT_FALSE(toolZipPresent(options));

  add({kFullZip, "custom_boot.zip"});
  EXPECT_EQ(findBootToolsZip(options, 2), kFullZip);
  options.toolZip = "custom_boot.zip";
  EXPECT_TRUE(toolZipPresent(options));
  options.toolZip = "";  // never the working directory itself
  EXPECT_FALSE(toolZipPresent(options));
}

TEST_F(EnvironmentTest, HighestNovpiVersionWinsWhateverTheOrder) {
  // Listing order depends on the file system (creation order or name
  // hashes); differently named pairs created in both orders cover both.
  for (int i = 0; i < 16; ++i) {
    const std::string older = "novpi/qor_utl_novpi_9.61_" + std::to_string(i) + ".bin";
    const std::string newer = "novpi/qor_utl_novpi_9.63_" + std::to_string(i) + ".bin";
    use(i % 2 ? Names{older, newer} : Names{newer, older});
    EXPECT_EQ("novpi/" + selectNovpiBinary(options), newer) << i;
  }
  use({"novpi/qor_utl_novpi_9.99_a.bin", "novpi/qor_utl_novpi_10.1_a.bin"});
  EXPECT_EQ(selectNovpiBinary(options), "qor_utl_novpi_10.1_a.bin");
  use({"novpi/qor_utl_novpi_9.59_a.bin", "novpi/qor_utl_novpi_9.6x_a.bin"});  // 9.6x reads 9.6
  EXPECT_EQ(selectNovpiBinary(options), "qor_utl_novpi_9.6x_a.bin");
}

TEST_F(EnvironmentTest, NonNumericNovpiVersionIsNeverChosen) {
  // No sign, exponent, infinity or leading blank is read as a number.
  add({"novpi/qor_utl_novpi_abcd.bin", "novpi/qor_utl_novpi_inf_.bin", "novpi/qor_utl_novpi_-9.6.bin",
       "novpi/qor_utl_novpi_ 9.6.bin", "novpi/qor_utl_novpi_.bin"});
  EXPECT_EQ(selectNovpiBinary(options), "");
  add({"novpi/qor_utl_novpi_1e99.bin", "novpi/qor_utl_novpi_9.63.bin"});  // "1e99" is 1
  EXPECT_EQ(selectNovpiBinary(options), "qor_utl_novpi_9.63.bin");
}

TEST_F(EnvironmentTest, NovpiIgnoresOtherNamesAndPlaces) {
  add({"qor_utl_novpi_9.63.bin", "novpi/qor_utl_novpi_9.64.bin.txt", "novpi/QOR_UTL_NOVPI_9.65.bin",
       "novpi/qor_utl_novpi_9.62.BIN", "novpi/qor_utl_novpi_9.61.bin"});
  EXPECT_EQ(selectNovpiBinary(options), "qor_utl_novpi_9.61.bin");
}

TEST_F(EnvironmentTest, EqualNovpiVersionsKeepTheFirstListedAndAreLogged) {
  add({"novpi/qor_utl_novpi_9.57_a.bin", "novpi/qor_utl_novpi_9.57_b.bin", "novpi/qor_utl_novpi_zz.x.bin"});
  const std::string first = listed("novpi", "qor_utl_novpi_9").front();
  EXPECT_EQ(selectNovpiBinary(options), first);
  EXPECT_TRUE(logged("find a NOVPI binary file:" + first + " ,version number is:9.57"));
  EXPECT_TRUE(logged("find a NOVPI binary file:qor_utl_novpi_zz.x.bin ,version number is:zz.x"));
  EXPECT_TRUE(logged("NOVPI selected :" + first));
}

TEST_F(EnvironmentTest, KytChoosesTheGreatestNameByteWise) {
  add({"kyt/qor_utl_kyt_961cp_anyos_x86-64.zip", "kyt/qor_utl_kyt_962cp_anyos_x86-64.zip",
       "kyt/qor_utl_kyt_1001cp_anyos_x86-64.zip",  // "10" sorts below "9"
       "kyt/qor_utl_kyt_999_anyos_x86-64.zip", "kyt/qor_utl_kyt_999cp_anyos_x86-64.zip.1",
       "kyt/QOR_UTL_KYT_999cp_anyos_x86-64.zip", "qor_utl_kyt_999cp_anyos_x86-64.zip"});
  EXPECT_EQ(selectKytPackage(options), "qor_utl_kyt_962cp_anyos_x86-64.zip");
  EXPECT_TRUE(logged("KYT selected :qor_utl_kyt_962cp_anyos_x86-64.zip"));
  EXPECT_EQ(listKytPackages(work() + "/kyt", "kyt"),
            (Names{"qor_utl_kyt_962cp_anyos_x86-64.zip", "qor_utl_kyt_961cp_anyos_x86-64.zip",
                   "qor_utl_kyt_1001cp_anyos_x86-64.zip"}));

  use({"kyt/qor_utl_kyt_961_anyos_x86-64.zip"});
  EXPECT_EQ(selectKytPackage(options), "");
  EXPECT_TRUE(logged("KYT selected :\n"));
}

TEST_F(EnvironmentTest, OtherKindsListEveryEntryButTheDotEntries) {
  add({"tools/b.txt", "tools/a", "tools/C"});
  fs::create_directories(fs::path(work()) / "tools/sub");
  EXPECT_EQ(listKytPackages(work() + "/tools", "novpi"), (Names{"sub", "b.txt", "a", "C"}));
}

TEST_F(EnvironmentTest, EsxiLastMatchInListingOrderWins) {
  add({"qor_fw_esxi_3.5_u1_xelo_32-64", "qor_fw_esxi_3.5_u2_xelo_32-64", "qor_fw_esxi_4.0_u1_xelo_32-64",
       "qor_fw_esxi_4.1_u1_xelo_32-64.xml", "QOR_FW_ESXI_4.1_u1_xelo_32-64"});
  EXPECT_EQ(selectEsxiPackage(options, "3.5"), listed("", "qor_fw_esxi_3.5").back());
  EXPECT_EQ(selectEsxiPackage(options, "4.0"), "qor_fw_esxi_4.0_u1_xelo_32-64");
  EXPECT_EQ(selectEsxiPackage(options, "4.1"), "");

  EXPECT_TRUE(isEsxiPackage("qor_fw_esxi_3.5_u1_xelo_32-64"));
  EXPECT_TRUE(isEsxiPackage("qor_fw_esxi_xelo_32-64"));
  for (const char* name : {"qor_fw_esxi_3.5_u1_xelo_32-64.xml", "Qor_fw_esxi_3.5_xelo_32-64", "qor_fw_esxi_",
                           "xelo_32-64", ""})
    EXPECT_FALSE(isEsxiPackage(name)) << name;
}

TEST_F(EnvironmentTest, MissingWorkingDirectoryGivesEmptyAnswers) {
  options.workingDir = work() + "/absent";
  options.toolZip = kMidZip;
  for (int need = 1; need <= 3; ++need) EXPECT_EQ(findBootToolsZip(options, need), "");
  EXPECT_FALSE(toolZipPresent(options));
  EXPECT_EQ(selectNovpiBinary(options), "");
  EXPECT_EQ(selectKytPackage(options), "");
  EXPECT_EQ(selectEsxiPackage(options, "3.5"), "");
  EXPECT_TRUE(listKytPackages(work() + "/absent", "other").empty());
}
