#include <windows.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "flash_options.h"
#include "helper_process.h"
#include "host_os.h"
#include "platform/unicode.h"

namespace flash {

bool is_terminal(Stream stream) {
  const HANDLE handle = ::GetStdHandle(stream == Stream::kInput ? STD_INPUT_HANDLE : STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  return handle != nullptr && handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode) != FALSE;
}

// The screen buffer's width: a line as wide wraps there, whatever part of
// the buffer the window shows.
std::size_t output_columns() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!::GetConsoleScreenBufferInfo(::GetStdHandle(STD_OUTPUT_HANDLE), &info) || info.dwSize.X <= 0) return 0;
  return static_cast<std::size_t>(info.dwSize.X);
}

std::string own_executable_path() {
  std::wstring path(MAX_PATH, L'\0');
  while (true) {
    const DWORD length = ::GetModuleFileNameW(/*hModule=*/nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size()) {
      path.resize(length);
      return wh::utf16_to_utf8(std::u16string_view(reinterpret_cast<const char16_t*>(path.data()), path.size()));
    }
    path.resize(path.size() * 2);  // cut short: try a larger buffer
  }
}

std::string helper_file_name() { return "windows_helper.exe"; }

namespace {

// The code page the console had; 0 while nothing needs giving back. Read by
// the control handler, which runs on a thread of its own.
volatile LONG previous_output_code_page = 0;

void restore_output_code_page() {
  const LONG code_page = ::InterlockedExchange(&previous_output_code_page, 0);
  if (code_page != 0) ::SetConsoleOutputCP(static_cast<UINT>(code_page));
}

// Ctrl+C, Ctrl+Break and closing the console end the process without
// running destructors: give the code page back first, then let the default
// handling go on (FALSE).
BOOL WINAPI on_console_control(DWORD /*dwCtrlType*/) {
  restore_output_code_page();
  return FALSE;
}

}  // namespace

// The display writes UTF-8 (disk models, paths); the console shows it as such.
ConsoleSession::ConsoleSession() {
  const UINT code_page = ::GetConsoleOutputCP();  // 0: no console
  if (code_page == 0 || code_page == CP_UTF8) return;
  ::InterlockedExchange(&previous_output_code_page, static_cast<LONG>(code_page));
  ::SetConsoleCtrlHandler(on_console_control, /*Add=*/TRUE);
  ::SetConsoleOutputCP(CP_UTF8);
}

namespace {

volatile LONG interruptions = 0;
// Set when the session ends, so that a handler for a closing console can
// let the system end the process. Kept for the process's life: a handler
// may still be waiting on it.
HANDLE session_ended = nullptr;

// The first interruption stops the running steps and lets the flow clean
// up; a second Ctrl+C or Ctrl+Break ends flash-card at once, the clean-up
// with it. Counted before anything is stopped, so that a step being started
// at this moment either is found here or finds the count
// (run_helper_process). A closed console, a logoff or a shutdown ends the
// process when the handler returns, or when the system's time for it is up
// (about five seconds), so that handler waits for the clean-up until just
// before then, and never stops one: a clean-up runs in a job that outlives
// flash-card.
BOOL WINAPI on_interruption(DWORD type) {
  const bool ending = type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT;
  const LONG count = ::InterlockedIncrement(&interruptions);
  if (count > 1 && !ending) {
    stop_running_helpers(/*clean_ups_too=*/true);
    restore_output_code_page();
    ::ExitProcess(kExitInterrupted);
  }
  if (count == 1) stop_running_helpers(/*clean_ups_too=*/false);
  if (ending) {
    if (session_ended != nullptr) ::WaitForSingleObject(session_ended, /*dwMilliseconds=*/4500);
    restore_output_code_page();
  }
  return TRUE;
}

}  // namespace

InterruptionWatch::InterruptionWatch() {
  session_ended = ::CreateEventW(/*lpEventAttributes=*/nullptr, /*bManualReset=*/TRUE, /*bInitialState=*/FALSE,
                                 /*lpName=*/nullptr);
  ::SetConsoleCtrlHandler(on_interruption, /*Add=*/TRUE);
}

InterruptionWatch::~InterruptionWatch() {
  if (session_ended != nullptr) ::SetEvent(session_ended);
  ::SetConsoleCtrlHandler(on_interruption, /*Add=*/FALSE);
}

bool interrupted() { return ::InterlockedCompareExchange(&interruptions, 0, 0) > 0; }

ConsoleSession::~ConsoleSession() {
  // What is still buffered was written as UTF-8: let the console show it so.
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
  restore_output_code_page();
  ::SetConsoleCtrlHandler(on_console_control, /*Add=*/FALSE);
}

}  // namespace flash
