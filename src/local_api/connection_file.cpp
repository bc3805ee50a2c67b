// The connection file: where the app tells local clients where its service
// listens and which credential to present. It is read and checked afresh for
// every request and nothing of it is kept.

#include "local_api/connection_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string_view>

#include "json/json_reader.h"
#include "local_api/base_url.h"
#include "local_api/local_api_client.h"
#include "local_api/messages.h"

namespace tindrel {
namespace {

using local_api_texts::kConnectionNotLocal;
using local_api_texts::kConnectionUnavailable;
using local_api_texts::kConnectionUnsafeFile;

constexpr std::string_view kBearerPrefix = "Bearer ";

// Owns one file descriptor; closes it on destruction.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  int get() const noexcept { return fd_; }

 private:
  int fd_;
};

// The attributes that make a file acceptable: a regular file of the real
// user with no permission bit for group or others.
bool isPrivateRegularFile(const struct stat& attributes) {
  // The program never changes its user, so its real user id is asked once.
  static const uid_t realUser = ::getuid();
  return S_ISREG(attributes.st_mode) && attributes.st_uid == realUser &&
         (attributes.st_mode & 077) == 0;
}

// A string member of `object`, or nullptr when it is absent, null or not a
// string.
const std::string* stringMember(const JsonValue& object, std::string_view key) {
  const JsonValue* member = object.find(key);
  return member == nullptr ? nullptr : member->asString();
}

// "Bearer " followed by at least one more character.
bool hasBearerPrefixAndToken(std::string_view header) {
  return header.size() > kBearerPrefix.size() && header.starts_with(kBearerPrefix);
}

// U+0000, U+000A to U+000D, U+0085, U+2028 and U+2029 would end or split the
// header line; a horizontal tab is allowed. The text is valid UTF-8 (the JSON
// reader saw to that), so the multi-byte ones can be searched for as bytes.
bool hasForbiddenCharacter(std::string_view header) {
  for (const char c : header) {
    if (c == '\0' || (c >= '\n' && c <= '\r')) return true;
  }
  return header.find("\xC2\x85") != std::string_view::npos ||
         header.find("\xE2\x80\xA8") != std::string_view::npos ||
         header.find("\xE2\x80\xA9") != std::string_view::npos;
}

}  // namespace

std::string readConnectionFile(const std::string& path, const struct stat& checked) {
  int fd = -1;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) throw kConnectionNotLocal.error();
  const FileDescriptor file(fd);

  // The path may have been replaced since it was checked: read only the very
  // file that passed, and only while it is still private.
  struct stat opened {};
  if (::fstat(file.get(), &opened) != 0 || opened.st_dev != checked.st_dev ||
      opened.st_ino != checked.st_ino || !isPrivateRegularFile(opened)) {
    throw kConnectionNotLocal.error();
  }

  // The file may also have grown since: one byte more than the limit is
  // enough to tell.
  std::string content;
  const auto expected = static_cast<std::size_t>(opened.st_size > 0 ? opened.st_size : 0);
  content.resize(std::min(expected, kMaxConnectionFileSize) + 1);
  std::size_t used = 0;
  while (true) {
    if (used == content.size()) {
      if (content.size() > kMaxConnectionFileSize) break;
      content.resize(std::min(content.size() * 2, kMaxConnectionFileSize + 1));
    }
    const ssize_t n = ::read(file.get(), content.data() + used, content.size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw kConnectionNotLocal.error();
    }
    if (n == 0) break;
    used += static_cast<std::size_t>(n);
    // A regular file gives fewer bytes than asked for only at its end, so a
    // short read ends the loop without one more read to see the end.
    if (used < content.size()) break;
  }
  if (used > kMaxConnectionFileSize) throw kConnectionNotLocal.error();
  content.resize(used);
  return content;
}

Connection parseConnection(std::string_view content) {
  JsonValue document;
  try {
    document = readJson(content);
  } catch (const std::exception&) {
    throw kConnectionNotLocal.error();
  }
  const std::string* apiVersion = stringMember(document, "apiVersion");
  const std::string* baseURL = stringMember(document, "baseURL");
  const std::string* authorizationHeader = stringMember(document, "authorizationHeader");
  const JsonValue* localOnlyMember = document.find("localOnly");
  const bool* localOnly = localOnlyMember == nullptr ? nullptr : localOnlyMember->asBool();
  if (apiVersion == nullptr || baseURL == nullptr || authorizationHeader == nullptr ||
      localOnly == nullptr) {
    throw kConnectionNotLocal.error();
  }
  if (*apiVersion != "v1" || !*localOnly || !isLoopbackBaseURL(*baseURL) ||
      !hasBearerPrefixAndToken(*authorizationHeader) ||
      hasForbiddenCharacter(*authorizationHeader)) {
    throw kConnectionNotLocal.error();
  }
  return Connection{*apiVersion, *baseURL, *authorizationHeader, true};
}

Connection LocalAPIClient::connection() const {
  // Attributes of the item itself: a symbolic link is judged, not followed.
  struct stat attributes {};
  if (::lstat(manifestPath_.c_str(), &attributes) != 0) throw kConnectionUnavailable.error();
  if (!isPrivateRegularFile(attributes) || attributes.st_size < 0 ||
      static_cast<std::size_t>(attributes.st_size) > kMaxConnectionFileSize) {
    throw kConnectionUnsafeFile.error();
  }
  return parseConnection(readConnectionFile(manifestPath_, attributes));
}

}  // namespace tindrel
