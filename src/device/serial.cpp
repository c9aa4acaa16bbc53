#include "core/corvexd.h"
#include "device/device.h"
#include "diagnostics/diagnostics.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace corvexd {

namespace {

// Everything that would alter bytes on input: frames are binary, so a CR
// turned into LF or a stripped eighth bit corrupts them, lengths included.
constexpr tcflag_t kInputFlagsCleared =
    IGNBRK | IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP | INPCK | PARMRK | BRKINT;

[[nodiscard]] int failSetting(int fd, const char* call) {
  const int error = errno;
  close(fd);
  report("corvexd: error %d from %s\n", error, call);
  return -1;
}

} // namespace

int openSerial() { return openSerialAt(serialDevicePath); }

int openSerialAt(const char* path) {
  // Non-blocking, for good: a port without carrier cannot hold up start-up
  // before CLOCAL is set, and the relay never waits on the line (it writes
  // what the line takes and reads what is there, when the wait says so).
  int fd;
  do {
    fd = open(path, O_RDWR | O_NOCTTY | O_SYNC | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    report("corvexd: error when opening %s, errno=%d\n", path, errno);
    return fd;
  }
  // A second reader of the port would take bytes from the board: every
  // corvexd honours the lock, root's included, and TIOCEXCL refuses other
  // programs without privilege. Taken before the line is touched, so a
  // second daemon leaves the running one undisturbed.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno == EWOULDBLOCK ? EBUSY : errno;
    close(fd);
    report("corvexd: error when opening %s, errno=%d\n", path, error);
    return -1;
  }

  termios settings{};
  if (tcgetattr(fd, &settings) != 0) {
    return failSetting(fd, "tcgetattr");
  }
  if (ioctl(fd, TIOCEXCL) != 0) {
    return failSetting(fd, "TIOCEXCL");
  }
  cfsetospeed(&settings, B230400);
  cfsetispeed(&settings, B230400);
  settings.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS | PARENB | PARODD | CSTOPB);
  settings.c_cflag |= CS8 | CREAD | CLOCAL;
  settings.c_iflag &= ~kInputFlagsCleared;
  settings.c_oflag = 0;
  settings.c_lflag = 0;
  settings.c_cc[VMIN] = 0;
  settings.c_cc[VTIME] = 5; // tenths of a second
  if (tcsetattr(fd, TCSANOW, &settings) != 0) {
    return failSetting(fd, "tcsetattr");
  }
  trace("opened %s\n", path);
  return fd;
}

} // namespace corvexd
