#include "settings/line_reader.h"

void StartByteLines(ByteLineReader* reader, platform::Handle file) {
  reader->file = file;
  reader->position = 0;
  reader->length = 0;
  reader->at_end = false;
  reader->line_number = 0;
  reader->full_length = 0;
  reader->cut = false;
}

namespace {

// Yields the next byte, or -1 once the file is done. A read failure looks
// like the end of the file, and the end is sticky so that a file that grows
// or a device that errs once is not read past what was delivered.
int NextByte(ByteLineReader* reader) {
  if (reader->position == reader->length) {
    if (reader->at_end) return -1;
    std::uint32_t got = 0;
    platform::ReadFile(reader->file, reader->chunk, kReadChunk, &got, nullptr);
    if (got == 0 || got > kReadChunk) {
      reader->at_end = true;
      return -1;
    }
    reader->position = 0;
    reader->length = got;
  }
  return reader->chunk[reader->position++];
}

}  // namespace

bool ReadByteLine(ByteLineReader* reader, char16_t* line) {
  line[0] = 0;
  std::uint32_t stored = 0;
  std::uint32_t seen = 0;
  for (;;) {
    int byte = NextByte(reader);
    if (byte < 0) return false;
    if (byte == 0x0A) break;
    if (byte == 0x0D) continue;
    if (seen != 0xFFFFFFFFu) ++seen;
    if (stored < kLineCapacity - 1) line[stored++] = static_cast<char16_t>(byte);
  }
  line[stored] = 0;
  ++reader->line_number;
  reader->full_length = seen;
  reader->cut = seen > stored;
  return true;
}
