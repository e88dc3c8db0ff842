// Runs of the program against a repository that does not play by the rules:
// file names that would leave the working directory, sizes that lie, bodies
// that never end, redirects to other schemes and files that claim to be many
// gigabytes. Every run must end with an error code, and nothing may appear,
// change or disappear outside the working directory.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <thread>

#include "repo_fixtures.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using xelotest::ProgramSandbox;
using xelotest::readFile;
using xelotest::writeFile;

// A firmware payload of the update pack of 7101, and the installer that
// every run with the updates tool fetches by name.
const std::string kBmcPayload = std::string(xelotest::kStdBmcNew) + ".bin";
const std::string kNovpiPayload = std::string(xelotest::kStdNovpi) + ".bin";
// An update of the pack whose files fail is reported, and the user is asked
// whether to go on (the runs answer yes); a tool package that cannot be
// fetched ends the run with 200.
constexpr int kDownloadFailed = 200;

// Every path below `dir` with its size and a digest of its contents, links
// with their targets.
std::map<std::string, std::string> snapshot(const std::string& dir, const std::string& skip = "") {
  std::map<std::string, std::string> tree;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    const std::string relative = fs::relative(it->path(), dir, ec).string();
    if (!skip.empty() && (relative == skip || relative.rfind(skip + "/", 0) == 0)) {
      if (it->is_directory(ec)) it.disable_recursion_pending();
      continue;
    }
    if (it->is_symlink(ec))
      tree[relative] = "link " + fs::read_symlink(it->path(), ec).string();
    else if (it->is_regular_file(ec))
      tree[relative] = xelotest::sha1OfFile(it->path().string());
    else
      tree[relative] = "dir";
  }
  return tree;
}

// A server that answers every request with a body that never ends (no
// length, data until the client gives up), bounded by a byte budget and by
// stop(). For redirect targets of the repository server.
class EndlessServer {
 public:
  EndlessServer() {
    listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 8) != 0 || ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      throw std::runtime_error("the endless server cannot bind 127.0.0.1");
    boundPort = ntohs(address.sin_port);
    thread = std::thread([this] { serve(); });
  }
  ~EndlessServer() {
    stopping = true;
    thread.join();
    ::close(listener);
  }
  int port() const { return boundPort; }
  std::uint64_t bytesSent() const { return sent; }

 private:
  static constexpr std::uint64_t kBudget = 512ull << 20;

  bool wait(int fd, short events) {
    pollfd p{fd, events, 0};
    while (!stopping)
      if (::poll(&p, 1, 100) > 0) return true;
    return false;
  }

  void serve() {
    while (wait(listener, POLLIN)) {
      const int client = ::accept(listener, nullptr, nullptr);
      if (client < 0) continue;
      std::string request;
      char buffer[4096];
      while (request.find("\r\n\r\n") == std::string::npos && wait(client, POLLIN)) {
        const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        request.append(buffer, static_cast<std::size_t>(n));
      }
      const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nConnection: close\r\n\r\n";
      bool open = ::send(client, head.data(), head.size(), MSG_NOSIGNAL) > 0;
      const std::string block(64 * 1024, 'z');
      while (open && sent < kBudget && wait(client, POLLOUT)) {
        const ssize_t n = ::send(client, block.data(), block.size(), MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<std::uint64_t>(n);
      }
      ::close(client);
    }
  }

  int listener = -1;
  int boundPort = 0;
  std::atomic<bool> stopping{false};
  std::atomic<std::uint64_t> sent{0};
  std::thread thread;
};

class HostileRepository : public ::testing::Test {
 protected:
  void SetUp() override {
    writeFile(box.scratch() + "/victim.txt", "kept as it is");
    sandboxRoot = fs::path(box.programDir()).parent_path().string();
    // The escapes below climb this far; a name unique to the test marks them.
    token = "xelo-hostile-" + fs::path(sandboxRoot).filename().string();
    before = snapshot(sandboxRoot, "work/w");
  }

  // The position and length of the catalog line of the file `name`.
  std::pair<std::size_t, std::size_t> fileLine(const std::string& catalog, const std::string& name) {
    const auto at = catalog.find("<file name=\"" + name + "\"");
    if (at == std::string::npos) return {std::string::npos, 0};
    const auto start = catalog.rfind('\n', at) + 1;
    const auto end = catalog.find('\n', at);
    return {start, (end == std::string::npos ? catalog.size() : end) - start};
  }

  // Replaces the catalog line of the file `name` with `line`.
  void rewriteFileEntry(const std::string& name, const std::string& line) {
    std::string catalog = readFile(repo.catalogPath());
    const auto [start, length] = fileLine(catalog, name);
    ASSERT_NE(start, std::string::npos) << name;
    catalog.replace(start, length, line);
    writeFile(repo.catalogPath(), catalog);
    // Signed again: the defences below hold even against the trusted
    // publisher's own mistakes.
    xelotest::signCatalog(repo.catalogPath());
  }

