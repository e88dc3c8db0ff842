// Runs of the program against repositories whose catalog is not what the
// trusted publisher signed: edited on the way, signed by another key,
// unsigned, or expired. Each run must end as if the repository were
// unreachable, say why in the log, and leave nothing under a final name in
// the working directory. An unsigned repository works only when the
// connection settings allow it for its location, and then every run warns.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "publisher.h"
#include "repo_fixtures.h"
#include "signature.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;
using xelotest::ProgramSandbox;
using xelotest::readFile;
using xelotest::writeFile;

// The exit status of a run whose repository cannot be reached.
constexpr int kServiceUnreachable = 204;
const std::string kBmcPayload = std::string(xelotest::kStdBmcNew) + ".bin";
// An update for another machine type whose payload has the size of the BMC
// firmware's.
const std::string kSpare = "qor_fw_spare_1.00_anyos_noarch";
const std::string kSparePayload = kSpare + ".bin";

class SignedRepository : public ::testing::Test {
 protected:
  xelotest::RunResult run(const std::vector<std::string>& extra = {"-m", "7101", "--function=novpi"}) {
    std::vector<std::string> args{"--local=" + work()};
    args.insert(args.end(), extra.begin(), extra.end());
    return box.run("xelo", args, "y\n", {{"XELO_TEST_XML_WAIT_MS", "0"}});
  }
  std::string work() const { return box.scratch() + "/w"; }
  std::string log() const { return readFile(box.supportDir() + "/" + box.logFiles().back()); }
  std::string catalog() const { return readFile(repo.catalogPath()); }
  std::string signaturePath() const { return repo.catalogPath() + qyxl::signature::kSignatureSuffix; }

  // The catalog with the first `from` replaced by `to`, signature untouched.
  void editCatalog(const std::string& from, const std::string& to) {
    std::string text = catalog();
    const auto at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    writeFile(repo.catalogPath(), text.replace(at, from.size(), to));
  }

  // The refused run: the unreachable repository's status and message, the
  // reason in the log, no published file and no partial file in the
  // working directory.
  void expectRefused(const std::string& reason) {
    auto r = run();
    EXPECT_EQ(r.status, kServiceUnreachable) << r.output;
    EXPECT_THAT(r.output, HasSubstr("Error preparing connectivity path"));
    EXPECT_THAT(log(), HasSubstr(reason));
    EXPECT_EQ(xelotest::expectPublishedCopies(repo, work()), 0);
    if (fs::exists(work()))
      for (const auto& e : fs::recursive_directory_iterator(work()))
        EXPECT_EQ(e.path().filename(), ".xelo.lock") << "left in the working directory: " << e.path();
  }

  ProgramSandbox box;
  xelotest::ServedStandardRepository served{box.programDir()};
  xelotest::TestRepository& repo = served.repo;
};

TEST_F(SignedRepository, SignedCatalogIsUsed) {
  auto r = run();
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_THAT(r.output, Not(HasSubstr("signature")));
  EXPECT_GT(xelotest::expectPublishedCopies(repo, work()), 0);
}

TEST_F(SignedRepository, CatalogThatIsNotWhatThePublisherSignedIsRefused) {
  const std::string otherKey = box.scratch() + "/other";
  std::string error;
  ASSERT_TRUE(xelorepo::generateKeyFiles(otherKey + ".key", otherKey + ".pem", error)) << error;
  repo.addUpdate(kSpare, {"7999"}, {xelotest::kPlatformNone}, repo.sizeOf(kBmcPayload));
  repo.publish();
  const std::string bmcSha1 = repo.sha1Of(kBmcPayload), spareSha1 = repo.sha1Of(kSparePayload);

  const std::vector<std::pair<std::string, std::function<void()>>> cases = {
      {"catalog signature invalid", [&] { editCatalog("version=\"1.", "version=\"7."); }},
      {"catalog signature invalid",
       [&] { editCatalog("size=\"" + std::to_string(repo.sizeOf(kBmcPayload)), "size=\"1"); }},
      // The firmware file swapped for another of the same size, its SHA-1
      // field edited to match.
      {"catalog signature invalid",
       [&] {
         editCatalog("path=\"updates/" + kBmcPayload, "path=\"updates/" + kSparePayload);
         editCatalog(bmcSha1, spareSha1);
       }},
      {"catalog signed by an unknown key", [&] { xelotest::signCatalog(repo.catalogPath(), otherKey + ".key"); }},
      {"catalog signature missing", [&] { fs::remove(signaturePath()); }},
      {"catalog signature malformed", [&] { writeFile(signaturePath(), "ed25519 not-a-key\n"); }},
      {"catalog expired on 2020-01-01T00:00:00Z",
       [&] {
         repo.setValidUntil("2020-01-01T00:00:00Z");
         repo.publish();
       }},
  };
  for (const auto& [reason, spoil] : cases) {
    SCOPED_TRACE(reason);
    repo.setValidUntil("");
    repo.publish();
    spoil();
    expectRefused(reason);
  }
}

