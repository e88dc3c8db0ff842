// Zip unpacking and packing, and the cpio archive appended to an initrd,
// all through libarchive.
#include <archive.h>
#include <archive_entry.h>

#include <filesystem>
#include <fstream>

#include "internal.h"
#include "velmake.h"

namespace fs = std::filesystem;

namespace Velmake::detail {

namespace {

std::string archiveError(struct archive* a, const std::string& what) {
  const char* text = archive_error_string(a);
  return what + (text ? std::string(": ") + text : std::string());
}

// Copies one file's data into the archive being written.
bool copyData(struct archive* out, const std::string& sourcePath) {
  std::ifstream in(sourcePath, std::ios::binary);
  if (!in) return false;
  std::vector<char> buffer(1 << 16);
  while (in) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    const std::streamsize got = in.gcount();
    if (got > 0 && archive_write_data(out, buffer.data(), static_cast<size_t>(got)) != got) return false;
  }
  return in.eof();
}

bool addFile(struct archive* out, const std::string& name, const fs::path& source, bool directory, std::string& error) {
  std::error_code ec;
  struct archive_entry* entry = archive_entry_new();
  archive_entry_set_pathname(entry, name.c_str());
  archive_entry_set_mtime(entry, 0, 0);
  if (directory) {
    archive_entry_set_filetype(entry, AE_IFDIR);
    archive_entry_set_perm(entry, 0755);
  } else {
    const auto size = fs::file_size(source, ec);
    if (ec) {
      archive_entry_free(entry);
      error = "cannot read " + source.string();
      return false;
    }
    archive_entry_set_filetype(entry, AE_IFREG);
    archive_entry_set_perm(entry, 0644);
    archive_entry_set_size(entry, static_cast<la_int64_t>(size));
  }
  bool ok = archive_write_header(out, entry) == ARCHIVE_OK;
  if (!ok) error = archiveError(out, "cannot add " + name);
  if (ok && !directory && !copyData(out, source.string())) {
    error = "cannot store " + source.string();
    ok = false;
  }
  archive_entry_free(entry);
  return ok;
}

// Why the entry `name` (`relative` once normalised) may not be unpacked
// into `targetDir`; empty when it may.
std::string refusal(struct archive_entry* entry, const std::string& name, const fs::path& relative,
                    const std::string& targetDir) {
  // Names are checked here too, so that a refusal names the entry; the
  // secure options of the writer guard the writing itself.
  if (name.empty() || relative.is_absolute() || *relative.begin() == "..")
    return "the entry \"" + name + "\" would leave " + targetDir;
  // A link could hand a host file to a medium, which copies what links
  // point to; only links that stay inside the tree are taken.
  const auto type = archive_entry_filetype(entry);
  if (archive_entry_hardlink(entry) || (type != AE_IFREG && type != AE_IFDIR && type != AE_IFLNK))
    return "the entry \"" + name + "\" is a hard link or a special file";
  if (type == AE_IFLNK) {
    const char* target = archive_entry_symlink(entry);
    const fs::path resolved = (relative.parent_path() / (target ? target : "")).lexically_normal();
    if (!target || !*target || fs::path(target).is_absolute() || *resolved.begin() == "..")
      return "the link \"" + name + "\" leads outside " + targetDir;
  }
  return "";
}

// Unpacks the entry just read from `in` below `root` (the target directory
// `targetDir`, resolved) through the disk writer `out`. False with `error`.
bool unpackEntry(struct archive* in, struct archive* out, struct archive_entry* entry, const fs::path& root,
                 const std::string& targetDir, std::string& error) {
  const std::string name = archive_entry_pathname(entry) ? archive_entry_pathname(entry) : "";
  const fs::path relative = fs::path(name).lexically_normal();
  error = refusal(entry, name, relative, targetDir);
  if (!error.empty()) return false;
  archive_entry_set_pathname(entry, (root / relative).string().c_str());
  if (archive_write_header(out, entry) != ARCHIVE_OK) {
    error = archiveError(out, "cannot unpack " + name);
    return false;
  }
  const void* block = nullptr;
  size_t size = 0;
  la_int64_t offset = 0;
  int data = ARCHIVE_OK;
  while ((data = archive_read_data_block(in, &block, &size, &offset)) == ARCHIVE_OK) {
    if (archive_write_data_block(out, block, size, offset) != ARCHIVE_OK) {
      error = archiveError(out, "cannot write " + name);
      return false;
    }
  }
  if (data != ARCHIVE_EOF) {
    error = archiveError(in, "cannot unpack " + name);
    return false;
  }
  if (archive_write_finish_entry(out) != ARCHIVE_OK) {
    error = archiveError(out, "cannot finish " + name);
    return false;
  }
  return true;
}

}  // namespace

