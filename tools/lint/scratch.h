// A scratch emulated device for the linter: a temporary device image whose
// \Temp\branding mirrors the delivery, opened through the host backend so
// that the installer's own code reads the delivery through the platform door
// exactly as brandsim gives it to the program.
//
// Only what the device reads line by line or as text is copied (brand.ini,
// the registry scripts, the message files); every other file is mirrored as
// an empty file of the same name, since only its name and presence count.
// With a device image, its fs/ is mirrored the same way (names only, links
// kept as links) and its registry.reg copied, so that the delivery can be
// checked against what the device already holds.
#pragma once

#include <filesystem>
#include <string>

namespace lint {

class ScratchDevice {
 public:
  ScratchDevice() = default;
  ~ScratchDevice();
  ScratchDevice(const ScratchDevice&) = delete;
  ScratchDevice& operator=(const ScratchDevice&) = delete;

  // `device` may be empty. On failure `error` says what could not be read,
  // naming the user's file, and nothing is left behind.
  bool Open(const std::filesystem::path& delivery, const std::filesystem::path& device,
            std::string* error);

 private:
  void Remove();
  std::filesystem::path dir_;
  bool open_ = false;
};

}  // namespace lint