TEST_F(SignedRepository, FileInTheWorkingDirectoryThatOnlyMatchesTheSha1IsNotKept) {
  // A stand-in for a SHA-1 collision: a file placed in the working
  // directory whose size and SHA-1 the signed catalog lists for the BMC
  // firmware, while its SHA-256 is the genuine firmware's.
  ASSERT_EQ(run().status, 0);
  std::string placed;
  for (const auto& e : fs::recursive_directory_iterator(work()))
    if (e.path().filename() == kBmcPayload) placed = e.path().string();
  ASSERT_FALSE(placed.empty());
  const std::string forged = "forged firmware";
  writeFile(placed, forged);
  std::string text = catalog();
  const auto line = text.find("path=\"updates/" + kBmcPayload);
  ASSERT_NE(line, std::string::npos);
  for (const auto& [attribute, value] : {std::pair<std::string, std::string>{"size", std::to_string(forged.size())},
                                         {"sha1", xelotest::sha1OfBytes(forged)}}) {
    const auto from = text.find(attribute + "=\"", line) + attribute.size() + 2;
    text.replace(from, text.find('"', from) - from, value);
  }
  writeFile(repo.catalogPath(), text);
  xelotest::signCatalog(repo.catalogPath());

  // The file is not taken as present: the stale copy goes and the download,
  // which cannot match the edited entry, fails the update.
  auto r = run();
  EXPECT_THAT(r.output, HasSubstr(std::string(xelotest::kStdBmcNew) + " ... Fail"));
  EXPECT_FALSE(fs::exists(placed));
}

TEST_F(SignedRepository, KeyringWithoutThePublishersKeyRefusesItsCatalog) {
  fs::remove_all(box.programDir() + "/keyring");
  expectRefused("catalog signed by an unknown key");
}

TEST_F(SignedRepository, CatalogValidUntilLaterIsUsed) {
  repo.setValidUntil("2999-12-31T23:59:59Z");
  repo.publish();
  EXPECT_EQ(run().status, 0);
}

TEST_F(SignedRepository, UnsignedCatalogOnlyWhereTheSettingsAllowIt) {
  fs::remove(signaturePath());
  const std::string location = served.server.baseUrl();
  // Allowed for another location: refused.
  xelotest::writeConnectProperties(box.programDir(), location,
                                   {{"_QOR.UNSIGNED_CATALOG_ALLOWED_FOR", "http://mirror.example/repo/"}});
  expectRefused("catalog signature missing");

  // Allowed for this location: used, with a warning on the console and in
  // the log of every run.
  xelotest::writeConnectProperties(box.programDir(), location, {{"_QOR.UNSIGNED_CATALOG_ALLOWED_FOR", location}});
  const std::string warning = "There is a warning: The catalog of " + location +
                              " is used without a valid signature (catalog signature missing)";
  for (int runs = 0; runs < 2; ++runs) {
    auto r = run();
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_THAT(r.output, HasSubstr(warning));
    EXPECT_THAT(log(), HasSubstr(warning));
  }
  EXPECT_GT(xelotest::expectPublishedCopies(repo, work()), 0);

  // The settings do not let an expired catalog through.
  repo.setSigningKeys({});
  repo.setValidUntil("2020-01-01T00:00:00Z");
  repo.publish();
  fs::remove_all(work());
  expectRefused("catalog expired on 2020-01-01T00:00:00Z");
}

TEST_F(SignedRepository, SelfUpdateCheckGoesThroughTheSameCheck) {
  fs::remove(signaturePath());
  auto r = run({"--check-update"});
  EXPECT_TRUE(r.status != 0 && r.status != 30 && r.status != 31) << r.status << r.output;
  EXPECT_THAT(log(), HasSubstr("catalog signature missing"));
}

}  // namespace
