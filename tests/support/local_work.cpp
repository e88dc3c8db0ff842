#include "local_work.h"

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "../xelo/metadata/descriptor_builder.h"
#include "host/host.h"
#include "test_support.h"

namespace xelotest {

namespace fs = std::filesystem;

bool writeBootEnvironmentZip(const std::string& scratch, const std::string& zipPath,
                             const BootEnvironment& environment) {
  const std::string src = scratch + "/env";
  fs::create_directories(src + "/linuxboot/EFI/BOOT");
  writeFile(src + "/linuxboot/EFI/BOOT/BOOTX64.EFI", environment.loader);
  writeFile(src + "/linuxboot/EFI/BOOT/grub.cfg", "menuentry \"Boot environment\" {\n  linux /boot/vmlinuz " +
                                                      environment.kernelArgs + "\n  initrd /boot/initrd.gz\n}\n");
  writeFile(src + "/linuxboot/vmlinuz", environment.kernel);
  writeFile(src + "/linuxboot/initrd.gz", environment.initrd);
  for (const char* tool : {"menu", "novpi", "kyt", "dndeploy"}) {
    fs::create_directories(src + "/linuxboot/" + tool);
    writeFile(src + "/linuxboot/" + tool + "/" + tool + ".sh", tool);
  }
  std::vector<std::string> argv{"zip", "-qr", zipPath, "linuxboot"};
  if (environment.withKyt) {
    fs::create_directories(src + "/linuxbootkyt/kyt");
    writeFile(src + "/linuxbootkyt/kyt/kyt.cfg", "diagnostics");
    argv.push_back("linuxbootkyt");
  }
  ScopedCwd inSource(src);
  const int status = XELO::runToFile("", argv);
  EXPECT_EQ(status, 0) << "zip of the boot environment failed";
  return status == 0;
}

void addLocalUpdate(const std::string& work, const std::string& id, const std::string& machineType,
                    const std::string& payload) {
  writeFile(work + "/" + id + ".xml", UpdateDescriptor(id + ".xml", id, {"Model [" + machineType + "]"}, {"linux"},
                                                       id + ".bin", id + ".txt")
                                          .text());
  writeFile(work + "/" + id + ".bin", payload);
  writeFile(work + "/" + id + ".txt", "readme of " + id);
}

bool prepareLocalWork(const std::string& scratch, const std::string& work, const std::string& id,
                      const std::string& payload, const BootEnvironment& environment) {
  fs::create_directories(work + "/novpi");
  if (!writeBootEnvironmentZip(scratch, work + "/" + kMidZip, environment)) return false;
  writeFile(work + "/novpi/" + kNovpiBinary, "installer");
  addLocalUpdate(work, id, "7101", payload);
  return true;
}

std::map<std::string, std::string> isoEntries(const std::string& iso, bool contents) {
  std::map<std::string, std::string> entries;
  struct archive* a = archive_read_new();
  archive_read_support_format_all(a);
  if (archive_read_open_filename(a, iso.c_str(), 65536) != ARCHIVE_OK) {
    ADD_FAILURE() << "cannot read " << iso << ": " << archive_error_string(a);
    archive_read_free(a);
    return entries;
  }
  struct archive_entry* entry = nullptr;
  while (archive_read_next_header(a, &entry) == ARCHIVE_OK) {
    std::string path = archive_entry_pathname(entry);
    if (path.rfind("./", 0) == 0) path.erase(0, 2);
    if (!path.empty() && path.back() == '/') path.pop_back();
    std::string content;
    if (contents && archive_entry_filetype(entry) == AE_IFREG) {
      char buffer[4096];
      la_ssize_t n = 0;
      while ((n = archive_read_data(a, buffer, sizeof buffer)) > 0) content.append(buffer, static_cast<size_t>(n));
    }
    entries[path] = content;
  }
  archive_read_free(a);
  return entries;
}

}  // namespace xelotest
