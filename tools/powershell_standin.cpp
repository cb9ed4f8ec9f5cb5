// A stand-in for powershell.exe in the Wine tests, placed where Windows keeps
// the real one. It splits its own command line with the C runtime's rules
// (wmain), and writes the argument after "-Command" to standard output as
// UTF-8, unchanged.
//
// The helper gives PowerShell an environment of its own making, so the test
// steers the stand-in through "standin.txt" beside it (NAME=VALUE lines, UTF-8,
// with "\\r", "\\n" and "\\\\" for a carriage return, line feed and backslash),
// or else through the environment it inherits:
//   STANDIN_FILL_BYTES  first write this many filler bytes to standard output
//                       and to standard error, in alternating 4 KiB chunks, so
//                       a parent that does not drain both at once stalls;
//                       the echo then follows the filler on its own line
//   STANDIN_STDERR      text written to standard error after the filler
//   STANDIN_EXIT_CODE   the exit code (default 0)
//   STANDIN_PROBE_HANDLE  a handle value of the parent's (a signalled event):
//                       first write "inherited" or "not inherited" and a line
//                       feed, telling whether that event reached this process
//   STANDIN_EMPTY_WRITES  before the echo, write 0 bytes to standard output
//                       this many times (a parent must not take them for the
//                       end of the output)
//   STANDIN_ENVIRONMENT "1": before the echo, write every variable of the
//                       environment it received, one "NAME=value" a line
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

namespace {

std::string utf8(const wchar_t* text) {
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string out(size > 0 ? static_cast<std::size_t>(size) : 1u, '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
  out.resize(out.size() - 1);
  return out;
}

std::wstring wide(const std::string& text) {
  const int size = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(size), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
  return out;
}

// The value of `name` in standin.txt beside this program, else in the
// environment.
std::wstring environment(const wchar_t* name) {
  wchar_t self[MAX_PATH];
  const DWORD self_length = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring steering(self, self_length);
  steering = steering.substr(0, steering.find_last_of(L'\\') + 1) + L"standin.txt";
  if (std::FILE* file = ::_wfopen(steering.c_str(), L"rb")) {
    char line[4096];
    const std::wstring wanted = std::wstring(name) + L"=";
    std::wstring found;
    bool seen = false;
    while (!seen && std::fgets(line, sizeof line, file) != nullptr) {
      std::string text = line;
      while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
      std::string unescaped;
      for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
          unescaped += text[i];
          continue;
        }
        const char next = text[++i];
        unescaped += next == 'r' ? '\r' : next == 'n' ? '\n' : next;
      }
      const std::wstring entry = wide(unescaped);
      if (entry.rfind(wanted, 0) == 0) {
        found = entry.substr(wanted.size());
        seen = true;
      }
    }
    std::fclose(file);
    if (seen) return found;
  }
  wchar_t value[32768];
  const DWORD length = ::GetEnvironmentVariableW(name, value, 32768);
  return length > 0 && length < 32768 ? std::wstring(value, length) : std::wstring();
}

void put(std::FILE* stream, const std::string& bytes) {
  std::fwrite(bytes.data(), 1, bytes.size(), stream);
  std::fflush(stream);
}

}  // namespace

// Whether `value` is, in this process, a signalled waitable object: the
// parent's event if the handle was inherited.
bool holds_signalled_object(const std::wstring& value) {
  const auto handle = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(std::wcstoull(value.c_str(), nullptr, 10)));
  DWORD flags = 0;
  return ::GetHandleInformation(handle, &flags) && ::WaitForSingleObject(handle, 0) == WAIT_OBJECT_0;
}

int wmain(int argc, wchar_t** argv) {
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);

  const std::wstring probe = environment(L"STANDIN_PROBE_HANDLE");
  if (!probe.empty()) put(stdout, holds_signalled_object(probe) ? "inherited\n" : "not inherited\n");

  const std::wstring fill_text = environment(L"STANDIN_FILL_BYTES");
  const long fill = fill_text.empty() ? 0 : std::wcstol(fill_text.c_str(), nullptr, 10);
  const std::string chunk_out(4096, 'o');
  const std::string chunk_err(4096, 'e');
  for (long done = 0; done < fill; done += 4096) {
    const auto size = static_cast<std::size_t>(fill - done < 4096 ? fill - done : 4096);
    put(stdout, chunk_out.substr(0, size));
    put(stderr, chunk_err.substr(0, size));
  }
  if (fill > 0) put(stdout, "\n");

  put(stderr, utf8(environment(L"STANDIN_STDERR").c_str()));
  const std::wstring empty_writes = environment(L"STANDIN_EMPTY_WRITES");
  for (long i = empty_writes.empty() ? 0 : std::wcstol(empty_writes.c_str(), nullptr, 10); i > 0; --i) {
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), "", 0, &written, /*lpOverlapped=*/nullptr);
  }
  if (environment(L"STANDIN_ENVIRONMENT") == L"1") {
    wchar_t* block = ::GetEnvironmentStringsW();
    for (const wchar_t* entry = block; *entry != L'\0'; entry += std::wcslen(entry) + 1) {
      put(stdout, utf8(entry) + "\n");
    }
    ::FreeEnvironmentStringsW(block);
  }
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::wcscmp(argv[i], L"-Command") == 0) put(stdout, utf8(argv[i + 1]));
  }
  const std::wstring code = environment(L"STANDIN_EXIT_CODE");
  return code.empty() ? 0 : static_cast<int>(std::wcstol(code.c_str(), nullptr, 10));
}
