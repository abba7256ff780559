// Owned descriptors and whole writes.
#include <unistd.h>

#include <cerrno>

#include "platform/host/paths.h"

namespace host {

void Fd::Reset() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

bool WriteAll(int fd, std::string_view bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace host
