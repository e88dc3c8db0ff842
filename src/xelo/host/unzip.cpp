// In-process unzip on libarchive, which is portable: the same code serves
// every platform. The archive is read twice: once to check every entry, and
// only when all of them are safe, once more to write them.
#include "host/unzip.h"

#include <archive.h>
#include <archive_entry.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "host/host.h"
#include "host/paths.h"
#include "host/log_sink.h"

namespace XELO {

namespace {

namespace fs = std::filesystem;

constexpr size_t kReadBlockSize = 64 * 1024;
// Archives at least this big report their progress in steps of 10 %.
constexpr int64_t kProgressThreshold = int64_t{64} << 20;

struct ReaderFree {
  void operator()(struct archive* a) const { archive_read_free(a); }
};
struct WriterFree {
  void operator()(struct archive* a) const { archive_write_free(a); }
};
struct EntryFree {
  void operator()(struct archive_entry* e) const { archive_entry_free(e); }
};
using Reader = std::unique_ptr<struct archive, ReaderFree>;
using Writer = std::unique_ptr<struct archive, WriterFree>;
using EntryCopy = std::unique_ptr<struct archive_entry, EntryFree>;

using Parts = std::vector<std::string>;

// The components of a name, "/" and "\" both separating; empty and "."
// components dropped.
Parts splitName(const std::string& name) {
  Parts parts;
  std::string part;
  auto flush = [&] {
    if (!part.empty() && part != ".") parts.push_back(part);
    part.clear();
  };
  for (char c : name) {
    if (c == '/' || c == '\\')
      flush();
    else
      part += c;
  }
  flush();
  return parts;
}

// A name that starts at a root or a drive ("/x", "\x", "C:x"). A colon
// anywhere is refused too: on Windows it names a drive or a data stream.
bool absoluteName(const std::string& name) {
  return !name.empty() && (name[0] == '/' || name[0] == '\\' || name.find(':') != std::string::npos);
}

// The entry's components below the target; false when the name is absolute
// or climbs out with "..". Empty parts mean the target itself.
bool entryParts(const std::string& name, Parts& parts) {
  if (absoluteName(name)) return false;
  parts = splitName(name);
  for (const auto& p : parts)
    if (p == "..") return false;
  return true;
}

// A link at `linkParts` whose target `target` stays inside the target
// directory when read from the link's own directory.
bool linkStaysInside(const Parts& linkParts, const std::string& target) {
  if (target.empty() || absoluteName(target)) return false;
  Parts at(linkParts.begin(), linkParts.end() - 1);
  for (const auto& p : splitName(target)) {
    if (p == "..") {
      if (at.empty()) return false;
      at.pop_back();
    } else {
      at.push_back(p);
    }
  }
  return true;
}

std::string joinParts(const Parts& parts, size_t count) {
  std::string text;
  for (size_t i = 0; i < count && i < parts.size(); ++i) {
    if (i) text += '/';
    text += parts[i];
  }
  return text;
}

// `path` is `root` or lies below it (both canonical).
bool insideRoot(const fs::path& root, const fs::path& path) {
  auto r = root.begin();
  auto p = path.begin();
  for (; r != root.end(); ++r, ++p) {
    if (p == path.end() || *r != *p) return false;
  }
  return true;
}

class Unzip {
 public:
  Unzip(const std::string& zipPath, const std::string& targetDir, const std::string& messageFile)
      : zipPath(zipPath), targetDir(targetDir), messageFile(messageFile) {}

  int run() {
    if (zipPath.empty() || targetDir.empty()) return fail(kUnzipBadArguments, "no archive or target named");
    if (!isRegularFile(zipPath)) return fail(kUnzipNotFound, "cannot find or open the archive");
    hostLog(HostReport::Detail, "Unzipping " + zipPath + " into " + targetDir);
    if (int status = checkEntries(); status != kUnzipOk) return status;
    if (int status = writeEntries(); status != kUnzipOk) return status;
    hostLog(HostReport::Detail, "Unzipped " + std::to_string(entryCount) + " entries of " + zipPath);
    return kUnzipOk;
  }

 private:
  std::string zipPath;
  std::string targetDir;
  std::string messageFile;
  int64_t totalBytes = 0;
  int64_t writtenBytes = 0;
  int reportedTenths = 0;
  size_t entryCount = 0;

