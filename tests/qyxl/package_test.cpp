// Downloading packages from a file:// repository: verification, temporary
// names, directories and file names that come from the repository.
#include <zlib.h>

#include <filesystem>
#include <functional>
#include <thread>

#include "catalog.h"
#include "qyxl_test_helpers.h"

namespace {

using namespace xelotest;
namespace fs = std::filesystem;

class PackageTest : public qyxltest::RepositoryTest {
 protected:
  std::vector<qyxl::UpdatePackage*> orderTool(qyxl::UpdateOrderContext& ctx, const std::string& id = kStdKyt) {
    return order(ctx, {{"ptf/" + id}});
  }

  std::string expectFailure(qyxl::UpdatePackage* p, qyxl::UpdateOrderContext& ctx, const std::string& key) {
    try {
      p->download(ctx);
    } catch (const qyxl::QYXException& e) {
      EXPECT_NE(std::string(e.what()).find(qyxl::QYXMessage::getString(key)), std::string::npos) << e.what();
      return e.what();
    }
    ADD_FAILURE() << "download of " << p->getDownloadFilename() << " did not fail";
    return "";
  }

  // Rewrites the catalog through the catalog code, changing one file entry.
  void editCatalogEntry(const std::string& fileName, const std::function<void(qyxl::catalog::FileEntry&)>& edit) {
    qyxl::catalog::Catalog cat;
    std::string error;
    ASSERT_TRUE(qyxl::catalog::parseCatalog(readFile(repo.catalogPath()), cat, error)) << error;
    for (auto& u : cat.updates)
      for (auto& f : u.files)
        if (f.name == fileName) edit(f);
    writeFile(repo.catalogPath(), qyxl::catalog::writeCatalog(cat));
    xelotest::signCatalog(repo.catalogPath());
  }
};

TEST_F(PackageTest, DownloadWritesVerifiedFilesIntoANewDirectory) {
  qyxl::UpdateOrderContext ctx;
  auto packages = orderTool(ctx);
  const std::string target = downloads / "kyt/nested";
  for (auto* p : packages) {
    p->setDownloadPathname(target);
    p->setCompareSizeEnabled(false);
    p->download(ctx);
    EXPECT_EQ(&p->getState(), &qyxl::UpdatePackageState::DOWNLOADED);
    EXPECT_EQ(readFile(target + "/" + p->getDownloadFilename()), repo.contentOf(p->getDownloadFilename()));
  }
  ctx.close();
  EXPECT_EQ(listFiles(target).size(), packages.size());  // no temporary file left behind
}

TEST_F(PackageTest, DirectoryThatCannotBeCreatedFailsWithItsText) {
  writeFile(downloads / "blocker", "a file where a directory should go");
  qyxl::UpdateOrderContext ctx;
  auto* p = orderTool(ctx).front();
  p->setDownloadPathname(downloads / "blocker/sub");
  std::string what = expectFailure(p, ctx, "createDirFailed");
  EXPECT_NE(what.find("blocker"), std::string::npos);
}

TEST_F(PackageTest, SizeOrHashMismatchLeavesNoFileUnderEitherName) {
  // The catalog is signed by the trusted key each time: the download itself
  // must catch the mismatch. The last case is a payload whose size and SHA-1
  // match its entry while its SHA-256 does not (a SHA-1 collision).
  const std::string payload = std::string(kStdKyt) + ".zip";
  const std::vector<std::pair<std::string, std::function<void(qyxl::catalog::FileEntry&)>>> cases = {
      {"size", [](qyxl::catalog::FileEntry& f) { f.size += 1; }},
      {"SHA-1", [](qyxl::catalog::FileEntry& f) { f.sha1 = std::string(40, '0'); }},
      {"SHA-256", [](qyxl::catalog::FileEntry& f) { f.sha256 = std::string(64, '0'); }},
  };
  for (const auto& [what, edit] : cases) {
    SCOPED_TRACE(what);
    repo.publish();
    editCatalogEntry(payload, edit);
    for (bool present : {false, true}) {
      // A copy already in place that matches all but the SHA-256 is fetched
      // again, not kept.
      if (present) writeFile(downloads / payload, repo.contentOf(payload));
      qyxl::UpdateOrderContext ctx;
      auto* p = byName(orderTool(ctx), payload);
      ASSERT_NE(p, nullptr);
      p->setDownloadPathname(downloads.path());
      p->setCompareSizeEnabled(present);
      const std::string why = expectFailure(p, ctx, "Cmn.DownloadFileError");
      if (what != "size") EXPECT_NE(why.find(what + " "), std::string::npos) << why;
      if (!present) EXPECT_FALSE(exists(downloads / payload));
      EXPECT_FALSE(exists(qyxl::temporaryPathFor(downloads / payload)));
      std::filesystem::remove(downloads / payload);
    }
  }
}

TEST_F(PackageTest, FailedDownloadKeepsTheFileTheUserAlreadyHas) {
  const std::string payload = std::string(kStdKyt) + ".zip";
  writeFile(downloads / payload, "the copy the user has");
  editCatalogEntry(payload, [](qyxl::catalog::FileEntry& f) { f.sha1 = std::string(40, 'a'); });
  qyxl::UpdateOrderContext ctx;
  auto* p = byName(orderTool(ctx), payload);
  p->setDownloadPathname(downloads.path());
  p->setCompareSizeEnabled(false);
  expectFailure(p, ctx, "Cmn.DownloadFileError");
  EXPECT_EQ(readFile(downloads / payload), "the copy the user has");
}

TEST_F(PackageTest, StaleTemporaryFileIsReplacedNotAppendedTo) {
  const std::string payload = std::string(kStdKyt) + ".zip";
  writeFile(qyxl::temporaryPathFor(downloads / payload), std::string(100000, 'x'));
  qyxl::UpdateOrderContext ctx;
  auto* p = byName(orderTool(ctx), payload);
  p->setDownloadPathname(downloads.path());
  p->setCompareSizeEnabled(false);
  p->download(ctx);
  EXPECT_EQ(sha1OfFile(downloads / payload), repo.sha1Of(payload));
  EXPECT_FALSE(exists(qyxl::temporaryPathFor(downloads / payload)));
}

TEST_F(PackageTest, CompareSizeKeepsAVerifiedLocalFileWithoutFetching) {
  const std::string payload = std::string(kStdKyt) + ".zip";
  qyxl::UpdateOrderContext ctx;
  auto* p = byName(orderTool(ctx), payload);
  p->setDownloadPathname(downloads.path());
  writeFile(downloads / payload, repo.contentOf(payload));
  fs::remove(repo.pathOf(payload));  // a fetch would now fail

  p->download(ctx);  // enabled by default: the local copy is kept
  EXPECT_EQ(&p->getState(), &qyxl::UpdatePackageState::DOWNLOADED);
  p->setCompareSizeEnabled(false);
  expectFailure(p, ctx, "Cmn.DownloadFileError");
  EXPECT_EQ(sha1OfFile(downloads / payload), sha1OfBytes(syntheticBytes(payload, 7000)));
}

TEST_F(PackageTest, NamesAndPathsLeavingTheDownloadDirectoryAreRefused) {
  const std::string payload = std::string(kStdKyt) + ".zip";
  const std::vector<std::pair<std::string, std::string>> bad{
      {"../escaped.zip", ""}, {"/tmp/absolute.zip", ""}, {"..", ""}, {"", ""}, {"sub\\x.zip", ""},
      {"c:evil.zip", ""},     {"ok.zip", "../outside/ok.zip"},      {"ok.zip", "/etc/ok.zip"}};
  for (const auto& [name, path] : bad) {
    SCOPED_TRACE(name + " " + path);
    editCatalogEntry(payload, [&](qyxl::catalog::FileEntry& f) {
      f.name = name;
      if (!path.empty()) f.path = path;
    });
    qyxl::UpdateOrderContext ctx;
    auto packages = orderTool(ctx);
    auto* p = byName(packages, name);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->getState().getValue(), qyxl::UpdatePackageState::ERROR_STATE.getValue());
    EXPECT_FALSE(p->isDownloadEnabled());
    p->setDownloadPathname(downloads / "inside");
    p->setCompareSizeEnabled(false);
    expectFailure(p, ctx, "Cmn.DownloadFileError");
    EXPECT_FALSE(exists(downloads / "escaped.zip"));
    EXPECT_FALSE(exists("/tmp/absolute.zip"));
    // Restore the entry for the next case.
    repo.publish();
  }
}

