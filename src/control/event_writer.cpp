#include "control/event_writer.h"

namespace treemon {

EventWriter::EventWriter(OutputStream& stream) : stream_(stream) {
  buffer_.reserve(OUTPUT_BUFFER_SIZE);
}

EventWriter::~EventWriter() {
  if (!failed_) static_cast<void>(flush());  // nobody is left to tell
}

Status EventWriter::write(const Event& event) {
  if (failed_) return Status::error("output already failed");
  Status status = write_event(event, *this);
  if (status.ok()) status = append("\n");
  if (status.ok()) status = flush();
  if (!status.ok()) failed_ = true;
  return status;
}

Status EventWriter::append(std::string_view bytes) {
  if (buffer_.size() + bytes.size() <= OUTPUT_BUFFER_SIZE) {
    buffer_.append(bytes);
    return Status();
  }
  if (Status status = flush(); !status.ok()) return status;
  if (bytes.size() >= OUTPUT_BUFFER_SIZE) return stream_.write_all(bytes);
  buffer_.append(bytes);
  return Status();
}

Status EventWriter::flush() {
  if (buffer_.empty()) return Status();
  Status status = stream_.write_all(buffer_);
  buffer_.clear();
  return status;
}

}  // namespace treemon