  // The catalog line of `name` with the attribute `attribute` set to `value`.
  std::string entryWith(const std::string& name, const std::string& attribute, const std::string& value) {
    const std::string catalog = readFile(repo.catalogPath());
    const auto [start, length] = fileLine(catalog, name);
    EXPECT_NE(start, std::string::npos) << name;
    if (start == std::string::npos) return "";
    std::string line = catalog.substr(start, length);
    const auto open = line.find(" " + attribute + "=\"");
    EXPECT_NE(open, std::string::npos) << attribute;
    if (open == std::string::npos) return line;
    const auto from = open + attribute.size() + 3;
    line.replace(from, line.find('"', from) - from, value);
    return line;
  }

  xelotest::RunResult run(const std::vector<std::pair<std::string, std::string>>& env = {}) {
    auto all = env;
    all.emplace_back("XELO_TEST_XML_WAIT_MS", "0");
    return box.run("xelo", {"--local=" + work(), "-m", "7101", "--function=novpi"}, "y\n", all);
  }

  std::string work() const { return box.scratch() + "/w"; }
  std::string cliRecord() const { return readFile(box.supportDir() + "/xelo_cli.xml"); }

  // Nothing outside the working directory changed, apart from the files the
  // program keeps beside itself and in the support directory; nothing with
  // the escape token appeared anywhere above the sandbox either; and no
  // file in the working directory is a partial download.
  void expectContained() {
    auto after = snapshot(sandboxRoot, "work/w");
    for (auto* tree : {&before, &after})
      for (auto it = tree->begin(); it != tree->end();)
        if (it->first.rfind("program/", 0) == 0 || it->first.rfind("drive/", 0) == 0 ||
            it->first.rfind("stdin", 0) == 0 || it->first.rfind("stdout", 0) == 0)
          it = tree->erase(it);
        else
          ++it;
    EXPECT_EQ(before, after);
    EXPECT_EQ(readFile(box.scratch() + "/victim.txt"), "kept as it is");
    const fs::path temp = fs::path(sandboxRoot).parent_path();
    for (const auto& e : fs::directory_iterator(temp))
      EXPECT_EQ(e.path().filename().string().find(token), std::string::npos) << e.path();
    for (const auto& path : snapshot(work()))
      EXPECT_EQ(path.first.find(".part"), std::string::npos) << "partial file left: " << path.first;
  }

  ProgramSandbox box;
  // Stalled transfers give up after two seconds without a byte.
  xelotest::ServedStandardRepository served{box.programDir(), {{"_QOR.LOW_SPEED_TIMEOUT_SECONDS", "2"}}};
  xelotest::TestRepository& repo = served.repo;
  xelotest::RepoServer& server = served.server;
  std::string sandboxRoot;
  std::string token;
  std::map<std::string, std::string> before;
};

TEST_F(HostileRepository, FileNamesThatWouldLeaveTheWorkingDirectory) {
  // Each file of the update pack's members gets a name that climbs out,
  // names another directory or is absolute; the repository path stays valid.
  const std::vector<std::pair<std::string, std::string>> hostile = {
      {kBmcPayload, "../../../" + token + "-climb.bin"},
      {std::string(xelotest::kStdUefi) + ".bin", "..\\..\\" + token + "-backslash.bin"},
      {std::string(xelotest::kStdUefi) + ".txt", "/tmp/" + token + "-absolute.txt"},
      {std::string(xelotest::kStdNicFirmware) + ".bin", "C:" + token + "-drive.bin"},
      {std::string(xelotest::kStdPack7101) + ".txt", "sub/" + token + "-below.txt"},
      {std::string(xelotest::kStdBmcNew) + ".txt", ".."},
      {kNovpiPayload, "../" + token + "-tool.bin"},
  };
  for (const auto& [name, replacement] : hostile) rewriteFileEntry(name, entryWith(name, "name", replacement));
  // A repository path that climbs out of the repository.
  const std::string nicText = std::string(xelotest::kStdNicFirmware) + ".txt";
  rewriteFileEntry(nicText, entryWith(nicText, "path", "../../" + token + "/x.txt"));

  // Files that are refused leave their updates incomplete: the pass fails
  // ("unrecoverable error downloading updates") instead of passing them off
  // as acquired.
  auto r = run();
  EXPECT_EQ(r.status, 204) << r.output;
  EXPECT_THAT(r.output, HasSubstr("Acquisition error: Unrecoverable error downloading updates"));
  EXPECT_THAT(cliRecord(), HasSubstr("<CODE>204</CODE>"));
  EXPECT_THAT(readFile(box.supportDir() + "/" + box.logFiles().back()),
              HasSubstr("Refused by the update-service client: " + std::string(xelotest::kStdBmcNew)));
  expectContained();
  // The well-formed files of the same pass still arrive.
  EXPECT_TRUE(xelotest::exists(work() + "/" + std::string(xelotest::kStdUefi) + ".xml"));
  for (const auto& [name, replacement] : hostile) EXPECT_FALSE(xelotest::exists(work() + "/" + name)) << name;
  EXPECT_FALSE(xelotest::exists(work() + "/" + nicText));
  EXPECT_FALSE(xelotest::exists(work() + "/sub"));
}

