// A small DevTools client for browser tests: it starts a headless chromium
// with a private profile, talks to it over the pipe transport (commands on
// the child's fd 3, replies and events on its fd 4, each message JSON text
// ended by a NUL byte) and drives one page: navigate, evaluate script, click,
// type, take screenshots and collect console errors.
//
// Every wait has a deadline (30 s, or XELO_TEST_BROWSER_TIMEOUT_MS); a
// browser that stops answering makes the call throw std::runtime_error
// instead of hanging the test. XELO_TEST_CHROMIUM names another binary than
// "chromium" on PATH. Script dialogs (alert, confirm, prompt) are accepted.
#pragma once
#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace XELO::test {

class Browser {
 public:
  // Starts chromium with a viewport of the given size. Throws
  // std::runtime_error with a clear message when chromium is missing or does
  // not come up in time.
  static std::unique_ptr<Browser> launch(int width = 1280, int height = 900);
  // Closes the browser, reaps the process and removes the profile directory.
  ~Browser();
  Browser(const Browser&) = delete;
  Browser& operator=(const Browser&) = delete;

  // Loads the URL and waits for the page's load event.
  void navigate(const std::string& url);
  // Evaluates the expression (awaiting a promise) and returns its value as
  // JSON text. Throws with the exception text when the script throws.
  std::string evaluate(const std::string& js);
  // Polls the predicate until it is truthy (true) or the timeout passes (false).
  bool waitFor(const std::string& jsPredicate, std::chrono::milliseconds timeout);
  // Scrolls the element into view and clicks its centre with the mouse.
  void click(const std::string& cssSelector);
  // Focuses the element and inserts the text as typed input.
  void type(const std::string& cssSelector, const std::string& text);
  // Captures the full page and writes it as a PNG file.
  void screenshot(const std::string& pngPath);
  // Console errors and uncaught exceptions seen so far, in order.
  std::vector<std::string> consoleErrors() const;

  // The chromium process id (for tests that check it is reaped).
  int pid() const;

 private:
  struct Impl;
  explicit Browser(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace XELO::test
