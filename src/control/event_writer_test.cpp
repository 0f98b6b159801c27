#include "control/event_writer.h"

#include <gtest/gtest.h>

namespace treemon {
namespace {

// Records every write to the stream, and can fail from a given write on.
class RecordingStream final : public OutputStream {
 public:
  std::vector<std::string> writes;
  int fail_from = -1;

  Status write_all(std::string_view bytes) override {
    if (fail_from >= 0 && static_cast<int>(writes.size()) >= fail_from)
      return Status::error("Broken pipe");
    writes.emplace_back(bytes);
    return Status();
  }
};

TEST(EventWriter, OneFlushedLinePerEvent) {
  RecordingStream stream;
  EventWriter writer(stream);
  ASSERT_TRUE(
      writer.write(ErrorEvent{"not-configured", "configure must be sent before sampling", true})
          .ok());
  ASSERT_EQ(stream.writes.size(), 1u);
  EXPECT_EQ(
      stream.writes[0],
      R"({"version":2,"type":"error","code":"not-configured","message":"configure must be sent before sampling","recoverable":true})"
      "\n");
  ASSERT_TRUE(writer.write(ErrorEvent{"invalid-command", "x", true}).ok());
  EXPECT_EQ(stream.writes.size(), 2u);
}

// A large event reaches the stream in several writes, never more than the buffer at a time
// except for a single piece larger than the buffer, and ends with exactly one line feed.
TEST(EventWriter, LargeEventPassesThroughTheBuffer) {
  RecordingStream stream;
  EventWriter writer(stream);
  const std::string message(3 * OUTPUT_BUFFER_SIZE, 'm');
  ASSERT_TRUE(writer.write(ErrorEvent{"invalid-command", message, true}).ok());
  ASSERT_GE(stream.writes.size(), 2u);
  std::string all;
  for (const auto& w : stream.writes) all += w;
  EXPECT_EQ(all.back(), '\n');
  EXPECT_EQ(all.find('\n'), all.size() - 1);
  EXPECT_NE(all.find(message), std::string::npos);
}

TEST(EventWriter, FailureIsReturnedAndNothingMoreIsWritten) {
  RecordingStream stream;
  stream.fail_from = 1;
  EventWriter writer(stream);
  EXPECT_TRUE(writer.write(ErrorEvent{"invalid-command", "first", true}).ok());
  Status failure = writer.write(ErrorEvent{"invalid-command", "second", true});
  ASSERT_FALSE(failure.ok());
  EXPECT_EQ(failure.message(), "Broken pipe");
  stream.fail_from = -1;
  EXPECT_FALSE(writer.write(ErrorEvent{"invalid-command", "third", true}).ok());
  EXPECT_EQ(stream.writes.size(), 1u);
}

}  // namespace
}  // namespace treemon
