#include "platform/host/manifest.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <utility>

#include "registry/roots.h"

namespace cepkg {

namespace {

constexpr std::size_t kHeaderSize = 100;
constexpr char kSignature[4] = {'M', 'S', 'C', 'E'};
constexpr std::uint16_t kFirstFileId = 1;
constexpr std::uint16_t kLastFileId = 998;
constexpr std::uint16_t kLastBase = 17;  // %CE17%, the last folder the device names

// A path joined from a string list may not grow beyond this. It is far above
// any path the device takes (260 characters), and it keeps a manifest of a
// few kilobytes from naming one long string thousands of times over to make
// a path of gigabytes.
constexpr std::size_t kMaxJoined = 4096;

enum Section { kStrings, kDirs, kFiles, kHives, kValues, kLinks, kSectionCount };

// What every entry of a section starts with: a fixed part of `fixed` bytes,
// holding at `length_at` the length of the variable part that follows it.
struct Shape {
  const char* name;
  std::size_t fixed;
  std::size_t length_at;
};
constexpr Shape kShapes[kSectionCount] = {
    {"STRINGS", 4, 2},  {"DIRS", 4, 2},      {"FILES", 12, 10},
    {"REGHIVES", 8, 6}, {"REGKEYS", 12, 10}, {"LINKS", 12, 10},
};

// A piece of the manifest's text quoted in a message: cut so that one long
// name cannot flood a terminal, and with every byte that is not printable
// ASCII written as \xNN, so that the message stays on one line.
std::string Quote(const std::string& text) {
  constexpr std::size_t kMax = 60;
  static const char kHex[] = "0123456789ABCDEF";
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size() && i < kMax; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c >= 0x7F || c == '"') {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  if (text.size() > kMax) out += "...";
  return out + "\"";
}

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

// What makes `path` unfit to name a place on the device, or null. The
// emulated file system takes both `\` and `/` as separators, so both split
// components here.
const char* PathProblem(const std::string& path) {
  std::size_t start = 0;
  for (std::size_t i = 0; i <= path.size(); ++i) {
    if (i < path.size() && IsControl(static_cast<unsigned char>(path[i]))) {
      return "holds a control character";
    }
    if (i == path.size() || path[i] == '\\' || path[i] == '/') {
      std::size_t length = i - start;
      if (length == 1 && path[start] == '.') return "has a \".\" component";
      if (length == 2 && path[start] == '.' && path[start + 1] == '.') {
        return "has a \"..\" component";
      }
      start = i + 1;
    }
  }
  return nullptr;
}

// What makes `name` unfit as the name a file is installed under, or null:
// it must name one file in its folder, nothing above or beside it.
const char* FileNameProblem(const std::string& name) {
  if (name.empty()) return "is empty";
  if (name == "." || name == "..") return "is not a file's name";
  for (char c : name) {
    if (c == '\\' || c == '/') return "holds a path separator";
    if (c == ':') return "holds a \":\"";
    if (IsControl(static_cast<unsigned char>(c))) return "holds a control character";
  }
  return nullptr;
}

class Parser {
 public:
  Parser(const std::uint8_t* bytes, std::size_t size, Manifest* manifest, std::string* error)
      : bytes_(bytes), size_(size), m_(manifest), error_(error) {}

  bool Run() {
    *m_ = Manifest();
    return Header() && Strings() && Dirs() && Files() && Hives() && Values() && Links();
  }

 private:
  // One entry's place in its section.
  struct Entry {
    Section section;
    std::size_t index;  // from 1
    std::size_t at;     // the entry's offset
    std::uint16_t id;
    std::size_t data;  // the offset of its variable part
    std::size_t data_size;
  };

  bool Fail(std::string message) {
    *error_ = std::move(message);
    return false;
  }

  static std::string Where(const Entry& e) {
    return std::string(kShapes[e.section].name) + " entry " + std::to_string(e.index) + " (id " +
           std::to_string(e.id) + "): ";
  }

