// Read-back verification of written media: every regular file staged for a
// medium is read back from it and compared byte for byte with its source in
// the working directory. An ISO image is read through libisofs' own reader,
// a network boot directory's medium zip through libarchive, so the checks
// see the medium the way the tools that made it laid it out.
#include <stdint.h>
#include <sys/types.h>

#define LIBISOFS_WITHOUT_LIBBURN 1
#include <archive.h>
#include <archive_entry.h>
#include <libisofs/libisofs.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

#include "internal.h"
#include "platform.h"
#include "velmake.h"

namespace fs = std::filesystem;

namespace Velmake {

using namespace detail;

namespace {

constexpr size_t kChunk = 256 * 1024;
constexpr const char* kIsoCaller = "BootableISO::VerifyISO()";
constexpr const char* kImgCaller = "BootableIMG::VerifyIMG()";
constexpr const char* kUsbCaller = "BootableUSB::VerifyUSBKey()";
constexpr const char* kVerifyStep = "Verifying the medium";

// The libisofs image `path`, imported for reading; released by its owner.
class ImportedIso {
 public:
  explicit ImportedIso(const std::string& path) {
    initIsoLibrary();
    IsoDataSource* source = nullptr;
    IsoReadOpts* opts = nullptr;
    IsoReadImageFeatures* features = nullptr;
    if (iso_data_source_new_from_file(path.c_str(), &source) < 0) return;
    if (iso_read_opts_new(&opts, 0) >= 0 && iso_image_new("VERIFY", &image) >= 0 &&
        iso_image_import(image, source, opts, &features) < 0) {
      iso_image_unref(image);
      image = nullptr;
    }
    if (features) iso_read_image_features_destroy(features);
    if (opts) iso_read_opts_free(opts);
    iso_data_source_unref(source);
  }
  ~ImportedIso() {
    if (image) iso_image_unref(image);
  }
  ImportedIso(const ImportedIso&) = delete;
  ImportedIso& operator=(const ImportedIso&) = delete;

  IsoImage* image = nullptr;
};

// The contents of the image's file `mediumPath` are those of `source`.
bool isoFileMatches(IsoImage* image, const std::string& mediumPath, const fs::path& source) {
  IsoNode* node = nullptr;
  if (iso_tree_path_to_node(image, ("/" + mediumPath).c_str(), &node) != 1 || iso_node_get_type(node) != LIBISO_FILE)
    return false;
  IsoStream* stream = iso_file_get_stream(reinterpret_cast<IsoFile*>(node));
  if (!stream || iso_stream_open(stream) < 0) return false;
  const bool same = sameAsFile(source, [stream](char* buffer, size_t size) {
    return static_cast<int64_t>(iso_stream_read(stream, buffer, size));
  });
  iso_stream_close(stream);
  return same;
}

// `path` lies inside the directory `dir` (both made absolute).
bool inside(const fs::path& path, const fs::path& dir) {
  return liesWithin(fs::absolute(path).lexically_normal(), fs::absolute(dir).lexically_normal());
}

}  // namespace

bool detail::sameAsFile(const fs::path& path, const std::function<int64_t(char*, size_t)>& read) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::vector<char> staged(kChunk);
  std::vector<char> medium(kChunk);
  for (;;) {
    in.read(staged.data(), static_cast<std::streamsize>(staged.size()));
    if (in.bad()) return false;
    const size_t want = static_cast<size_t>(in.gcount());
    size_t got = 0;
    while (got < want) {
      const int64_t n = read(medium.data() + got, want - got);
      if (n <= 0) return false;
      got += static_cast<size_t>(n);
    }
    if (std::memcmp(staged.data(), medium.data(), want) != 0) return false;
    if (want < staged.size()) {
      // The source has ended: so must the copy.
      char extra = 0;
      return read(&extra, 1) == 0;
    }
  }
}

std::vector<StagedFile> detail::stagedFiles(const std::vector<MediumEntry>& entries, bool followLinks) {
  std::vector<StagedFile> out;
  std::error_code ec;
  auto take = [&](const std::string& mediumPath, const fs::path& source) {
    const bool link = fs::is_symlink(source, ec);
    if ((followLinks || !link) && fs::is_regular_file(source, ec)) out.push_back({mediumPath, source});
  };
  for (const MediumEntry& e : entries) {
    if (!e.directory) {
      take(e.mediumPath, e.sourcePath);
      continue;
    }
    if (e.contentsListed) continue;
    for (auto it = fs::recursive_directory_iterator(e.sourcePath, ec); !ec && it != fs::end(it); it.increment(ec))
      take(e.mediumPath + "/" + it->path().lexically_relative(e.sourcePath).generic_string(), it->path());
  }
  return out;
}

int BootableMedia::stagedFilesOf(const std::string& caller, const std::string& workingDir,
                                 const std::vector<std::string>& files, bool followLinks,
                                 std::vector<StagedFile>& staged) {
  rememberWorkingDirectory(workingDir);
  std::vector<MediumEntry> entries;
  const int code = collectMedium(caller, files, entries);
  if (code == kMediaOk) staged = stagedFiles(entries, followLinks);
  return code;
}

void BootableMedia::reportDifference(const std::string& caller, const StagedFile& file, std::string& firstDifference) {
  firstDifference = file.mediumPath;
  log(kLogError, caller + " " + file.mediumPath + " on the medium differs from " + file.sourcePath.string());
}

