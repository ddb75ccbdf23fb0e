#include "pelnor/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace pelnor {
namespace {

FileContent failed(FileContent::Failure step, int error) {
  FileContent result;
  result.failure = step;
  result.description = std::generic_category().message(error);
  return result;
}

}  // namespace

FileContent read_file(const std::string& path, std::size_t max_bytes) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return failed(FileContent::Failure::kOpen, errno);
  FileContent result;
  struct stat info;
  if (::fstat(fd, &info) == 0 && info.st_size > 0) {
    result.bytes.reserve(std::min(static_cast<std::size_t>(info.st_size), max_bytes));
  }
  std::uint8_t chunk[1 << 16];
  for (;;) {
    const ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      const int error = errno;
      ::close(fd);
      return failed(FileContent::Failure::kRead, error);
    }
    if (got == 0) break;
    if (static_cast<std::size_t>(got) > max_bytes - result.bytes.size()) {
      ::close(fd);
      return failed(FileContent::Failure::kTooLarge, EFBIG);
    }
    result.bytes.insert(result.bytes.end(), chunk, chunk + got);
  }
  ::close(fd);
  return result;
}

}  // namespace pelnor