TEST_F(HostileRepository, SizesThatLie) {
  // The catalog announces less than the server sends, and more.
  rewriteFileEntry(kBmcPayload, entryWith(kBmcPayload, "size", "100"));
  rewriteFileEntry(kNovpiPayload, entryWith(kNovpiPayload, "size", std::to_string(repo.sizeOf(kNovpiPayload) + 1)));

  auto r = run();
  EXPECT_EQ(r.status, kDownloadFailed) << r.output;
  EXPECT_THAT(r.output, HasSubstr("the server sent more than the expected 100 bytes"));
  EXPECT_THAT(cliRecord(), HasSubstr("<CODE>200</CODE>"));
  EXPECT_FALSE(xelotest::exists(work() + "/" + kBmcPayload));
  EXPECT_FALSE(xelotest::exists(work() + "/novpi/" + kNovpiPayload));
  expectContained();
}

TEST_F(HostileRepository, CatalogClaimsManyGigabytes) {
  // 50 GiB, and a size beyond any signed 64-bit count.
  rewriteFileEntry(kBmcPayload, entryWith(kBmcPayload, "size", "53687091200"));
  rewriteFileEntry(kNovpiPayload, entryWith(kNovpiPayload, "size", "18000000000000000000"));

  auto r = run();
  EXPECT_EQ(r.status, kDownloadFailed) << r.output;
  EXPECT_THAT(cliRecord(), HasSubstr("<CODE>200</CODE>"));
  EXPECT_FALSE(xelotest::exists(work() + "/" + kBmcPayload));
  EXPECT_FALSE(xelotest::exists(work() + "/novpi/" + kNovpiPayload));
  // Only the few kilobytes the server had were ever written.
  std::uintmax_t total = 0;
  for (const auto& e : fs::recursive_directory_iterator(work()))
    if (e.is_regular_file()) total += e.file_size();
  EXPECT_LT(total, 64u << 20);
  expectContained();
}

TEST_F(HostileRepository, BodiesThatNeverEnd) {
  // One body stops arriving after a few bytes and the connection is held
  // open; another keeps arriving beyond its announced size without end.
  server.setFault(repo.urlPathOf(kBmcPayload), xelotest::RepoFault::stall(1000, 60000));
  EndlessServer endless;
  server.setFault(repo.urlPathOf(kNovpiPayload),
                  xelotest::RepoFault::redirect("http://127.0.0.1:" + std::to_string(endless.port()) + "/endless"));

  const auto started = std::chrono::steady_clock::now();
  // A timed-out download is tried again on fewer threads: with two threads
  // that happens once.
  auto r = run({{"ACQUIRE_THREAD_NUM", "2"}});
  EXPECT_EQ(r.status, kDownloadFailed) << r.output;
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(50));
  EXPECT_THAT(r.output, HasSubstr("nothing received for 2 seconds"));
  EXPECT_THAT(cliRecord(), HasSubstr("<CODE>200</CODE>"));
  EXPECT_FALSE(xelotest::exists(work() + "/" + kBmcPayload));
  EXPECT_FALSE(xelotest::exists(work() + "/novpi/" + kNovpiPayload));
  EXPECT_GT(endless.bytesSent(), 0u);
  EXPECT_LT(endless.bytesSent(), 64u << 20);
  expectContained();
}

TEST_F(HostileRepository, RedirectsAreFollowedOnlyOverHttp) {
  const std::string passwd = "/etc/passwd";
  server.setFault(repo.urlPathOf(kBmcPayload), xelotest::RepoFault::redirect("file://" + passwd));
  const std::string uefi = std::string(xelotest::kStdUefi) + ".bin";
  server.setFault(repo.urlPathOf(uefi), xelotest::RepoFault::redirect("ftp://127.0.0.1:9/" + uefi));
  server.setFault(repo.urlPathOf(kNovpiPayload), xelotest::RepoFault::redirect("gopher://127.0.0.1:9/x.bin"));
  // A redirect within http is followed.
  const std::string nic = std::string(xelotest::kStdNicFirmware) + ".bin";
  server.setFault(repo.urlPathOf(nic),
                  xelotest::RepoFault::redirect(server.baseUrl() + repo.urlPathOf(nic).substr(1)).limit(1));

  auto r = run();
  EXPECT_EQ(r.status, kDownloadFailed) << r.output;
  EXPECT_THAT(cliRecord(), HasSubstr("<CODE>200</CODE>"));
  EXPECT_THAT(r.output, HasSubstr("Protocol \"file\" not supported"));
  for (const auto& name : {kBmcPayload, uefi}) EXPECT_FALSE(xelotest::exists(work() + "/" + name)) << name;
  EXPECT_FALSE(xelotest::exists(work() + "/novpi/" + kNovpiPayload));
  ASSERT_TRUE(xelotest::exists(work() + "/" + nic));
  EXPECT_EQ(xelotest::sha1OfFile(work() + "/" + nic), repo.sha1Of(nic));
  EXPECT_EQ(server.requestCount(repo.urlPathOf(nic)), 2);
  expectContained();
}

}  // namespace
