// Removable USB disks a key may be written to, from lsblk's JSON listing.
#pragma once
#include <string>
#include <vector>

namespace XELO::launchpad {

struct UsbDevice {
  std::string path;   // "/dev/sdb"
  std::string model;  // vendor and model as the kernel names them
  long long bytes = 0;
};

// Whole disks attached by USB (or marked removable or hot-pluggable), never
// a disk any of whose partitions holds /, /boot, /boot/efi, /usr or swap.
// Output of: lsblk -J -b -o NAME,PATH,TYPE,TRAN,RM,HOTPLUG,SIZE,VENDOR,MODEL,MOUNTPOINTS
// Text that is not such a listing gives no devices.
std::vector<UsbDevice> usbDevicesFromLsblk(const std::string& json);

// Runs lsblk and returns the devices it lists.
std::vector<UsbDevice> listUsbDevices();

}  // namespace XELO::launchpad
