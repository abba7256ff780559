// Holds the device's wildcard rule (src/platform/wildcard.cpp, which both
// backends list with) against the real FindFirstFileW.
//
//   wildcard FOLDER
//     Makes FOLDER with a file of each name below, lists it with each
//     pattern below, and prints every name on which FindFirstFileW and the
//     rule disagree. Exit status 0 when they agree throughout, 1 otherwise.
//
// The names are all valid 8.3 names, so that the desktop's matching of
// generated short names ("*.gif" finding "a.gifx" through "A~1.GIF") plays
// no part. Patterns ending in "." are left out: the desktop strips a path's
// final dots before it lists, and the device's rule for them is not known.
#include <windows.h>

#include <cstdio>
#include <string>

#include "platform/wildcard.h"

namespace {

const wchar_t* const kNames[] = {L"inst", L"inst.msg", L"abc", L"a.b", L"x.gif", L"ab.gi",
                                 L"brand.ini", L"logo.GIF", L"cab1.cab", L"cab12.cab", L"readme"};
const wchar_t* const kPatterns[] = {L"*.*",   L"*",      L"inst.*", L"a*.*", L"?.*",
                                    L"*.gif", L"*.GIF",  L"a*",     L"*c",   L"a?c",
                                    L"*.b",   L"cab?.cab", L"*.ca?", L"brand.ini", L"*i*.*"};

bool Matches(const wchar_t* pattern, const wchar_t* name) {
  const char16_t* p = reinterpret_cast<const char16_t*>(pattern);
  const char16_t* n = reinterpret_cast<const char16_t*>(name);
  return wtext::MatchesWildcard(p, wcslen(pattern), n, wcslen(name));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 2;
  std::wstring folder = argv[1];
  CreateDirectoryW(folder.c_str(), nullptr);
  for (const wchar_t* name : kNames) {
    HANDLE file = CreateFileW((folder + L"\\" + name).c_str(), GENERIC_WRITE, 0, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 2;
    CloseHandle(file);
  }
  int differences = 0;
  for (const wchar_t* pattern : kPatterns) {
    std::wstring listed = L"|";
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((folder + L"\\" + pattern).c_str(), &found);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        if (found.cFileName[0] != L'.') listed += std::wstring(found.cFileName) + L"|";
      } while (FindNextFileW(find, &found));
      FindClose(find);
    }
    for (const wchar_t* name : kNames) {
      bool api = listed.find(L"|" + std::wstring(name) + L"|") != std::wstring::npos;
      if (api != Matches(pattern, name)) {
        std::wprintf(L"%ls with %ls: FindFirstFileW %ls, the rule %ls\n", name, pattern,
                     api ? L"lists it" : L"does not", api ? L"does not" : L"does");
        ++differences;
      }
    }
  }
  std::wprintf(L"%d names, %d patterns, %d differences\n",
               static_cast<int>(sizeof kNames / sizeof *kNames),
               static_cast<int>(sizeof kPatterns / sizeof *kPatterns), differences);
  return differences == 0 ? 0 : 1;
}
