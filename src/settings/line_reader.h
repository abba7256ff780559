// Reads an 8-bit text file line by line without decoding it: every byte
// becomes one code unit of the same value, so that the parsers can narrow
// characters back to bytes where they decode code page 1250.
#pragma once

#include <cstdint>

#include "platform/platform.h"

constexpr int kLineCapacity = 256;  // 255 characters and the terminator
// A lookup scans brand.ini afresh each time, often far into a long file: a
// chunk this size keeps that to a few calls. It lives in the reader, which
// the device's readers keep in static storage, not on a thread's stack.
constexpr std::uint32_t kReadChunk = 65536;

// Where a reader's bytes come from, in the manner of inih's stream reader: a
// read callback and its context. `read` fills `buffer` with up to `capacity`
// bytes and yields how many it gave; fewer than asked means the end of the
// bytes (or a failure, which the reader takes for the end), so a callback
// that reads a pipe or a file keeps reading until it has filled the buffer
// or met the end.
struct ByteSource {
  std::uint32_t (*read)(void* context, std::uint8_t* buffer, std::uint32_t capacity);
  void* context;
};

// A platform file, read with ReadFile: the device's own source. `file` must
// outlive the reading.
ByteSource FileByteSource(platform::Handle* file);

// Bytes in memory, read from `position` on.
struct MemoryBytes {
  const std::uint8_t* bytes;
  std::uint32_t size;
  std::uint32_t position;
};
// `memory` must outlive the reading; its position is where reading starts.
ByteSource MemoryByteSource(MemoryBytes* memory);

struct ByteLineReader {
  ByteSource source;
  std::uint8_t chunk[kReadChunk];
  std::uint32_t position;  // next unread byte of chunk
  std::uint32_t length;    // bytes held in chunk
  bool at_end;             // the last read met the end of the file: none follows
  // What the last delivered line looked like before it was cut; the linter
  // reports what the device reads differently from what was written.
  // Lines passed so far, the delivered one included; kept only when
  // count_lines is set (StartByteLines sets it). Only the linter reports
  // line numbers, and counting every line a lookup passes over would be
  // most of what the lookup costs in a long file.
  std::uint32_t line_number;
  bool count_lines;
  std::uint32_t full_length;   // characters of the line before the cut (saturates)
  bool cut;                    // the line had more than 255 characters
};

void StartByteLines(ByteLineReader* reader, ByteSource source);

// Delivers the next line into `line` (kLineCapacity code units), terminated,
// and yields true; false at the end of the bytes or on a read failure.
// LF ends a line; CR is dropped wherever it stands; a last line without LF is
// never delivered; a NUL byte is stored like any other. A line longer than
// 255 characters is cut to its first 255 and the rest, up to its LF, dropped.
// The source is read in chunks, never one call per byte, and a read that
// delivers less than a chunk is taken for the end of the bytes.
bool ReadByteLine(ByteLineReader* reader, char16_t* line);

// ---- Passing over lines without reading them -------------------------------
//
// A scan that only wants a few lines of a long file can look at each line's
// bytes where they lie in the chunk and drop the lines that cannot matter,
// instead of having every one of them stored and parsed. A dropped line
// counts in line_number as a read one does; the rest of the reader's state
// describes the last line ReadByteLine delivered.

// Says of a line's raw bytes, before its LF (CR and NUL bytes as they are,
// nothing cut), whether it may be passed over unread.
using LineTest = bool (*)(const std::uint8_t* bytes, std::uint32_t count, const void* context);
// Passes over the lines lying whole in the chunk for which `skip` says yes,
// refilling the chunk first whenever it has been used up. Stops before the
// first line it says no to, or that runs past the chunk, or at the end of
// the file: ReadByteLine then takes that line.
void DropLinesWhere(ByteLineReader* reader, LineTest skip, const void* context);
// Passes over the lines whose first character, as read, is not `mark`,
// refilling the chunk whenever it has been used up. Stops before a line that
// starts with `mark` or runs past the chunk, or at the end of the file.
void DropLinesNotStartingWith(ByteLineReader* reader, std::uint8_t mark);
