#include "control/event_writer.h"

namespace treemon {

EventWriter::EventWriter(OutputStream& stream) : stream_(stream) {
  buffer_.reserve(OUTPUT_BUFFER_SIZE);
}

EventWriter::~EventWriter() {
  if (!failed_) flush();
}

WriteStatus EventWriter::write(const Event& event) {
  if (failed_) return OutputError{"output already failed"};
  WriteStatus status = write_event(event, *this);
  if (!status) status = append("\n");
  if (!status) status = flush();
  if (status) failed_ = true;
  return status;
}

WriteStatus EventWriter::append(std::string_view bytes) {
  if (buffer_.size() + bytes.size() <= OUTPUT_BUFFER_SIZE) {
    buffer_.append(bytes);
    return std::nullopt;
  }
  if (WriteStatus status = flush()) return status;
  if (bytes.size() >= OUTPUT_BUFFER_SIZE) {
    if (auto error = stream_.write_all(bytes)) return OutputError{*error};
    return std::nullopt;
  }
  buffer_.append(bytes);
  return std::nullopt;
}

WriteStatus EventWriter::flush() {
  if (buffer_.empty()) return std::nullopt;
  auto error = stream_.write_all(buffer_);
  buffer_.clear();
  if (error) return OutputError{*error};
  return std::nullopt;
}

}  // namespace treemon
