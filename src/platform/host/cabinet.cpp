#include "platform/host/cabinet.h"

#include <mspack.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/host/paths.h"

namespace cepkg {

namespace {

// libmspack opens everything by name. These two names stand for the
// cabinet's descriptor and for the member being extracted; open() knows no
// others, so libmspack never reaches the file system by itself.
constexpr char kCabinetName[] = "<cabinet>";
constexpr char kMemberName[] = "<member>";

// Where the member being extracted goes: a string (with a bound) or a descriptor.
struct Sink {
  std::string* bytes = nullptr;
  std::size_t limit = 0;
  int fd = -1;
  int write_errno = 0;
};

// What open() hands libmspack: a read position in the cabinet, or the sink.
struct Handle {
  int fd = -1;
  off_t position = 0;
  Sink* sink = nullptr;  // set for the member being extracted
};

Handle* AsHandle(mspack_file* file) { return reinterpret_cast<Handle*>(file); }

// libmspack's own explanation of its last failure ("no files in cabinet."),
// when it gives one.
thread_local std::string last_message;

const char* ErrorName(int code) {
  static const char* const kNames[] = {
      "MSPACK_ERR_OK",         "MSPACK_ERR_ARGS",     "MSPACK_ERR_OPEN",     "MSPACK_ERR_READ",
      "MSPACK_ERR_WRITE",      "MSPACK_ERR_SEEK",     "MSPACK_ERR_NOMEMORY", "MSPACK_ERR_SIGNATURE",
      "MSPACK_ERR_DATAFORMAT", "MSPACK_ERR_CHECKSUM", "MSPACK_ERR_CRUNCH",   "MSPACK_ERR_DECRUNCH",
  };
  if (code >= 0 && code < static_cast<int>(sizeof kNames / sizeof kNames[0])) return kNames[code];
  return "an unknown libmspack error";
}

std::string Damaged(int code) {
  std::string line = std::string("damaged: ") + ErrorName(code);
  if (!last_message.empty()) line += " (" + last_message + ")";
  return line;
}

// The three-digit extension of a name such as "SAMPLE.001", or -1.
int NumberOf(const std::string& name) {
  std::size_t dot = name.rfind('.');
  if (dot == std::string::npos || name.size() - dot != 4) return -1;
  int number = 0;
  for (std::size_t i = dot + 1; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return -1;
    number = number * 10 + (name[i] - '0');
  }
  return number;
}

}  // namespace

struct Cabinet::Impl {
  // libmspack hands this back to open() as `self`: the Impl behind it knows
  // the descriptor and the current sink.
  struct System {
    mspack_system base;
    Impl* impl;
  };

  explicit Impl(int cabinet_fd);
  ~Impl() {
    if (cabinet != nullptr) decompressor->close(decompressor, cabinet);
    if (decompressor != nullptr) mspack_destroy_cab_decompressor(decompressor);
  }
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  bool Unpack(std::size_t index, const std::string& name, std::string* error);

  static mspack_file* Open(mspack_system* self, const char* name, int mode);
  static void Close(mspack_file* file) { delete AsHandle(file); }
  static int Read(mspack_file* file, void* buffer, int bytes);
  static int Write(mspack_file* file, void* buffer, int bytes);
  static int Seek(mspack_file* file, off_t offset, int mode);
  static off_t Tell(mspack_file* file) { return AsHandle(file)->position; }
  static void Message(mspack_file* file, const char* format, ...);
  static void* Alloc(mspack_system*, std::size_t bytes) { return std::malloc(bytes); }
  static void Free(void* pointer) { std::free(pointer); }
  static void Copy(void* from, void* to, std::size_t bytes) { std::memcpy(to, from, bytes); }

