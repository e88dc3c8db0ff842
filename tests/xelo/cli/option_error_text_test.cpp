// Refused command lines whose words look like the placeholders of the
// parser's error texts. Found by fuzzing: "--%original_token%" made the
// parser rebuild its error text for ever, with memory growing all the time.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <iostream>
#include <sstream>

#include "cli/config.h"
#include "cli/options.h"

namespace XELO {
namespace {

struct Refusal {
  int rc = 0;
  std::string errorText;
  std::string console;
};

Refusal parseAlone(std::vector<std::string> args) {
  args.insert(args.begin(), "xelo");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  Options options;
  initOptionKeys(options);
  Refusal r;
  std::ostringstream out;
  auto* old = std::cout.rdbuf(out.rdbuf());
  r.rc = parseOptions(argv.data(), r.errorText, options, static_cast<int>(args.size()));
  std::cout.rdbuf(old);
  r.console = out.str();
  return r;
}

// The parse on a thread of its own: one that does not end within the limit
// fails the test at once instead of holding the whole suite.
Refusal parseWithin(const std::vector<std::string>& args) {
  auto pending = std::async(std::launch::async, [args] { return parseAlone(args); });
  if (pending.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
    std::cerr << "the parse of a refused command line did not end" << std::endl;
    std::_Exit(1);
  }
  return pending.get();
}

TEST(OptionErrorText, PlaceholdersInTypedWordsEndInARefusal) {
  const std::vector<std::vector<std::string>> lines = {
      {"--%original_token%1(7102", "-loc--co"},       // the input the fuzzer found
      {"--local=w", "--%option%"},                     // an unknown option
      {"--local=w", "--timeout=%value%"},              // a value that does not convert
      {"--local=w", "--%canonical_option%=x"},
      {"--local=w", "--iso", "a", "--iso=%original_token%"},  // given twice
  };
  for (const auto& line : lines) {
    const Refusal r = parseWithin(line);
    EXPECT_EQ(r.rc, 1) << line.back();
    EXPECT_FALSE(r.errorText.empty()) << line.back();
    EXPECT_EQ(r.errorText.rfind("Error: ", 0), 0u) << r.errorText;
  }
}

TEST(OptionErrorText, OrdinaryRefusalsKeepTheirText) {
  const Refusal r = parseWithin({"--local=w", "--no-such-option"});
  EXPECT_EQ(r.rc, 1);
  EXPECT_EQ(r.errorText, "Error: unrecognised option '--no-such-option'");
  EXPECT_NE(r.console.find("error: unrecognised option '--no-such-option'"), std::string::npos);
}

}  // namespace
}  // namespace XELO
