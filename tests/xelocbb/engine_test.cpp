// Acquisition passes against a real repository served over HTTP on
// 127.0.0.1: what is fetched, what is reported and in which order, files
// already present, fix ids, retries on fewer threads and killed downloads.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <thread>

#include "acquire_test_support.h"
#include "downloadmanager.h"
#include "qyxl.h"
#include "repo_fixtures.h"
#include "test_support.h"

extern char** environ;

namespace QYXAcquistion {
namespace {

namespace fs = std::filesystem;
using acquiretest::Recorder;
using Msg = AcquireMessage;
using namespace xelotest;

const DownloadManager::OSPair kSles11{207, ARCH_X64};
const std::string kOsName = "SLES 11 x64";
const std::string kBig = "qor_fw_big_1.00_anyos_noarch";
const std::string kSmall = "qor_fw_small_1.00_anyos_noarch";

int kb(std::uint64_t bytes) { return bytes == 0 ? 0 : std::max<int>(1, static_cast<int>(bytes / 1024)); }

std::vector<std::string> fields(const std::string& text) {
  std::vector<std::string> out;
  std::string::size_type start = 0;
  for (;;) {
    const auto colon = text.find(':', start);
    out.push_back(text.substr(start, colon - start));
    if (colon == std::string::npos) return out;
    start = colon + 1;
  }
}

bool startsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

int threadCount() {
  int n = 0;
  for ([[maybe_unused]] const auto& task : fs::directory_iterator("/proc/self/task")) ++n;
  return n;
}

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dataDir);
    fs::create_directories(workDir);
    cwd.emplace(dataDir);
  }

  // Publishes the repository, serves it and points the client at it. A
  // download that receives nothing for `lowSpeedSeconds` fails; the tests
  // of stalls make that short. (With more than five connections opening at
  // once the server's listen queue may overflow, and a connection then
  // takes a second to open, so the other tests leave a margin.)
  void serve(const std::string& lowSpeedSeconds = "5") {
    repo.publish();
    server = std::make_unique<RepoServer>(repo.root());
    server->start();
    pointClientAt(server->baseUrl(), lowSpeedSeconds);
  }
  void pointClientAt(const std::string& url, const std::string& lowSpeedSeconds) {
    writeConnectProperties(dataDir, url,
                           {{qyxl::Config::LOW_SPEED_TIMEOUT, lowSpeedSeconds}, {qyxl::Config::CONNECT_TIMEOUT, "2"}});
  }

  // A pack for machine type 7101 with one large and one small update.
  void addRetryContent() {
    repo.addUpdate(kBig, {"7101"}, {kSles11x64}, 256 * 1024);
    repo.addUpdate(kSmall, {"7101"}, {kSles11x64}, 8 * 1024);
    repo.addPack("7101", {kBig, kSmall});
  }

  void configure(DownloadManager& m) {
    m.setDownloadPath(workDir);
    m.setMachineTypes({"7101"});
    m.setOperatingSystems({kSles11});
  }

  int run(DownloadManager& m, Recorder& r) {
    const int result = m.startDownload(r);
    EXPECT_EQ(r.overlaps.load(), 0) << "callback calls overlapped";
    return result;
  }

  std::string payloadOf(const std::string& id) {
    const RepoUpdate* update = repo.find(id);
    return update ? update->payloadName : "";
  }
  std::string workPath(const std::string& name) const { return workDir + "/" + name; }

  // The updates of a pass's content record are listed largest first, with
  // their sizes and names.
  void expectListedLargestFirst(ContentNode& node) {
    std::uint64_t previous = UINT64_MAX;
    for (const auto& p : node.getPkgs()) {
      std::uint64_t bytes = 0;
      int kbSum = 0;
      for (const auto& f : repo.filesOf(p.updateId)) {
        bytes += repo.sizeOf(f);
        kbSum += kb(repo.sizeOf(f));
      }
      EXPECT_LE(bytes, previous) << p.updateId;
      previous = bytes;
      EXPECT_EQ(p.size, kbSum) << p.updateId;
      EXPECT_EQ(p.status, "Not Started");
      const std::string name = repo.find(p.updateId)->name;
      EXPECT_EQ(p.component, name.empty() ? "Undefined" : name) << p.updateId;
    }
  }

  // Every downloaded file matches the repository's, and its messages came in
  // order: update started, queued, begun, sized, downloaded, handled. The
  // names of the files go to `fetched`.
  void expectFetchedInOrder(const Recorder& r, std::set<std::string>& fetched) {
    for (const auto& text : r.texts(Msg::FileDownloaded)) {
      const auto f = fields(text);
      ASSERT_EQ(f.size(), 2u) << text;
      fetched.insert(f[1]);
      EXPECT_EQ(sha1OfFile(workPath(f[1])), repo.sha1Of(f[1])) << f[1];
      const int started = r.indexWithPrefix(Msg::UpdateStarted, f[0] + ":");
      const int queued = r.indexOf(Msg::FileQueued, text), begun = r.indexOf(Msg::FileStarted, text);
      const int sized = r.indexOf(Msg::FileSize, text + ":" + std::to_string(kb(repo.sizeOf(f[1]))));
      const int downloaded = r.indexOf(Msg::FileDownloaded, text), handled = r.indexOf(Msg::FileHandled, text);
      EXPECT_TRUE(started >= 0 && started < queued && queued < begun && begun < sized && sized < downloaded &&
                  downloaded < handled)
          << text << ": " << started << " " << queued << " " << begun << " " << sized << " " << downloaded << " "
          << handled;
    }
  }

  TempDir dir;
  std::string dataDir = dir / "data";
  std::string workDir = dir / "work";
  TestRepository repo{dir / "repo"};
  std::unique_ptr<RepoServer> server;
  ScopedEnv threads{"ACQUIRE_THREAD_NUM", "", true};
  ScopedEnv sampling{"ACQUIRE_MONITOR_INTERVAL_MS", "50"};
  std::optional<ScopedCwd> cwd;
};

