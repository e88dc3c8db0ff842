// A callback that records what the acquisition library reports.
#pragma once
#include <atomic>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "downloadmanager.h"

namespace acquiretest {

struct Message {
  int id;
  std::string text;
  int code;
};

// Records every call. It deliberately takes no lock of its own: the library
// promises that its calls never overlap, which `overlaps` checks and which
// ThreadSanitizer checks in a sanitizer build.
class Recorder : public QYXAcquistion::AcquireCallbackIfc {
 public:
  void sendMessage(QYXAcquistion::ContentNode node, bool downloading) override {
    enter();
    nodes.emplace_back(std::move(node), downloading);
    leave();
  }
  void sendInfo(int id, std::string text, int code) override {
    enter();
    messages.push_back({id, std::move(text), code});
    leave();
  }

  std::vector<std::string> texts(int id) const {
    std::vector<std::string> out;
    for (const auto& m : messages)
      if (m.id == id) out.push_back(m.text);
    return out;
  }
  int count(int id) const { return static_cast<int>(texts(id).size()); }
  // Position of the first message with this id and text; -1 when absent.
  int indexOf(int id, const std::string& text) const {
    for (std::size_t i = 0; i < messages.size(); ++i)
      if (messages[i].id == id && messages[i].text == text) return static_cast<int>(i);
    return -1;
  }
  // Position of the first message with this id whose text starts with `prefix`.
  int indexWithPrefix(int id, const std::string& prefix) const {
    for (std::size_t i = 0; i < messages.size(); ++i)
      if (messages[i].id == id && messages[i].text.rfind(prefix, 0) == 0) return static_cast<int>(i);
    return -1;
  }
  std::string dump() const {
    std::ostringstream s;
    for (const auto& m : messages) s << m.id << " [" << m.code << "] " << m.text << "\n";
    return s.str();
  }

  std::vector<Message> messages;
  std::vector<std::pair<QYXAcquistion::ContentNode, bool>> nodes;
  std::atomic<int> overlaps{0};

 private:
  void enter() {
    // Relaxed, so that the check adds no ordering of its own that could
    // hide a missing lock from ThreadSanitizer.
    if (inside.exchange(true, std::memory_order_relaxed)) overlaps.fetch_add(1, std::memory_order_relaxed);
  }
  void leave() { inside.store(false, std::memory_order_relaxed); }
  std::atomic<bool> inside{false};
};

}  // namespace acquiretest
