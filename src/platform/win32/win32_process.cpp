// Starting a process with redirected pipes, draining both at once: the
// child's standard error on a second thread while this one reads standard
// output.
//
// The child inherits exactly three handles (NUL and the two pipe write ends),
// named in PROC_THREAD_ATTRIBUTE_HANDLE_LIST, whatever else in this process
// happens to be inheritable. Everything that can allocate or convert is done
// before the reader thread starts, so no exception can leave a joinable
// thread behind (which would end the process in std::terminate).
#include <algorithm>
#include <iterator>
#include <new>
#include <thread>
#include <vector>

#include "platform/win32/win32_handle.h"
#include "platform/win32/win32_platform.h"
#include "platform/windows_command_line.h"

namespace wh::win32 {
namespace {

// A pipe whose ends are both private to this process; the child's end is
// made inheritable only for the one CreateProcessW that hands it over.
OsStatus make_pipe(UniqueHandle& read_end, UniqueHandle& write_end) {
  HANDLE r = nullptr;
  HANDLE w = nullptr;
  if (!::CreatePipe(&r, &w, /*lpPipeAttributes=*/nullptr, /*nSize=*/0)) return Err(last_error());
  read_end.reset(r);
  write_end.reset(w);
  return {};
}

OsStatus allow_inheritance(HANDLE handle) {
  if (!::SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT)) return Err(last_error());
  return {};
}

// Reads `pipe` to its end into `text`. Never throws: running out of memory
// or a failing read (anything but the writer closing) is reported, and the
// pipe is closed at once so that the child is never left blocked on it.
OsStatus read_all(UniqueHandle& pipe, std::string& text) noexcept {
  char buffer[65536];
  while (true) {
    DWORD got = 0;
    if (!::ReadFile(pipe.get(), buffer, sizeof buffer, &got, /*lpOverlapped=*/nullptr)) {
      const DWORD code = ::GetLastError();
      pipe.reset();
      if (code == ERROR_BROKEN_PIPE) return {};
      return Err(OsError{code, {}});  // the text is looked up once the thread is joined
    }
    if (got == 0) continue;  // a zero-byte write by the child, not the end
    try {
      text.append(buffer, got);
    } catch (const std::bad_alloc&) {
      pipe.reset();
      return Err(OsError{ERROR_NOT_ENOUGH_MEMORY, {}});
    }
  }
}

// The attribute list that names the handles the child may inherit.
class InheritList {
 public:
  OsStatus init(HANDLE* handles, std::size_t count) {
    SIZE_T size = 0;
    ::InitializeProcThreadAttributeList(/*lpAttributeList=*/nullptr, /*dwAttributeCount=*/1,
                                        /*dwFlags=*/0, &size);
    storage_.assign(size, 0);
    list_ = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
    if (!::InitializeProcThreadAttributeList(list_, /*dwAttributeCount=*/1, /*dwFlags=*/0, &size)) {
      list_ = nullptr;
      return Err(last_error());
    }
    if (!::UpdateProcThreadAttribute(list_, /*dwFlags=*/0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles,
                                     count * sizeof(HANDLE), /*lpPreviousValue=*/nullptr,
                                     /*lpReturnSize=*/nullptr)) {
      return Err(last_error());
    }
    return {};
  }
  ~InheritList() {
    if (list_ != nullptr) ::DeleteProcThreadAttributeList(list_);
  }
  LPPROC_THREAD_ATTRIBUTE_LIST get() const { return list_; }

