// Private files of the service: directories created owner-only and files
// replaced atomically with mode 0600.
//
// Thread-safety: the functions share no state; two calls must not write the
// same path at the same time.
#pragma once

#include <filesystem>
#include <string>

namespace tindrel::companion {

// Creates each missing directory of `directory` with mode 0700. Directories
// that exist already are left as they are. Throws std::system_error.
void createPrivateDirectories(const std::filesystem::path& directory);

// Writes `contents` to `path` atomically: creates missing parent directories
// (as above), writes a temporary file of mode 0600 in the same directory,
// flushes it to disk and renames it over `path`. A reader sees either the
// previous complete file or the new one. On failure the temporary file is
// removed, an existing file at `path` is left as it was, and
// std::system_error is thrown.
void writePrivateFileAtomically(const std::filesystem::path& path, const std::string& contents);

}  // namespace tindrel::companion
