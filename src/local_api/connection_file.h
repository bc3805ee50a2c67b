// Reading the connection file once its attributes have passed the checks.
//
// Thread-safety: stateless; may be called from any number of threads.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <string>

namespace tindrel {

// Largest connection file accepted, in bytes.
inline constexpr std::size_t kMaxConnectionFileSize = 65536;

// Reads the file at `path` that `checked` (its lstat attributes) describes.
// The file is opened without following a symbolic link and without blocking
// (so neither a link nor a FIFO swapped in after the checks is read or waited
// on), and must still be the same regular file (device and inode) with the
// same owner and no group or other permission bits. At most
// kMaxConnectionFileSize + 1 bytes are read; more than kMaxConnectionFileSize
// is refused. Throws the "not local" BridgeError on any failure.
std::string readConnectionFile(const std::string& path, const struct stat& checked);

}  // namespace tindrel
