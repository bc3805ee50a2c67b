// The connection file through which the service announces itself to local
// clients: where it listens and which Authorization header value to present.
// It is written with writePrivateFileAtomically (private_files.h).
//
// Thread-safety: the functions share no state.
#pragma once

#include <filesystem>
#include <string>

namespace tindrel::companion {

// The default location: "Library/Application Support/Tindrel/Agent/connection.json"
// under the current user's home directory ($HOME when it is an absolute path,
// otherwise the home directory of the user record). Throws std::runtime_error
// when no home directory can be found.
std::filesystem::path defaultConnectionPath();

// The file's JSON text for a service on 127.0.0.1:`port` that accepts the
// Authorization value "Bearer " + `token`.
std::string connectionFileContents(int port, const std::string& token);

// Removes the file at `path` if it still holds exactly `contents`, so that a
// file written since by another instance of the service is left alone.
// Returns true when the file was removed. Never throws.
bool removeConnectionFileIfUnchanged(const std::filesystem::path& path,
                                     const std::string& contents) noexcept;

}  // namespace tindrel::companion
