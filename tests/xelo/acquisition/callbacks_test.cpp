#include "acquisition/callbacks.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "core/errors.h"
#include "core/options.h"
#include "downloadmanager.h"
#include "host/host.h"
#include "selfupdate/checkupdate.h"
#include "test_support.h"

namespace XELO {
namespace {

using QYXAcquistion::_PACKAGEDATA;
using Message = QYXAcquistion::AcquireMessage;
using xelotest::ConsoleScope;
using xelotest::readFile;

class CallbacksTest : public ::testing::Test {
 protected:
  void SetUp() override {
    makeDirectory(supportDirectory());
    makeDirectory(supportListDirectory());
    deleteFile(reportFilePath());
    deleteFile(progressFilePath());
    continueConfirmed = false;
  }
  void TearDown() override {
    continueConfirmed = false;
    removeGuiConfirm();
  }
  Options options;
};

const std::string kClear = "\r" + std::string(79, ' ') + "\r";

TEST_F(CallbacksTest, ConsoleProgressLines) {
  ConsoleScope console;
  XeloAcquireCallback cb(options);
  cb.sendInfo(Message::PassStarted, "7101:SLES 11 x64", 0);
  cb.sendInfo(Message::PassEnded, "7101:SLES 11 x64:2", 0);
  const std::string longName(50, 'f');
  cb.sendInfo(Message::FileProgress, "upd1:" + longName + ":10:40:2:0", 0);
  cb.sendInfo(Message::UpdateDone, "upd1:1:1", 0);
  cb.sendInfo(Message::UpdateDone, "upd2:3:2", 0);
  cb.sendInfo(Message::UpdateFailed, "upd3:3:3", 0);
  cb.sendInfo(Message::UpdatePresent, "upd4:3:3", 0);
  cb.sendInfo(Message::FilesEnded, "", 0);
  EXPECT_EQ(console.output(), "\r\nAcquiring list of updates for Machine-Type=7101 ...  Done\r\n" + kClear +
                                  "Acquiring : " + std::string(42, 'f') + "... 10 KB of 40 KB" + kClear +
                                  "upd1 ... Done\r\n" + kClear + "(2 of 3) : upd2 ... Done\r\n" + kClear +
                                  "(3 of 3) : upd3 ... Fail\r\n" + kClear +
                                  "(3 of 3) : upd4   Already downloaded.\r\n\r\n");
  EXPECT_EQ(cb.getCount(), 2);
}

TEST_F(CallbacksTest, MessagesWithTooFewFieldsAreIgnored) {
  ConsoleScope console;
  XeloAcquireCallback cb(options);
  for (int id : {Message::PassStarted, Message::PassEnded, Message::ReportFilePresent, Message::ToolsPassStarted,
                 Message::ToolsPassEnded, Message::FileProgress, Message::UpdateDone, Message::UpdateFailed,
                 Message::FileFailed})
    cb.sendInfo(id, "only", 0);
  const int unknownMessage = 99;
  cb.sendInfo(unknownMessage, "a:b:c", 0);
  EXPECT_EQ(console.output(), "");
  EXPECT_EQ(cb.getFailures(), 0);
}

TEST_F(CallbacksTest, OnlyTheFirstFailureAsks) {
  ConsoleScope console("y\n");
  XeloAcquireCallback cb(options);
  cb.sendInfo(Message::FileFailed, "upd1:a.bin:Cmn download error", 0);
  cb.sendInfo(Message::FileFailed, "upd2:b.bin:Cmn download error", 0);
  EXPECT_EQ(cb.getFailures(), 2);
  const std::string out = console.output();
  EXPECT_EQ(out,
            "\r\nThere is an error: ::Cmn download errorSome update files are missed,"
            "Are you sure you want to continue?(y or n)\r\nThere is an error: ::Cmn download error");
}

TEST_F(CallbacksTest, NoToTheFailureQuestionEndsTheRun) {
  EXPECT_EXIT(
      {
        ConsoleScope console("n\n");
        XeloAcquireCallback cb(options);
        cb.sendInfo(Message::FileFailed, "upd1:a.bin:error", 0);
        std::_Exit(3);  // not reached
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(CallbacksTest, PassErrorsSetTheLastError) {
  ConsoleScope console;
  XeloAcquireCallback cb(options);
  cb.sendInfo(Message::Error, "Download failed!", QYXAcquistion::ACQUIRE_FAILED);
  EXPECT_EQ(cb.getLastError(), QYXAcquistion::ACQUIRE_FAILED);
  EXPECT_EQ(console.output(), "");
  cb.sendInfo(Message::Error, "Download error:qor_fw_esxi_4.1_xelo_32-64.zip",
              QYXAcquistion::ACQUIRE_CREATE_DIR_FAILED);
  EXPECT_EQ(console.output(), "\r\nThere is a warning: Download error:qor_fw_esxi_4.1_xelo_32-64.zip\r\n");
  EXPECT_EQ(cb.getLastError(), QYXAcquistion::ACQUIRE_CREATE_DIR_FAILED);
  cb.sendInfo(Message::Error, "Download error:qor_fw_imm_1.0.zip",
              QYXAcquistion::ACQUIRE_NO_UPDATES);  // keeps the last error
  EXPECT_EQ(cb.getLastError(), QYXAcquistion::ACQUIRE_CREATE_DIR_FAILED);
  EXPECT_NE(console.output().find("There is an error: Download error:qor_fw_imm_1.0.zip"), std::string::npos);
}

TEST_F(CallbacksTest, ReportModeWritesTheReportFile) {
  options.checkUpdate = true;
  ConsoleScope console;
  XeloAcquireCallback cb(options);
  cb.sendInfo(Message::ReportStarted, "all:SLES 10 x64", 0);
  cb.sendInfo(Message::ReportEnded, "all:SLES 10 x64:2", 0);
  cb.sendInfo(Message::ReportFileMissing, "qor_fw_esxi_4.1_xelo_32-64:a.bin", 0);
  cb.sendInfo(Message::ReportFileMissing, "qor_fw_esxi_4.1_xelo_32-64:a.xml", 0);
  cb.sendInfo(Message::ReportFilePresent, "qor_utl_xelo_9.64_windows_i386:b.bin", 0);
  cb.sendInfo(Message::ReportFilesEnded, "", 0);
  EXPECT_EQ(readFile(reportFilePath()),
            "\r\nReporting acquisition status of updates for Machine-Type=all Done\r\n"
            "qor_fw_esxi_4.1_xelo_32-64 - Remotely available\r\n"
            "qor_utl_xelo_9.64_windows_i386 - Locally available\r\n");
  EXPECT_FALSE(newerVersionSeen);  // the last id is the running version
  cb.sendInfo(Message::ReportStarted, "all:SLES 10 x64", 0);
  cb.sendInfo(Message::ReportFileMissing, "qor_utl_xelo_9.70_windows_i386:c.bin", 0);
  cb.sendInfo(Message::ReportFilesEnded, "", 0);
  EXPECT_TRUE(newerVersionSeen);
  // The replacement listed before the running version still counts.
  cb.sendInfo(Message::ReportStarted, "all:SLES 10 x64", 0);
  cb.sendInfo(Message::ReportFileMissing, "qor_utl_xelo_9.70_windows_i386:c.bin", 0);
  cb.sendInfo(Message::ReportFilePresent, "qor_utl_xelo_9.64_windows_i386:b.bin", 0);
  cb.sendInfo(Message::ReportFilesEnded, "", 0);
  EXPECT_TRUE(newerVersionSeen);
  newerVersionSeen = false;

  // Only a check for a newer version looks at the versions a report names.
  options.checkUpdate = false;
  XeloAcquireCallback reportOnly(options);
  reportOnly.sendInfo(Message::ReportStarted, "all:SLES 10 x64", 0);
  reportOnly.sendInfo(Message::ReportFileMissing, "qor_utl_xelo_9.70_windows_i386:c.bin", 0);
  reportOnly.sendInfo(Message::ReportFilesEnded, "", 0);
  EXPECT_FALSE(newerVersionSeen);
}

// The messages both callbacks handle, each in its own way: the console
// callback's line and the front end's line for the same message.
TEST_F(CallbacksTest, ConsoleAndFrontEndShowSharedMessagesTheirOwnWay) {
  struct Case {
    const char* name;
    int messageId;
    std::string text;
    int code;
    bool report;
    std::string console;
    std::string frontEnd;
    int lastError;
  };
  const std::string noUpdates = " No Updates Available. Done\r\n";
  const Case cases[] = {
      {"pass with updates", Message::PassEnded, "7101:SLES 11 x64:2", 0, false, " Done\r\n", " Done\r\n", 0},
      {"pass without updates", Message::PassEnded, "7101:SLES 11 x64:0", 0, false, noUpdates, noUpdates, 0},
      {"tools pass", Message::ToolsPassEnded, "1:tools:0", 0, false, noUpdates, noUpdates, 0},
      {"pass failure", Message::Error, "Download failed!", QYXAcquistion::ACQUIRE_FAILED, false, "",
       "\r\nThere is an error: Download failed!\r\n", QYXAcquistion::ACQUIRE_FAILED},
      {"notice", Message::Notice, "Check the list", 0, false, "", "\r\nCheck the list", 0},
      {"file progress", Message::FileProgress, "upd1:a.bin:10:40:1:0", 0, false,
       kClear + "Acquiring : a.bin 10 KB of 40 KB", "", 0},
      {"update present", Message::UpdatePresent, "upd4:3:3", 0, false,
       kClear + "(3 of 3) : upd4   Already downloaded.\r\n", " Already downloaded.\r\n\r\n", 0},
      {"update present, report", Message::UpdatePresent, "upd4:3:3", 0, true, "upd4 - Locally available\r\n",
       "upd4 - Locally available\r\n", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    options.report = c.report;
    {
      ConsoleScope console;
      XeloAcquireCallback cb(options);
      cb.sendInfo(c.messageId, c.text, c.code);
      EXPECT_EQ(console.output(), c.console);
      EXPECT_EQ(cb.getLastError(), c.lastError);
    }
    {
      ConsoleScope console;
      XeloAcquireCallback4XML cb(options);
      cb.sendInfo(c.messageId, c.text, c.code);
      EXPECT_EQ(console.output(), c.frontEnd);
      EXPECT_EQ(cb.getLastError(), c.lastError);
    }
  }
}

ContentNode node(const std::vector<std::string>& ids) {
  ContentNode n;
  n.setMT("7101");
  n.setOS("SLES 11 x64");
  std::vector<_PACKAGEDATA> pkgs;
  for (const auto& id : ids) {
    _PACKAGEDATA p;
    p.updateId = id;
    p.component = "Component " + id;
    p.size = 100;
    pkgs.push_back(p);
  }
  n.setPkgs(pkgs);
  n.setTotal(static_cast<int>(ids.size()));
  return n;
}

// Returns just after the steady clock enters a new whole second. Download
// speeds count whole seconds since a package started, so a sequence started
// here reports no speed unless it takes a second.
void atStartOfSecond() {
  using namespace std::chrono;
  const auto second = [] { return duration_cast<seconds>(steady_clock::now().time_since_epoch()).count(); };
  for (const auto now = second(); second() == now;) std::this_thread::sleep_for(milliseconds(1));
}

TEST_F(CallbacksTest, ProgressFileFollowsEveryChange) {
  ConsoleScope console;
  atStartOfSecond();
  XeloAcquireCallback4XML cb(options);
  cb.sendMessage(node({"upd1", "upd2"}), true);
  cb.sendInfo(Message::UpdateStarted, "upd1:1:0", 0);
  EXPECT_NE(readFile(progressFilePath()).find("<CURRENTUPDATEID>upd1</CURRENTUPDATEID>"), std::string::npos);
  cb.sendInfo(Message::UpdateProgress, "upd1:40", 0);
  cb.sendInfo(Message::UpdateDone, "upd1:2:1", 0);
  cb.sendInfo(Message::UpdateFailed, "upd2:2:2", 0);
  EXPECT_EQ(readFile(progressFilePath()),
            "<ACQUISITION>\n\t<CONTENT>\n\t\t<MT>7101</MT>\n\t\t<OS>SLES 11 x64</OS>\n\t\t<TOTAL>2</TOTAL>"
            "\n\t\t<CURRENTUPDATEID>upd2</CURRENTUPDATEID>"
            "\n\t\t<PACKAGE>\n\t\t\t<UPDATEID>upd1</UPDATEID>\n\t\t\t<COMPONENT>Component upd1</COMPONENT>"
            "\n\t\t\t<SIZE>100</SIZE>\n\t\t\t<DOWNLOADSIZE>100</DOWNLOADSIZE>\n\t\t\t<DOWNLOADSPEED>0</DOWNLOADSPEED>"
            "\n\t\t\t<STATUS>Done</STATUS>\n\t\t</PACKAGE>"
            "\n\t\t<PACKAGE>\n\t\t\t<UPDATEID>upd2</UPDATEID>\n\t\t\t<COMPONENT>Component upd2</COMPONENT>"
            "\n\t\t\t<SIZE>100</SIZE>\n\t\t\t<DOWNLOADSIZE>0</DOWNLOADSIZE>\n\t\t\t<DOWNLOADSPEED>0</DOWNLOADSPEED>"
            "\n\t\t\t<STATUS>Error</STATUS>\n\t\t</PACKAGE>\n\t</CONTENT>\n</ACQUISITION>");
  // No console progress line for the front end.
  EXPECT_EQ(console.output().find("Acquiring : "), std::string::npos);
}

TEST_F(CallbacksTest, NamesFromTheRepositoryCannotBreakTheProgressFile) {
  ConsoleScope console;
  XeloAcquireCallback4XML cb(options);
  ContentNode n = node({"upd<1>"});
  n.getPkgs()[0].component = "Network & storage <beta>";
  cb.sendMessage(n, true);
  const std::string file = readFile(progressFilePath());
  EXPECT_NE(file.find("<COMPONENT>Network &amp; storage &lt;beta&gt;</COMPONENT>"), std::string::npos) << file;
  EXPECT_NE(file.find("<UPDATEID>upd&lt;1&gt;</UPDATEID>"), std::string::npos);
}

TEST_F(CallbacksTest, ToolPassesAreShownByWhatTheyHold) {
  ConsoleScope console;
  XeloAcquireCallback4XML cb(options);
  cb.sendMessage(node({"qor_utl_novpi_9.63_anyos_x86-64"}), true);
  cb.sendMessage(node({"qor_utl_boot_tools-141_anyos_x86-64-mid"}), true);
  cb.sendMessage(node({"qor_fw_esxi_4.1_xelo_32-64", "qor_fw_esxi_5.0_xelo_32-64"}), true);
  std::string file = readFile(progressFilePath());
  EXPECT_NE(file.find("<MT>Tool</MT>\n\t\t<OS>NOVPI</OS>"), std::string::npos);
  EXPECT_NE(file.find("<MT>Tool</MT>\n\t\t<OS>Bootable Environment</OS>"), std::string::npos);
  EXPECT_NE(file.find("<MT>VMWare ESXi Updates</MT>\n\t\t<OS>SLES 10</OS>"), std::string::npos);

  cb.setDisplayName("Requisite Package");
  cb.sendMessage(node({"upd9"}), true);
  file = readFile(progressFilePath());
  EXPECT_NE(file.find("<MT>Requisite Package</MT>\n\t\t<OS>Requisite Package</OS>"), std::string::npos);
  EXPECT_EQ(cb.getNodes().back().getMT(), "7101");  // the record itself keeps its values
}

TEST_F(CallbacksTest, FrontEndAnswersTheFailureQuestion) {
  ConsoleScope console;
  xelotest::writeFile(guiConfirmPath(), "CONTINUE\n");
  XeloAcquireCallback4XML cb(options);
  cb.sendMessage(node({"upd1"}), true);
  cb.sendInfo(Message::FileFailed, "upd1:a.bin:broken", 0);
  EXPECT_NE(readFile(progressFilePath()).find("<STATUS>Error</STATUS>"), std::string::npos);
  EXPECT_EQ(console.output().find("Are you sure"), std::string::npos);

  continueConfirmed = false;
  xelotest::writeFile(guiConfirmPath(), "STOP\n");
  EXPECT_EXIT(cb.sendInfo(Message::FileFailed, "upd1:b.bin:broken", 0), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace XELO
