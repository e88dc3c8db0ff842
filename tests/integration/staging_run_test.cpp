// A run that builds a medium from a prepared working directory, without
// acquiring anything: what staging puts on the medium and how the boot tree
// comes out.
#include <archive.h>
#include <archive_entry.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "../xelo/metadata/descriptor_builder.h"
#include "host/host.h"
#include "test_support.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using xelotest::exists;
using xelotest::ProgramSandbox;
using xelotest::readFile;
using xelotest::writeFile;

namespace fs = std::filesystem;

const std::string kMidZip = "qor_utl_boot_tools-141_anyos_x86-64-mid.zip";
const std::string kNovpiBinary = "qor_utl_novpi_9.63_anyos_x86-64.bin";

// A boot environment zip with the documented layout, made with the zip program.
void writeEnvironmentZip(const std::string& scratch, const std::string& zipPath) {
  const std::string src = scratch + "/env";
  fs::create_directories(src + "/linuxboot/EFI/BOOT");
  writeFile(src + "/linuxboot/EFI/BOOT/BOOTX64.EFI", "loader");
  writeFile(src + "/linuxboot/EFI/BOOT/grub.cfg",
            "menuentry \"Boot environment\" {\n  linux /boot/vmlinuz iommu=soft quiet\n  initrd /boot/initrd.gz\n}\n");
  writeFile(src + "/linuxboot/vmlinuz", "kernel");
  writeFile(src + "/linuxboot/initrd.gz", "initrd");
  for (const char* tool : {"menu", "novpi", "kyt", "dndeploy"}) {
    fs::create_directories(src + "/linuxboot/" + tool);
    writeFile(src + "/linuxboot/" + tool + "/" + tool + ".sh", tool);
  }
  fs::create_directories(src + "/linuxbootkyt/kyt");
  writeFile(src + "/linuxbootkyt/kyt/kyt.cfg", "diagnostics");
  const std::string cwd = fs::current_path().string();
  fs::current_path(src);
  const int status = XELO::runToFile("", {"zip", "-qr", zipPath, "linuxboot", "linuxbootkyt"});
  fs::current_path(cwd);
  ASSERT_EQ(status, 0);
}

void addUpdate(const std::string& work, const std::string& id, const std::string& machineType) {
  writeFile(work + "/" + id + ".xml",
            xelotest::UpdateDescriptor(id + ".xml", id, {"Model [" + machineType + "]"}, {"linux"}, id + ".bin",
                                       id + ".txt")
                .text());
  writeFile(work + "/" + id + ".bin", "payload of " + id);
  writeFile(work + "/" + id + ".txt", "readme of " + id);
}

// Path -> content (empty for directories) of every entry of an ISO image.
std::map<std::string, std::string> imageEntries(const std::string& iso) {
  std::map<std::string, std::string> entries;
  struct archive* a = archive_read_new();
  archive_read_support_format_iso9660(a);
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
    if (archive_entry_filetype(entry) == AE_IFREG) {
      char buffer[4096];
      la_ssize_t n = 0;
      while ((n = archive_read_data(a, buffer, sizeof buffer)) > 0) content.append(buffer, static_cast<size_t>(n));
    }
    entries[path] = content;
  }
  archive_read_free(a);
  return entries;
}

TEST(StagingRun, NoAcquireIsoCarriesTheStagedFilesAndTheEditedBootTree) {
  ProgramSandbox box;
  const std::string work = box.scratch() + "/w";
  fs::create_directories(work + "/novpi");
  writeEnvironmentZip(box.scratch(), work + "/" + kMidZip);
  writeFile(work + "/novpi/" + kNovpiBinary, "installer");
  writeFile(work + "/novpi/novpi_windows.exe", "for another system");
  addUpdate(work, "qor_fw_a_7101", "7101");
  addUpdate(work, "qor_fw_c_7102", "7102");
  writeFile(work + "/notes.txt", "notes");
  writeFile(work + "/earlier.iso", "an image made before");

  const std::string args = "console=ttyS0,19200 console=tty1";
  auto r = box.run("xelo", {"--local=" + work, "-m", "7101", "--no-acquire", "--iso=out.iso", "--kernel-args=" + args});
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_THAT(r.output, HasSubstr("The bootable media was created successfully!"));

  const auto logs = box.logFiles();
  ASSERT_EQ(logs.size(), 1u);
  const std::string log = readFile(box.supportDir() + "/" + logs.front());
  for (const std::string name : {"novpi/" + kNovpiBinary, std::string("qor_fw_a_7101.xml"),
                                 std::string("qor_fw_a_7101.bin"), std::string("qor_fw_a_7101.txt"),
                                 std::string("notes.txt")})
    EXPECT_THAT(log, HasSubstr("main():: to push:" + name + "\n")) << name;
  for (const std::string name : {std::string("qor_fw_c_7102"), std::string("earlier.iso"), kMidZip,
                                 std::string("novpi_windows.exe"), std::string(".\n"), std::string("xelo.config")})
    EXPECT_THAT(log, Not(HasSubstr("main():: to push:" + name))) << name;

  // The boot tree stays in the working directory; the unpacked environment
  // does not.
  EXPECT_FALSE(exists(work + "/linuxboot"));
  EXPECT_FALSE(exists(work + "/boot/kyt"));
  EXPECT_FALSE(exists(work + "/boot/dndeploy"));
  EXPECT_TRUE(exists(work + "/boot/menu/bundle_SYSTEM_SUPPORT_LIST_9.64.xml"));
  EXPECT_THAT(readFile(work + "/boot/EFI/BOOT/grub.cfg"),
              HasSubstr("  linux /boot/vmlinuz iommu=soft quiet boot_src=3 " + args + "\n"));
  EXPECT_THAT(readFile(work + "/xelo.config"), HasSubstr("QOR_SYSTEM_MT_NOVPI="));

  const auto medium = imageEntries(work + "/out.iso");
  EXPECT_EQ(medium.count("xelo.config"), 1u);
  EXPECT_EQ(medium.count("novpi/" + kNovpiBinary), 1u);
  EXPECT_EQ(medium.count("qor_fw_a_7101.bin"), 1u);
  EXPECT_EQ(medium.count("boot/novpi/novpi.sh"), 1u);
  EXPECT_EQ(medium.count("boot/menu/bundle_SYSTEM_SUPPORT_LIST_9.64.xml"), 1u);
  EXPECT_THAT(medium.count("boot/EFI/BOOT/grub.cfg") ? medium.at("boot/EFI/BOOT/grub.cfg") : "",
              HasSubstr("boot_src=3 " + args));
  for (const std::string name : {std::string("qor_fw_c_7102.bin"), std::string("earlier.iso"), kMidZip,
                                 std::string("novpi/novpi_windows.exe"), std::string("linuxboot"), std::string("boot/kyt")})
    EXPECT_EQ(medium.count(name), 0u) << name;
}

}  // namespace
