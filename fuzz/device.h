// The emulated device the in-process fuzz targets run the installer's code
// on: one per process, made at the first input in a fresh temporary folder
// (in /dev/shm when it is there, so that no input waits for a disk) and
// removed when the process exits normally.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz {

// Opens the device on the first call; later calls do nothing.
void OpenDevice();

// Writes DIR/fs/Temp/branding/<name> with the given bytes, replacing it.
void Stage(const std::string& name, const std::uint8_t* data, std::size_t size);

// Closes the device and opens it afresh with an empty registry: each input
// starts from the same device, so that a crash does not depend on the
// inputs before it, and nothing an input adds outlives it (which the leak
// checker would take for a leak).
void Renew();

// A fresh folder for a target that lays out its own files (the linter's
// deliveries and device image).
std::string ScratchFolder();

}  // namespace fuzz
