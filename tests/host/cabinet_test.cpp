// Cabinets written by cepkgwriter, read back through Cabinet (libmspack) and
// checked by cabextract; then cabinets that are broken or hostile.
#include "platform/host/cabinet.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "package_writer.h"
#include "platform/host/paths.h"
#include "support/support.h"

namespace {

using cepkg::Cabinet;
using cepkg::Compression;
using cepkg::Member;

// Runs of letters that compress among bytes that do not.
std::string Varied(std::size_t size, std::uint32_t seed) {
  std::string out;
  while (out.size() < size) {
    seed = seed * 1103515245u + 12345u;
    std::size_t run = (seed >> 16) % 3 == 0 ? (seed >> 8) % 300 : 1;
    out.append(std::min(run, size - out.size()),
               static_cast<char>(run > 1 ? 'a' + seed % 26 : seed >> 24));
  }
  return out;
}

// A descriptor on `bytes` in memory, at offset 0.
int MemoryFile(const std::string& bytes) {
  int fd = memfd_create("cabinet", MFD_CLOEXEC);
  EXPECT_TRUE(fd >= 0 && host::WriteAll(fd, bytes) && lseek(fd, 0, SEEK_SET) == 0);
  return fd;
}

std::string Contents(int fd) {
  std::string out(static_cast<std::size_t>(lseek(fd, 0, SEEK_END)), '\0');
  EXPECT_EQ(pread(fd, &out[0], out.size(), 0), static_cast<ssize_t>(out.size()));
  return out;
}

std::string OnPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "";
  for (std::size_t at = 0; at <= dirs.size();) {
    std::size_t colon = std::min(dirs.find(':', at), dirs.size());
    std::string candidate = dirs.substr(at, colon - at) + "/" + program;
    if (colon > at && access(candidate.c_str(), X_OK) == 0) return candidate;
    at = colon + 1;
  }
  return "";
}

std::uint32_t Get32(const std::string& b, std::size_t at) {
  return std::uint32_t(std::uint8_t(b[at])) | std::uint32_t(std::uint8_t(b[at + 1])) << 8 |
         std::uint32_t(std::uint8_t(b[at + 2])) << 16 |
         std::uint32_t(std::uint8_t(b[at + 3])) << 24;
}

void Set32(std::string* b, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) (*b)[at + i] = static_cast<char>(value >> (8 * i));
}

TEST(Cabinet, EveryShapeReadsBackInBothCompressions) {
  // 100 KB whose second block repeats what the first one ends with, so that
  // MSZIP blocks refer back across a block boundary.
  std::string repeating = Varied(24 * 1024, 2);
  repeating += repeating + Varied(52 * 1024, 8);
  struct Shape {
    const char* name;
    std::vector<Member> members;
    std::vector<int> numbers;
  };
  const Shape shapes[] = {
      {"an empty member", {{"SAMPLE.000", ""}}, {0}},
      {"small", {{"SAMPLE.000", "MSCE and a little"}}, {0}},
      {"exactly one block", {{"SAMPLE.001", Varied(32768, 1)}}, {1}},
      {"100 KB", {{"SAMPLE.002", repeating}}, {2}},
      {"several",
       {{"SAMPLE.000", "manifest"},
        {"SAMPLE.001", Varied(40000, 3)},
        {"EMPTY.002", ""},
        {"README.TXT", Varied(5000, 4)},
        {"SAMPLE.0010", "x"},
        {"SAMPLE.999", Varied(70000, 5)}},
       {0, 1, 2, -1, -1, 999}},
  };
  const std::string cabextract = OnPath("cabextract");
  support::TempDir dir;
  for (Compression compression : {Compression::kNone, Compression::kMszip}) {
    for (const Shape& shape : shapes) {
      SCOPED_TRACE(std::string(shape.name) +
                   (compression == Compression::kMszip ? ", MSZIP" : ", stored"));
      const std::string bytes = cepkg::WriteCabinet(shape.members, compression);
      host::Fd fd(MemoryFile(bytes));
      Cabinet cabinet;
      std::string error;
      ASSERT_TRUE(cabinet.Open(fd.get(), &error)) << error;
      ASSERT_EQ(cabinet.members().size(), shape.members.size());
      for (std::size_t i = 0; i < shape.members.size(); ++i) {
        const cepkg::CabMember& member = cabinet.members()[i];
        EXPECT_EQ(member.name, shape.members[i].name);
        EXPECT_EQ(member.size, shape.members[i].data.size());
        EXPECT_EQ(member.number, shape.numbers[i]);
        EXPECT_EQ(std::vector<int>({member.year, member.month, member.day, member.hour,
                                    member.minute, member.second}),
                  std::vector<int>({2001, 6, 1, 12, 0, 0}));
        std::string out;
        EXPECT_TRUE(cabinet.Read(i, member.size, &out, &error)) << error;
        EXPECT_TRUE(out == shape.members[i].data) << member.name;
      }
      // Backwards, so that each member restarts the folder's decompression.
      for (std::size_t i = shape.members.size(); i-- > 0;) {
        host::Fd out(memfd_create("member", MFD_CLOEXEC));
        EXPECT_TRUE(cabinet.Extract(i, out.get(), &error)) << error;
        EXPECT_TRUE(Contents(out.get()) == shape.members[i].data) << shape.members[i].name;
      }
      if (!cabextract.empty()) {
        support::fs::path file = dir.path() / "test.cab";
        support::WriteBytes(file, bytes);
        support::RunResult run = support::Run({cabextract, "-q", "-t", file.string()});
        EXPECT_EQ(run.status, 0) << run.out << run.err;
      }
    }
  }
  if (cabextract.empty())
    GTEST_SKIP() << "cabextract is not on the PATH: only our reader checked the cabinets";
}

