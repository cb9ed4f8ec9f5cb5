// A helper that never answers, for the test that flash-card's end is its
// helper's end: it records its process id, starts one child like itself (as
// the helper starts PowerShell), and waits. The record file is named by
// WH_LINGERING_PIDS.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

int wmain(int argc, wchar_t** argv) {
  const wchar_t* record = _wgetenv(L"WH_LINGERING_PIDS");
  if (record == nullptr) return 2;
  if (FILE* file = _wfopen(record, L"a")) {
    std::fprintf(file, "%lu\n", ::GetCurrentProcessId());
    std::fclose(file);
  }
  if (argc < 2 || std::wcscmp(argv[1], L"--child") != 0) {
    wchar_t self[MAX_PATH];
    if (::GetModuleFileNameW(/*hModule=*/nullptr, self, MAX_PATH) == 0) return 3;
    std::wstring command_line = L"\"" + std::wstring(self) + L"\" --child";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(self, command_line.data(), /*lpProcessAttributes=*/nullptr,
                          /*lpThreadAttributes=*/nullptr, /*bInheritHandles=*/FALSE, CREATE_NO_WINDOW,
                          /*lpEnvironment=*/nullptr, /*lpCurrentDirectory=*/nullptr, &startup, &process)) {
      return 4;
    }
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
  }
  ::Sleep(60000);
  return 0;
}
