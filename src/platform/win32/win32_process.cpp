// Starting a process with redirected pipes, draining both at once: the
// child's standard error on a second thread while this one reads standard
// output.
#include <system_error>
#include <thread>

#include "platform/win32/win32_handle.h"
#include "platform/win32/win32_platform.h"
#include "platform/windows_command_line.h"

namespace wh::win32 {
namespace {

// A pipe whose write end the child inherits and whose read end stays ours.
OsStatus make_pipe(UniqueHandle& read_end, UniqueHandle& write_end) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), /*lpSecurityDescriptor=*/nullptr,
                              /*bInheritHandle=*/TRUE};
  HANDLE r = nullptr;
  HANDLE w = nullptr;
  if (!::CreatePipe(&r, &w, &inherit, /*nSize=*/0)) return Err(last_error());
  read_end.reset(r);
  write_end.reset(w);
  if (!::SetHandleInformation(r, HANDLE_FLAG_INHERIT, 0)) return Err(last_error());
  return {};
}

void read_all(HANDLE pipe, std::string& text) {
  char buffer[65536];
  DWORD got = 0;
  while (::ReadFile(pipe, buffer, sizeof buffer, &got, /*lpOverlapped=*/nullptr) && got > 0) {
    text.append(buffer, got);
  }
}

}  // namespace

OsResult<ProcessOutput> Win32Platform::run_process(const std::string& executable,
                                                   const std::vector<std::string>& arguments) {
  UniqueHandle out_read, out_write, err_read, err_write;
  if (auto made = make_pipe(out_read, out_write); !made) return Err(made.error());
  if (auto made = make_pipe(err_read, err_write); !made) return Err(made.error());

  // A script that waits for input meets end-of-file at once.
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), /*lpSecurityDescriptor=*/nullptr,
                              /*bInheritHandle=*/TRUE};
  UniqueHandle null_input(::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        &inherit, OPEN_EXISTING, /*dwFlagsAndAttributes=*/0,
                                        /*hTemplateFile=*/nullptr));
  if (!null_input.valid()) return Err(last_error());

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = null_input.get();
  startup.hStdOutput = out_write.get();
  startup.hStdError = err_write.get();

  // The standard-error reader starts first: if no thread can be had, nothing
  // has been started yet and the failure is a plain start failure.
  ProcessOutput result;
  std::thread error_reader;
  try {
    error_reader = std::thread([&] { read_all(err_read.get(), result.standard_error); });
  } catch (const std::system_error&) {
    return Err(os_error(ERROR_NOT_ENOUGH_MEMORY));
  }

  const std::wstring application = to_wide(executable);
  std::wstring command_line = to_wide(build_windows_command_line(executable, arguments));
  PROCESS_INFORMATION process{};
  const BOOL started = ::CreateProcessW(
      application.c_str(), command_line.data(), /*lpProcessAttributes=*/nullptr,
      /*lpThreadAttributes=*/nullptr, /*bInheritHandles=*/TRUE, /*dwCreationFlags=*/0,
      /*lpEnvironment=*/nullptr, /*lpCurrentDirectory=*/nullptr, &startup, &process);
  const OsError start_error = started ? OsError{} : last_error();

  // Only the child holds the write ends now, so the reads end when it does
  // (at once, when there is no child).
  out_write.reset();
  err_write.reset();
  null_input.reset();
  if (!started) {
    error_reader.join();
    return Err(start_error);
  }
  UniqueHandle process_handle(process.hProcess);
  UniqueHandle thread_handle(process.hThread);

  read_all(out_read.get(), result.standard_output);
  error_reader.join();

  ::WaitForSingleObject(process_handle.get(), INFINITE);
  DWORD exit_code = 0;
  if (!::GetExitCodeProcess(process_handle.get(), &exit_code)) return Err(last_error());
  result.exit_code = exit_code;
  return result;
}

}  // namespace wh::win32
