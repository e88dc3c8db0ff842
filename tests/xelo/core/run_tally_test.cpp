// The run's tally (what was fetched, reused and reported), the size and
// duration texts of the closing summary, and the JSON string escaper of the
// progress events.
#include "core/run_tally.h"

#include <gtest/gtest.h>

#include "core/progress_json.h"

namespace XELO {
namespace {

TEST(RunTally, FetchedFilesAndPresentRestOfAnUpdateAreCountedOnce) {
  RunTally t;
  t.updateKb = {{"fw_a", 300}, {"fw_b", 50}, {"fw_c", 70}};
  // fw_a: one of its files fetched (100 KB), the rest already there.
  t.fileKb["fw_a:a1.bin"] = 100;
  t.fileFetched("fw_a:a1.bin");
  t.fileFetched("fw_a:a1.bin");  // a repeated message adds nothing
  t.updateSettled("fw_a");
  // fw_b: every file present.
  t.updateSettled("fw_b");
  // fw_c: fetched whole.
  t.fileKb["fw_c:c.bin"] = 70;
  t.fileFetched("fw_c:c.bin");
  t.updateSettled("fw_c");
  t.updateSettled("unknown");
  t.updateSettled("fw_c");  // found again by a later pass of the same run
  EXPECT_EQ(t.downloadedKb, 170);
  EXPECT_EQ(t.reusedKb, 250);
}

TEST(RunTally, ReportTotalsSplitPresentAndMissingUpdates) {
  RunTally t;
  t.updateKb = {{"a", 10}, {"b", 20}, {"c", 40}};
  t.reported("a", true);
  t.reported("b", true);
  t.reported("b", false);  // a later file of b is missing
  t.reported("c", false);
  t.reported("a", true);  // told again in another pass
  EXPECT_EQ(t.reportOrder, (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(t.reportPresentKb(), 10);
  EXPECT_EQ(t.reportMissingKb(), 60);
}

TEST(SummaryTexts, SizesAndDurations) {
  const std::pair<long long, const char*> sizes[] = {{-5, "0 B"},           {0, "0 B"},           {1023, "1023 B"},
                                                     {1024, "1.0 KB"},      {1536, "1.5 KB"},     {5LL << 20, "5.0 MB"},
                                                     {3LL << 30, "3.0 GB"}, {2LL << 40, "2.0 TB"}};
  for (const auto& [bytes, text] : sizes) EXPECT_EQ(sizeText(bytes), text) << bytes;
  const std::pair<long long, const char*> durations[] = {{-1, "0 s"},        {0, "0 s"},          {59, "59 s"},
                                                         {60, "1 min 00 s"}, {185, "3 min 05 s"}, {3720, "1 h 02 min"}};
  for (const auto& [seconds, text] : durations) EXPECT_EQ(durationText(seconds), text) << seconds;
}

TEST(TerminalProgress, DownloadLineShowsPercentRateAndTimeLeft) {
  struct Case {
    long long kb, totalKb;
    double seconds;
    const char* text;
  };
  const Case cases[] = {
      {0, 0, 0, ""},                                // size unknown
      {0, 2048, 0, " 0%"},                          // nothing yet: no rate
      {512, 2048, 0, " 25%"},                       // no time passed
      {1024, 2048, 2, " 50% 512.0 KB/s 2 s left"},  // half in 2 s
      {2048, 2048, 4, " 100% 512.0 KB/s 0 s left"},
      {100, 60100, 1, " 0% 100.0 KB/s 10 min 00 s left"},
  };
  for (const auto& c : cases) EXPECT_EQ(downloadRateText(c.kb, c.totalKb, c.seconds), c.text) << c.kb;
}

TEST(TerminalProgress, EachMediaStepRewritesOneLine) {
  struct Case {
    const char* lastStep;
    int lastPercent;
    const char* step;
    int percent;
    const char* text;
  };
  const Case cases[] = {
      {"", -1, "Writing", 0, "\r Writing... 0%"},
      {"Writing", 0, "Writing", 0, ""},  // nothing changed
      {"Writing", 0, "Writing", 7, "\r Writing... 7%"},
      {"Writing", 99, "Writing", 100, "\r Writing... 100%\n"},
      {"Unpacking", 100, "Writing", 0, "\r Writing... 0%"},   // the last step ended its line
      {"Unpacking", 40, "Writing", 0, "\n\r Writing... 0%"},  // a step left unfinished keeps its line
  };
  for (const auto& c : cases)
    EXPECT_EQ(stepProgressText(c.lastStep, c.lastPercent, c.step, c.percent), c.text) << c.step << c.percent;
}

TEST(ProgressJson, StringsAreEscaped) {
  const std::pair<std::string, const char*> cases[] = {
      {"plain", "\"plain\""},
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {"line\nfeed\r\t", "\"line\\nfeed\\r\\t\""},
      {std::string("nul\0x\x1f", 6), "\"nul\\u0000x\\u001f\""},
      {"caf\xc3\xa9", "\"caf\xc3\xa9\""},
  };
  for (const auto& [text, json] : cases) EXPECT_EQ(jsonString(text), json);
}

}  // namespace
}  // namespace XELO
