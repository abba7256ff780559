// The program's entry: hands the instance and the command line (the text
// after the program's name) to the installer's own entry.
#include "driver/driver.h"
#include "platform/win32/win32.h"

#ifdef _WIN32_WCE
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous_instance, LPWSTR command_line, int show)
#else
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous_instance, LPWSTR command_line, int show)
#endif
{
  return Entry(win32::Portable(instance), win32::Portable(previous_instance),
               reinterpret_cast<const char16_t*>(command_line), show);
}
