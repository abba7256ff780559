#include "settings/line_reader.h"

#include <cstring>

namespace {

std::uint32_t ReadPlatformFile(void* context, std::uint8_t* buffer, std::uint32_t capacity) {
  std::uint32_t got = 0;
  platform::ReadFile(*static_cast<platform::Handle*>(context), buffer, capacity, &got,
                     nullptr);
  return got;
}

std::uint32_t ReadMemory(void* context, std::uint8_t* buffer, std::uint32_t capacity) {
  auto* memory = static_cast<MemoryBytes*>(context);
  std::uint32_t left = memory->position < memory->size ? memory->size - memory->position : 0;
  std::uint32_t count = left < capacity ? left : capacity;
  if (count > 0) std::memcpy(buffer, memory->bytes + memory->position, count);
  memory->position += count;
  return count;
}

}  // namespace

ByteSource FileByteSource(platform::Handle* file) {
  return ByteSource{ReadPlatformFile, file};
}

ByteSource MemoryByteSource(MemoryBytes* memory) { return ByteSource{ReadMemory, memory}; }

void StartByteLines(ByteLineReader* reader, ByteSource source) {
  reader->source = source;
  reader->position = 0;
  reader->length = 0;
  reader->at_end = false;
  reader->line_number = 0;
  reader->count_lines = true;
  reader->full_length = 0;
  reader->cut = false;
}

namespace {

// Makes sure that unread bytes lie in the chunk; false once the source is done.
// A read failure looks like the end of the file, and the end is sticky so
// that a file that grows or a device that errs once is not read past what
// was delivered. A read that fills less than the chunk has met the end of
// the file: asking again would cost a call only to learn that.
bool Fill(ByteLineReader* reader) {
  if (reader->position < reader->length) return true;
  if (reader->at_end) return false;
  std::uint32_t got = reader->source.read(reader->source.context, reader->chunk, kReadChunk);
  if (got == 0 || got > kReadChunk) {
    reader->at_end = true;
    return false;
  }
  reader->at_end = got < kReadChunk;
  reader->position = 0;
  reader->length = got;
  return true;
}

// LF bytes in [begin, end), eight at a time: in each word, the bytes that
// equal LF become zero, and the bytes that are not zero get their high bit
// set without carrying into their neighbours.
std::uint32_t CountLineFeeds(const std::uint8_t* begin, const std::uint8_t* end) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
  std::uint32_t count = 0;
  for (; end - begin >= 8; begin += 8) {
    std::uint64_t word;
    std::memcpy(&word, begin, 8);
    std::uint64_t x = word ^ (kOnes * 0x0A);
    std::uint64_t zero = ~(((x & kLow7) + kLow7) | x) & ~kLow7;  // high bit of each zero byte
    count += static_cast<std::uint32_t>(((zero >> 7) * kOnes) >> 56);
  }
  for (; begin < end; ++begin) count += *begin == 0x0A;
  return count;
}

}  // namespace

bool ReadByteLine(ByteLineReader* reader, char16_t* line) {
  line[0] = 0;
  std::uint32_t stored = 0;
  std::uint32_t seen = 0;
  for (;;) {
    if (!Fill(reader)) return false;
    // The bytes up to the LF, or to the end of the chunk when the line goes on.
    const std::uint8_t* begin = reader->chunk + reader->position;
    std::uint32_t available = reader->length - reader->position;
    const void* lf = std::memchr(begin, 0x0A, available);
    std::uint32_t count =
        lf != nullptr ? static_cast<std::uint32_t>(static_cast<const std::uint8_t*>(lf) - begin)
                      : available;
    for (std::uint32_t i = 0; i < count; ++i) {
      std::uint8_t byte = begin[i];
      if (byte == 0x0D) continue;
      if (seen != 0xFFFFFFFFu) ++seen;
      if (stored < kLineCapacity - 1) line[stored++] = static_cast<char16_t>(byte);
    }
    reader->position += count;
    if (lf != nullptr) {
      ++reader->position;
      break;
    }
  }
  line[stored] = 0;
  ++reader->line_number;
  reader->full_length = seen;
  reader->cut = seen > stored;
  return true;
}

void DropLinesWhere(ByteLineReader* reader, LineTest skip, const void* context) {
  while (Fill(reader)) {
    const std::uint8_t* chunk = reader->chunk;
    const std::uint8_t* end = chunk + reader->length;
    const std::uint8_t* line = chunk + reader->position;
    std::uint32_t passed = 0;
    bool stopped = false;
    while (line < end) {
      const void* lf = std::memchr(line, 0x0A, static_cast<std::size_t>(end - line));
      if (lf == nullptr) {
        stopped = true;  // the line goes on in the next chunk
        break;
      }
      const std::uint8_t* next = static_cast<const std::uint8_t*>(lf);
      if (!skip(line, static_cast<std::uint32_t>(next - line), context)) {
        stopped = true;
        break;
      }
      line = next + 1;
      ++passed;
    }
    reader->position = static_cast<std::uint32_t>(line - chunk);
    reader->line_number += passed;
    if (stopped) return;
  }
}

void DropLinesNotStartingWith(ByteLineReader* reader, std::uint8_t mark) {
  while (Fill(reader)) {
    const std::uint8_t* chunk = reader->chunk;
    const std::uint8_t* end = chunk + reader->length;
    const std::uint8_t* line = chunk + reader->position;  // the start of a line
    for (;;) {
      const std::uint8_t* first = line;
      while (first < end && *first == 0x0D) ++first;
      if (first == end || *first == mark) break;
      // The next `mark` in the chunk, and the start of the line that holds it:
      // every line before that one is passed over at once.
      const void* found = std::memchr(first + 1, mark, static_cast<std::size_t>(end - first - 1));
      const std::uint8_t* start = found != nullptr ? static_cast<const std::uint8_t*>(found) : end;
      while (start > line && start[-1] != 0x0A) --start;
      if (start == line) {
        // No line starts before the mark (or before the end of the chunk): the
        // mark stands inside this very line. Pass over it alone if it ends here.
        const void* lf = std::memchr(first, 0x0A, static_cast<std::size_t>(end - first));
        if (lf == nullptr) break;
        ++reader->line_number;
        line = static_cast<const std::uint8_t*>(lf) + 1;
        continue;
      }
      if (reader->count_lines) reader->line_number += CountLineFeeds(line, start);
      line = start;
    }
    reader->position = static_cast<std::uint32_t>(line - chunk);
    if (reader->position < reader->length) return;  // before a line that may start with `mark`
  }
}