TEST_F(EngineTest, DownloadPassFetchesEveryFileAndReportsEachStep) {
  addStandardContent(repo);
  serve();
  DownloadManager m;
  configure(m);
  Recorder r;
  ASSERT_EQ(run(m, r), ACQUIRE_OK) << r.dump();

  // The pass is framed by the machine type's lines and ends successfully.
  ASSERT_GE(r.messages.size(), 6u);
  EXPECT_EQ(r.messages.front().text, "Acquiring NOVP for Machine-Type=7101 - START");
  EXPECT_EQ(r.messages[1].id, Msg::PassStarted);
  EXPECT_EQ(r.messages[1].text, "7101:" + kOsName);
  EXPECT_EQ(r.messages.back().text, "Acquiring NOVP for Machine-Type=7101 - END");
  EXPECT_EQ(r.messages[r.messages.size() - 2].id, Msg::FilesEnded);
  for (int id : {Msg::Error, Msg::UpdateFailed, Msg::UpdatePresent, Msg::FileFailed, Msg::Verbose})
    EXPECT_EQ(r.count(id), 0) << id << "\n" << r.dump();

  ASSERT_EQ(r.nodes.size(), 1u);
  ContentNode node = r.nodes[0].first;
  EXPECT_TRUE(r.nodes[0].second);
  EXPECT_EQ(node.getMT(), "7101");
  EXPECT_EQ(node.getOS(), kOsName);
  const int total = node.getTotal();
  ASSERT_GT(total, 0);
  ASSERT_EQ(node.getPkgs().size(), static_cast<std::size_t>(total));
  EXPECT_EQ(r.texts(Msg::PassEnded), std::vector<std::string>{"7101:" + kOsName + ":" + std::to_string(total)});

  // Packages the rules exclude are neither listed nor fetched; the "MLNX"
  // package is logged as removed.
  std::set<std::string> ids;
  for (const auto& p : node.getPkgs()) ids.insert(p.updateId);
  for (const char* excluded : {kStdMlnx, kStdCmk, kStdMqrtz}) EXPECT_FALSE(ids.count(excluded)) << excluded;
  ASSERT_TRUE(ids.count(kStdUefi));
  EXPECT_NE(r.indexOf(Msg::Log, "Remove: " + payloadOf(kStdMlnx)), -1) << r.dump();
  for (const auto& line : r.texts(Msg::Log))
    if (startsWith(line, "Remove: ")) {
      EXPECT_NE(line.find("MLNX"), std::string::npos) << line;
    }

  expectListedLargestFirst(node);

  // Every file was fetched, verified and reported in order.
  std::set<std::string> fetched;
  expectFetchedInOrder(r, fetched);
  const auto files = listFiles(workDir);
  EXPECT_EQ(std::set<std::string>(files.begin(), files.end()), fetched);  // nothing else, no partial files
  EXPECT_EQ(static_cast<std::size_t>(r.count(Msg::FileStarted)), fetched.size());

  // Each update starts once and completes once; the counter reaches the total.
  EXPECT_EQ(r.count(Msg::UpdateStarted), total);
  const auto completed = r.texts(Msg::UpdateDone);
  ASSERT_EQ(completed.size(), static_cast<std::size_t>(total));
  for (std::size_t i = 0; i < completed.size(); ++i) {
    const auto f = fields(completed[i]);
    ASSERT_EQ(f.size(), 3u);
    EXPECT_EQ(f[1], std::to_string(total));
    EXPECT_EQ(f[2], std::to_string(i + 1));
    EXPECT_LT(r.indexWithPrefix(Msg::UpdateStarted, f[0] + ":"), r.indexOf(Msg::UpdateDone, completed[i]));
  }

  std::set<std::string> xml;
  for (const auto& f : fetched)
    if (f.size() > 4 && f.compare(f.size() - 4, 4, ".xml") == 0) xml.insert(f);
  EXPECT_FALSE(xml.empty());
  EXPECT_EQ(m.getXMLFiles(), xml);
}

