#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>

#include "base/win32_windows.h"
#include "recorder/output_file.h"

namespace treemon::recorder {

std::FILE* open_for_writing(const std::string& path) {
  // The path is UTF-8: the wide call keeps every character the ANSI code page lacks. "N": the
  // command is handed only the handles it is given.
  return ::_wfopen(wide_from_utf8(path).c_str(), L"wbN");
}

void write_bytes_as_they_are(std::FILE* file) { ::_setmode(::_fileno(file), _O_BINARY); }

}  // namespace treemon::recorder