  int fail(int status, const std::string& text) {
    const std::string line = "unzip: " + zipPath + ": " + text;
    hostLog(HostReport::Error, line);
    if (!messageFile.empty()) appendToFile(messageFile, line + "\n");
    return status;
  }

  // A failure reported by libarchive on `a`.
  int archiveFail(struct archive* a, int status, const std::string& what) {
    std::string text = what;
    if (const char* detail = archive_error_string(a)) text += ": " + std::string(detail);
    const int err = archive_errno(a);
    if (err == ENOSPC) {
      status = kUnzipNoSpace;
      text += " (" + std::generic_category().message(ENOSPC) + ")";
    }
    return fail(status, text);
  }

  int open(Reader& reader) {
    reader.reset(archive_read_new());
    if (!reader) return fail(kUnzipWriteFailed, "out of memory");
    archive_read_support_format_zip(reader.get());
    if (archive_read_open_filename(reader.get(), zipPath.c_str(), kReadBlockSize) != ARCHIVE_OK)
      return archiveFail(reader.get(), kUnzipBadArchive, "cannot read the archive");
    return kUnzipOk;
  }

  // Next entry: 1, 0 at the end, or -1 after reporting a damaged archive.
  int next(Reader& reader, struct archive_entry*& entry, int& status) {
    const int rc = archive_read_next_header(reader.get(), &entry);
    if (rc == ARCHIVE_EOF) return 0;
    if (rc < ARCHIVE_WARN) {
      status = archiveFail(reader.get(), kUnzipBadArchive, "damaged archive");
      return -1;
    }
    return 1;
  }

  static std::string entryName(struct archive_entry* entry) {
    const char* name = archive_entry_pathname(entry);
    if (!name) name = archive_entry_pathname_utf8(entry);
    return name ? name : "";
  }

  // First pass: every entry must be safe before anything is written.
  int checkEntries() {
    Reader reader;
    if (int status = open(reader); status != kUnzipOk) return status;
    std::set<std::string> links;      // paths of symbolic links
    std::set<std::string> plain;      // paths of every other entry
    std::set<std::string> ancestors;  // directories that entries lie below
    struct archive_entry* entry = nullptr;
    int status = kUnzipOk;
    for (;;) {
      const int more = next(reader, entry, status);
      if (more < 0) return status;
      if (more == 0) break;
      const std::string name = entryName(entry);
      if (name.empty()) return fail(kUnzipBadArchive, "an entry has no readable name");
      Parts parts;
      if (!entryParts(name, parts)) return fail(kUnzipUnsafeEntry, "refused entry outside the target: " + name);
      if (archive_entry_hardlink(entry)) return fail(kUnzipUnsafeEntry, "refused hard link: " + name);
      const auto type = archive_entry_filetype(entry);
      if (type != AE_IFREG && type != AE_IFDIR && type != AE_IFLNK)
        return fail(kUnzipUnsafeEntry, "refused special file: " + name);
      if (parts.empty()) continue;  // the target directory itself

      for (size_t n = 1; n < parts.size(); ++n) {
        const std::string above = joinParts(parts, n);
        if (links.count(above)) return fail(kUnzipUnsafeEntry, "refused entry below a symbolic link: " + name);
        ancestors.insert(above);
      }
      const std::string path = joinParts(parts, parts.size());
      if (type == AE_IFLNK) {
        const char* target = archive_entry_symlink(entry);
        if (!target || !linkStaysInside(parts, target))
          return fail(kUnzipUnsafeEntry, "refused symbolic link leading outside the target: " + name);
        // A link where another entry lies below it, or that shares its
        // path with another entry, would be written through or replaced.
        if (ancestors.count(path) || plain.count(path))
          return fail(kUnzipUnsafeEntry, "refused entry below a symbolic link: " + name);
        links.insert(path);
      } else {
        if (links.count(path)) return fail(kUnzipUnsafeEntry, "refused entry below a symbolic link: " + name);
        plain.insert(path);
      }
      if (type == AE_IFREG && archive_entry_size_is_set(entry)) totalBytes += archive_entry_size(entry);
      ++entryCount;
    }
    return kUnzipOk;
  }

  void progress(int64_t bytes) {
    writtenBytes += bytes;
    if (totalBytes < kProgressThreshold) return;
    const int tenths = static_cast<int>(writtenBytes * 10 / totalBytes);
    if (tenths <= reportedTenths || tenths > 10) return;
    reportedTenths = tenths;
    hostLog(HostReport::Detail, "Unzipping " + zipPath + ": " + std::to_string(tenths * 10) + "% done");
  }

