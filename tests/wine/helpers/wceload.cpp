// A stand-in for the device's package installer, \Windows\wceload.exe, for
// the tests under Wine. It installs nothing: it appends what it was asked
// and what it saw to C:\wceload.log (UTF-8, one line per event), so that a
// test can tell which packages were handed over, in which order, whether
// the file was still there, and whether the installer waited for it.
//
//   start <TAB> command line <TAB> 1|0 (the quoted path exists)
//         <TAB> names in \Temp\branding, joined by "|" (for a package in it)
//   end   <TAB> command line            (after a pause of 300 ms)
#include <wchar.h>
#include <windows.h>

#include <string>

namespace {

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size,
                      nullptr, nullptr);
  return out;
}

void Log(const std::wstring& line) {
  HANDLE log = CreateFileW(L"C:\\wceload.log", FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (log == INVALID_HANDLE_VALUE) return;
  std::string bytes = Utf8(line) + "\n";
  DWORD written = 0;
  WriteFile(log, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(log);
}

std::wstring StagedNames() {
  std::wstring names;
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW(L"C:\\Temp\\branding\\*", &found);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    if (!names.empty()) names += L"|";
    names += name;
  } while (FindNextFileW(find, &found));
  FindClose(find);
  return names;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
  // The whole command line as the caller passed it: on the device it holds
  // no program name, and the installer's callers pass none.
  std::wstring command_line = GetCommandLineW();
  std::wstring target;
  size_t open = command_line.find(L'"');
  if (open != std::wstring::npos) {
    size_t close = command_line.find(L'"', open + 1);
    if (close != std::wstring::npos) target = command_line.substr(open + 1, close - open - 1);
  }
  bool exists = !target.empty() && GetFileAttributesW(target.c_str()) != INVALID_FILE_ATTRIBUTES;
  // The staging folder is listed only for a package in it, which the program
  // waits for. The theme's installer is not waited for: listing the folder
  // then could hold it open just when the program removes it, and leave it
  // behind on a busy machine.
  std::wstring prefix = L"\\Temp\\Branding\\";
  bool staged = _wcsnicmp(target.c_str(), prefix.c_str(), prefix.size()) == 0;
  Log(L"start\t" + command_line + L"\t" + (exists ? L"1" : L"0") + L"\t" +
      (staged ? StagedNames() : std::wstring()));
  Sleep(300);
  Log(L"end\t" + command_line);
  return 0;
}