TEST_F(EngineTest, APassReusesItsConnectionsAndItsThreads) {
  // Many small files on three threads: each thread keeps its connection
  // for all its files (a little slack for a connection the server closes
  // while it waits), and the pass leaves no thread behind.
  ScopedEnv three("ACQUIRE_THREAD_NUM", "3");
  std::vector<std::string> ids;
  for (int i = 0; i < 24; ++i) {
    ids.push_back("qor_fw_many" + std::to_string(i) + "_1.00_anyos_noarch");
    repo.addUpdate(ids.back(), {"7101"}, {kSles11x64}, 2048 + i);
  }
  repo.addPack("7101", ids);
  serve();
  {
    // A report first: once the server has answered, all its threads run.
    DownloadManager report;
    configure(report);
    report.setIsReport(true);
    Recorder r;
    ASSERT_EQ(run(report, r), ACQUIRE_OK) << r.dump();
  }
  const int threadsBefore = threadCount();
  DownloadManager m;
  configure(m);
  Recorder r;
  ASSERT_EQ(run(m, r), ACQUIRE_OK) << r.dump();
  EXPECT_EQ(r.count(Msg::UpdateDone), 25);
  EXPECT_GE(server->totalRequests(), 50);
  EXPECT_LE(server->connectionCount(), 3 + 2);
  EXPECT_EQ(threadCount(), threadsBefore) << "threads of the pass still running";
}