  int copyData(struct archive* reader, struct archive* writer) {
    const void* buffer = nullptr;
    size_t size = 0;
    la_int64_t offset = 0;
    for (;;) {
      const int rc = archive_read_data_block(reader, &buffer, &size, &offset);
      if (rc == ARCHIVE_EOF) return kUnzipOk;
      if (rc < ARCHIVE_WARN) return archiveFail(reader, kUnzipBadArchive, "damaged entry data");
      if (archive_write_data_block(writer, buffer, size, offset) < ARCHIVE_WARN)
        return archiveFail(writer, kUnzipWriteFailed, "cannot write");
      progress(static_cast<int64_t>(size));
    }
  }

  // Second pass: write the checked entries; symbolic links last.
  int writeEntries() {
    if (!ensureDirectory(targetDir)) return fail(kUnzipWriteFailed, "cannot create the directory " + targetDir);
    std::error_code ec;
    const fs::path root = fs::canonical(targetDir, ec);
    if (ec) return fail(kUnzipWriteFailed, "cannot resolve the directory " + targetDir + ": " + ec.message());

    Reader reader;
    if (int status = open(reader); status != kUnzipOk) return status;
    Writer writer(archive_write_disk_new());
    if (!writer) return fail(kUnzipWriteFailed, "out of memory");
    // Names are already checked; libarchive refuses, besides, to write
    // through any symbolic link it meets on the way.
    archive_write_disk_set_options(writer.get(), ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_SECURE_SYMLINKS |
                                                     ARCHIVE_EXTRACT_SECURE_NODOTDOT);

    std::vector<EntryCopy> links;
    struct archive_entry* entry = nullptr;
    int status = kUnzipOk;
    for (;;) {
      const int more = next(reader, entry, status);
      if (more < 0) return status;
      if (more == 0) break;
      const std::string name = entryName(entry);
      Parts parts;
      if (!entryParts(name, parts)) return fail(kUnzipUnsafeEntry, "refused entry outside the target: " + name);
      if (parts.empty()) continue;
      fs::path dest = root;
      for (const auto& p : parts) dest /= p;
      if (archive_entry_filetype(entry) == AE_IFLNK) {
        EntryCopy copy(archive_entry_clone(entry));
        if (!copy) return fail(kUnzipWriteFailed, "out of memory");
        archive_entry_set_pathname(copy.get(), dest.string().c_str());
        links.push_back(std::move(copy));
        continue;
      }
      archive_entry_set_pathname(entry, dest.string().c_str());
      if (archive_write_header(writer.get(), entry) < ARCHIVE_WARN)
        return archiveFail(writer.get(), kUnzipWriteFailed, "cannot create " + name);
      if (archive_entry_filetype(entry) == AE_IFREG) {
        if (int copied = copyData(reader.get(), writer.get()); copied != kUnzipOk) return copied;
      }
      if (archive_write_finish_entry(writer.get()) < ARCHIVE_WARN)
        return archiveFail(writer.get(), kUnzipWriteFailed, "cannot finish " + name);
    }

    for (auto& link : links) {
      if (archive_write_header(writer.get(), link.get()) < ARCHIVE_WARN ||
          archive_write_finish_entry(writer.get()) < ARCHIVE_WARN)
        return archiveFail(writer.get(), kUnzipWriteFailed,
                           "cannot create the symbolic link " + std::string(archive_entry_pathname(link.get())));
    }
    // Each link was checked alone; followed together, a chain of them must
    // still end inside the target.
    for (auto& link : links) {
      const fs::path path = archive_entry_pathname(link.get());
      std::error_code resolveError;
      const fs::path resolved = fs::weakly_canonical(path, resolveError);
      if (resolveError || !insideRoot(root, resolved)) {
        for (auto& made : links) fs::remove(fs::path(archive_entry_pathname(made.get())), resolveError);
        return fail(kUnzipUnsafeEntry, "refused symbolic link leading outside the target: " + path.string());
      }
    }
    if (archive_write_close(writer.get()) < ARCHIVE_WARN)
      return archiveFail(writer.get(), kUnzipWriteFailed, "cannot finish the directories");
    return kUnzipOk;
  }
};

}  // namespace

int unzipArchive(const std::string& zipPath, const std::string& targetDir, const std::string& messageFile) {
  return Unzip(zipPath, targetDir, messageFile).run();
}

}  // namespace XELO
