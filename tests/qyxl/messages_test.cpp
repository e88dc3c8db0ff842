// Message texts and ids: every failure has a text of its own that contains
// no other, and an exception carries the id it was made from.
#include <gtest/gtest.h>

#include "qyxl.h"

namespace {

TEST(Messages, TextsArePresentAndDistinct) {
  const std::vector<std::string> keys{"createDirFailed", "Cmn.DownloadFileError", "Cmn.DownloadTimeout",
                                      "Upd.UpdateNotFound"};
  std::vector<std::string> texts;
  for (const auto& k : keys) texts.push_back(qyxl::QYXMessage::getString(k));
  texts.push_back("Error preparing connectivity path");
  texts.push_back("Error preparing web service call");
  for (std::size_t i = 0; i < texts.size(); ++i) {
    ASSERT_FALSE(texts[i].empty()) << i;
    for (std::size_t j = 0; j < texts.size(); ++j) {
      if (i != j) {
        EXPECT_EQ(texts[i].find(texts[j]), std::string::npos) << texts[i] << " / " << texts[j];
      }
    }
  }
  EXPECT_EQ(qyxl::QYXMessage::getString("No.Such.Key"), "");
}

TEST(Messages, ExceptionCarriesIdTextAndDetail) {
  qyxl::QYXException e(
      qyxl::QYXMessage(qyxl::QYXMessage::CmnDownloadFileError, qyxl::QYXMessage::getString("Cmn.DownloadFileError")),
      "x.bin: HTTP status 404");
  EXPECT_EQ(e.getIdAsInt(), qyxl::QYXMessage::CmnDownloadFileError);
  EXPECT_EQ(e.getId(), qyxl::QYXMessage::CmnDownloadFileError);
  EXPECT_EQ(std::string(e.what()), qyxl::QYXMessage::getString("Cmn.DownloadFileError") + ": x.bin: HTTP status 404");
  EXPECT_EQ(e.getMessage().getText(), qyxl::QYXMessage::getString("Cmn.DownloadFileError"));
}

}  // namespace