TEST_F(EngineTest, ReportPassClassifiesFilesAndDownloadsNothing) {
  addStandardContent(repo);
  serve();
  const std::string uefi = payloadOf(kStdUefi);
  const std::string bmc = payloadOf(kStdBmcNew);
  fs::copy_file(repo.pathOf(uefi), workPath(uefi));
  writeFile(workPath(bmc), "not the firmware");

  DownloadManager m;
  configure(m);
  m.setIsReport(true);
  m.setUpdateType(UPDATES_TOOLS);
  Recorder r;
  ASSERT_EQ(run(m, r), ACQUIRE_OK) << r.dump();

  ASSERT_EQ(r.nodes.size(), 1u);
  EXPECT_FALSE(r.nodes[0].second);
  const std::string total = std::to_string(r.nodes[0].first.getTotal());
  EXPECT_EQ(r.messages[1].id, Msg::ReportStarted);
  EXPECT_EQ(r.messages[1].text, "7101:" + kOsName);
  EXPECT_EQ(r.messages[2].id, Msg::ToolsPassStarted);
  EXPECT_EQ(r.messages[2].text, "updates:tools");
  const int counted = r.indexOf(Msg::ReportEnded, "7101:" + kOsName + ":" + total);
  ASSERT_NE(counted, -1) << r.dump();
  EXPECT_EQ(r.indexOf(Msg::ToolsPassEnded, "updates:tools:" + total), counted + 1);
  EXPECT_EQ(r.messages[r.messages.size() - 2].id, Msg::ReportFilesEnded);
  for (int id : {Msg::FileStarted, Msg::FileHandled, Msg::FileQueued, Msg::FilesEnded, Msg::FileSize,
                 Msg::FileDownloaded, Msg::UpdateDone, Msg::UpdateFailed})
    EXPECT_EQ(r.count(id), 0) << id;

  EXPECT_NE(r.indexOf(Msg::ReportFilePresent, std::string(kStdUefi) + ":" + uefi), -1) << r.dump();
  EXPECT_NE(r.indexOf(Msg::ReportFileMissing, std::string(kStdBmcNew) + ":" + bmc), -1);
  // Each file is classified once.
  std::set<std::string> classified;
  for (int id : {Msg::ReportFilePresent, Msg::ReportFileMissing})
    for (const auto& t : r.texts(id)) EXPECT_TRUE(classified.insert(t).second) << t;

  // Nothing was fetched, and a report deletes nothing: the file whose
  // checksum differs is still there.
  EXPECT_EQ(listFiles(workDir), (std::vector<std::string>{bmc, uefi}));
  EXPECT_EQ(readFile(workPath(bmc)), "not the firmware");
  EXPECT_EQ(server->requestCount(repo.urlPathOf(uefi)), 0);
  EXPECT_EQ(server->requestCount(repo.urlPathOf(bmc)), 0);
}

TEST_F(EngineTest, PresentFilesAreKeptAndOnlyStaleOrMissingOnesFetchedAgain) {
  addStandardContent(repo);
  serve();
  DownloadManager m;
  configure(m);
  Recorder first;
  ASSERT_EQ(run(m, first), ACQUIRE_OK) << first.dump();
  ASSERT_EQ(first.nodes.size(), 1u);
  const int total = first.nodes[0].first.getTotal();
  const std::string uefi = payloadOf(kStdUefi);
  const std::string bmc = payloadOf(kStdBmcNew);
  ASSERT_EQ(server->requestCount(repo.urlPathOf(uefi)), 1);

  // Everything present: each update is reported once as already there.
  Recorder second;
  ASSERT_EQ(run(m, second), ACQUIRE_OK) << second.dump();
  EXPECT_EQ(second.count(Msg::UpdatePresent), total);
  for (int id : {Msg::FileStarted, Msg::FilePresent, Msg::FileQueued, Msg::FileDownloaded, Msg::UpdateStarted,
                 Msg::UpdateDone, Msg::UpdateFailed})
    EXPECT_EQ(second.count(id), 0) << id;
  EXPECT_EQ(second.messages[second.messages.size() - 2].id, Msg::FilesEnded);
  const auto present = second.texts(Msg::UpdatePresent);
  ASSERT_FALSE(present.empty());
  EXPECT_EQ(fields(present.back())[2], std::to_string(total));
  EXPECT_EQ(server->requestCount(repo.urlPathOf(uefi)), 1);

  // One stale and one missing file: only they are fetched again, and the
  // other files of their updates are reported present.
  writeFile(workPath(uefi), "stale");
  fs::remove(workPath(bmc));
  Recorder third;
  ASSERT_EQ(run(m, third), ACQUIRE_OK) << third.dump();
  const auto refetched = third.texts(Msg::FileDownloaded);
  EXPECT_EQ(std::set<std::string>(refetched.begin(), refetched.end()),
            (std::set<std::string>{std::string(kStdUefi) + ":" + uefi, std::string(kStdBmcNew) + ":" + bmc}));
  EXPECT_EQ(third.count(Msg::UpdateDone), 2);
  EXPECT_EQ(third.count(Msg::UpdatePresent), total - 2);
  EXPECT_NE(third.indexOf(Msg::FilePresent, std::string(kStdUefi) + ":" + std::string(kStdUefi) + ".xml"), -1)
      << third.dump();
  EXPECT_EQ(sha1OfFile(workPath(uefi)), repo.sha1Of(uefi));
  EXPECT_EQ(server->requestCount(repo.urlPathOf(uefi)), 2);
}