 private:
  std::vector<std::uint8_t> storage_;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

OsError with_text(const OsError& error) { return error.message.empty() ? os_error(error.code) : error; }

// The UTF-16 environment block of `environment`: "NAME=value" strings, each
// ended by a NUL, sorted by name without regard to case as CreateProcessW
// wants them, and one more NUL at the end.
std::wstring environment_block(std::vector<std::string> environment) {
  const auto name = [](const std::string& entry) { return entry.substr(0, entry.find('=', 1)); };
  std::sort(environment.begin(), environment.end(), [&](const std::string& a, const std::string& b) {
    const std::wstring left = to_wide(name(a));
    const std::wstring right = to_wide(name(b));
    return ::CompareStringOrdinal(left.c_str(), static_cast<int>(left.size()), right.c_str(),
                                  static_cast<int>(right.size()), /*bIgnoreCase=*/TRUE) == CSTR_LESS_THAN;
  });
  std::wstring block;
  for (const std::string& entry : environment) {
    block += to_wide(entry);
    block.push_back(L'\0');
  }
  block.push_back(L'\0');
  return block;
}

}  // namespace

OsResult<ProcessOutput> Win32Platform::run_process(const std::string& executable,
                                                   const std::vector<std::string>& arguments) {
  return start_process(executable, arguments, /*environment=*/nullptr);
}

OsResult<ProcessOutput> Win32Platform::run_process_in_environment(const std::string& executable,
                                                                  const std::vector<std::string>& arguments,
                                                                  const std::vector<std::string>& environment) {
  return start_process(executable, arguments, &environment);
}

OsResult<ProcessOutput> Win32Platform::start_process(const std::string& executable,
                                                     const std::vector<std::string>& arguments,
                                                     const std::vector<std::string>* environment) {
  auto application = to_wide_path(executable);
  if (!application) return Err(application.error());
  std::wstring command_line = to_wide(build_windows_command_line(executable, arguments));
  std::wstring block = environment != nullptr ? environment_block(*environment) : std::wstring();

  UniqueHandle out_read, out_write, err_read, err_write;
  if (auto made = make_pipe(out_read, out_write); !made) return Err(made.error());
  if (auto made = make_pipe(err_read, err_write); !made) return Err(made.error());
  // A script that waits for input meets end-of-file at once.
  UniqueHandle null_input(::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        /*lpSecurityAttributes=*/nullptr, OPEN_EXISTING,
                                        /*dwFlagsAndAttributes=*/0, /*hTemplateFile=*/nullptr));
  if (!null_input.valid()) return Err(last_error());

  HANDLE inherited[] = {null_input.get(), out_write.get(), err_write.get()};
  for (HANDLE handle : inherited) {
    if (auto allowed = allow_inheritance(handle); !allowed) return Err(allowed.error());
  }
  InheritList inherit_list;
  if (auto made = inherit_list.init(inherited, std::size(inherited)); !made) return Err(made.error());

  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = null_input.get();
  startup.StartupInfo.hStdOutput = out_write.get();
  startup.StartupInfo.hStdError = err_write.get();
  startup.lpAttributeList = inherit_list.get();

  ProcessOutput result;
  OsStatus error_read;
  // The standard-error reader starts first: if no thread can be had, nothing
  // has been started yet and the failure is a plain start failure.
  std::thread error_reader;
  try {
    error_reader = std::thread([&] { error_read = read_all(err_read, result.standard_error); });
  } catch (...) {
    return Err(os_error(ERROR_NOT_ENOUGH_MEMORY));
  }

  PROCESS_INFORMATION process{};
  // CREATE_NO_WINDOW: the app starts the helper without a console, and a
  // console program started from there would flash up a window of its own.
  const BOOL started = ::CreateProcessW(
      application->c_str(), command_line.data(), /*lpProcessAttributes=*/nullptr,
      /*lpThreadAttributes=*/nullptr, /*bInheritHandles=*/TRUE,
      /*dwCreationFlags=*/EXTENDED_STARTUPINFO_PRESENT | CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT,
      /*lpEnvironment=*/environment != nullptr ? block.data() : nullptr, /*lpCurrentDirectory=*/nullptr,
      &startup.StartupInfo, &process);
  const DWORD start_error = started ? ERROR_SUCCESS : ::GetLastError();

  // Only the child holds the write ends now, so the reads end when it does
  // (at once, when there is no child).
  out_write.reset();
  err_write.reset();
  null_input.reset();
  UniqueHandle process_handle(started ? process.hProcess : INVALID_HANDLE_VALUE);
  UniqueHandle thread_handle(started ? process.hThread : INVALID_HANDLE_VALUE);

  const OsStatus output_read = started ? read_all(out_read, result.standard_output) : OsStatus{};
  error_reader.join();

  if (!started) return Err(os_error(start_error));
  if (::WaitForSingleObject(process_handle.get(), INFINITE) != WAIT_OBJECT_0) return Err(last_error());
  if (!output_read) return Err(with_text(output_read.error()));
  if (!error_read) return Err(with_text(error_read.error()));
  DWORD exit_code = 0;
  if (!::GetExitCodeProcess(process_handle.get(), &exit_code)) return Err(last_error());
  result.exit_code = exit_code;
  return result;
}

}  // namespace wh::win32
