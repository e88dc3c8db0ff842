// The readers of the program's files on real, truncated and hostile text.
#include "readers.h"

#include <gtest/gtest.h>

namespace XELO::launchpad {
namespace {

TEST(LaunchpadReaders, ResultRecord) {
  const auto ok = readCliResult(
      "<CLIERROR>\n\t<CODE>0</CODE>\n\t<MESSAGE>Create iso file successfully</MESSAGE>\n\t<STEPSERIAL>8</STEPSERIAL>"
      "\n</CLIERROR>");
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->code, 0);
  EXPECT_EQ(ok->message, "Create iso file successfully");
  EXPECT_EQ(ok->step, 8);
  // The message is written unescaped: markup in it stays text.
  const auto odd = readCliResult(
      "<CLIERROR>\n\t<CODE>220</CODE>\n\t<MESSAGE>a <b> & </MESSAGE> c</MESSAGE>\n\t<STEPSERIAL>0</STEPSERIAL>"
      "\n</CLIERROR>");
  ASSERT_TRUE(odd);
  EXPECT_EQ(odd->message, "a <b> & </MESSAGE> c");
  for (const char* bad : {"", "<CLIERROR>\n\t<CODE>0</CODE>\n\t<MESSAGE>half",
                          "<CLIERROR><CODE>x</CODE><MESSAGE>m"
                          "</MESSAGE><STEPSERIAL>0</STEPSERIAL></CLIERROR>",
                          "<CLIERROR><CODE>99999999999999999999</CODE><MESSAGE>m</MESSAGE><STEPSERIAL>0"
                          "</STEPSERIAL></CLIERROR>"})
    EXPECT_FALSE(readCliResult(bad)) << bad;
}

const char* kAcquisition =
    "<ACQUISITION>\n\t<CONTENT>\n\t\t<MT>7101</MT>\n\t\t<OS>SLES 11 x64</OS>\n\t\t<TOTAL>2</TOTAL>"
    "\n\t\t<CURRENTUPDATEID>qor_fw_bmc</CURRENTUPDATEID>"
    "\n\t\t<PACKAGE>\n\t\t\t<UPDATEID>qor_fw_bmc</UPDATEID>\n\t\t\t<COMPONENT>BMC</COMPONENT>\n\t\t\t<SIZE>120</SIZE>"
    "\n\t\t\t<DOWNLOADSIZE>60</DOWNLOADSIZE>\n\t\t\t<DOWNLOADSPEED>30</DOWNLOADSPEED>\n\t\t\t<STATUS>Downloading</"
    "STATUS>"
    "\n\t\t</PACKAGE>\n\t</CONTENT>\n\t<CONTENT>\n\t\t<MT>Tool</MT>\n\t\t<OS>NOVPI</OS>\n\t\t<TOTAL>0</TOTAL>"
    "\n\t\t<CURRENTUPDATEID></CURRENTUPDATEID>\n\t</CONTENT>\n</ACQUISITION>";

TEST(LaunchpadReaders, AcquisitionProgress) {
  const auto passes = readAcquisition(kAcquisition);
  ASSERT_TRUE(passes);
  ASSERT_EQ(passes->size(), 2u);
  const auto& first = (*passes)[0];
  EXPECT_EQ(first.machineType, "7101");
  EXPECT_EQ(first.currentUpdateId, "qor_fw_bmc");
  ASSERT_EQ(first.packages.size(), 1u);
  EXPECT_EQ(first.packages[0].sizeKb, 120);
  EXPECT_EQ(first.packages[0].downloadedKb, 60);
  EXPECT_EQ(first.packages[0].status, "Downloading");
  EXPECT_EQ((*passes)[1].os, "NOVPI");
  // Caught while being rewritten, or not this file at all: nothing.
  const std::string text = kAcquisition;
  EXPECT_FALSE(readAcquisition(text.substr(0, text.size() / 2)));
  EXPECT_FALSE(readAcquisition(""));
  EXPECT_FALSE(readAcquisition("<LOCAL_REPORT></LOCAL_REPORT>"));
  // Numbers that are not numbers read as 0; an entity bomb is not expanded.
  const auto odd = readAcquisition(
      "<!DOCTYPE a [<!ENTITY x \"xxxxxxxx\">]><ACQUISITION><CONTENT><MT>&x;</MT><TOTAL>-</TOTAL><PACKAGE>"
      "<SIZE>1e9</SIZE></PACKAGE></CONTENT></ACQUISITION>");
  ASSERT_TRUE(odd);
  EXPECT_EQ((*odd)[0].total, 0);
  EXPECT_EQ((*odd)[0].packages[0].sizeKb, 0);
}

TEST(LaunchpadReaders, LocalReportAndSupportListResult) {
  const auto report = readLocalReport(
      "<LOCAL_REPORT>\n\t<CONTENT>\n\t\t<MT>7101</MT>\n\t\t<TOTAL>1</TOTAL>\n\t\t<PACKAGE>\n\t\t\t<UPDATEID>qor_fw_a"
      "</UPDATEID>\n\t\t\t<STATUS>Locally available</STATUS>\n\t\t</PACKAGE>\n\t</CONTENT>\n\t<CONTENT>\n\t\t<MT>7102"
      "</MT>\n\t\t<TOTAL>0</TOTAL>\n\t</CONTENT>\n</LOCAL_REPORT>");
  ASSERT_TRUE(report);
  ASSERT_EQ(report->size(), 2u);
  EXPECT_EQ((*report)[0].updateIds, std::vector<std::string>{"qor_fw_a"});
  EXPECT_TRUE((*report)[1].updateIds.empty());
  EXPECT_FALSE(readLocalReport("<LOCAL_REPORT>\n\t<CONTENT>"));

  EXPECT_EQ(readSupportListResult("<?xml version=\"1.0\" ?>\n<root>\n<result>SUCCESS</result>\n</root>"), true);
  EXPECT_EQ(readSupportListResult("<?xml version=\"1.0\" ?>\n<root>\n<result>FAIL</result>\n</root>"), false);
  EXPECT_FALSE(readSupportListResult("<?xml version=\"1.0\" ?>\n<root>\n<result>SUCC"));
  EXPECT_FALSE(readSupportListResult("<root><result>MAYBE</result></root>"));
}

TEST(LaunchpadReaders, SupportList) {
  const auto systems = readSupportList(
      "<?xml version=\"1.0\" ?>\n<root>\n"
      "<system><xname>Tolvane Rack R210</xname><machineType>7101</machineType><kyt>yes</kyt><novpi>yes</novpi>"
      "<dunvar>no</dunvar><vmwareupdate4.1>yes</vmwareupdate4.1></system>\n"
      "<system><xname>No type</xname></system>\n"
      "<system><xname>A &amp; B</xname><machineType>7312</machineType><kyt>no</kyt><novpi>yes</novpi>"
      "<dunvar>yes</dunvar></system>\n</root>");
  ASSERT_EQ(systems.size(), 2u);
  EXPECT_EQ(systems[0].machineType, "7101");
  EXPECT_TRUE(systems[0].kyt && systems[0].novpi && !systems[0].dunvar);
  EXPECT_EQ(systems[1].name, "A & B");
  EXPECT_TRUE(readSupportList("<root><system>").empty());
}

TEST(LaunchpadReaders, ProgressLines) {
  const std::string lines =
      "{\"event\":\"phase_start\",\"t\":0,\"phase\":\"Acquisition\"}\n"
      "{\"event\":\"phase_start\",\"t\":0,\"phase\":\"Download\"}\n"
      "{\"event\":\"file_progress\",\"t\":1,\"update\":\"u\",\"file\":\"u.bin\",\"kb\":5,\"total_kb\":10}\n"
      "not json\n"
      "{\"event\":\"file_progress\",\"t\":1,\"update\":\"u\",\"file\":\"u.bin\",\"kb\":\"five\"}\n"
      "{\"event\":\"phase_end\",\"t\":2,\"phase\":\"Download\"}\n"
      "{\"event\":\"question\",\"t\":2,\"text\":\"Are you sure you want to continue?(y or n)\",\"reply\":\"file\"}\n";
  ProgressSummary p = readProgress(lines);
  EXPECT_EQ(p.phase, "Acquisition");
  EXPECT_EQ(p.file, "u.bin");
  EXPECT_EQ(p.kb, 5);
  EXPECT_EQ(p.totalKb, 10);
  EXPECT_EQ(p.questions, 1);
  EXPECT_TRUE(p.questionByFile);
  EXPECT_FALSE(p.finished);
  // A last line not yet ended is not read; the finished one is.
  p = readProgress(lines + "{\"event\":\"result\",\"t\":3,\"code\":0,\"message\":\"ok\",\"medium\":\"/w/a.iso\"");
  EXPECT_FALSE(p.finished);
  p = readProgress(lines + "{\"event\":\"result\",\"t\":3,\"code\":0,\"message\":\"ok\",\"medium\":\"/w/a.iso\"}\n");
  EXPECT_TRUE(p.finished);
  EXPECT_EQ(p.medium, "/w/a.iso");
  EXPECT_EQ(readProgress("[1,2]\n\n{}\n").questions, 0);
  // Once the file is done no download is shown.
  p = readProgress(lines + "{\"event\":\"file_done\",\"t\":3,\"update\":\"u\",\"file\":\"u.bin\",\"present\":false}\n");
  EXPECT_EQ(p.file, "");
  EXPECT_EQ(p.totalKb, 0);
}

}  // namespace
}  // namespace XELO::launchpad
