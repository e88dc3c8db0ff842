// Runs one acquisition in download mode and prints every report, one line
// each. The engine tests start it as a separate process so that they can
// kill it while a download is in flight.
//
//   acquire_probe <data dir> <download dir> <machine type>
#include <filesystem>
#include <iostream>

#include "downloadmanager.h"

namespace {

class PrintingCallback : public QYXAcquistion::AcquireCallbackIfc {
 public:
  void sendInfo(int id, std::string text, int code) override {
    std::cout << id << " [" << code << "] " << text << std::endl;
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: acquire_probe <data dir> <download dir> <machine type>\n";
    return 2;
  }
  std::error_code ec;
  std::filesystem::current_path(argv[1], ec);
  if (ec) return 2;
  QYXAcquistion::DownloadManager manager;
  manager.setDownloadPath(argv[2]);
  manager.setMachineTypes({argv[3]});
  manager.setOperatingSystems({{207, QYXAcquistion::ARCH_X64}});
  PrintingCallback callback;
  return manager.startDownload(callback);
}
