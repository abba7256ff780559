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
//   probe registry OUT_FILE KEY...
//     Reports the keys named (HKEY_... full paths) with every key below
//     them, or with "=" in front only the key's own values: each key's
//     path and its values' names, types and data (hexadecimal bytes). One
//     program for all of them, where regedit /e takes one a key, and reads
//     HKEY_CLASSES_ROOT as the program sees it.
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
  // The wait is counted in steps of the pause, not from the tick count:
  // twice in about 1,500 differential runs this probe gave up at once, with
  // the dialog on the screen. Why is not known; a tick count that jumped
  // would do it. The counts are printed should it give up again.
  for (DWORD waited = 0;; waited += 50) {
    // "#32770" is the class of every dialog box, message boxes included.
    dialog = FindWindowW(L"#32770", caption);
    if (dialog != nullptr && IsWindowVisible(dialog)) break;
    if (waited >= timeout) {
      std::printf("no visible dialog %s after %lu ms (tick count %lu at the start, %lu now)\n",
                  Json(caption).c_str(), static_cast<unsigned long>(waited),
                  static_cast<unsigned long>(start), static_cast<unsigned long>(GetTickCount()));
      return 1;
    }
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

std::string Hex(const BYTE* data, DWORD size) {
  std::string out;
  char pair[3];
  for (DWORD i = 0; i < size; ++i) {
    std::snprintf(pair, sizeof pair, "%02x", data[i]);
    out += pair;
  }
  return out;
}

// Appends the key and, when `deep`, every key below it, as JSON objects.
void DumpKey(HKEY key, const std::wstring& path, bool deep, std::string* json) {
  if (json->back() == '}') *json += ", ";
  *json += "{\"path\": " + Json(path.c_str()) + ", \"values\": [";
  static wchar_t name[16384];
  static BYTE data[1 << 16];
  for (DWORD i = 0;; ++i) {
    DWORD name_size = 16384, data_size = sizeof data, type = 0;
    LONG status = RegEnumValueW(key, i, name, &name_size, nullptr, &type, data, &data_size);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status != ERROR_SUCCESS) continue;
    if (i > 0) *json += ", ";
    *json += "{\"name\": " + Json(name) + ", \"type\": " + std::to_string(type) + ", \"data\": \"" +
             Hex(data, data_size) + "\"}";
  }
  *json += "]}";
  if (!deep) return;
  for (DWORD i = 0;; ++i) {
    DWORD name_size = 16384;
    LONG status = RegEnumKeyExW(key, i, name, &name_size, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status != ERROR_SUCCESS) continue;
    std::wstring child_path = path + L"\\" + name;
    HKEY child;
    if (RegOpenKeyExW(key, name, 0, KEY_READ, &child) != ERROR_SUCCESS) continue;
    DumpKey(child, child_path, true, json);
    RegCloseKey(child);
  }
}

int Registry(int argc, wchar_t** argv) {
  if (argc < 3) return 2;
  const struct {
    const wchar_t* name;
    HKEY key;
  } roots[] = {{L"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
               {L"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
               {L"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE}};
  std::string json = "{\"keys\": [";
  for (int i = 3; i < argc; ++i) {
    std::wstring path = argv[i];
    bool deep = true;
    if (!path.empty() && path[0] == L'=') {
      deep = false;
      path.erase(0, 1);
    }
    std::wstring root_name = path.substr(0, path.find(L'\\'));
    std::wstring rest = root_name.size() < path.size() ? path.substr(root_name.size() + 1) : L"";
    for (const auto& root : roots) {
      if (_wcsicmp(root.name, root_name.c_str()) != 0) continue;
      HKEY key;
      if (RegOpenKeyExW(root.key, rest.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
        DumpKey(key, path, deep, &json);
        RegCloseKey(key);
      }
    }
  }
  json += "]}";
  return WriteOut(argv[2], json) ? 0 : 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc >= 2 && std::wstring(argv[1]) == L"dialog") return Dialog(argc, argv);
  if (argc >= 2 && std::wstring(argv[1]) == L"strings") return Strings(argc, argv);
  if (argc >= 2 && std::wstring(argv[1]) == L"registry") return Registry(argc, argv);
  return 2;
}