  // Callers have checked that the bytes lie within the manifest.
  std::uint16_t U16(std::size_t at) const {
    return static_cast<std::uint16_t>(bytes_[at] | bytes_[at + 1] << 8);
  }
  std::uint32_t U32(std::size_t at) const {
    return static_cast<std::uint32_t>(U16(at)) | static_cast<std::uint32_t>(U16(at + 2)) << 16;
  }

  // The text of `size` bytes at `at` up to its first NUL, which must be there.
  bool Text(std::size_t at, std::size_t size, std::string* text) const {
    const std::uint8_t* begin = bytes_ + at;
    const void* nul = size == 0 ? nullptr : std::memchr(begin, 0, size);
    if (nul == nullptr) return false;
    text->assign(reinterpret_cast<const char*>(begin),
                 static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - begin));
    return true;
  }

  bool Header() {
    if (size_ >= sizeof kSignature && std::memcmp(bytes_, kSignature, sizeof kSignature) != 0) {
      return Fail("header: no \"MSCE\" signature at its start: not a setup manifest");
    }
    if (size_ < kHeaderSize) {
      return Fail("header: " + std::to_string(size_) + " bytes, fewer than the " +
                  std::to_string(kHeaderSize) + " a header takes");
    }
    std::uint32_t length = U32(8);
    if (length > size_) {
      return Fail("header: the length field says " + std::to_string(length) + " bytes, but only " +
                  std::to_string(size_) + " are there");
    }
    if (length < kHeaderSize) {
      return Fail("header: the length field says " + std::to_string(length) +
                  " bytes, fewer than the " + std::to_string(kHeaderSize) + " a header takes");
    }
    // Nothing beyond the manifest's own length is read from here on.
    size_ = length;
    m_->length = length;
    m_->processor = U32(20);
    m_->min_major = U32(24);
    m_->min_minor = U32(28);
    m_->max_major = U32(32);
    m_->max_minor = U32(36);
    m_->min_build = U32(40);
    m_->max_build = U32(44);
    if (!HeaderText(84, "application name", &m_->app_name) ||
        !HeaderText(88, "provider", &m_->provider) || !Unsupported()) {
      return false;
    }
    for (int s = 0; s < kSectionCount; ++s) {
      if (!SectionBounds(static_cast<Section>(s))) return false;
    }
    return true;
  }

  // The place of one of the header's texts: (offset, length) at `field`.
  bool TextPlace(std::size_t field, const char* what, std::size_t* at, std::size_t* size) {
    *at = U16(field);
    *size = U16(field + 2);
    if (*at + *size > size_) {
      return Fail(std::string("header: the ") + what + " at offset " + std::to_string(*at) + ", " +
                  std::to_string(*size) + " bytes long, runs past the manifest's " +
                  std::to_string(size_) + " bytes");
    }
    return true;
  }

  bool HeaderText(std::size_t field, const char* what, std::string* text) {
    std::size_t at = 0, size = 0;
    if (!TextPlace(field, what, &at, &size)) return false;
    if (size == 0) return true;
    if (!Text(at, size, text)) {
      return Fail(std::string("header: the ") + what + " has no NUL within its " +
                  std::to_string(size) + " bytes");
    }
    return true;
  }

  // NUL-separated names, the last of them empty.
  bool Unsupported() {
    std::size_t at = 0, size = 0;
    if (!TextPlace(92, "unsupported platforms list", &at, &size)) return false;
    std::size_t end = at + size;
    while (at < end) {
      std::string name;
      if (!Text(at, end - at, &name)) {
        return Fail("header: the unsupported platforms list does not end in an empty name");
      }
      if (name.empty()) return true;
      at += name.size() + 1;
      m_->unsupported.push_back(std::move(name));
    }
    if (size != 0) {
      return Fail("header: the unsupported platforms list does not end in an empty name");
    }
    return true;
  }

