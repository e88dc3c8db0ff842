// Reading the system support list: which machine types each media tool
// supports, line by line as the list is written.
#pragma once
#include <map>
#include <string>
#include <vector>

namespace XELO {

// The working copy: <support dir>/Xelo/SYSTEM_SUPPORT_LIST_9.64.xml.
std::string workingSupportListPath();

// Machine type to the text of that tool's element, from the working list
// (first value per machine type kept). Until an update or rollback has made
// the working list, the list shipped beside the program is read when
// `orShipped` is set; empty when neither can be read.
std::map<std::string, std::string> readToolColumn(const std::string& toolKey, bool orShipped = true);

// Machine types of the working list that `toolKey` supports ("yes"), in
// ascending order.
std::vector<std::string> supportedMachineTypes(const std::string& toolKey);

// The VMware ESXi versions that systems of the working list name, in the
// order met, duplicates included.
std::vector<std::string> listVmwareUpdateVersions();

}  // namespace XELO
