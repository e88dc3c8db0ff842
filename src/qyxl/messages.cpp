#include <map>

#include "internal.h"
#include "qyxl.h"

namespace qyxl {

namespace {

// Texts of the message keys. Each is distinct and none contains another, so
// that a reader of an error text can tell the failures apart.
const std::map<std::string, std::string>& messageTable() {
  static const std::map<std::string, std::string> table{
      {"createDirFailed", "The download directory could not be created"},
      {"Cmn.DownloadFileError", "Error downloading the file"},
      {"Cmn.DownloadTimeout", "The download timed out"},
      {"Upd.UpdateNotFound", "The requested update is not in the repository"},
      {"Err.ConnectivityPath", "Error preparing connectivity path"},
      {"Err.WebServiceCall", "Error preparing web service call"},
  };
  return table;
}

const char* keyOf(QYXMessage::Id id) {
  switch (id) {
    case QYXMessage::CreateDirFailed: return "createDirFailed";
    case QYXMessage::CmnDownloadFileError: return "Cmn.DownloadFileError";
    case QYXMessage::CmnDownloadTimeout: return "Cmn.DownloadTimeout";
    case QYXMessage::UpdUpdateNotFound: return "Upd.UpdateNotFound";
    case QYXMessage::ConnectivityPath: return "Err.ConnectivityPath";
    case QYXMessage::WebServiceCall: return "Err.WebServiceCall";
    case QYXMessage::Unknown: break;
  }
  return "";
}

std::string composeWhat(const QYXMessage& message, const std::string& detail) {
  if (detail.empty()) return message.getText();
  if (message.getText().empty()) return detail;
  return message.getText() + ": " + detail;
}

}  // namespace

std::string QYXMessage::getString(const std::string& key) {
  auto it = messageTable().find(key);
  return it == messageTable().end() ? std::string() : it->second;
}

QYXException::QYXException(QYXMessage m, const std::string& detail)
    : std::runtime_error(composeWhat(m, detail)), message(std::move(m)) {}

namespace detail {

QYXException error(QYXMessage::Id id, const std::string& detail) {
  return QYXException(QYXMessage(id, QYXMessage::getString(keyOf(id))), detail);
}

}  // namespace detail

}  // namespace qyxl
