// Reads an 8-bit text file line by line without decoding it: every byte
// becomes one code unit of the same value, so that the parsers can narrow
// characters back to bytes where they decode code page 1250.
#pragma once

#include <cstdint>

#include "platform/platform.h"

constexpr int kLineCapacity = 256;  // 255 characters and the terminator
constexpr std::uint32_t kReadChunk = 4096;

struct ByteLineReader {
  platform::Handle file;
  std::uint8_t chunk[kReadChunk];
  std::uint32_t position;  // next unread byte of chunk
  std::uint32_t length;    // bytes held in chunk
  bool at_end;             // a read delivered nothing: the file is done
  // What the last delivered line looked like before it was cut; the linter
  // reports what the device reads differently from what was written.
  std::uint32_t line_number;   // 1 for the first line delivered
  std::uint32_t full_length;   // characters of the line before the cut (saturates)
  bool cut;                    // the line had more than 255 characters
};

void StartByteLines(ByteLineReader* reader, platform::Handle file);

// Delivers the next line into `line` (kLineCapacity code units), terminated,
// and yields true; false at the end of the file or on a read failure.
// LF ends a line; CR is dropped wherever it stands; a last line without LF is
// never delivered; a NUL byte is stored like any other. A line longer than
// 255 characters is cut to its first 255 and the rest, up to its LF, dropped.
// The file is read in chunks, never one system call per byte.
bool ReadByteLine(ByteLineReader* reader, char16_t* line);
