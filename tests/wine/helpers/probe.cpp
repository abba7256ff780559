// Looks at brandinst.exe from inside the same Wine session, where the tests
// cannot see otherwise. Writes one JSON object (ASCII; other characters as
// \uXXXX escapes, so that the exact UTF-16 text comes back) to OUT_FILE.
//
//   probe dialog CAPTION TIMEOUT_MS OUT_FILE [PATH...]
//     Waits for a visible message box captioned CAPTION and reports its
//     text, its buttons, whether it is topmost, and whether each PATH
//     exists while it is shown. Exit status 0 when found, 1 on timeout.
//   probe strings EXE OUT_FILE
//     Reports the string table of EXE as LoadStringW gives it (ids 1, 2)
//     and whether a Czech (0x0405) table is there.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::string Json(const wchar_t* text) {
  std::string out = "\"";
  for (const wchar_t* p = text; *p != 0; ++p) {
    unsigned c = static_cast<unsigned short>(*p);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    }
  }
  return out + "\"";
}

bool WriteOut(const wchar_t* path, const std::string& json) {
  HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  std::string bytes = json + "\n";
  DWORD written = 0;
  BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  return ok && written == bytes.size();
}

const char* Bool(bool value) { return value ? "true" : "false"; }

bool HasButton(HWND dialog, int id) {
  HWND button = GetDlgItem(dialog, id);
  return button != nullptr && IsWindowVisible(button);
}

int Dialog(int argc, wchar_t** argv) {
  if (argc < 5) return 2;
  const wchar_t* caption = argv[2];
  DWORD timeout = static_cast<DWORD>(_wtoi(argv[3]));
  DWORD start = GetTickCount();
  HWND dialog = nullptr;
  for (;;) {
    // "#32770" is the class of every dialog box, message boxes included.
    dialog = FindWindowW(L"#32770", caption);
    if (dialog != nullptr && IsWindowVisible(dialog)) break;
    if (GetTickCount() - start > timeout) return 1;
    Sleep(50);
  }
  wchar_t text[1024] = {0};
  // 0xFFFF: the id of a message box's text control.
  GetDlgItemTextW(dialog, 0xFFFF, text, 1024);
  LONG_PTR ex_style = GetWindowLongPtrW(dialog, GWL_EXSTYLE);
  std::string json = "{\"text\": " + Json(text);
  json += std::string(", \"yes\": ") + Bool(HasButton(dialog, IDYES));
  json += std::string(", \"no\": ") + Bool(HasButton(dialog, IDNO));
  json += std::string(", \"ok\": ") + Bool(HasButton(dialog, IDOK));
  json += std::string(", \"topmost\": ") + Bool((ex_style & WS_EX_TOPMOST) != 0);
  json += ", \"exists\": {";
  for (int i = 5; i < argc; ++i) {
    if (i > 5) json += ", ";
    json += Json(argv[i]) + ": " + Bool(GetFileAttributesW(argv[i]) != INVALID_FILE_ATTRIBUTES);
  }
  json += "}}";
  return WriteOut(argv[4], json) ? 0 : 2;
}

int Strings(int argc, wchar_t** argv) {
  if (argc < 4) return 2;
  HMODULE module = LoadLibraryExW(argv[2], nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (module == nullptr) return 2;
  std::string json = "{";
  for (UINT id = 1; id <= 2; ++id) {
    wchar_t text[256] = {0};
    int copied = LoadStringW(module, id, text, 256);
    if (id > 1) json += ", ";
    json += "\"" + std::to_string(id) + "\": {\"text\": " + Json(text) +
            ", \"copied\": " + std::to_string(copied) + "}";
  }
  // Strings 1 to 16 live in block 1 of the table.
  bool czech = FindResourceExW(module, MAKEINTRESOURCEW(6), MAKEINTRESOURCEW(1),
                               MAKELANGID(LANG_CZECH, SUBLANG_DEFAULT)) != nullptr;
  json += std::string(", \"czech\": ") + Bool(czech) + "}";
  FreeLibrary(module);
  return WriteOut(argv[3], json) ? 0 : 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc >= 2 && std::wstring(argv[1]) == L"dialog") return Dialog(argc, argv);
  if (argc >= 2 && std::wstring(argv[1]) == L"strings") return Strings(argc, argv);
  return 2;
}
