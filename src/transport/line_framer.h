// LineFramer: cuts a byte stream into line-feed-terminated messages.
//
// The bytes before each line feed (0x0A) are one message; an empty message
// (an empty line) is skipped. Nothing else is examined: a carriage return
// stays part of the message, lines have no length limit and need not be
// UTF-8. Bytes not yet followed by a line feed are kept for the next chunk.
//
// Thread-safety: one framer is used by one thread.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace tindrel {

class LineFramer {
 public:
  // Appends to `messages` every message completed by `chunk`, in order.
  void append(const char* chunk, std::size_t size, std::vector<std::string>& messages);

  // The bytes after the last line feed, which end of input discards.
  const std::string& pending() const noexcept { return pending_; }

 private:
  std::string pending_;
};

}  // namespace tindrel
