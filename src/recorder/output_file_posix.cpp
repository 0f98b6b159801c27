#include <fcntl.h>
#include <unistd.h>

#include "recorder/output_file.h"

namespace treemon::recorder {

std::FILE* open_for_writing(const std::string& path) {
  // Close-on-exec: the command gets only the files it is handed.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  std::FILE* file = ::fdopen(fd, "wb");
  if (file == nullptr) ::close(fd);
  return file;
}

void write_bytes_as_they_are(std::FILE* /*file*/) {}

}  // namespace treemon::recorder
