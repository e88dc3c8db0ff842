// Helpers shared by the client's source files.
#pragma once
#include <string>

#include "qyxl.h"

namespace qyxl::detail {

// The exception for a message id, its text taken from the message table.
QYXException error(QYXMessage::Id id, const std::string& detail);

}  // namespace qyxl::detail
