// The standard streams on POSIX systems, with a socket in place of standard error so that the
// test sees each write apart.
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "control/console.h"

namespace treemon {
namespace {

// An error line and its line feed are one write, so that a reader of packets, or of lines that
// other processes write to the same stream, gets the line whole.
TEST(PosixConsole, ErrorLineIsOneWrite) {
  int packets[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, packets), 0);
  const int saved_error = ::dup(STDERR_FILENO);
  ASSERT_GE(saved_error, 0);
  ASSERT_EQ(::dup2(packets[0], STDERR_FILENO), STDERR_FILENO);
  write_standard_error_line("Error: the pipe is closed");
  ::dup2(saved_error, STDERR_FILENO);
  ::close(saved_error);
  char buffer[64] = {};
  const ssize_t got = ::recv(packets[1], buffer, sizeof(buffer), MSG_DONTWAIT);
  ::close(packets[0]);
  ::close(packets[1]);
  ASSERT_GT(got, 0);
  EXPECT_EQ(std::string(buffer, static_cast<size_t>(got)), "Error: the pipe is closed\n");
}

}  // namespace
}  // namespace treemon
