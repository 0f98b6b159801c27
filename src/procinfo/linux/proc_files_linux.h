// The files of Linux's /proc as the platform reads them: owned descriptors, the outcome of a
// read with errno mapped once, reusable read buffers, the /proc directory and the paths in it.
//
// Rules a change must keep:
//  1. Every errno of an open or a read is mapped to a ReadStatus here, in status_from_errno(),
//     and nowhere else; a vanished process (ENOENT, ESRCH) is Gone, a normal result.
//  2. A /proc file is read from offset 0 and a short read is its end: /proc generates the text
//     anew at every read, so no second call confirms it.
//  3. No buffer is reused while a parse of it is alive: a FileBuffer's text() and every view
//     into it end at the next read into the same buffer.
//  4. A read by path never fails for lack of a descriptor while the reserve is held: it takes
//     the reserve's descriptor for that read and keeps a new reserve after it.
// Main thread only, like the platform that owns them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace treemon::linux_proc {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  void reset();

 private:
  int fd_ = -1;
};

// The outcome of reading one /proc file.
enum class ReadStatus { Ok, Gone, Denied, NoDescriptors, Failed };

ReadStatus status_from_errno(int error);

UniqueFd open_at(int directory, const char* path, ReadStatus& status);

// The bytes of one /proc file. Its storage grows as a read needs and stays, so that reading
// thousands of files per refresh neither allocates nor clears memory; storage that grew beyond
// a command line's bound for one large file is given back at the next read.
class FileBuffer {
 public:
  std::string_view text() const { return {storage_.data(), size_}; }

 private:
  static constexpr size_t INITIAL_BYTES = 4096;
  friend ReadStatus read_file(int fd, FileBuffer& out, size_t limit);
  std::string storage_ = std::string(INITIAL_BYTES, '\0');
  size_t size_ = 0;
};

// Reads a /proc file from offset 0, at most `limit` bytes of it.
ReadStatus read_file(int fd, FileBuffer& out, size_t limit = SIZE_MAX);

// "1234/stat" for openat() relative to /proc.
struct ProcPath {
  char text[48];
  ProcPath(uint32_t pid, const char* file);
};

// The /proc directory, and one descriptor held in reserve for reads by path. The open-file limit
// may be lowered from outside at any moment, below the descriptors the handles already keep; a
// read by path that finds no descriptor free then takes the reserve's, which was opened early,
// with a low number, and takes it back after the read. So running out of descriptors costs kept
// files, whose handles read by path instead, never a read and never a listed process.
class ProcDirectory {
 public:
  ProcDirectory();

  int get() const { return directory_.get(); }
  explicit operator bool() const { return static_cast<bool>(directory_); }

  // A file to keep: nothing when no descriptor is free (the reserve is for reads by path).
  UniqueFd open(const char* path, ReadStatus& status) const {
    return open_at(directory_.get(), path, status);
  }

  // Reads a file, at most `limit` bytes of it, through a descriptor opened for this read alone.
  ReadStatus read(const char* path, FileBuffer& out, size_t limit = SIZE_MAX);

 private:
  void keep_reserve();

  UniqueFd directory_;
  UniqueFd reserve_;
};

// Raises the soft open-file limit to the hard one and returns the budget of descriptors that
// handles may keep below it.
uint64_t handle_descriptor_budget();

// The monitor's own pid as the namespace of /proc counts it (what /proc/self links to), or
// nothing, with errno set, when the link cannot be read.
std::optional<std::string> proc_self();

// Why the monitor would watch other processes than those around it, or nothing when /proc is of
// its own pid namespace.
std::optional<std::string> proc_namespace_warning();

// The files of one process that the platform reads.
enum ProcFile { STAT, STATM, IO, CMDLINE };
inline constexpr int FILES_PER_PROCESS = 4;
inline constexpr const char* PROC_FILE_NAMES[FILES_PER_PROCESS] = {"stat", "statm", "io",
                                                                   "cmdline"};

}  // namespace treemon::linux_proc
