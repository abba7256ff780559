// Cabinet files (MS-CAB) through libmspack: the members of a package or
// theme, listed and extracted. The cabinet is read from a descriptor the
// caller opened (so that the device's path rules decide what is opened),
// never by name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace cepkg {

struct CabMember {
  std::string name;         // as stored, e.g. "SAMPLE.001"
  std::uint32_t size = 0;   // uncompressed
  int number = -1;          // the three-digit extension 0..999; -1 when it is not one
  // The member's date and time as the cabinet stores them (MS-DOS fields).
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

class Cabinet {
 public:
  Cabinet();
  ~Cabinet();
  Cabinet(const Cabinet&) = delete;
  Cabinet& operator=(const Cabinet&) = delete;

  // Reads the cabinet's directory from `fd` (borrowed: it must stay open
  // while the cabinet is used). False with one line in *error when it is
  // not a cabinet, is damaged, or spans several files.
  bool Open(int fd, std::string* error);

  const std::vector<CabMember>& members() const { return members_; }
  // The index of the member numbered `number`, or -1; -2 when two members
  // carry that number.
  int Find(int number) const;

  // The member's bytes, when they are at most `limit` bytes.
  bool Read(std::size_t index, std::size_t limit, std::string* out, std::string* error);
  // Writes the member's bytes to `out_fd` (borrowed) from its current offset.
  bool Extract(std::size_t index, int out_fd, std::string* error);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  std::vector<CabMember> members_;
};

}  // namespace cepkg
