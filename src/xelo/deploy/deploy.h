// Deployment (Dunvar) media: a Windows PE based image made by the deployment
// kit's own creator program. The kit package (the DNXelo zip) is acquired or
// found in the working directory, unpacked into a toolkit directory there,
// filled with the Windows updates and the Windows NOVPI installer, and the
// creator is run from it. A CD/DVD run burns the creator's image afterwards.
//
// The creator needs the Windows deployment toolkit on the host
// (isWaikInstalled in host/host.h).
#pragma once
#include <set>
#include <string>
#include <vector>

#include "acquisition/callbacks.h"
#include "core/codes.h"
#include "core/options.h"
#include "downloadmanager.h"
#include "host/host.h"

namespace XELO {

class XeloDN {
 public:
  // Package and program names.
  static constexpr const char* kKitZipPrefix = "qor_utl_dnxelo_";
  static constexpr const char* kKitZipSuffix = "_windows_32-64.zip";
  static constexpr const char* kCreatorProgram = "CreateDunvar.exe";
  static constexpr const char* kCreatorLogName = "xelo_dn.dat";

  // Works on `options` (the run's options). The working directory is taken
  // as an absolute path now, so that the directory changes of the job never
  // move it.
  explicit XeloDN(Options& options);

  // Acquires the Windows updates and the Windows NOVPI (when the tool list
  // holds "novpi") and the deployment kit package. 0 or an error code,
  // already printed, logged and recorded.
  int acquire(const std::string& isoPath);

  // The Windows update pass for the selected machine types and its
  // requisites; the descriptors it fetched are added to `xmlFilesOut`.
  // Success, NoApplicableUpdate or an error code.
  int downloadUpdates(const QYXAcquistion::HTTPProxyInfo& proxy, XeloAcquireCallback4XML& xmlCallback,
                      std::set<std::string>& xmlFilesOut);

  // Chooses the kit zip in the kit package directory: Success,
  // EnvironmentIncomplete (none) or ZipExtensionMissing
  // (not a ".zip"); `message` holds the text of a failure.
  int isValidDNXelo(std::string& message);

  // The kit zip with the highest major version in the kit package
  // directory (the first listed among equals); empty when there is none.
  std::string findDeploymentKitZip();

  // The Windows NOVPI installer with the highest version in the NOVPI
  // directory, followed by the readme, change history and descriptor of the
  // package that carries it. Empty when there is no installer.
  std::vector<std::string> findNovpiWindowsFiles();

  // Builds the deployment image at `isoPath`: acquisition (or the kit
  // check), staging, the creator, and the removal of the toolkit. An error
  // code, already printed, logged and recorded.
  int createDNISO(const std::string& isoPath);

  // Unpacks the kit into the toolkit directory and copies the updates and
  // the Windows NOVPI into it. Leaves the working directory as the current
  // directory. 0 or an error code.
  int stageDeploymentKit();

  // Copies the outside tools the job runs from the program directory into
  // the working directory. Success or FileNotFound.
  int copyDeploymentTools();

  // Runs the creator in the kit directory for `isoPath`; its output is
  // appended to the creator log. 0 or an error code.
  int CreateDN(const std::string& isoPath);

  // Appends the header of a new creation to the creator log.
  void startDnLog();

  // Builds a temporary image in the working directory and burns it to the
  // disc in the run's CD/DVD drive. An error code, already reported.
  int BurnDNISO();

  // Keeps the creator's Windows PE logs in the support directory and
  // removes the toolkit directory, the copied tools and the temporary image.
  void removeTempFiles();

  // Creator exit status to error code.
  static int mapCreatorExitCode(int status);
  // Architecture argument of the creator: "1" for x86 and x64, "2" for x86
  // alone, "3" without x86.
  static std::string architectureCode(const std::vector<std::string>& deployArch);
  // "tmpDN" + year + month + day (no leading zeros) + ".iso".
  static std::string temporaryIsoName(const LocalTime& date);
  // <support directory>/xelo_dn.dat
  static std::string dnLogPath();

  std::string toolkitDirectory() const;     // <work>/wtoolkit
  std::string kitDirectory() const;         // the creator's directory in the toolkit
  std::string updateDirectory() const;      // <toolkit>/dndeploy/updates/novp
  std::string kitPackageDirectory() const;  // <work>/dunvar
  std::string novpiDirectory() const;       // <work>/novpi

  const std::string& getDeploymentKitZip() const { return deploymentKitZip; }

 private:
  // `forBurning`: the image is the temporary one of a CD/DVD run, which must
  // outlive this step.
  int createDNISO(const std::string& isoPath, bool forBurning);
  // Status record (Initializing) for the front end; later failures name its step.
  void reportStatus(const std::string& text, Step::Serial step);
  // Logs `logPrefix` + message at level Error, prints the message and
  // records it with the current step.
  void reportFailure(int code, const std::string& message, const std::string& logPrefix);
  // Copies one file into the update directory; a descriptor without its
  // closing "</CIM>" line is left out.
  void pushFile(const std::string& sourceDir, const std::string& name);

  Options& options;
  std::string workDir;
  std::string deploymentKitZip;
  std::string tempIsoName;
  Step::Serial step = Step::None;
};

}  // namespace XELO