TEST_F(EngineTest, FixIdModeRunsOnePassForThePrefixedIds) {
  addStandardContent(repo);
  serve();
  DownloadManager m;
  configure(m);
  m.setMachineTypes({"7101", "7102"});
  m.setFixIds({kStdUefi});
  Recorder r;
  ASSERT_EQ(run(m, r), ACQUIRE_OK) << r.dump();

  EXPECT_EQ(m.getFixIds(), std::vector<std::string>{"ptf/" + std::string(kStdUefi)});
  ASSERT_EQ(r.nodes.size(), 1u);
  ContentNode node = r.nodes[0].first;
  EXPECT_EQ(node.getMT(), "");
  EXPECT_EQ(node.getOS(), "NONE");
  EXPECT_EQ(node.getPkg(kStdUefi).updateId, kStdUefi);
  // No machine-type lines and no per-machine-type messages.
  for (int id : {Msg::PassStarted, Msg::PassEnded, Msg::Error, Msg::ReportStarted, Msg::ReportEnded, Msg::Log})
    EXPECT_EQ(r.count(id), 0) << id << "\n" << r.dump();
  EXPECT_EQ(r.messages.back().id, Msg::FilesEnded);
  EXPECT_EQ(sha1OfFile(workPath(payloadOf(kStdUefi))), repo.sha1Of(payloadOf(kStdUefi)));
}

TEST_F(EngineTest, FixIdModeRefusesUnknownIdsAndMlnxPackages) {
  addStandardContent(repo);
  serve();
  {
    DownloadManager m;
    configure(m);
    m.setFixIds({"qor_fw_nothing_0.00_anyos_noarch"});
    Recorder r;
    EXPECT_EQ(run(m, r), ACQUIRE_NO_UPDATES) << r.dump();
    ASSERT_EQ(r.count(Msg::Error), 1);
    EXPECT_EQ(r.messages.back().code, ACQUIRE_NO_UPDATES);
    EXPECT_NE(r.messages.back().text.find(qyxl::QYXMessage::getString("Upd.UpdateNotFound")), std::string::npos);
    EXPECT_TRUE(r.nodes.empty());
  }
  {
    DownloadManager m;
    configure(m);
    m.setFixIds({kStdMlnx});
    Recorder r;
    EXPECT_EQ(run(m, r), ACQUIRE_FIX_IDS_NOT_FOUND) << r.dump();
    EXPECT_NE(r.indexOf(Msg::Log, "Remove: " + payloadOf(kStdMlnx)), -1) << r.dump();
    for (const auto& line : r.texts(Msg::Log)) EXPECT_TRUE(startsWith(line, "Remove: ")) << line;
    EXPECT_EQ(r.count(Msg::Error), 0);
    EXPECT_TRUE(listFiles(workDir).empty());
  }
}

TEST_F(EngineTest, FixIdDownloadFailureIsReportedAsAPassLevelError) {
  addStandardContent(repo);
  serve();
  const std::string bmc = payloadOf(kStdBmcOld);
  server->setFault(repo.urlPathOf(bmc), RepoFault::notFound());
  DownloadManager m;
  configure(m);
  m.setFixIds({kStdBmcOld});
  Recorder r;
  EXPECT_EQ(run(m, r), ACQUIRE_OK) << r.dump();

  const std::string idFile = std::string(kStdBmcOld) + ":" + bmc;
  ASSERT_EQ(r.count(Msg::Error), 1) << r.dump();
  for (const auto& msg : r.messages)
    if (msg.id == 5) {
      EXPECT_EQ(msg.code, ACQUIRE_DOWNLOAD_FILE_ERROR) << msg.text;
    }
  EXPECT_NE(r.indexOf(Msg::FileStarted, idFile), -1);
  EXPECT_EQ(r.indexOf(Msg::FileHandled, idFile), -1);
  EXPECT_EQ(r.count(Msg::FileFailed), 0);
  for (int id : {Msg::UpdateDone, Msg::UpdateFailed})
    for (const auto& t : r.texts(id)) EXPECT_FALSE(startsWith(t, std::string(kStdBmcOld) + ":")) << t;
  EXPECT_FALSE(exists(workPath(bmc)));
}

