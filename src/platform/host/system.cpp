// Sleeping and the restart request.

#include <chrono>
#include <string>
#include <thread>

#include "platform/host/internal.h"

namespace platform {

using host::Current;
using host::State;

// Recorded; slept only with --real-time, so that a run takes no longer than
// its work.
void Sleep(std::uint32_t milliseconds) {
  State* state = Current();
  if (state == nullptr) return;
  state->journal.Write(host::Event("sleep").Number("ms", milliseconds),
                       "sleep " + std::to_string(milliseconds) + " ms");
  if (state->config.real_time) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  }
}

// The restart request writes the registry, as the device's shutdown would,
// and returns; brandsim ends the run when the program returns. Any other
// request is unknown to the device.
bool KernelIoControl(std::uint32_t io_control_code, void* /*in_buffer*/, std::uint32_t /*in_size*/,
                     void* /*out_buffer*/, std::uint32_t /*out_size*/,
                     std::uint32_t* bytes_returned) {
  if (bytes_returned != nullptr) *bytes_returned = 0;
  State* state = Current();
  if (state == nullptr || io_control_code != kIoctlHalReboot) return false;
  state->journal.Write(host::Event("restart"), "restart");
  std::string message;
  if (!state->registry.Save(state->registry_file, &message)) host::ReportError(*state, message);
  host::SetRestartRequested();
  return true;
}

}  // namespace platform
