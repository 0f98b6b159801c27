#include "support/event_capture.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <string>

namespace treemon::test_support {
namespace {

struct CaptureFile {
  std::mutex mutex;
  std::FILE* file = nullptr;

  CaptureFile() {
    const char* dir = std::getenv("TREEMON_EVENT_CAPTURE");
    if (dir == nullptr || *dir == '\0') return;
    // Test processes run side by side: each gets a file of its own.
    const std::string path =
        std::string(dir) + "/events-" + std::to_string(std::random_device{}()) + ".jsonl";
    file = std::fopen(path.c_str(), "ab");
  }
  ~CaptureFile() {
    if (file != nullptr) std::fclose(file);
  }
};

CaptureFile& capture_file() {
  static CaptureFile capture;
  return capture;
}

}  // namespace

void capture_event_line(std::string_view line) {
  CaptureFile& capture = capture_file();
  if (capture.file == nullptr) return;
  std::lock_guard lock(capture.mutex);
  std::fwrite(line.data(), 1, line.size(), capture.file);
  std::fputc('\n', capture.file);
  std::fflush(capture.file);
}

void capture_event_lines(std::string_view text) {
  for (size_t end; (end = text.find('\n')) != std::string_view::npos; text.remove_prefix(end + 1)) {
    capture_event_line(text.substr(0, end));
  }
}

}  // namespace treemon::test_support
