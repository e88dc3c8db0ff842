#include "metadata/descriptors.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "descriptor_builder.h"
#include "host/host.h"
#include "test_support.h"

namespace XELO {
namespace {

using xelotest::arrayProperty;
using xelotest::cimDocument;
using xelotest::scalarProperty;
using xelotest::UpdateDescriptor;
using xelotest::writeFile;
using Strings = std::vector<std::string>;

std::vector<std::pair<std::string, std::string>> pairs(const std::multimap<std::string, std::string>& map) {
  return {map.begin(), map.end()};
}

// ---- line readers ----------------------------------------------------------

TEST(DescriptorPropertyTest, ScalarValuesFollowTheirPropertyLine) {
  xelotest::TempDir dir;
  const std::string path = dir / "qor_fw_a_linux.xml";
  writeFile(path, cimDocument(scalarProperty("readmeFilename", "pack.txt") + scalarProperty("readme", "a.txt") +
                              "  <PROPERTY NAME=\"payload\" TYPE=\"string\">\r\n"
                              "    <VALUE>fw.bin</VALUE>\r\n" +
                              "  <PROPERTY NAME=\"unterminated\">\n    <VALUE>rest of line\n" +
                              "  <PROPERTY NAME=\"empty\">\n  </PROPERTY>\n" + scalarProperty("after", "x")));

  // A longer property whose name holds the shorter one matches first.
  EXPECT_EQ(readDescriptorProperty(path, "readme"), "pack.txt");
  EXPECT_EQ(readDescriptorProperty(path, "payload"), "fw.bin");  // CRLF lines
  EXPECT_EQ(readDescriptorProperty(path, "unterminated"), "rest of line");
  EXPECT_EQ(readDescriptorProperty(path, "empty"), "");
  EXPECT_EQ(readDescriptorProperty(path, "missing"), "");
  EXPECT_EQ(readDescriptorProperty(dir / "absent.xml", "payload"), "");
}

TEST(DescriptorPropertyTest, UpdatePackPropertiesAreReadOnlyAfterThePackSection) {
  xelotest::TempDir dir;
  const std::string pack = dir / "qor_utl_novp_7101_sles11.xml";
  const std::string text = cimDocument(scalarProperty("readmeFilename", "member_readme.txt") +
                                       "  <VALUE>NOVP pack for 7101</VALUE>\n" +
                                       scalarProperty("readmeFilename", "pack_readme.txt"));
  writeFile(pack, text);
  EXPECT_EQ(readDescriptorProperty(pack, "readmeFilename"), "pack_readme.txt");

  // The same text under another name is an ordinary descriptor.
  writeFile(dir / "qor_fw_x.xml", text);
  EXPECT_EQ(readDescriptorProperty(dir / "qor_fw_x.xml", "readmeFilename"), "member_readme.txt");

  // A pack without its section has no properties at all.
  writeFile(pack, cimDocument(scalarProperty("readmeFilename", "member_readme.txt")));
  EXPECT_EQ(readDescriptorProperty(pack, "readmeFilename"), "");
}

TEST(MachineTypeArrayTest, ElementsAreTakenFromBracketsOrWholeLines) {
  xelotest::TempDir dir;
  const std::string path = dir / "d.xml";
  writeFile(path, cimDocument(
                      // a mention of the name that does not open the array
                      "  <!-- applicableMachineTypes below -->\n  <PROPERTY NAME=\"x\">\n" +
                      arrayProperty("applicableMachineTypes",
                                    {"System x3650 M3 [9754]", "9755", "[9756", "]x[9757]"}) +
                      arrayProperty("applicableMachineTypes", {"[1111]"})));
  EXPECT_EQ(readMachineTypeArray(path),
            (Strings{"9754", "      <VALUE>9755</VALUE>", "9756</VALUE>", "9757"}));
  EXPECT_TRUE(readMachineTypeArray(dir / "missing.xml").empty());
}

TEST(MachineTypeArrayTest, FoundMachineTypesGrowOncePerPass) {
  xelotest::TempDir dir;
  DescriptorIndex index;
  index.workDir = dir.path();
  writeFile(dir / "a.xml", cimDocument(arrayProperty("applicableMachineTypes", {"[7101]", "[7102]", "[7101]"})));
  writeFile(dir / "b.xml", cimDocument(arrayProperty("applicableMachineTypes", {"[7102]", "[7103]"})));

  const auto found = readApplicableMachineTypes(index, {"a.xml", "b.xml", "missing.xml"});
  EXPECT_EQ(pairs(found), (std::vector<std::pair<std::string, std::string>>{
                              {"a.xml", "7101"}, {"a.xml", "7102"}, {"a.xml", "7101"}, {"b.xml", "7102"},
                              {"b.xml", "7103"}}));
  EXPECT_EQ(index.foundMachineTypes, (Strings{"7101", "7102", "7103"}));
  readApplicableMachineTypes(index, {"b.xml"});
  EXPECT_EQ(index.foundMachineTypes, (Strings{"7101", "7102", "7103", "7102", "7103"}));
}

// ---- operating systems -----------------------------------------------------

TEST(OsClassTest, FirstDecidingElementWins) {
  xelotest::TempDir dir;
  auto classOf = [&](const std::string& name, const Strings& oses) {
    writeFile(dir / name, cimDocument(arrayProperty("applicableOperatingSystems", oses)));
    return getDescriptorOsClass(dir / name);
  };
  EXPECT_EQ(classOf("a.xml", {"Windows 2008", "linux"}), kOsWindows);
  EXPECT_EQ(classOf("b.xml", {"SLES 11", "LINUX", "Windows 2008"}), kOsLinux);
  EXPECT_EQ(classOf("c.xml", {"Other", "207"}), kOsLinux);
  EXPECT_EQ(classOf("d.xml", {"OS None"}), kOsIndependent);
  EXPECT_EQ(classOf("e.xml", {"linux kernel"}), kOsUnknown);  // not equal to "linux"
  // Nothing decides: the file name does.
  EXPECT_EQ(classOf("qor_dd_x_sles10.xml", {"SLES 11"}), kOsLinux);
  EXPECT_EQ(classOf("qor_dd_x_windows_32.xml", {"SLES 11"}), kOsWindows);
}

TEST(OsClassTest, WithoutAnArrayTheFileNameDecidesButNotItsDirectory) {
  xelotest::TempDir dir;
  const std::string linuxDir = dir / "linux_windows_media";
  ASSERT_TRUE(ensureDirectory(linuxDir));
  const std::string noArray = cimDocument(scalarProperty("payload", "p.bin"));
  for (const char* name : {"qor_fw_a_anyos_noarch.xml", "qor_fw_b_linux.xml", "qor_fw_c_windows.xml", "qor_fw_d.xml"})
    writeFile(linuxDir + "/" + name, noArray);
  EXPECT_EQ(getDescriptorOsClass(linuxDir + "/qor_fw_a_anyos_noarch.xml"), kOsIndependent);
  EXPECT_EQ(getDescriptorOsClass(linuxDir + "/qor_fw_b_linux.xml"), kOsLinux);
  EXPECT_EQ(getDescriptorOsClass(linuxDir + "/qor_fw_c_windows.xml"), kOsWindows);
  EXPECT_EQ(getDescriptorOsClass(linuxDir + "/qor_fw_d.xml"), kOsUnknown);
  EXPECT_EQ(getDescriptorOsClass(linuxDir + "/qor_fw_e_linux_missing.xml"), kOsLinux);
}

TEST(OsClassTest, SplitListsIndependentDescriptorsUnderBothAndUnknownUnderNeither) {
  xelotest::TempDir dir;
  DescriptorIndex index;
  index.workDir = dir.path();
  writeFile(dir / "l.xml", cimDocument(arrayProperty("applicableOperatingSystems", {"linux"})));
  writeFile(dir / "w.xml", cimDocument(arrayProperty("applicableOperatingSystems", {"Windows 2012"})));
  writeFile(dir / "x_anyos_noarch.xml", cimDocument(""));
  writeFile(dir / "u.xml", cimDocument(""));

  EXPECT_EQ(splitDescriptorsByOs(index, {"l.xml", "w.xml", "x_anyos_noarch.xml"}), 0);
  EXPECT_EQ(splitDescriptorsByOs(index, {"u.xml"}), -1);
  EXPECT_EQ(index.linuxDescriptors, (Strings{"l.xml", "x_anyos_noarch.xml"}));
  EXPECT_EQ(index.windowsDescriptors, (Strings{"w.xml", "x_anyos_noarch.xml"}));
}

// ---- files of an update ------------------------------------------------------

class UpdateFilesTest : public ::testing::Test {
 protected:
  xelotest::TempDir dir;
  DescriptorIndex index;
  void SetUp() override { index.workDir = dir.path(); }
};

TEST_F(UpdateFilesTest, FilesAreListedInOrderWhenPresent) {
  UpdateDescriptor d{"qor_fw_a.xml", "qor_fw_a", {"[7101]"}, {"linux"}, "a.bin", "a.txt", "a.chg"};
  writeFile(dir / "qor_fw_a.xml", d.text());
  writeFile(dir / "a.bin", "x");
  writeFile(dir / "a.chg", "x");
  EXPECT_EQ(getUpdatePayload(index, "qor_fw_a.xml"), "a.bin");
  EXPECT_EQ(getUpdateFiles(index, "qor_fw_a.xml"), (Strings{"qor_fw_a.xml", "a.bin", "a.chg"}));  // no readme

  writeFile(dir / "a.txt", "x");
  EXPECT_EQ(getUpdateFiles(index, "qor_fw_a.xml"), (Strings{"qor_fw_a.xml", "a.txt", "a.bin", "a.chg"}));

  deleteFile(dir / "a.bin");
  EXPECT_EQ(getUpdatePayload(index, "qor_fw_a.xml"), "");
}

TEST_F(UpdateFilesTest, EmptyReadmeAndHistoryFallBackToThePackNames) {
  writeFile(dir / "u.xml", cimDocument(scalarProperty("xmlFilename", "u.xml") + scalarProperty("readme", "") +
                                       scalarProperty("readmeFilename", "r.txt") +
                                       scalarProperty("revisionHistoryFile", "") +
                                       scalarProperty("changeHistoryFilename", "h.chg")));
  for (const char* f : {"r.txt", "h.chg"}) writeFile(dir / f, "x");
  EXPECT_EQ(getUpdateFiles(index, "u.xml"), (Strings{"u.xml", "r.txt", "h.chg"}));
}

TEST_F(UpdateFilesTest, NamesLeavingTheWorkingDirectoryAreNotFilesOfTheUpdate) {
  const std::string work = dir / "work";
  ASSERT_TRUE(ensureDirectory(work));
  index.workDir = work;
  writeFile(dir / "secret.bin", "x");
  ASSERT_TRUE(ensureDirectory(work + "/sub"));
  writeFile(work + "/sub/inner.txt", "x");
  writeFile(work + "/u.xml", cimDocument(scalarProperty("xmlFilename", "u.xml") +
                                         scalarProperty("readme", "sub/inner.txt") +
                                         scalarProperty("payload", "../secret.bin") +
                                         scalarProperty("revisionHistoryFile", "..\\secret.bin")));
  EXPECT_EQ(getUpdatePayload(index, "u.xml"), "");
  EXPECT_EQ(getUpdateFiles(index, "u.xml"), (Strings{"u.xml"}));
}

// ---- the index ---------------------------------------------------------------

class DescriptorIndexTest : public ::testing::Test {
 protected:
  xelotest::TempDir dir;
  Options options;
  DescriptorIndex index;

