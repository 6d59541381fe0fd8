// The simulator's files under --data-dir are replaced whole: written to a temporary file,
// flushed to disk and renamed over the old one, so a crash leaves the old file or the new one,
// never a torn one.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace tessomar::dvrsim {

// Writes the bytes as the file at path; false (with a message on stderr, the old file kept)
// when any step fails.
bool write_file_atomically(const std::string& path, std::span<const uint8_t> bytes);

}  // namespace tessomar::dvrsim
