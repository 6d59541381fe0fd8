#include "dvrsim/data_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tessomar::dvrsim {

bool write_file_atomically(const std::string& path, std::span<const uint8_t> bytes) {
  const std::string temp = path + ".tmp";
  const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  bool ok = fd >= 0;
  size_t done = 0;
  while (ok && done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += size_t(n);
  }
  // The data must be on disk before the rename makes it the file.
  ok = ok && fsync(fd) == 0;
  if (fd >= 0) ok = close(fd) == 0 && ok;
  ok = ok && rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    std::fprintf(stderr, "tessomar-dvrsim: cannot write %s: %s\n", path.c_str(),
                 std::strerror(errno));
    unlink(temp.c_str());
  }
  return ok;
}

}  // namespace tessomar::dvrsim