  // The section's offset and count against the manifest's length, before any
  // of its entries is read: a count that cannot fit is refused at once.
  bool SectionBounds(Section s) {
    const char* name = kShapes[s].name;
    std::uint16_t count = U16(48 + 2 * s);
    std::uint32_t offset = U32(60 + 4 * s);
    if (offset > size_) {
      return Fail(std::string("header: ") + name + " offset " + std::to_string(offset) +
                  " lies beyond the manifest's " + std::to_string(size_) + " bytes");
    }
    if (count == 0) return true;
    if (offset < kHeaderSize) {
      return Fail(std::string("header: ") + name + " offset " + std::to_string(offset) +
                  " lies inside the header");
    }
    std::size_t least = static_cast<std::size_t>(count) * kShapes[s].fixed;
    if (least > size_ - offset) {
      return Fail(std::string("header: ") + name + " claims " + std::to_string(count) +
                  " entries, which take at least " + std::to_string(least) + " bytes, but " +
                  std::to_string(size_ - offset) + " follow its offset " + std::to_string(offset));
    }
    count_[s] = count;
    next_[s] = offset;
    return true;
  }

  // The next entry of section `s`, its whole extent checked.
  bool Next(Section s, std::size_t index, Entry* e) {
    const Shape& shape = kShapes[s];
    std::size_t at = next_[s];
    e->section = s;
    e->index = index + 1;
    e->at = at;
    if (size_ - at < shape.fixed) {
      return Fail(std::string(shape.name) + " entry " + std::to_string(e->index) + " at offset " +
                  std::to_string(at) + ": runs past the end of the manifest's " +
                  std::to_string(size_) + " bytes");
    }
    e->id = U16(at);
    e->data = at + shape.fixed;
    e->data_size = U16(at + shape.length_at);
    if (e->data_size > size_ - e->data) {
      return Fail(Where(*e) + "its " + std::to_string(e->data_size) + " bytes at offset " +
                  std::to_string(e->data) + " run past the end of the manifest's " +
                  std::to_string(size_) + " bytes");
    }
    next_[s] = e->data + e->data_size;
    return true;
  }

  // A list of string ids ending in 0, taking the entry's whole variable part.
  bool Parts(const Entry& e, std::vector<std::uint16_t>* parts) {
    if (e.data_size % 2 != 0) {
      return Fail(Where(e) + "its string list of " + std::to_string(e.data_size) +
                  " bytes is not a whole number of ids");
    }
    std::size_t n = e.data_size / 2;
    if (n == 0 || U16(e.data + 2 * (n - 1)) != 0) {
      return Fail(Where(e) + "its string list does not end in 0");
    }
    parts->reserve(n - 1);
    for (std::size_t i = 0; i + 1 < n; ++i) {
      std::uint16_t id = U16(e.data + 2 * i);
      if (id == 0) return Fail(Where(e) + "its string list holds a 0 before its end");
      parts->push_back(id);
    }
    return true;
  }

  // The texts of `parts` joined by `\`, checked as a path.
  bool Join(const Entry& e, const std::vector<std::uint16_t>& parts, const char* what,
            std::string* path) {
    for (std::size_t i = 0; i < parts.size(); ++i) {
      auto found = strings_.find(parts[i]);
      if (found == strings_.end()) {
        return Fail(Where(e) + "names string " + std::to_string(parts[i]) +
                    ", which STRINGS does not hold");
      }
      const std::string& text = m_->strings[found->second].text;
      if (path->size() + 1 + text.size() > kMaxJoined) {
        return Fail(Where(e) + "its " + what + " is longer than " + std::to_string(kMaxJoined) +
                    " bytes");
      }
      if (i > 0) *path += '\\';
      *path += text;
    }
    if (const char* problem = PathProblem(*path)) {
      return Fail(Where(e) + what + " " + Quote(*path) + " " + problem);
    }
    return true;
  }

  // Records `e.id` in `index`; false when it is there already.
  bool Unique(const Entry& e, std::unordered_map<std::uint16_t, std::size_t>* index,
              std::size_t position) {
    if (!index->emplace(e.id, position).second) {
      return Fail(Where(e) + "id " + std::to_string(e.id) + " is given twice");
    }
    return true;
  }

  bool Strings() {
    for (std::size_t i = 0; i < count_[kStrings]; ++i) {
      Entry e;
      if (!Next(kStrings, i, &e) || !Unique(e, &strings_, m_->strings.size())) return false;
      String string;
      string.id = e.id;
      if (!Text(e.data, e.data_size, &string.text)) {
        return Fail(Where(e) + "no NUL within its " + std::to_string(e.data_size) + " bytes");
      }
      m_->strings.push_back(std::move(string));
    }
    return true;
  }

