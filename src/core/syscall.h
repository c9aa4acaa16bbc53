// System calls that a passing signal (a stop and continue, say) must not turn
// into failures: each is retried after EINTR.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <ctime>

namespace corvexd {

[[nodiscard]] inline ssize_t readRetry(int fd, void* buf, std::size_t count) {
  ssize_t n;
  do {
    n = ::read(fd, buf, count);
  } while (n < 0 && errno == EINTR);
  return n;
}

[[nodiscard]] inline ssize_t sendToRetry(int fd, const void* buf, std::size_t count, int flags,
                                         const sockaddr* to, socklen_t toLen) {
  ssize_t n;
  do {
    n = ::sendto(fd, buf, count, flags, to, toLen);
  } while (n < 0 && errno == EINTR);
  return n;
}

// Milliseconds on the monotonic clock, read through the vDSO: no system
// call, and no C++ runtime pulled in for it.
[[nodiscard]] inline long long monotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

inline void sleepMs(unsigned ms) {
  timespec left{static_cast<time_t>(ms / 1000U), static_cast<long>(ms % 1000U) * 1000000L};
  while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

} // namespace corvexd