TEST_F(EngineTest, StalledDownloadRetiresSlotsUntilTheLastFailureIsFinal) {
  ScopedEnv three("ACQUIRE_THREAD_NUM", "3");
  addRetryContent();
  serve("1");
  const std::string big = payloadOf(kBig);
  server->setFault(repo.urlPathOf(big), RepoFault::stall(64 * 1024, 20000));
  DownloadManager m;
  configure(m);
  Recorder r;
  ASSERT_EQ(run(m, r), ACQUIRE_OK) << r.dump();

  const std::string idFile = kBig + ":" + big;
  const auto retries = r.texts(Msg::Verbose);
  ASSERT_EQ(retries.size(), 6u) << r.dump();
  EXPECT_TRUE(startsWith(retries[0], idFile + ":")) << retries[0];
  EXPECT_EQ(retries[1], "After adjusting, available threadSlot count is: 2");
  EXPECT_EQ(retries[2], kBig + ":  push " + big + " in cache again");
  EXPECT_TRUE(startsWith(retries[3], idFile + ":")) << retries[3];
  EXPECT_EQ(retries[4], "After adjusting, available threadSlot count is: 1");
  EXPECT_EQ(retries[5], retries[2]);

  // The third failure is final; the pass still ends successfully and the
  // other update is complete.
  const auto failed = r.texts(Msg::FileFailed);
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_TRUE(startsWith(failed[0], idFile + ":")) << failed[0];
  EXPECT_GT(r.indexOf(Msg::FileHandled, idFile), r.indexOf(Msg::FileFailed, failed[0]));
  ASSERT_EQ(r.count(Msg::UpdateFailed), 1);
  EXPECT_TRUE(startsWith(r.texts(Msg::UpdateFailed)[0], kBig + ":"));
  EXPECT_NE(r.indexWithPrefix(Msg::UpdateDone, kSmall + ":"), -1);
  EXPECT_EQ(r.indexWithPrefix(Msg::UpdateDone, kBig + ":"), -1);
  EXPECT_EQ(r.messages[r.messages.size() - 2].id, Msg::FilesEnded);
  EXPECT_EQ(server->requestCount(repo.urlPathOf(big)), 3);
  EXPECT_FALSE(exists(workPath(big)));
  EXPECT_EQ(sha1OfFile(workPath(payloadOf(kSmall))), repo.sha1Of(payloadOf(kSmall)));

  // While stalled, the monitor reported the part already written.
  bool partial = false;
  for (const auto& t : r.texts(Msg::FileProgress)) {
    const auto f = fields(t);
    ASSERT_EQ(f.size(), 6u) << t;
    if (f[0] == kBig && f[1] == big && std::stoi(f[2]) > 0 && std::stoi(f[2]) < 256 && f[3] == "256") partial = true;
  }
  EXPECT_TRUE(partial) << r.dump();
  bool summed = false;
  for (const auto& t : r.texts(Msg::UpdateProgress))
    if (startsWith(t, kBig + ":") && std::stoi(fields(t)[1]) > 0) summed = true;
  EXPECT_TRUE(summed);
}