  bool Dirs() {
    for (std::size_t i = 0; i < count_[kDirs]; ++i) {
      Entry e;
      if (!Next(kDirs, i, &e) || !Unique(e, &dirs_, m_->dirs.size())) return false;
      Dir dir;
      dir.id = e.id;
      if (!Parts(e, &dir.parts) || !Join(e, dir.parts, "path", &dir.path)) return false;
      if (dir.path.empty()) return Fail(Where(e) + "its path is empty");
      m_->dirs.push_back(std::move(dir));
    }
    return true;
  }

  bool Files() {
    std::vector<bool> seen(kLastFileId + 1, false);
    for (std::size_t i = 0; i < count_[kFiles]; ++i) {
      Entry e;
      if (!Next(kFiles, i, &e)) return false;
      File file;
      file.id = e.id;
      file.dir = U16(e.at + 2);
      file.unknown = U16(e.at + 4);
      file.flags = U32(e.at + 6);
      if (file.id < kFirstFileId || file.id > kLastFileId) {
        return Fail(Where(e) + "the file's number lies outside " + std::to_string(kFirstFileId) +
                    ".." + std::to_string(kLastFileId));
      }
      if (seen[file.id]) {
        return Fail(Where(e) + "file number " + std::to_string(file.id) + " is given twice");
      }
      seen[file.id] = true;
      if (dirs_.count(file.dir) == 0) {
        return Fail(Where(e) + "names folder " + std::to_string(file.dir) +
                    ", which DIRS does not hold");
      }
      if (!Text(e.data, e.data_size, &file.name)) {
        return Fail(Where(e) + "its name has no NUL within its " + std::to_string(e.data_size) +
                    " bytes");
      }
      if (const char* problem = FileNameProblem(file.name)) {
        return Fail(Where(e) + "name " + Quote(file.name) + " " + problem);
      }
      m_->files.push_back(std::move(file));
    }
    return true;
  }

  bool Hives() {
    for (std::size_t i = 0; i < count_[kHives]; ++i) {
      Entry e;
      if (!Next(kHives, i, &e) || !Unique(e, &hives_, m_->hives.size())) return false;
      Hive hive;
      hive.id = e.id;
      hive.root = U16(e.at + 2);
      if (RootByManifest(hive.root) == nullptr) {
        return Fail(Where(e) + "root " + std::to_string(hive.root) + " is none of 1..4");
      }
      if (!Parts(e, &hive.parts) || !Join(e, hive.parts, "key path", &hive.path)) return false;
      m_->hives.push_back(std::move(hive));
    }
    return true;
  }

  bool Values() {
    for (std::size_t i = 0; i < count_[kValues]; ++i) {
      Entry e;
      if (!Next(kValues, i, &e)) return false;
      RegValue value;
      value.id = e.id;
      value.hive = U16(e.at + 2);
      value.substitute = U16(e.at + 4);
      value.flags = U32(e.at + 6);
      if (hives_.count(value.hive) == 0) {
        return Fail(Where(e) + "names hive " + std::to_string(value.hive) +
                    ", which REGHIVES does not hold");
      }
      if (!Text(e.data, e.data_size, &value.name)) {
        return Fail(Where(e) + "its value name has no NUL within its " +
                    std::to_string(e.data_size) + " bytes");
      }
      std::size_t skip = value.name.size() + 1;
      value.data.assign(reinterpret_cast<const char*>(bytes_ + e.data + skip), e.data_size - skip);
      // Whoever sets the value reads four bytes of a DWORD: they must be there.
      if (value.type() == kRegTypeDword && value.data.size() != 4) {
        return Fail(Where(e) + "a DWORD value takes 4 bytes of data, not " +
                    std::to_string(value.data.size()));
      }
      m_->values.push_back(std::move(value));
    }
    return true;
  }

