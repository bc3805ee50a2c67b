#include "transport/line_framer.h"

#include <cstring>
#include <utility>

namespace tindrel {

void LineFramer::append(const char* chunk, std::size_t size, std::vector<std::string>& messages) {
  const char* cursor = chunk;
  const char* const end = chunk + size;
  while (cursor < end) {
    // memchr over the new bytes only, so a long line costs linear time.
    const void* found = std::memchr(cursor, '\n', static_cast<std::size_t>(end - cursor));
    if (found == nullptr) {
      pending_.append(cursor, end);
      return;
    }
    const char* const lineEnd = static_cast<const char*>(found);
    if (pending_.empty()) {
      if (lineEnd != cursor) messages.emplace_back(cursor, lineEnd);
    } else {
      pending_.append(cursor, lineEnd);
      messages.push_back(std::move(pending_));
      pending_.clear();
    }
    cursor = lineEnd + 1;
  }
}

}  // namespace tindrel
