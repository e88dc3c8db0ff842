#include "host/unzip.h"

#include <archive.h>
#include <archive_entry.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "test_support.h"

using namespace XELO;
using ::testing::HasSubstr;
using xelotest::exists;
using xelotest::listFiles;
using xelotest::readFile;
using xelotest::writeFile;

namespace fs = std::filesystem;

namespace {

// One entry of a test archive: a file (content), a directory or a symbolic
// link (content is the link target).
struct Entry {
  enum Kind { File, Dir, Link } kind;
  std::string name;
  std::string content;
};

Entry fileEntry(std::string name, std::string content) { return {Entry::File, std::move(name), std::move(content)}; }
Entry dirEntry(std::string name) { return {Entry::Dir, std::move(name), ""}; }
Entry linkEntry(std::string name, std::string target) { return {Entry::Link, std::move(name), std::move(target)}; }

// Writes a zip archive with exactly the given names, unchecked.
void writeZip(const std::string& path, const std::vector<Entry>& entries) {
  struct archive* a = archive_write_new();
  ASSERT_EQ(archive_write_set_format_zip(a), ARCHIVE_OK);
  ASSERT_EQ(archive_write_open_filename(a, path.c_str()), ARCHIVE_OK);
  for (const auto& e : entries) {
    struct archive_entry* entry = archive_entry_new();
    archive_entry_set_pathname(entry, e.name.c_str());
    if (e.kind == Entry::File) {
      archive_entry_set_filetype(entry, AE_IFREG);
      archive_entry_set_perm(entry, 0644);
      archive_entry_set_size(entry, static_cast<la_int64_t>(e.content.size()));
    } else if (e.kind == Entry::Dir) {
      archive_entry_set_filetype(entry, AE_IFDIR);
      archive_entry_set_perm(entry, 0755);
    } else {
      archive_entry_set_filetype(entry, AE_IFLNK);
      archive_entry_set_perm(entry, 0777);
      archive_entry_set_symlink(entry, e.content.c_str());
    }
    ASSERT_EQ(archive_write_header(a, entry), ARCHIVE_OK) << e.name;
    if (e.kind == Entry::File && !e.content.empty()) {
      ASSERT_EQ(archive_write_data(a, e.content.data(), e.content.size()), static_cast<la_ssize_t>(e.content.size()));
    }
    archive_entry_free(entry);
  }
  ASSERT_EQ(archive_write_close(a), ARCHIVE_OK);
  archive_write_free(a);
}

// A test area: the archive, the target directory, and a directory beside
// the target that no entry may reach.
struct Area {
  xelotest::TempDir root{"xelo-unzip"};
  std::string zip = root / "a.zip";
  std::string target = root / "target";
  std::string outside = root / "outside";
  Area() { fs::create_directories(outside); }
};

}  // namespace

TEST(Unzip, UnpacksTreesLinksAndOverwritesExistingFiles) {
  Area area;
  std::string big;
  for (int i = 0; i < 300000; ++i) big += static_cast<char>('a' + (i * 7 + i / 26) % 26);
  writeZip(area.zip, {dirEntry("linuxboot/"), dirEntry("linuxboot/EFI/BOOT/"), fileEntry("linuxboot/EFI/BOOT/grub.cfg", "cfg\n"),
                      fileEntry("linuxboot/vmlinuz", big), dirEntry("linuxboot/menu/"), linkEntry("linuxboot/current", "menu"),
                      fileEntry("linuxboot/menu/entry", "old"), dirEntry("empty/"), fileEntry("top.txt", "top")});
  fs::create_directories(area.target);
  writeFile(area.target + "/top.txt", "stale and longer than the new text");

  ASSERT_EQ(unzipArchive(area.zip, area.target), kUnzipOk);
  EXPECT_EQ(readFile(area.target + "/linuxboot/EFI/BOOT/grub.cfg"), "cfg\n");
  EXPECT_EQ(readFile(area.target + "/linuxboot/vmlinuz"), big);
  EXPECT_EQ(readFile(area.target + "/top.txt"), "top");
  EXPECT_TRUE(fs::is_directory(area.target + "/empty"));
  ASSERT_TRUE(fs::is_symlink(area.target + "/linuxboot/current"));
  EXPECT_EQ(fs::read_symlink(area.target + "/linuxboot/current"), "menu");
  EXPECT_EQ(readFile(area.target + "/linuxboot/current/entry"), "old");

  // Unpacking again over the tree (the "-xo" use) succeeds and merges.
  writeZip(area.zip, {fileEntry("linuxboot/menu/entry", "new"), fileEntry("linuxboot/menu/added", "x")});
  ASSERT_EQ(unzipArchive(area.zip, area.target), kUnzipOk);
  EXPECT_EQ(readFile(area.target + "/linuxboot/menu/entry"), "new");
  EXPECT_EQ(readFile(area.target + "/linuxboot/vmlinuz"), big);
  EXPECT_TRUE(exists(area.target + "/linuxboot/menu/added"));
}