TEST_F(PackageTest, EntryWithoutHashIsStillSizeChecked) {
  const std::string payload = std::string(kStdKyt) + ".zip";
  editCatalogEntry(payload, [](qyxl::catalog::FileEntry& f) { f.sha1.clear(); });
  qyxl::UpdateOrderContext ctx;
  auto* p = byName(orderTool(ctx), payload);
  EXPECT_EQ(p->getFileHash(), nullptr);
  p->setDownloadPathname(downloads.path());
  p->download(ctx);
  EXPECT_EQ(sha1OfFile(downloads / payload), repo.sha1Of(payload));

  editCatalogEntry(payload, [](qyxl::catalog::FileEntry& f) { f.size = 10; });
  qyxl::UpdateOrderContext again;
  auto* q = byName(orderTool(again), payload);
  q->setDownloadPathname(downloads / "second");
  expectFailure(q, again, "Cmn.DownloadFileError");  // more bytes than announced
  EXPECT_FALSE(exists(downloads / ("second/" + payload)));
}

TEST_F(PackageTest, GzipCompressedCatalogIsRead) {
  std::string plain = readFile(repo.catalogPath());
  gzFile gz = gzopen((repoDir / "catalog.xml").c_str(), "wb");
  ASSERT_NE(gz, nullptr);
  ASSERT_EQ(gzwrite(gz, plain.data(), static_cast<unsigned>(plain.size())), static_cast<int>(plain.size()));
  gzclose(gz);
  ASSERT_NE(readFile(repo.catalogPath()), plain);
  qyxl::UpdateOrderContext ctx;
  EXPECT_EQ(orderTool(ctx).size(), 4u);
}

TEST_F(PackageTest, ConcurrentDownloadsOfOneFileNameBothSucceed) {
  // Two orders hand out packages for the same download file; they must not
  // write one temporary file at the same time.
  const std::string payload = std::string(kStdBootTools) + ".zip";
  qyxl::UpdateOrderContext a, b;
  std::vector<qyxl::UpdatePackage*> both{byName(orderTool(a, kStdBootTools), payload),
                                         byName(orderTool(b, kStdBootTools), payload)};
  std::vector<std::string> errors(2);
  std::vector<std::thread> threads;
  for (int round = 0; round < 20; ++round) {
    for (int i = 0; i < 2; ++i) {
      both[i]->setDownloadPathname(downloads.path());
      both[i]->setCompareSizeEnabled(false);
      threads.emplace_back([&, i] {
        try {
          both[i]->download(i == 0 ? a : b);
        } catch (const std::exception& e) {
          errors[i] = e.what();
        }
      });
    }
    for (auto& t : threads) t.join();
    threads.clear();
    ASSERT_EQ(errors[0], "");
    ASSERT_EQ(errors[1], "");
  }
  EXPECT_EQ(sha1OfFile(downloads / payload), repo.sha1Of(payload));
}

}  // namespace