  void SetUp() override {
    options.workingDir = dir.path();
    options.machineTypes = {"7101"};
    options.functions = {"novpi"};
  }
  void add(const UpdateDescriptor& d, const std::string& name, bool withPayload = true) {
    writeFile(dir / name, d.text());
    for (const auto& f : {d.readme, d.history}) if (!f.empty()) writeFile(dir / f, "x");
    if (withPayload && !d.payload.empty()) writeFile(dir / d.payload, "x");
  }
  void populate() {
    add({"qor_fw_a_linux.xml", "fw-a", {"Model [7101]", "Model [7102]"}, {"linux"}, "qor_fw_a.bin", "qor_fw_a.txt"},
        "qor_fw_a_linux.xml");
    add({"qor_dd_b.xml", "dd-b", {"[7101]"}, {"Windows 2008"}, "dd_b.exe", "dd_b.txt"}, "qor_dd_b.xml");
    add({"qor_dd_c_anyos_noarch.xml", "dd-c", {"[7102]"}, {}, "dd_c.bin", "", "dd_c.chg"},
        "qor_dd_c_anyos_noarch.xml");
    add({"qor_fw_d.xml", "fw-d", {"[7101]"}, {"linux"}, "fw_d.bin"}, "qor_fw_d.xml", false);  // payload missing
    add({"qor_fw_e.XML", "fw-e", {"[7101]"}, {"linux"}, "fw_e.bin"}, "qor_fw_e.XML");
    add({"qor_fw_f.xml", "fw-f", {"[7101]"}, {"SLES 11"}, "fw_f.bin"}, "qor_fw_f.xml");  // no OS class
    add({"qor_fw_esxi5_x.xml", "esxi", {"[7101]"}, {"linux"}, "esxi.zip"}, "qor_fw_esxi5_x.xml");
    add({"qor_utl_zad_1.xml", "zad", {"[7103]"}, {"linux"}, "zad.zip"}, "qor_utl_zad_1.xml");
    writeFile(dir / "qor_utl_novp_7101_sles11.xml",
              cimDocument(arrayProperty("applicableMachineTypes", {"[7101]"}) +
                          arrayProperty("applicableOperatingSystems", {"207"}) + "  <VALUE>NOVP 7101</VALUE>\n" +
                          scalarProperty("xmlFilename", "qor_utl_novp_7101_sles11.xml") +
                          scalarProperty("readmeFilename", "novp.txt") +
                          scalarProperty("changeHistoryFilename", "novp.chg") +
                          scalarProperty("identificationCode", "novp-7101")));
    writeFile(dir / "novp.txt", "x");
    ASSERT_TRUE(ensureDirectory(dir / "folder.xml"));
  }
};

TEST_F(DescriptorIndexTest, IndexesLinuxUpdatesPerMachineType) {
  populate();
  indexUpdateDescriptors(index, options);

  EXPECT_EQ(index.workDir, dir.path());
  EXPECT_EQ(index.machineTypes, (Strings{"7101"}));
  EXPECT_FALSE(index.osSelector);
  EXPECT_EQ(index.esxiDescriptors, (Strings{"qor_fw_esxi5_x.xml"}));
  EXPECT_EQ(pairs(index.toolkitMachineTypes),
            (std::vector<std::pair<std::string, std::string>>{{"qor_utl_zad_1.xml", "7103"}}));
  EXPECT_EQ(index.linuxDescriptors,
            (Strings{"qor_dd_c_anyos_noarch.xml", "qor_fw_a_linux.xml", "qor_fw_d.xml", "qor_utl_novp_7101_sles11.xml"}));
  EXPECT_EQ(index.windowsDescriptors, (Strings{"qor_dd_b.xml", "qor_dd_c_anyos_noarch.xml"}));

  // The upper-case .XML, the Windows driver, the update whose payload is
  // missing and the one without an OS class are not indexed; the update pack
  // is, without a payload.
  EXPECT_EQ(updatesForMachineType(index, "7101"), (Strings{"fw-a", "novp-7101"}));
  EXPECT_EQ(updatesForMachineType(index, "7102"), (Strings{"dd-c", "fw-a"}));
  EXPECT_EQ(filesForMachineType(index, "7101"),
            (Strings{"qor_fw_a_linux.xml", "qor_fw_a.txt", "qor_fw_a.bin", "qor_utl_novp_7101_sles11.xml", "novp.txt"}));
  EXPECT_EQ(filesForMachineType(index, "7102"),
            (Strings{"qor_dd_c_anyos_noarch.xml", "dd_c.bin", "dd_c.chg", "qor_fw_a_linux.xml", "qor_fw_a.txt",
                     "qor_fw_a.bin"}));
}

TEST_F(DescriptorIndexTest, DeploymentRunsIndexWindowsUpdates) {
  populate();
  options.functions = {"dunvar"};
  indexUpdateDescriptors(index, options);
  EXPECT_TRUE(index.osSelector);
  EXPECT_EQ(updatesForMachineType(index, "7101"), (Strings{"dd-b"}));
  EXPECT_EQ(updatesForMachineType(index, "7102"), (Strings{"dd-c"}));
}

TEST_F(DescriptorIndexTest, QueriesForNullAllAndNoFirmware) {
  populate();
  indexUpdateDescriptors(index, options);
  EXPECT_TRUE(updatesForMachineType(index, "NULL").empty());
  EXPECT_TRUE(filesForMachineType(index, "NULL").empty());
  EXPECT_TRUE(updatesForMachineType(index, "9999").empty());
  EXPECT_EQ(updatesForMachineType(index, "all"), (Strings{"fw-a", "novp-7101", "dd-c"}));
  EXPECT_EQ(filesForMachineType(index, "all").size(), 8u);  // distinct files over both machine types
  EXPECT_EQ(filesForMachineTypeNoFirmware(index, "7101"),
            (Strings{"qor_utl_novp_7101_sles11.xml", "novp.txt"}));

  // A file removed after indexing is no longer offered.
  deleteFile(dir / "qor_fw_a.txt");
  EXPECT_EQ(filesForMachineType(index, "7101"),
            (Strings{"qor_fw_a_linux.xml", "qor_fw_a.bin", "qor_utl_novp_7101_sles11.xml", "novp.txt"}));
}

TEST_F(DescriptorIndexTest, ReindexingReplacesTheFormerContents) {
  populate();
  indexUpdateDescriptors(index, options);
  const auto files = index.filesByMachineType;
  const auto found = index.foundMachineTypes;
  indexUpdateDescriptors(index, options);
  EXPECT_EQ(index.filesByMachineType, files);
  EXPECT_EQ(index.foundMachineTypes, found);

  options.workingDir = dir / "missing";
  indexUpdateDescriptors(index, options);
  EXPECT_TRUE(index.filesByMachineType.empty());
  EXPECT_TRUE(index.linuxDescriptors.empty());
}

TEST_F(DescriptorIndexTest, SharedFilesAndRepeatedMachineTypesAreListedOnce) {
  add({"qor_fw_a.xml", "fw-a", {"[7101]", "[7101]"}, {"linux"}, "fw_a.bin", "common.txt"}, "qor_fw_a.xml");
  add({"qor_fw_b.xml", "fw-b", {"[7101]"}, {"linux"}, "fw_b.bin", "common.txt"}, "qor_fw_b.xml");
  indexUpdateDescriptors(index, options);
  EXPECT_EQ(filesForMachineType(index, "7101"),
            (Strings{"qor_fw_a.xml", "common.txt", "fw_a.bin", "qor_fw_b.xml", "fw_b.bin"}));
  EXPECT_EQ(updatesForMachineType(index, "7101"), (Strings{"fw-a", "fw-b"}));
}

// ---- requisites --------------------------------------------------------------

TEST(RequisiteTest, FirstValueOfEachRequisitePropertyPassingOverQualifiers) {
  xelotest::TempDir dir;
  writeFile(dir / "a.xml",
            cimDocument("  <PROPERTY.ARRAY NAME=\"preReq\" TYPE=\"string\">\n"
                        "    <QUALIFIER NAME=\"Note\"><VALUE>not an id</VALUE></QUALIFIER>\n"
                        "    <VALUE.ARRAY>\n      <VALUE>qor_fw_base</VALUE>\n      <VALUE>qor_fw_second</VALUE>\n"
                        "    </VALUE.ARRAY>\n  </PROPERTY.ARRAY>\n" +
                        arrayProperty("coReq", {"qor_dd_co"})));
  EXPECT_EQ(readDescriptorRequisites(dir / "a.xml"), (Strings{"qor_fw_base", "qor_dd_co"}));
}

TEST(RequisiteTest, EmptyRequisiteListDoesNotTakeALaterValue) {
  xelotest::TempDir dir;
  writeFile(dir / "a.xml", cimDocument("  <PROPERTY.ARRAY NAME=\"preReq\" TYPE=\"string\">\n"
                                       "  </PROPERTY.ARRAY>\n" +
                                       scalarProperty("payload", "a.bin")));
  EXPECT_TRUE(readDescriptorRequisites(dir / "a.xml").empty());
}

TEST(RequisiteTest, CollectionSkipsUpdatePacksAndMergesDuplicates) {
  xelotest::TempDir dir;
  writeFile(dir / "a.xml", cimDocument(arrayProperty("preReq", {"qor_z"}) + arrayProperty("coReq", {"qor_b"})));
  writeFile(dir / "b.xml", cimDocument(arrayProperty("preReq", {"qor_b"})));
  writeFile(dir / "QOR_UTL_NOVP_7101.xml", cimDocument(arrayProperty("preReq", {"qor_pack_only"})));
  EXPECT_EQ(collectRequisites(dir.path(), {"a.xml", "b.xml", "QOR_UTL_NOVP_7101.xml", "missing.xml"}),
            (std::set<std::string>{"qor_b", "qor_z"}));
}

}  // namespace
}  // namespace XELO
