// WriteCabinet: one folder holding every member, its data cut into blocks of
// 32768 bytes, stored as they are or MSZIP-compressed with zlib.
//
// Counts the format cannot hold (a name longer than 255 bytes, more than
// 65535 members or blocks, more than 4 GiB in all) throw std::length_error;
// an empty name, or one holding a NUL, throws std::invalid_argument.
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "package_writer.h"

namespace cepkg {

namespace {

constexpr std::size_t kBlockSize = 32768;
constexpr std::size_t kHeaderSize = 36, kFolderSize = 8;
// Every member carries 2001-06-01 12:00:00, so that the same members always
// give the same bytes.
constexpr std::uint16_t kDosDate = ((2001 - 1980) << 9) | (6 << 5) | 1;
constexpr std::uint16_t kDosTime = 12 << 11;
constexpr std::uint16_t kAttributeArchive = 0x20;

void Put16(std::string* out, std::uint32_t value) {
  out->push_back(static_cast<char>(value & 0xFF));
  out->push_back(static_cast<char>((value >> 8) & 0xFF));
}

void Put32(std::string* out, std::uint32_t value) {
  Put16(out, value & 0xFFFF);
  Put16(out, value >> 16);
}

// The CFDATA checksum: the little-endian 32-bit words XORed together, the
// one to three bytes left over packed the other way round.
std::uint32_t Checksum(const unsigned char* data, std::size_t size, std::uint32_t sum) {
  std::size_t words = size / 4;
  for (std::size_t i = 0; i < words; ++i, data += 4) {
    sum ^= std::uint32_t(data[0]) | std::uint32_t(data[1]) << 8 | std::uint32_t(data[2]) << 16 |
           std::uint32_t(data[3]) << 24;
  }
  std::uint32_t rest = 0;
  switch (size & 3) {
    case 3:
      rest |= std::uint32_t(*data++) << 16;
      [[fallthrough]];
    case 2:
      rest |= std::uint32_t(*data++) << 8;
      [[fallthrough]];
    case 1:
      rest |= *data;
  }
  return sum ^ rest;
}

// MSZIP: each block is "CK" and a raw deflate stream that ends with a final
// block. The reader keeps the previous block's 32 KiB as history, so that
// block is given to zlib as the dictionary.
class Mszip {
 public:
  Mszip() {
    if (deflateInit2(&stream_, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) !=
        Z_OK) {
      throw std::runtime_error("zlib: deflateInit2 failed");
    }
  }
  ~Mszip() { deflateEnd(&stream_); }
  Mszip(const Mszip&) = delete;
  Mszip& operator=(const Mszip&) = delete;

  std::string Block(const std::string& data, std::size_t at, std::size_t size) {
    auto* bytes = reinterpret_cast<const Bytef*>(data.data());
    if (deflateReset(&stream_) != Z_OK ||
        (at > 0 && deflateSetDictionary(&stream_, bytes + at - kBlockSize, kBlockSize) != Z_OK)) {
      throw std::runtime_error("zlib: cannot start a block");
    }
    std::string out(2 + deflateBound(&stream_, size), '\0');
    out[0] = 'C';
    out[1] = 'K';
    stream_.next_in = const_cast<Bytef*>(bytes + at);
    stream_.avail_in = static_cast<uInt>(size);
    stream_.next_out = reinterpret_cast<Bytef*>(&out[2]);
    stream_.avail_out = static_cast<uInt>(out.size() - 2);
    if (deflate(&stream_, Z_FINISH) != Z_STREAM_END)
      throw std::runtime_error("zlib: deflate failed");
    out.resize(out.size() - stream_.avail_out);
    // Data that does not compress goes in one stored block, so that a
    // block never grows by more than a few bytes.
    if (out.size() > size + 7) {
      out.resize(2);
      out.push_back(1);  // the final block, stored
      Put16(&out, static_cast<std::uint32_t>(size));
      Put16(&out, static_cast<std::uint32_t>(~size & 0xFFFF));
      out.append(data, at, size);
    }
    return out;
  }

 private:
  z_stream stream_{};
};

}  // namespace

std::string WriteCabinet(const std::vector<Member>& members, Compression compression) {
  if (members.size() > 0xFFFF) throw std::length_error("a cabinet holds at most 65535 members");

  std::string folder;  // every member's bytes, one after the other
  std::string files;   // the CFFILE entries
  for (const Member& member : members) {
    if (member.name.empty() || member.name.find('\0') != std::string::npos) {
      throw std::invalid_argument("a member name must be non-empty and hold no NUL");
    }
    if (member.name.size() > 255) {
      throw std::length_error(member.name + ": a member name has at most 255 bytes");
    }
    if (folder.size() + member.data.size() > 0xFFFFull * kBlockSize) {
      throw std::length_error(member.name + ": the members exceed the 65535 blocks of a folder");
    }
    Put32(&files, static_cast<std::uint32_t>(member.data.size()));
    Put32(&files, static_cast<std::uint32_t>(folder.size()));
    Put16(&files, 0);  // the folder
    Put16(&files, kDosDate);
    Put16(&files, kDosTime);
    Put16(&files, kAttributeArchive);
    files += member.name;
    files.push_back('\0');
    folder += member.data;
  }

  std::string blocks;
  std::size_t count = 0;
  std::optional<Mszip> mszip;
  if (compression == Compression::kMszip) mszip.emplace();
  for (std::size_t at = 0; at < folder.size(); at += kBlockSize, ++count) {
    std::size_t size = std::min(kBlockSize, folder.size() - at);
    std::string data = mszip ? mszip->Block(folder, at, size) : folder.substr(at, size);
    std::string sizes;
    Put16(&sizes, static_cast<std::uint32_t>(data.size()));
    Put16(&sizes, static_cast<std::uint32_t>(size));
    std::uint32_t sum =
        Checksum(reinterpret_cast<const unsigned char*>(data.data()), data.size(), 0);
    Put32(&blocks, Checksum(reinterpret_cast<const unsigned char*>(sizes.data()), 4, sum));
    blocks += sizes;
    blocks += data;
  }

  std::size_t files_at = kHeaderSize + kFolderSize;
  std::size_t data_at = files_at + files.size();
  std::size_t total = data_at + blocks.size();
  if (total > 0xFFFFFFFFu) throw std::length_error("a cabinet holds at most 4 GiB");

  std::string out;
  out.reserve(total);
  out += "MSCF";
  Put32(&out, 0);
  Put32(&out, static_cast<std::uint32_t>(total));
  Put32(&out, 0);
  Put32(&out, static_cast<std::uint32_t>(files_at));
  Put32(&out, 0);
  out.push_back(3);  // version 1.3
  out.push_back(1);
  Put16(&out, 1);  // folders
  Put16(&out, static_cast<std::uint32_t>(members.size()));
  Put16(&out, 0);  // flags: no reserved space, no other cabinets in a set
  Put16(&out, 0);  // set id
  Put16(&out, 0);  // index in the set

  Put32(&out, static_cast<std::uint32_t>(data_at));
  Put16(&out, static_cast<std::uint32_t>(count));
  Put16(&out, compression == Compression::kMszip ? 1 : 0);

  out += files;
  out += blocks;
  return out;
}

}  // namespace cepkg