// Every archive here holds a harmless file before the bad entry: the whole
// archive is refused before anything is written.
TEST(Unzip, EntriesLeavingTheTargetRefuseTheWholeArchive) {
  Area area;
  const std::string escapeTo = area.outside + "/escaped";
  const std::vector<std::vector<Entry>> archives = {
      {fileEntry("ok.txt", "x"), fileEntry("../outside/escaped", "bad")},
      {fileEntry("ok.txt", "x"), fileEntry("sub/../../outside/escaped", "bad")},
      {fileEntry("ok.txt", "x"), fileEntry("..\\outside\\escaped", "bad")},
      {fileEntry("ok.txt", "x"), fileEntry(escapeTo, "bad")},
      {fileEntry("ok.txt", "x"), fileEntry("C:\\outside\\escaped", "bad")},
      {fileEntry("ok.txt", "x"), linkEntry("out", "../outside")},
      {fileEntry("ok.txt", "x"), linkEntry("sub/out", "../../outside")},
      {fileEntry("ok.txt", "x"), linkEntry("out", area.outside)},
      // A link inside the target, then an entry written through it.
      {fileEntry("ok.txt", "x"), linkEntry("sub", "."), fileEntry("sub/f", "through")},
      {fileEntry("ok.txt", "x"), fileEntry("sub/f", "x"), linkEntry("sub", ".")},
  };
  for (size_t i = 0; i < archives.size(); ++i) {
    SCOPED_TRACE("archive " + std::to_string(i));
    writeZip(area.zip, archives[i]);
    const std::string messages = area.root / "stdout.txt";
    fs::remove(messages);
    EXPECT_EQ(unzipArchive(area.zip, area.target, messages), kUnzipUnsafeEntry);
    EXPECT_THAT(readFile(messages), HasSubstr("refused"));
    EXPECT_TRUE(listFiles(area.outside).empty());
    EXPECT_FALSE(exists(area.target + "/ok.txt"));
  }
}

TEST(Unzip, LinkChainsAndExistingLinksNeverLeadOutside) {
  Area area;
  // Each link alone stays inside; followed together they lead two levels up.
  writeZip(area.zip, {dirEntry("deep/"), linkEntry("deep/up", ".."), linkEntry("x", "deep/up/..")});
  EXPECT_EQ(unzipArchive(area.zip, area.target), kUnzipUnsafeEntry);
  EXPECT_FALSE(fs::is_symlink(area.target + "/x"));

  // A link to outside that the target already holds is never written through.
  Area second;
  fs::create_directories(second.target);
  fs::create_directory_symlink(second.outside, second.target + "/out");
  writeZip(second.zip, {fileEntry("out/f", "through")});
  const std::string messages = second.root / "stdout.txt";
  EXPECT_EQ(unzipArchive(second.zip, second.target, messages), kUnzipWriteFailed);
  EXPECT_THAT(readFile(messages), HasSubstr("symlink"));
  EXPECT_TRUE(listFiles(second.outside).empty());
}

TEST(Unzip, MissingDamagedForeignArchivesAndUnwritableTargetsFail) {
  Area area;
  const std::string messages = area.root / "stdout.txt";
  EXPECT_EQ(unzipArchive(area.root / "none.zip", area.target, messages), kUnzipNotFound);
  EXPECT_EQ(unzipArchive(area.root.path(), area.target), kUnzipNotFound);  // a directory
  EXPECT_EQ(unzipArchive("", area.target), kUnzipBadArguments);

  writeFile(area.zip, "this is not a zip archive\n");
  EXPECT_EQ(unzipArchive(area.zip, area.target, messages), kUnzipBadArchive);

  // Cut in the middle of the only entry's data: the central directory is
  // gone, and so is part of the data.
  std::string data;
  for (int i = 0; i < 100000; ++i) data += static_cast<char>(i * 31 % 251);
  writeZip(area.zip, {fileEntry("payload.bin", data)});
  fs::resize_file(area.zip, fs::file_size(area.zip) / 2);
  EXPECT_NE(unzipArchive(area.zip, area.target, messages), kUnzipOk);
  EXPECT_FALSE(exists(area.target + "/payload.bin") && readFile(area.target + "/payload.bin") == data);

  const std::string text = readFile(messages);
  EXPECT_THAT(text, HasSubstr("none.zip"));
  EXPECT_THAT(text, HasSubstr("a.zip"));

  writeZip(area.zip, {fileEntry("f", "x")});
  writeFile(area.target, "a file where the directory should be");
  EXPECT_EQ(unzipArchive(area.zip, area.target), kUnzipWriteFailed);
}
