#include "recorder/output_file.h"

#include <cctype>
#include <cerrno>
#include <cstring>

#include "recorder/text.h"

namespace treemon::recorder {

std::string error_reason(int error) {
  std::string reason = std::strerror(error);
  if (!reason.empty())
    reason[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(reason[0])));
  return reason;
}

Result<OutputFile> OutputFile::create(const std::string& path) {
  std::FILE* file = open_for_writing(path);
  if (file == nullptr) {
    return Status::error("cannot write " + printable(path) + ": " + error_reason(errno));
  }
  return OutputFile(file, path, true);
}

OutputFile OutputFile::standard_output() {
  write_bytes_as_they_are(stdout);
  return OutputFile(stdout, "standard output", false);
}

void OutputFile::write(std::string_view bytes) {
  if (problem_ || !file_) return;
  errno = 0;
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file_.get()) == bytes.size();
  if (written && std::fflush(file_.get()) == 0) return;
  problem_ = "cannot write " + printable(name_) + ": " + error_reason(errno == 0 ? EIO : errno);
}

}  // namespace treemon::recorder
