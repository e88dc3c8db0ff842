#include <gtest/gtest.h>

#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "core/errors.h"
#include "core/options.h"
#include "host/host.h"
#include "test_support.h"

namespace XELO {
namespace {

using xelotest::readFile;
using xelotest::writeFile;

using xelotest::ConsoleScope;

class ErrorsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    makeDirectory(supportDirectory());
    makeDirectory(supportListDirectory());
    deleteFile(cliResultPath());
    removeGuiConfirm();
    continueConfirmed = false;
  }
  void TearDown() override {
    continueConfirmed = false;
    answerYes = false;
  }
};

TEST_F(ErrorsTest, MessagesComeFromTheTableAndNameTheFilesInUse) {
  EXPECT_EQ(errorMessage(0), "No error found");
  EXPECT_EQ(errorMessage(101), "Options error: Argument invalid or missing: ");
  EXPECT_EQ(errorMessage(247), "Media creation error: One of VLAN configuration arguments is missing.");
  // Codes that the run driver records with texts of its own have none here.
  EXPECT_EQ(errorMessage(102), "Unknown error");
  EXPECT_EQ(errorMessage(20), "Unknown error");
  EXPECT_EQ(errorMessage(-7), "Unknown error");

  Options options;
  options.toolZip = "env.zip";
  EXPECT_EQ(errorMessage(213, options),
            "Media creation error: The zip file env.zip specified can not be uncompressed. Please re-acquire it.");
  options.zipInError = "kyt.zip";
  EXPECT_NE(errorMessage(213, options).find("kyt.zip"), std::string::npos);
  options.isoName = "out.img";
  EXPECT_EQ(errorMessage(220, options), "Media creation error: The ISO file out.img specified has no .iso extension");
  options.workingDir = "/srv/work";
  EXPECT_EQ(errorMessage(216, options),
            "Media creation error: Failed to perform mode change action on file(s) in \"/srv/work\"");
  // Codes whose message names no file read the same either way.
  EXPECT_EQ(errorMessage(247, options), errorMessage(247));
}

TEST_F(ErrorsTest, ResultRecordIsReplacedAndKeepsTheMessageAsGiven) {
  writeCliError(20, "Xelo initializing...", 0);
  writeCliError(101, "a <b> & c", 3);
  EXPECT_EQ(readFile(cliResultPath()),
            "<CLIERROR>\n\t<CODE>101</CODE>\n\t<MESSAGE>a <b> & c</MESSAGE>\n\t<STEPSERIAL>3</STEPSERIAL>\n</CLIERROR>");
}

TEST_F(ErrorsTest, ResultRecordIsSkippedWhenItCannotBeWritten) {
  xelotest::TempDir elsewhere;
  xelotest::ScopedEnv drive("SYSTEMDRIVE", elsewhere / "missing");
  writeCliError(0, "x", 0);  // must neither throw nor create the directory
  EXPECT_FALSE(xelotest::exists(elsewhere / "missing"));
}

TEST_F(ErrorsTest, RecordIsReplacedWholeNeverRewrittenInPlace) {
  writeCliError(20, "Xelo initializing...", 0);
  // A front end that has just opened the record reads the record it opened,
  // whole, however the program replaces it meanwhile.
  std::ifstream reader(cliResultPath(), std::ios::binary);
  writeCliError(0, "Create iso file successfully", 6);
  const std::string seen((std::istreambuf_iterator<char>(reader)), std::istreambuf_iterator<char>());
  EXPECT_EQ(seen, "<CLIERROR>\n\t<CODE>20</CODE>\n\t<MESSAGE>Xelo initializing...</MESSAGE>\n\t<STEPSERIAL>0</STEPSERIAL>\n</CLIERROR>");
  EXPECT_NE(readFile(cliResultPath()).find("<MESSAGE>Create iso file successfully</MESSAGE>"), std::string::npos);
}

TEST_F(ErrorsTest, AcquisitionResultsMapToCodes) {
  const int expected[][2] = {{0, 0},   {1, 200}, {2, 201}, {3, 202}, {4, 203}, {5, 204},
                             {6, 205}, {7, 204}, {8, 204}, {9, 204}, {10, 255}, {-1, 255}};
  for (const auto& [result, code] : expected) EXPECT_EQ(acquisitionCode(result), code) << result;
}

TEST_F(ErrorsTest, ConsoleQuestionTakesEitherCaseAndRepeatsOnOtherWords) {
  {
    ConsoleScope console("yes maybe Y\n");
    EXPECT_TRUE(confirmContinue());
    EXPECT_TRUE(continueConfirmed);
    EXPECT_EQ(console.output(),
              "Are you sure you want to continue?(y or n)Invalid input\n"
              "Are you sure you want to continue?(y or n)Invalid input\n"
              "Are you sure you want to continue?(y or n)");
  }
  {
    // A confirmed run is not asked again.
    ConsoleScope console("");
    EXPECT_TRUE(confirmContinue());
    EXPECT_EQ(console.output(), "");
  }
  continueConfirmed = false;
  {
    ConsoleScope console("n\n");
    EXPECT_FALSE(confirmContinue());
    EXPECT_FALSE(continueConfirmed);
    EXPECT_NE(readFile(cliResultPath()).find("<MESSAGE>User confirms to stop!</MESSAGE>"), std::string::npos);
  }
}

TEST_F(ErrorsTest, ConsoleQuestionWithoutInputIsNoAnswerNotANo) {
  writeCliError(20, "Xelo initializing...", 0);
  ConsoleScope console("");
  EXPECT_EQ(askContinue(), Answer::NoAnswer);
  EXPECT_FALSE(continueConfirmed);
  // The caller records the failure; a "no" record would read as success.
  EXPECT_NE(readFile(cliResultPath()).find("<CODE>20</CODE>"), std::string::npos);
}

// --yes answers both kinds of question at once: the "n" waiting on standard
// input and the front end's STOP are never read.
TEST_F(ErrorsTest, AnswerYesNeitherReadsInputNorWaitsForTheFrontEnd) {
  answerYes = true;
  {
    ConsoleScope console("n\n");
    EXPECT_EQ(askContinue(), Answer::Yes);
    EXPECT_EQ(console.output(), "Are you sure you want to continue?(y or n)y\n");
    std::string unread;
    EXPECT_TRUE(std::cin >> unread);
    EXPECT_EQ(unread, "n");
  }
  continueConfirmed = false;
  writeFile(guiConfirmPath(), "STOP\n");
  EXPECT_TRUE(waitGuiConfirm());
}

TEST_F(ErrorsTest, FrontEndReplyFileAnswersTheQuestion) {
  writeFile(guiConfirmPath(), "<reply>\n<answer>CONTINUE</answer>\n");
  EXPECT_TRUE(waitGuiConfirm());
  EXPECT_TRUE(continueConfirmed);

  continueConfirmed = false;
  writeFile(guiConfirmPath(), "STOP\n");
  EXPECT_FALSE(waitGuiConfirm());
  EXPECT_FALSE(continueConfirmed);

  removeGuiConfirm();
  EXPECT_FALSE(xelotest::exists(guiConfirmPath()));
}

}  // namespace
}  // namespace XELO