  System system;
  int fd;
  Sink sink;
  mscab_decompressor* decompressor = nullptr;
  mscabd_cabinet* cabinet = nullptr;
  std::vector<mscabd_file*> files;  // in the order of members_
};

Cabinet::Impl::Impl(int cabinet_fd) : fd(cabinet_fd) {
  system.base = mspack_system{&Open,    &Close, &Read, &Write, &Seek,  &Tell,
                              &Message, &Alloc, &Free, &Copy,  nullptr};
  system.impl = this;
}

mspack_file* Cabinet::Impl::Open(mspack_system* self, const char* name, int mode) {
  Impl* impl = reinterpret_cast<System*>(self)->impl;
  if (std::strcmp(name, kCabinetName) == 0 && mode == MSPACK_SYS_OPEN_READ) {
    return reinterpret_cast<mspack_file*>(new Handle{impl->fd, 0, nullptr});
  }
  if (std::strcmp(name, kMemberName) == 0 && mode == MSPACK_SYS_OPEN_WRITE) {
    return reinterpret_cast<mspack_file*>(new Handle{-1, 0, &impl->sink});
  }
  return nullptr;
}

// Reads as much as asked unless the cabinet ends: libmspack takes a short
// read for the end of the file, so an interrupted call is taken up again.
int Cabinet::Impl::Read(mspack_file* file, void* buffer, int bytes) {
  Handle* handle = AsHandle(file);
  if (handle->sink != nullptr || bytes < 0) return -1;
  int done = 0;
  while (done < bytes) {
    ssize_t n = pread(handle->fd, static_cast<char*>(buffer) + done,
                      static_cast<std::size_t>(bytes - done), handle->position);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    done += static_cast<int>(n);
    handle->position += n;
  }
  return done;
}

int Cabinet::Impl::Write(mspack_file* file, void* buffer, int bytes) {
  Sink* sink = AsHandle(file)->sink;
  if (sink == nullptr || bytes < 0) return -1;
  if (sink->bytes != nullptr) {
    if (sink->bytes->size() + static_cast<std::size_t>(bytes) > sink->limit) return -1;
    sink->bytes->append(static_cast<const char*>(buffer), static_cast<std::size_t>(bytes));
    return bytes;
  }
  if (!host::WriteAll(sink->fd, std::string_view(static_cast<const char*>(buffer),
                                                 static_cast<std::size_t>(bytes)))) {
    sink->write_errno = errno;
    return -1;
  }
  return bytes;
}

// Positions are the handle's own (pread), so the borrowed descriptor's
// offset is never moved.
int Cabinet::Impl::Seek(mspack_file* file, off_t offset, int mode) {
  Handle* handle = AsHandle(file);
  if (handle->sink != nullptr) return -1;
  off_t base = 0;
  if (mode == MSPACK_SYS_SEEK_CUR) {
    base = handle->position;
  } else if (mode == MSPACK_SYS_SEEK_END) {
    struct stat st;
    if (fstat(handle->fd, &st) != 0) return -1;
    base = st.st_size;
  } else if (mode != MSPACK_SYS_SEEK_START) {
    return -1;
  }
  if (base + offset < 0) return -1;
  handle->position = base + offset;
  return 0;
}

void Cabinet::Impl::Message(mspack_file*, const char* format, ...) {
  char line[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  last_message = line;
}

bool Cabinet::Impl::Unpack(std::size_t index, const std::string& name, std::string* error) {
  last_message.clear();
  int code = decompressor->extract(decompressor, files[index], kMemberName);
  if (code == MSPACK_ERR_OK) return true;
  if (code == MSPACK_ERR_WRITE && sink.write_errno != 0) {
    *error = name + ": cannot write: " + std::strerror(sink.write_errno);
  } else {
    *error = name + ": " + Damaged(code);
  }
  return false;
}

Cabinet::Cabinet() = default;
Cabinet::~Cabinet() = default;

bool Cabinet::Open(int fd, std::string* error) {
  impl_.reset();
  members_.clear();

  int selftest = MSPACK_ERR_OK;
  MSPACK_SYS_SELFTEST(selftest);
  if (selftest != MSPACK_ERR_OK) {
    *error = "libmspack was built with another size of file offsets";
    return false;
  }

  // Checked here so that anything else, short files included, reads as
  // "not a cabinet" rather than as a failed read.
  char signature[4];
  ssize_t n;
  do {
    n = pread(fd, signature, sizeof signature, 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    *error = std::string("cannot read: ") + std::strerror(errno);
    return false;
  }
  if (n != static_cast<ssize_t>(sizeof signature) || std::memcmp(signature, "MSCF", 4) != 0) {
    *error = "not a cabinet";
    return false;
  }

  auto impl = std::make_unique<Impl>(fd);
  impl->decompressor = mspack_create_cab_decompressor(&impl->system.base);
  if (impl->decompressor == nullptr) {
    *error = "libmspack: out of memory";
    return false;
  }
  last_message.clear();
  impl->cabinet = impl->decompressor->open(impl->decompressor, kCabinetName);
  if (impl->cabinet == nullptr) {
    int code = impl->decompressor->last_error(impl->decompressor);
    *error = code == MSPACK_ERR_SIGNATURE ? "not a cabinet" : Damaged(code);
    return false;
  }
  const mscabd_cabinet& cab = *impl->cabinet;
  if (cab.flags & (MSCAB_HDR_PREVCAB | MSCAB_HDR_NEXTCAB)) {
    *error = "spans several files (one part of a multi-part cabinet set)";
    return false;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    *error = std::string("cannot read: ") + std::strerror(errno);
    return false;
  }
  if (st.st_size < static_cast<off_t>(cab.length)) {
    *error = "damaged: truncated: " + std::to_string(st.st_size) + " bytes of the " +
             std::to_string(cab.length) + " its header gives";
    return false;
  }

  for (mscabd_file* file = cab.files; file != nullptr; file = file->next) {
    CabMember member;
    member.name = file->filename;
    member.size = file->length;
    member.number = NumberOf(member.name);
    member.year = file->date_y;
    member.month = file->date_m;
    member.day = file->date_d;
    member.hour = file->time_h;
    member.minute = file->time_m;
    member.second = file->time_s;
    members_.push_back(std::move(member));
    impl->files.push_back(file);
  }
  impl_ = std::move(impl);
  return true;
}

int Cabinet::Find(int number) const {
  int found = -1;
  for (std::size_t i = 0; i < members_.size(); ++i) {
    if (members_[i].number != number) continue;
    if (found >= 0) return -2;
    found = static_cast<int>(i);
  }
  return found;
}

bool Cabinet::Read(std::size_t index, std::size_t limit, std::string* out, std::string* error) {
  out->clear();
  if (!impl_ || index >= members_.size()) {
    *error = "no member " + std::to_string(index) + " in the cabinet";
    return false;
  }
  const CabMember& member = members_[index];
  if (member.size > limit) {
    *error = member.name + ": " + std::to_string(member.size) + " bytes, more than the " +
             std::to_string(limit) + " allowed";
    return false;
  }
  out->reserve(member.size);
  impl_->sink = Sink{out, member.size, -1, 0};
  bool ok = impl_->Unpack(index, member.name, error);
  impl_->sink = Sink{};
  if (ok && out->size() != member.size) {
    *error = member.name + ": damaged: " + std::to_string(out->size()) + " bytes of " +
             std::to_string(member.size);
    ok = false;
  }
  if (!ok) out->clear();
  return ok;
}

bool Cabinet::Extract(std::size_t index, int out_fd, std::string* error) {
  if (!impl_ || index >= members_.size()) {
    *error = "no member " + std::to_string(index) + " in the cabinet";
    return false;
  }
  impl_->sink = Sink{nullptr, 0, out_fd, 0};
  bool ok = impl_->Unpack(index, members_[index].name, error);
  impl_->sink = Sink{};
  return ok;
}

}  // namespace cepkg