  bool Links() {
    std::unordered_map<std::uint16_t, std::size_t> files;
    for (std::size_t i = 0; i < m_->files.size(); ++i) files.emplace(m_->files[i].id, i);
    for (std::size_t i = 0; i < count_[kLinks]; ++i) {
      Entry e;
      if (!Next(kLinks, i, &e)) return false;
      Link link;
      link.id = e.id;
      link.unknown = U16(e.at + 2);
      link.base = U16(e.at + 4);
      link.target = U16(e.at + 6);
      link.type = U16(e.at + 8);
      if (link.base > kLastBase) {
        return Fail(Where(e) + "base folder " + std::to_string(link.base) +
                    " is neither 0 (the install folder) nor one of %CE1%..%CE" +
                    std::to_string(kLastBase) + "%");
      }
      if (link.type == kLinkFile) {
        if (files.count(link.target) == 0) {
          return Fail(Where(e) + "targets file " + std::to_string(link.target) +
                      ", which FILES does not hold");
        }
      } else if (link.type == kLinkFolder) {
        if (dirs_.count(link.target) == 0) {
          return Fail(Where(e) + "targets folder " + std::to_string(link.target) +
                      ", which DIRS does not hold");
        }
      } else {
        return Fail(Where(e) + "type " + std::to_string(link.type) +
                    " is neither 0 (a folder) nor 1 (a file)");
      }
      if (!Parts(e, &link.parts) || !Join(e, link.parts, "name", &link.name)) return false;
      if (link.name.empty()) return Fail(Where(e) + "its name is empty");
      m_->links.push_back(std::move(link));
    }
    return true;
  }

  const std::uint8_t* bytes_;
  std::size_t size_;  // the manifest's length once the header is read
  Manifest* m_;
  std::string* error_;
  std::size_t count_[kSectionCount] = {};
  std::size_t next_[kSectionCount] = {};  // where each section's next entry starts
  // Ids to positions in the manifest's lists, for the sections others name.
  std::unordered_map<std::uint16_t, std::size_t> strings_, dirs_, hives_;
};

template <typename T>
const T* FindId(const std::vector<T>& list, std::uint16_t id) {
  auto found =
      std::find_if(list.begin(), list.end(), [id](const T& item) { return item.id == id; });
  return found == list.end() ? nullptr : &*found;
}

}  // namespace

const String* Manifest::FindString(std::uint16_t id) const { return FindId(strings, id); }
const Dir* Manifest::FindDir(std::uint16_t id) const { return FindId(dirs, id); }
const File* Manifest::FindFile(std::uint16_t id) const { return FindId(files, id); }
const Hive* Manifest::FindHive(std::uint16_t id) const { return FindId(hives, id); }

bool ParseManifest(const std::uint8_t* bytes, std::size_t size, Manifest* manifest,
                   std::string* error) {
  if (bytes == nullptr) size = 0;
  static const std::uint8_t kNothing = 0;
  return Parser(bytes == nullptr ? &kNothing : bytes, size, manifest, error).Run();
}

// The processor numbers Windows CE defines (PROCESSOR_* in winnt.h), named as
// cabextract's notes on the package format name them.
const char* ProcessorName(std::uint32_t processor) {
  static const struct {
    std::uint32_t number;
    const char* name;
  } kProcessors[] = {
      {0, "any"},
      {103, "SHx SH3"},
      {104, "SHx SH4"},
      {386, "Intel 386"},
      {486, "Intel 486"},
      {586, "Intel Pentium"},
      {601, "PowerPC 601"},
      {603, "PowerPC 603"},
      {604, "PowerPC 604"},
      {620, "PowerPC 620"},
      {821, "Motorola 821"},
      {0x720, "ARM 720"},
      {0x820, "ARM 820"},
      {0x920, "ARM 920"},
      {0xA11, "StrongARM"},
      {4000, "MIPS R4000"},
      {10003, "Hitachi SH3"},
      {10004, "Hitachi SH3E"},
      {10005, "Hitachi SH4"},
      {21064, "Alpha 21064"},
      {70001, "ARM 7TDMI"},
  };
  for (const auto& known : kProcessors) {
    if (known.number == processor) return known.name;
  }
  return nullptr;
}

}  // namespace cepkg