int unpackZip(const std::string& zipPath, const std::string& targetDir, std::string& error) {
  struct archive* in = archive_read_new();
  archive_read_support_format_zip(in);
  struct archive* out = archive_write_disk_new();
  archive_write_disk_set_options(out, ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_PERM | ARCHIVE_EXTRACT_SECURE_NODOTDOT |
                                          ARCHIVE_EXTRACT_SECURE_SYMLINKS);
  archive_write_disk_set_standard_lookup(out);

  int result = kMediaOk;
  if (archive_read_open_filename(in, zipPath.c_str(), 1 << 16) != ARCHIVE_OK) {
    error = archiveError(in, "cannot open " + zipPath);
    result = kUnzipFailed;
  }
  std::error_code rootError;
  const fs::path root = fs::weakly_canonical(fs::absolute(targetDir), rootError);
  struct archive_entry* entry = nullptr;
  while (result == kMediaOk) {
    const int rc = archive_read_next_header(in, &entry);
    if (rc == ARCHIVE_EOF) break;
    if (rc < ARCHIVE_WARN) {
      error = archiveError(in, "cannot read " + zipPath);
      result = kUnzipFailed;
      break;
    }
    if (!unpackEntry(in, out, entry, root, targetDir, error)) result = kUnzipFailed;
  }
  archive_read_free(in);
  archive_write_free(out);
  return result;
}

bool writeZip(const std::string& zipPath, const std::vector<MediumEntry>& entries, std::string& error) {
  struct archive* out = archive_write_new();
  archive_write_set_format_zip(out);
  bool ok = archive_write_open_filename(out, zipPath.c_str()) == ARCHIVE_OK;
  if (!ok) error = archiveError(out, "cannot create " + zipPath);
  for (const MediumEntry& e : entries) {
    if (!ok) break;
    if (!e.directory) {
      ok = addFile(out, e.mediumPath, e.sourcePath, false, error);
      continue;
    }
    ok = addFile(out, e.mediumPath + "/", e.sourcePath, true, error);
    if (e.contentsListed) continue;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(e.sourcePath, ec); ok && !ec && it != fs::end(it);
         it.increment(ec)) {
      // Named by the path walked, never by where a link resolves to.
      const std::string name = e.mediumPath + "/" + it->path().lexically_relative(e.sourcePath).generic_string();
      if (it->is_directory())
        ok = addFile(out, name + "/", it->path(), true, error);
      else if (it->is_regular_file())
        ok = addFile(out, name, it->path(), false, error);
    }
    if (ec && ok) {
      error = "cannot list " + e.sourcePath;
      ok = false;
    }
  }
  if (archive_write_close(out) != ARCHIVE_OK && ok) {
    error = archiveError(out, "cannot finish " + zipPath);
    ok = false;
  }
  archive_write_free(out);
  return ok;
}

bool writeCpioGz(const std::string& archivePath, const std::string& name, const std::string& sourcePath,
                 std::string& error) {
  struct archive* out = archive_write_new();
  archive_write_set_format_cpio_newc(out);
  archive_write_add_filter_gzip(out);
  bool ok = archive_write_open_filename(out, archivePath.c_str()) == ARCHIVE_OK;
  if (!ok) error = archiveError(out, "cannot create " + archivePath);
  if (ok) ok = addFile(out, name, sourcePath, false, error);
  if (archive_write_close(out) != ARCHIVE_OK && ok) {
    error = archiveError(out, "cannot finish " + archivePath);
    ok = false;
  }
  archive_write_free(out);
  return ok;
}

}  // namespace Velmake::detail
