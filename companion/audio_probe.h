// Finding out how long a recording is, without decoding it.
//
// WAV files (RIFF/WAVE) are measured exactly from their header: the size of
// the "data" chunk divided by the byte rate of the "fmt " chunk. Every other
// file is estimated from its size as if it were compressed audio at
// 128 kbit/s (16,000 bytes per second). The file is only opened for reading.
//
// Thread-safety: stateless.
#pragma once

#include <filesystem>

namespace tindrel::companion {

struct AudioInfo {
  double durationSeconds = 0;  // never negative
  bool isWav = false;          // true when measured from a WAV header
};

// Throws std::system_error when the file cannot be opened or its size read.
AudioInfo probeAudio(const std::filesystem::path& file);

}  // namespace tindrel::companion
