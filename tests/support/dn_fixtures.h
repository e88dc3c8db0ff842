// Deployment-media fixtures: a deployment kit zip whose creator is a small
// shell script of the tests, a stand-in for the Windows deployment toolkit
// installation, and repository content for deployment runs.
//
// The creator script ("CreateDunvar.exe" in the kit) takes --iso=PATH and
// --arch=CODE. It prints what it was given (into the creator log), writes
// the Windows PE x64 scenario log into the toolkit, and exits with the
// status in the environment variable DN_TEST_CREATOR_STATUS (default 0).
// Only on status 0 does it write the image: a text file whose first line is
// "DUNVAR IMAGE arch=CODE", followed by one line "staged:NAME" for each
// file found in the toolkit's update directory.
//
// The zip helpers are inline so that unit tests, which do not link the
// repository fixtures, can build kits too.
#pragma once
#include <archive.h>
#include <archive_entry.h>

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"

namespace xelotest {

class TestRepository;

inline constexpr const char* kDnKitPackage = "qor_utl_dnxelo_9.63_windows_32-64";
inline constexpr const char* kDnKitZip = "qor_utl_dnxelo_9.63_windows_32-64.zip";
inline constexpr const char* kDnNovpiWinPackage = "qor_utl_novpi_9.63_winsrvr_32-64";
inline constexpr const char* kDnNovpiInstaller = "novpi963.exe";
inline constexpr const char* kDnCreatorStatus = "DN_TEST_CREATOR_STATUS";
inline constexpr const char* kDnCreatorEntry = "dndeploy/DNTKWinPE/Data/Dunvar/CreateDunvar.exe";

inline std::string dnCreatorScript() {
  return R"(#!/bin/sh
iso=
arch=
for arg in "$@"; do
  case "$arg" in
    --iso=*) iso=${arg#--iso=} ;;
    --arch=*) arch=${arg#--arch=} ;;
  esac
done
echo "creator: iso=$iso arch=$arch"
scenario=../../../WinPE_ScenarioOutput/Local_DunvarX64Scenario
mkdir -p "$scenario" && echo "Windows PE x64 scenario, arch $arch" > "$scenario/WinPE_x64.log"
status=${DN_TEST_CREATOR_STATUS:-0}
if [ "$status" = 0 ]; then
  {
    echo "DUNVAR IMAGE arch=$arch"
    for f in ../../../updates/novp/*; do
      if [ -e "$f" ]; then echo "staged:${f##*/}"; fi
    done
  } > "$iso" || exit 4
fi
exit "$status"
)";
}

// A zip archive holding `entries` (name, content), each a regular file
// with mode 0644: the program must make the creator executable itself.
inline std::string zipBytes(const std::vector<std::pair<std::string, std::string>>& entries) {
  std::size_t capacity = 64 * 1024;
  for (const auto& entry : entries) capacity += entry.first.size() * 2 + entry.second.size() + 512;
  std::string buffer(capacity, '\0');
  std::size_t used = 0;
  std::unique_ptr<archive, int (*)(archive*)> writer(archive_write_new(), archive_write_free);
  if (archive_write_set_format_zip(writer.get()) != ARCHIVE_OK ||
      archive_write_open_memory(writer.get(), buffer.data(), buffer.size(), &used) != ARCHIVE_OK)
    throw std::runtime_error("cannot start a zip archive");
  for (const auto& [name, content] : entries) {
    std::unique_ptr<archive_entry, void (*)(archive_entry*)> entry(archive_entry_new(), archive_entry_free);
    archive_entry_set_pathname(entry.get(), name.c_str());
    archive_entry_set_filetype(entry.get(), AE_IFREG);
    archive_entry_set_perm(entry.get(), 0644);
    archive_entry_set_size(entry.get(), static_cast<la_int64_t>(content.size()));
    if (archive_write_header(writer.get(), entry.get()) != ARCHIVE_OK ||
        archive_write_data(writer.get(), content.data(), content.size()) != static_cast<la_ssize_t>(content.size()))
      throw std::runtime_error("cannot write " + name + " into a zip archive");
  }
  if (archive_write_close(writer.get()) != ARCHIVE_OK) throw std::runtime_error("cannot finish a zip archive");
  buffer.resize(used);
  return buffer;
}

// The deployment kit: the creator script and a readme beside it.
inline std::string deploymentKitZipBytes() {
  return zipBytes({{kDnCreatorEntry, dnCreatorScript()},
                   {"dndeploy/DNTKWinPE/Data/Dunvar/readme.txt", "Deployment kit of the tests\n"}});
}

// writeFile, creating the missing parent directories first.
inline void writeFileWithParents(const std::string& path, const std::string& content) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  writeFile(path, content);
}

// A directory that passes for an installed Windows deployment toolkit:
// `dir`/Tools/PETools/copype.cmd. Returns `dir`.
inline std::string makeWaikInstallation(const std::string& dir) {
  writeFileWithParents(dir + "/Tools/PETools/copype.cmd", "@echo off\r\n");
  return dir;
}

// Repository content for deployment runs, for machine type 7101:
//   an update pack holding a firmware update for every platform
//   (kStdBmcNew), a Windows driver (kStdRaidWinDriver) and a Linux driver
//   (kStdNicDriver);
//   the deployment kit package kDnKitPackage (payload kDnKitZip, the kit of
//   deploymentKitZipBytes());
//   the Windows NOVPI package kDnNovpiWinPackage, whose payload is the
//   installer kDnNovpiInstaller.
void addDeploymentContent(TestRepository& repo);

}  // namespace xelotest
