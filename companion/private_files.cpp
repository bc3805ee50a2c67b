#include "private_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace tindrel::companion {
namespace {

[[noreturn]] void throwErrno(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

// Writes all of `data`, retrying after interruptions and short writes.
void writeAll(int fd, const std::string& data) {
  std::size_t written = 0;
  while (written < data.size()) {
    const ssize_t n = ::write(fd, data.data() + written, data.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      throwErrno("write");
    }
    written += static_cast<std::size_t>(n);
  }
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { close(); }
  int get() const noexcept { return fd_; }
  // Closes now and reports the result: a failed close can mean lost data.
  int close() noexcept {
    const int result = fd_ >= 0 ? ::close(fd_) : 0;
    fd_ = -1;
    return result;
  }

 private:
  int fd_;
};

}  // namespace

void createPrivateDirectories(const std::filesystem::path& directory) {
  std::filesystem::path partial;
  for (const auto& component : directory) {
    partial /= component;
    // mkdir on an existing path fails with EEXIST, which is what we want for
    // every level that is already there; the mode applies only to new ones.
    if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) throwErrno("mkdir");
  }
}

void writePrivateFileAtomically(const std::filesystem::path& path, const std::string& contents) {
  const std::filesystem::path directory = path.parent_path();
  createPrivateDirectories(directory);

  // The temporary file lives in the target's directory so that rename() is
  // atomic (same file system). mkstemp creates it with O_EXCL and mode 0600.
  std::string temporaryName = (directory / (path.filename().string() + ".XXXXXX")).string();
  FileDescriptor file(::mkstemp(temporaryName.data()));
  if (file.get() < 0) throwErrno("mkstemp");
  try {
    if (::fchmod(file.get(), 0600) != 0) throwErrno("fchmod");
    writeAll(file.get(), contents);
    if (::fsync(file.get()) != 0) throwErrno("fsync");
    if (file.close() != 0) throwErrno("close");
    if (::rename(temporaryName.c_str(), path.c_str()) != 0) throwErrno("rename");
  } catch (...) {
    ::unlink(temporaryName.c_str());
    throw;
  }
}

}  // namespace tindrel::companion