TEST(Cabinet, BrokenAndHostileCabinetsFailWithOneLine) {
  const std::string small =
      cepkg::WriteCabinet({{"SAMPLE.001", Varied(1000, 6)}}, Compression::kMszip);
  const std::string large =
      cepkg::WriteCabinet({{"SAMPLE.001", Varied(100000, 7)}}, Compression::kNone);
  const std::size_t first_block = Get32(small, 36);

  // The cabinet as the first of a set: the next one's name and disk after the header.
  std::string spanning = small;
  const std::string next = std::string("NEXT.CAB") + '\0' + "DISK 2" + '\0';
  spanning[30] |= 0x02;
  spanning.insert(36, next);
  Set32(&spanning, 8, Get32(spanning, 8) + next.size());
  Set32(&spanning, 16, Get32(spanning, 16) + next.size());
  Set32(&spanning, 36 + next.size(), Get32(spanning, 36 + next.size()) + next.size());

  // The first deflate block made of the reserved type 3, checksum kept or cleared.
  std::string bad_type = small;
  bad_type[first_block + 10] = 0x07;
  std::string bad_type_unsummed = bad_type;
  Set32(&bad_type_unsummed, first_block, 0);

  struct Case {
    const char* name;
    std::string bytes;
    bool opens;
    std::size_t limit;  // Read's, of the first member
    const char* error;  // in Open's line, or Read's when it opens; "" for none
    int find;           // Find(1)
  };
  const Case cases[] = {
      {"text", "this is a text file, nothing else\n", false, 0, "not a cabinet", 0},
      {"two bytes", "MS", false, 0, "not a cabinet", 0},
      {"header cut short", small.substr(0, 30), false, 0, "damaged: MSPACK_ERR_READ", 0},
      {"data cut short", large.substr(0, large.size() / 2), false, 0, "damaged: truncated", 0},
      {"first of a set", spanning, false, 0, "spans several files", 0},
      {"member over the limit", small, true, 999,
       "SAMPLE.001: 1000 bytes, more than the 999 allowed", 0},
      {"one number twice",
       cepkg::WriteCabinet({{"A.001", "a"}, {"B.001", "b"}}, Compression::kNone), true, 1, "", -2},
      {"corrupt MSZIP, checksum", bad_type, true, 1000, "SAMPLE.001: damaged: MSPACK_ERR_CHECKSUM",
       0},
      {"corrupt MSZIP, no checksum", bad_type_unsummed, true, 1000,
       "SAMPLE.001: damaged: MSPACK_ERR_", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    host::Fd fd(MemoryFile(c.bytes));
    Cabinet cabinet;
    std::string error, out;
    bool ok = cabinet.Open(fd.get(), &error);
    ASSERT_EQ(ok, c.opens) << error;
    if (ok) {
      EXPECT_EQ(cabinet.Find(1), c.find);
      ok = cabinet.Read(0, c.limit, &out, &error);
      EXPECT_EQ(ok, *c.error == '\0') << error;
    }
    if (!ok) {
      EXPECT_NE(error.find(c.error), std::string::npos) << error;
      EXPECT_EQ(error.find('\n'), std::string::npos) << error;
      EXPECT_TRUE(out.empty());
    }
  }
}

}  // namespace