int BootableISO::VerifyISO(const std::string& workingDir, const std::string& isoPath,
                           const std::vector<std::string>& files, std::string& firstDifference) {
  log(kLogVerbose, std::string(kIsoCaller) + " " + isoPath);
  std::vector<StagedFile> staged;
  // The image keeps links as links (nothing is followed when it is made).
  if (const int code = stagedFilesOf(kIsoCaller, workingDir, files, false, staged); code != kMediaOk) return code;
  const ImportedIso imported(isoPath);
  if (!imported.image) {
    log(kLogError, std::string(kIsoCaller) + " cannot read the image " + isoPath);
    firstDifference = isoPath;
    return kImageBuilderFailed;
  }
  progress(kVerifyStep, 0);
  for (size_t i = 0; i < staged.size(); ++i) {
    if (!isoFileMatches(imported.image, staged[i].mediumPath, staged[i].sourcePath)) {
      reportDifference(kIsoCaller, staged[i], firstDifference);
      return kImageBuilderFailed;
    }
    progress(kVerifyStep, static_cast<int>((i + 1) * 100 / staged.size()));
  }
  log(kLogVerbose, std::string(kIsoCaller) + " " + std::to_string(staged.size()) + " files match");
  return kMediaOk;
}

int BootableIMG::VerifyIMG(const std::string& workingDir, const std::string& pxeDir,
                           const std::vector<std::string>& files, std::string& firstDifference) {
  log(kLogVerbose, std::string(kImgCaller) + " " + pxeDir);
  std::vector<StagedFile> staged;
  // The zip holds what links point to.
  if (const int code = stagedFilesOf(kImgCaller, workingDir, files, true, staged); code != kMediaOk) return code;
  // A target inside the working directory is never zipped into itself.
  std::erase_if(staged, [&](const StagedFile& f) { return inside(f.sourcePath, pxeDir); });
  std::map<std::string, const StagedFile*> byName;
  for (const StagedFile& f : staged) byName[f.mediumPath] = &f;

  // The zip is read once, in its own order; each file is compared with the
  // staged file of the same name. Those not found equal stay in `byName`.
  progress(kVerifyStep, 0);
  struct archive* in = archive_read_new();
  archive_read_support_format_zip(in);
  const std::string zip = (fs::path(pxeDir) / "tc.zip").string();
  const bool readable = archive_read_open_filename(in, zip.c_str(), kChunk) == ARCHIVE_OK;
  struct archive_entry* entry = nullptr;
  while (readable && archive_read_next_header(in, &entry) == ARCHIVE_OK) {
    const auto found = byName.find(archive_entry_pathname(entry));
    if (found == byName.end() || archive_entry_filetype(entry) != AE_IFREG) continue;
    const bool same = sameAsFile(found->second->sourcePath, [in](char* buffer, size_t size) {
      return static_cast<int64_t>(archive_read_data(in, buffer, size));
    });
    if (same) byName.erase(found);
    progress(kVerifyStep, static_cast<int>((staged.size() - byName.size()) * 100 / std::max<size_t>(staged.size(), 1)));
  }
  archive_read_free(in);
  for (const StagedFile& f : staged) {
    if (byName.count(f.mediumPath) == 0) continue;
    reportDifference(kImgCaller, f, firstDifference);
    return kCreateFailed;
  }
  log(kLogVerbose, std::string(kImgCaller) + " " + std::to_string(staged.size()) + " files match");
  return kMediaOk;
}

int BootableUSB::VerifyUSBKey(std::string& firstDifference) {
  log(kLogVerbose, std::string(kUsbCaller) + " " + volume);
  const std::string workingDir = workingDirectory;
  std::vector<StagedFile> staged;
  // mcopy stores what links point to.
  if (const int code = stagedFilesOf(kUsbCaller, workingDir, fileList, true, staged); code != kMediaOk) return code;
  const fs::path wd(workingDir);
  const std::vector<EfiFile> efi = efiBootFiles(wd);
  for (auto f = efi.rbegin(); f != efi.rend(); ++f) staged.insert(staged.begin(), {f->efiPath, f->source});
  const uint64_t start = volume.empty() ? 0 : ourPartitionStart(volume);
  if (start == 0) {
    log(kLogError, std::string(kUsbCaller) + " the volume " + volume + " holds no medium");
    firstDifference = volume;
    return kCreateFailed;
  }

  // Each file is copied out of the FAT file system with the tool that wrote
  // it, compared and deleted, so only one file at a time takes room.
  const Workspace workspace = openWorkspace();
  const std::string copy = (workspace.scratch / "readback.bin").string();
  const std::string fat = volume + "@@" + std::to_string(start * 512);
  std::error_code ec;
  int code = kMediaOk;
  progress(kVerifyStep, 0);
  for (size_t i = 0; i < staged.size() && code == kMediaOk; ++i) {
    fs::remove(copy, ec);
    bool same = platform::runProgram({"mcopy", "-n", "-i", fat, "::/" + staged[i].mediumPath, copy}, workspace.toolLog,
                                     kMtoolsEnv) == 0;
    std::ifstream in(copy, std::ios::binary);
    same = same && in && sameAsFile(staged[i].sourcePath, [&in](char* buffer, size_t size) {
             in.read(buffer, static_cast<std::streamsize>(size));
             return in.bad() ? int64_t{-1} : static_cast<int64_t>(in.gcount());
           });
    if (!same) {
      reportDifference(kUsbCaller, staged[i], firstDifference);
      code = kCreateFailed;
    } else {
      progress(kVerifyStep, static_cast<int>((i + 1) * 100 / staged.size()));
    }
  }
  fs::remove_all(workspace.scratch, ec);
  if (code == kMediaOk)
    log(kLogVerbose, std::string(kUsbCaller) + " " + std::to_string(staged.size()) + " files match");
  return code;
}

}  // namespace Velmake
