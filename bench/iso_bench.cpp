// ISO image benchmark: builds a 1 GiB working directory into a bootable ISO
// with the media-image library and times it against
// `xorriso -as mkisofs` making the same image from the same tree, once doing
// the library's whole work (making the EFI image, syncing the image) and
// once plain.
//
//   iso_bench [--mib M] [--files N] [--rounds R] [--dir DIR]
//
// Runs the three alternating for R rounds (default 3) and prints min and
// median of each and the ratios of the medians; the exit status is 0 when
// the library's median is at most 1.0 times xorriso's doing the same work
// and at most 1.2 times plain xorriso's.
#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "bench_stats.h"
#include "velmake.h"

namespace fs = std::filesystem;

extern char** environ;

namespace {

// The library's median time at most these times xorriso's: doing the same
// work (the EFI image made and the image synced), and plain.
constexpr double kTargetSame = 1.0;
constexpr double kTargetPlain = 1.2;

// Flushes the file system holding `dir`, so one run's writeback does not
// land in the next run's time.
void syncDirectory(const std::string& dir) {
  const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd < 0) return;
  syncfs(fd);
  close(fd);
}

bool syncFile(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return false;
  const bool ok = fsync(fd) == 0;
  close(fd);
  return ok;
}

int runQuiet(const std::vector<std::string>& argv) {
  std::vector<std::string> args(argv);
  std::vector<char*> cargs;
  for (auto& a : args) cargs.push_back(a.data());
  cargs.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", 0x1 /* O_WRONLY */, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", 0x1, 0);
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, cargs[0], &actions, nullptr, cargs.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The environment zip: a boot tree with a loader-sized UEFI file and a menu.
void writeEnvironmentZip(const std::string& path, const std::string& loader) {
  struct archive* out = archive_write_new();
  archive_write_set_format_zip(out);
  archive_write_open_filename(out, path.c_str());
  auto add = [&](const std::string& name, const std::string& data) {
    struct archive_entry* e = archive_entry_new();
    archive_entry_set_pathname(e, name.c_str());
    archive_entry_set_filetype(e, AE_IFREG);
    archive_entry_set_perm(e, 0644);
    archive_entry_set_size(e, static_cast<la_int64_t>(data.size()));
    archive_write_header(out, e);
    archive_write_data(out, data.data(), data.size());
    archive_entry_free(e);
  };
  add("linuxboot/EFI/BOOT/BOOTX64.EFI", loader);
  add("linuxboot/EFI/BOOT/grub.cfg", "menuentry x {\n  linux /boot/vmlinuz iommu=soft\n}\n");
  archive_write_close(out);
  archive_write_free(out);
}

class Logger : public XELO::BMLoggerIfc {
 public:
  void OutputLogEntry(int32_t level, std::string message) override {
    if (level == 0) std::cerr << message << "\n";
  }
  int32_t OutputLogEntryEx(int32_t level, std::string message) override {
    OutputLogEntry(level, message);
    if (level != 6) return 0;
    std::error_code ec;
    fs::remove_all("boot", ec);
    fs::rename("linuxboot", "boot", ec);
    return ec ? 100 : 0;
  }
};

double seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// A 16 MiB FAT image holding the loader at EFI/BOOT/BOOTX64.EFI, made with
// the tools the library uses.
bool makeEfiImage(const std::string& efi, const std::string& loader) {
  std::ofstream(efi, std::ios::trunc).close();
  fs::resize_file(efi, 16 * 1024 * 1024);
  if (runQuiet({"mformat", "-i", efi, "-T", "32768", "-h", "64", "-s", "32", "::"}) != 0 ||
      runQuiet({"mmd", "-i", efi, "::/EFI", "::/EFI/BOOT"}) != 0 ||
      runQuiet({"mcopy", "-i", efi, loader, "::/EFI/BOOT/BOOTX64.EFI"}) != 0) {
    std::cerr << "mtools failed\n";
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t mib = 1024;
  int files = 64;
  int rounds = 3;
  std::string base = fs::temp_directory_path().string();
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string opt = argv[i];
    if (opt == "--mib")
      mib = std::strtoull(argv[i + 1], nullptr, 10);
    else if (opt == "--files")
      files = std::atoi(argv[i + 1]);
    else if (opt == "--rounds")
      rounds = std::max(1, std::atoi(argv[i + 1]));
    else if (opt == "--dir")
      base = argv[i + 1];
    else {
      std::cerr << "unknown option " << opt << "\n";
      return 2;
    }
  }

  std::string pattern = base + "/iso-bench-XXXXXX";
  if (!mkdtemp(pattern.data())) {
    std::cerr << "cannot create a directory in " << base << "\n";
    return 2;
  }
  const fs::path root = pattern;
  const fs::path work = root / "work";
  fs::create_directories(work / "updates");

  // The tree: `files` payload files in a sub-directory, a descriptor beside
  // each, incompressible data.
  std::cout << "Writing " << mib << " MiB in " << files << " files to " << work << std::endl;
  std::mt19937_64 random(42);
  const uint64_t perFile = mib * 1024 * 1024 / static_cast<uint64_t>(files);
  std::vector<std::string> list = {".", ".."};
  std::vector<uint64_t> block(1 << 17);
  for (int f = 0; f < files; ++f) {
    const std::string name = "qor_fw_bench_" + std::to_string(f);
    std::ofstream out(work / "updates" / (name + ".bin"), std::ios::binary);
    for (uint64_t done = 0; done < perFile;) {
      for (auto& v : block) v = random();
      const uint64_t n = std::min<uint64_t>(perFile - done, block.size() * sizeof(uint64_t));
      out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(n));
      done += n;
    }
    std::ofstream(work / (name + ".xml")) << "<CIM>" << name << "</CIM>\n";
    list.push_back(name + ".xml");
  }
  list.push_back("updates");
  std::ofstream(work / "xelo.config") << "QOR_SYSTEM_MACHINETYPE=7X21\n";
  const std::string zip = (root / "qor_utl_boot_tools-141_anyos_x86-64-mid.zip").string();
  writeEnvironmentZip(zip, std::string(10 * 1024 * 1024, 'L'));

  setenv("MTOOLS_SKIP_CHECK", "1", 1);
  const std::string loader = (root / "BOOTX64.EFI").string();
  std::ofstream(loader) << std::string(10 * 1024 * 1024, 'L');
  const std::string efi = (root / "efi.img").string();
  const std::string ours = (root / "velmake.iso").string();
  const std::string theirs = (root / "xorriso.iso").string();

  std::vector<double> library, xorrisoSame, xorrisoPlain;
  int status = 0;
  for (int r = 0; r < rounds && status == 0; ++r) {
    for (int k = 0; k < 3 && status == 0; ++k) {
      const int which = (r + k) % 3;
      syncDirectory(root.string());
      const auto start = std::chrono::steady_clock::now();
      if (which == 0) {
        Logger logger;
        Velmake::BootableISO iso(logger);
        // When each step of the library begins, for the phase line.
        std::string step;
        std::string phases;
        iso.setProgress([&](const std::string& name, int) {
          if (name == step) return;
          step = name;
          char at[32];
          std::snprintf(at, sizeof at, " %.2f s: ", seconds(start));
          phases += at + name + ";";
        });
        if (iso.CreateISO(work.string(), ours, list, zip, 1) != 0) {
          std::cerr << "CreateISO failed\n";
          status = 2;
        }
        library.push_back(seconds(start));
        std::printf("  library steps:%s done %.2f s\n", phases.c_str(), library.back());
        iso.removeTempFilesAndDirs({"linuxboot"});
        fs::remove(ours);
        continue;
      }
      // xorriso doing the library's work: the EFI image made as the library
      // makes it, and the image synced to disk; or plain, with an EFI image
      // made beforehand and no sync.
      const bool same = which == 1;
      if (!same && !fs::exists(efi) && !makeEfiImage(efi, loader)) status = 2;
      if (same) fs::remove(efi);
      const auto timed = std::chrono::steady_clock::now();
      if (status == 0 && same && !makeEfiImage(efi, loader)) status = 2;
      if (status == 0 && runQuiet({"xorriso",
                                   "-as",
                                   "mkisofs",
                                   "-R",
                                   "-J",
                                   "-V",
                                   "XELO",
                                   "-iso-level",
                                   "3",
                                   "-append_partition",
                                   "2",
                                   "0xef",
                                   efi,
                                   "-appended_part_as_gpt",
                                   "-e",
                                   "--interval:appended_partition_2:all::",
                                   "-no-emul-boot",
                                   "-o",
                                   theirs,
                                   work.string()}) != 0) {
        std::cerr << "xorriso failed\n";
        status = 2;
      }
      if (status == 0 && same && !syncFile(theirs)) status = 2;
      (same ? xorrisoSame : xorrisoPlain).push_back(seconds(timed));
      fs::remove(theirs);
    }
    if (status == 0)
      std::printf("round %d: library %.2f s, xorriso (EFI image and sync) %.2f s, plain xorriso %.2f s\n", r + 1,
                  library.back(), xorrisoSame.empty() ? 0.0 : xorrisoSame.back(),
                  xorrisoPlain.empty() ? 0.0 : xorrisoPlain.back());
    std::fflush(stdout);
  }
  fs::remove_all(root);
  if (status != 0) return status;

  const Stats lib = statsOf(library), same = statsOf(xorrisoSame), plain = statsOf(xorrisoPlain);
  std::printf("\n%-36s %5s %8s %9s %14s\n", "", "runs", "min s", "median s", "library ratio");
  std::printf("%-36s %5zu %8.2f %9.2f\n", "library (CreateISO)", library.size(), lib.min, lib.median);
  std::printf("%-36s %5zu %8.2f %9.2f %9.2f (target at most %.2f)\n", "xorriso + EFI image + sync", xorrisoSame.size(),
              same.min, same.median, lib.median / same.median, kTargetSame);
  std::printf("%-36s %5zu %8.2f %9.2f %9.2f (target at most %.2f)\n", "xorriso plain", xorrisoPlain.size(), plain.min,
              plain.median, lib.median / plain.median, kTargetPlain);
  const bool ok = lib.median <= kTargetSame * same.median && lib.median <= kTargetPlain * plain.median;
  std::printf("%s\n", ok ? "all targets met" : "TARGETS MISSED");
  return ok ? 0 : 1;
}