TEST_F(EngineTest, OneSlotNeverRetriesAndARetriedFileCanSucceed) {
  addRetryContent();
  serve("1");
  const std::string big = payloadOf(kBig);
  const std::string idFile = kBig + ":" + big;
  {
    ScopedEnv one("ACQUIRE_THREAD_NUM", "1");
    server->setFault(repo.urlPathOf(big), RepoFault::stall(64 * 1024, 20000));
    DownloadManager m;
    configure(m);
    Recorder r;
    ASSERT_EQ(run(m, r), ACQUIRE_OK) << r.dump();
    EXPECT_EQ(r.count(Msg::Verbose), 0);
    ASSERT_EQ(r.count(Msg::FileFailed), 1);
    EXPECT_EQ(server->requestCount(repo.urlPathOf(big)), 1);
  }
  {
    ScopedEnv three("ACQUIRE_THREAD_NUM", "3");
    server->setFault(repo.urlPathOf(big), RepoFault::stall(64 * 1024, 20000).limit(1));
    DownloadManager m;
    configure(m);
    Recorder r;
    ASSERT_EQ(run(m, r), ACQUIRE_OK) << r.dump();
    const auto retries = r.texts(Msg::Verbose);
    ASSERT_EQ(retries.size(), 3u) << r.dump();
    EXPECT_EQ(retries[1], "After adjusting, available threadSlot count is: 2");
    EXPECT_EQ(r.count(Msg::FileFailed), 0);
    EXPECT_NE(r.indexOf(Msg::FileDownloaded, idFile), -1);
    EXPECT_NE(r.indexWithPrefix(Msg::UpdateDone, kBig + ":"), -1);
    EXPECT_EQ(sha1OfFile(workPath(big)), repo.sha1Of(big));
    EXPECT_EQ(server->requestCount(repo.urlPathOf(big)), 3);
  }
}

// Starts the probe program on the test's directories; its output goes to a
// file beside them.
pid_t startProbe(const std::string& dataDir, const std::string& workDir, const std::string& logPath) {
  std::vector<std::string> args = {ACQUIRE_PROBE, dataDir, workDir, "7101"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

TEST_F(EngineTest, KilledDownloadLeavesNoFileUnderItsFinalName) {
  addRetryContent();
  serve();
  const std::string big = payloadOf(kBig);
  server->setFault(repo.urlPathOf(big), RepoFault::stall(64 * 1024, 30000));
  pointClientAt(server->baseUrl(), "60");  // the stalled download hangs until killed

  const pid_t pid = startProbe(dataDir, workDir, dir / "probe.log");
  ASSERT_GT(pid, 0);
  const std::string partial = qyxl::temporaryPathFor(workPath(big));
  bool writing = false;
  for (int i = 0; i < 400 && !writing; ++i) {
    std::error_code ec;
    writing = fs::exists(partial, ec) && fs::file_size(partial, ec) > 0;
    if (!writing) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(writing) << readFile(dir / "probe.log");
  EXPECT_FALSE(exists(workPath(big)));

  // The next pass fetches it again.
  server->clearFaults();
  pointClientAt(server->baseUrl(), "5");
  DownloadManager m;
  configure(m);
  Recorder r;
  ASSERT_EQ(run(m, r), ACQUIRE_OK) << r.dump();
  EXPECT_NE(r.indexOf(Msg::FileDownloaded, kBig + ":" + big), -1) << r.dump();
  EXPECT_EQ(sha1OfFile(workPath(big)), repo.sha1Of(big));
  EXPECT_FALSE(exists(partial));
}

TEST_F(EngineTest, PassResultsCombineAcrossMachineTypesAndServiceFailures) {
  addStandardContent(repo);
  serve();
  {
    // A machine type without updates does not hide one that succeeded.
    DownloadManager m;
    configure(m);
    m.setIsReport(true);
    m.setMachineTypes({"7101", "7999"});
    Recorder r;
    EXPECT_EQ(run(m, r), ACQUIRE_OK) << r.dump();
    ASSERT_EQ(r.count(Msg::Error), 1) << r.dump();
    for (const auto& msg : r.messages)
      if (msg.id == 5) {
        EXPECT_EQ(msg.code, ACQUIRE_NO_UPDATES);
      }
    EXPECT_EQ(r.count(Msg::ReportFilesEnded), 1);
  }
  {
    server->stop();
    DownloadManager m;
    configure(m);
    m.setOperatingSystems({kSles11, {208, ARCH_X64}});
    Recorder r;
    EXPECT_EQ(run(m, r), ACQUIRE_SERVICE_UNREACHABLE) << r.dump();
    ASSERT_EQ(r.count(Msg::Error), 2);
    for (const auto& msg : r.messages)
      if (msg.id == 5) {
        EXPECT_EQ(msg.code, ACQUIRE_SERVICE_UNREACHABLE) << msg.text;
      }
    EXPECT_TRUE(r.nodes.empty());
  }
}

}  // namespace
}  // namespace QYXAcquistion
