// The codes a run ends with. Each is both the process exit status and the
// code of the result record the graphical front end reads, so every number
// here is fixed: front ends and scripts compare against it.
#pragma once

namespace XELO::Exit {

// Unscoped on purpose: a code is an int wherever a status is passed on.
enum Code : int {
  Success = 0,
  FormatQuestion = 10,            // the record of the question whether to format a USB key
  Initializing = 20,              // a step is under way: the first record of every run, burning
  NewerVersionAvailable = 30,
  NoNewerVersion = 31,
  OptionsInvalid = 101,
  NoSpaceLeft = 102,
  SupportListFailed = 110,        // a support-list action or its display failed
  FtpDownloadFailed = 120,
  DownloadFailed = 200,
  CreateDirectoryFailed = 201,
  NoApplicableUpdate = 202,
  UpdateIdNotFound = 203,
  RepositoryUnrecoverable = 204,
  InvalidMachineType = 205,
  SelfFixIdMissing = 209,
  EnvironmentIncomplete = 210,    // a tool, diagnostics or ESXi package is missing
  FileNotFound = 211,
  CreateFileFailed = 212,
  UnzipFailed = 213,
  ZipExtensionMissing = 214,
  NoNovpiUpdates = 215,
  ModeChangeFailed = 216,
  NoUpdateFilesAfterFilter = 217,
  EnvironmentInvalid = 218,       // the boot environment zip is missing or unusable
  IsoExtensionMissing = 220,
  IsoBuildFailed = 221,
  BurnFailed = 222,
  NoSpaceForIso = 223,
  UsbVolumeNameFailed = 230,
  RawCopyFailed = 231,
  UsbKeyNotInitialized = 232,
  NoDiscInDrive = 234,
  DiscNotRewritable = 235,
  DeploymentKitMissing = 241,
  NoSpaceForDeploymentWork = 242,
  NoSpaceForDeploymentIso = 243,
  DeploymentInitFailed = 244,
  ZipFailed = 245,
  NoSpaceForImage = 246,
  VlanArgumentMissing = 247,
  Unmapped = 255,                 // also the record of a run without super-user rights
};

// A run cancelled by a signal ends with 128 + the signal number.
inline constexpr int kCancelledBase = 128;

}  // namespace XELO::Exit

namespace XELO::Step {

// How far media creation got, written with each record (0 outside media
// creation), so that a front end can show the step a run is in.
enum Serial : int {
  None = 0,
  Acquire = 1,
  Tools = 2,
  Extract = 3,
  Copy = 4,
  Remove = 5,
  Create = 6,
  Burn = 7,
  Burned = 8,
};

}  // namespace XELO::Step
