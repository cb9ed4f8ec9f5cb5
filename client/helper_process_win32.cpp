// CreateProcessW with the child's standard input and output on anonymous
// pipes (the input written by a thread of its own while this one reads the
// output) and its standard error on NUL. The child inherits exactly those
// three handles, named in PROC_THREAD_ATTRIBUTE_HANDLE_LIST, whatever else in
// this process happens to be inheritable. The command line is quoted so that the
// C runtime's split gives the helper its arguments back byte for byte.
//
// The helper has a hidden console of its own (CREATE_NO_WINDOW), so Ctrl+C
// or closing flash-card's console does not reach it: without more it would
// write the card to the end and keep its volume locks. A step therefore
// starts suspended and runs only inside a job that kills it, and the
// PowerShell it starts, when flash-card's handle to the job closes, however
// flash-card ends. A clean-up runs in a job of its own that outlives
// flash-card: Windows ends flash-card a few seconds after its console is
// closed, and the card must not stay offline for that.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <iterator>
#include <system_error>
#include <thread>
#include <vector>

#include "helper_process.h"
#include "host_os.h"
#include "platform/unicode.h"
#include "platform/windows_command_line.h"

namespace flash {
namespace {

class OwnedHandle {
 public:
  explicit OwnedHandle(HANDLE handle = nullptr) : handle_(handle) {}
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  ~OwnedHandle() { reset(); }
  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  void reset(HANDLE handle = nullptr) {
    if (valid()) ::CloseHandle(handle_);
    handle_ = handle;
  }

 private:
  HANDLE handle_;
};

std::string describe(const std::string& what, DWORD code) {
  wchar_t* text = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      /*lpSource=*/nullptr, code, /*dwLanguageId=*/0, reinterpret_cast<wchar_t*>(&text), /*nSize=*/0,
      /*Arguments=*/nullptr);
  std::string message;
  if (length > 0 && text != nullptr) {
    message = wh::utf16_to_utf8(std::u16string_view(reinterpret_cast<const char16_t*>(text), length));
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' ')) {
      message.pop_back();
    }
  }
  if (text != nullptr) ::LocalFree(text);
  return what + ": " + message + " (os error " + std::to_string(code) + ")";
}

std::wstring wide(std::string_view text) {
  const std::u16string utf16 = wh::utf8_to_utf16(text);
  return std::wstring(utf16.begin(), utf16.end());
}

// The attribute list that names the handles the child may inherit.
class InheritList {
 public:
  bool init(HANDLE* handles, std::size_t count) {
    SIZE_T size = 0;
    ::InitializeProcThreadAttributeList(/*lpAttributeList=*/nullptr, /*dwAttributeCount=*/1, /*dwFlags=*/0, &size);
    storage_.assign(size, 0);
    list_ = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
    if (!::InitializeProcThreadAttributeList(list_, /*dwAttributeCount=*/1, /*dwFlags=*/0, &size)) {
      list_ = nullptr;
      return false;
    }
    return ::UpdateProcThreadAttribute(list_, /*dwFlags=*/0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles,
                                       count * sizeof(HANDLE), /*lpPreviousValue=*/nullptr,
                                       /*lpReturnSize=*/nullptr) != FALSE;
  }
  InheritList() = default;
  InheritList(const InheritList&) = delete;
  InheritList& operator=(const InheritList&) = delete;
  ~InheritList() {
    if (list_ != nullptr) ::DeleteProcThreadAttributeList(list_);
  }
  LPPROC_THREAD_ATTRIBUTE_LIST get() const { return list_; }

 private:
  std::vector<std::uint8_t> storage_;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

// A step's job, whose processes die with its last handle, or a clean-up's,
// whose processes run on to their end.
wh::Result<HANDLE, std::string> make_job(HelperRole role) {
  HANDLE job = ::CreateJobObjectW(/*lpJobAttributes=*/nullptr, /*lpName=*/nullptr);
  if (job == nullptr) return wh::Err(describe("cannot make a job for the helper", ::GetLastError()));
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  // A crashed helper ends at once rather than waiting on an error report.
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION;
  if (role == HelperRole::kStep) limits.BasicLimitInformation.LimitFlags |= JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!::SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
    const DWORD code = ::GetLastError();
    ::CloseHandle(job);
    return wh::Err(describe("cannot limit the helper's job", code));
  }
  return job;
}

// The running helpers' jobs (several cards are flashed at once), nullptr
// in a free slot, steps and clean-ups apart. Read by the console control
// handler, which runs on a thread of its own.
constexpr std::size_t kSlots = 64;
PVOID volatile running_steps[kSlots] = {};
PVOID volatile running_clean_ups[kSlots] = {};

void terminate_jobs(PVOID volatile (&slots)[kSlots]) {
  for (PVOID volatile& slot : slots) {
    const HANDLE job = ::InterlockedCompareExchangePointer(&slot, nullptr, nullptr);
    if (job != nullptr) ::TerminateJobObject(job, /*uExitCode=*/1);
  }
}

// Holds a helper's job in a slot for as long as it runs.
class RunningJob {
 public:
  RunningJob(HANDLE job, HelperRole role) {
    for (PVOID volatile& slot : role == HelperRole::kStep ? running_steps : running_clean_ups) {
      if (::InterlockedCompareExchangePointer(&slot, job, nullptr) == nullptr) {
        slot_ = &slot;
        return;
      }
    }
  }
  RunningJob(const RunningJob&) = delete;
  RunningJob& operator=(const RunningJob&) = delete;
  ~RunningJob() {
    if (slot_ != nullptr) ::InterlockedExchangePointer(slot_, nullptr);
  }

 private:
  PVOID volatile* slot_ = nullptr;
};

// Writes `input` to the pipe and closes it. A child that stops reading ends
// the writes (ERROR_NO_DATA, ERROR_BROKEN_PIPE); the rest is dropped.
void feed(OwnedHandle& pipe, const std::string& input) noexcept {
  for (std::size_t done = 0; done < input.size();) {
    DWORD put = 0;
    const DWORD size = static_cast<DWORD>(std::min<std::size_t>(input.size() - done, 1u << 20));
    if (!::WriteFile(pipe.get(), input.data() + done, size, &put, /*lpOverlapped=*/nullptr)) break;
    done += put;
  }
  pipe.reset();
}

}  // namespace

void stop_running_helpers(bool clean_ups_too) noexcept {
  terminate_jobs(running_steps);
  if (clean_ups_too) terminate_jobs(running_clean_ups);
}

wh::Result<std::uint32_t, std::string> run_helper_process(const std::string& program,
                                                          const std::vector<std::string>& arguments,
                                                          const std::string& input, const LineSink& on_line,
                                                          HelperRole role) {
  const std::wstring application = wide(program);
  std::wstring command_line = wide(wh::build_windows_command_line(program, arguments));

  HANDLE r = nullptr;
  HANDLE w = nullptr;
  if (!::CreatePipe(&r, &w, /*lpPipeAttributes=*/nullptr, /*nSize=*/0)) {
    return wh::Err(describe("cannot make a pipe", ::GetLastError()));
  }
  OwnedHandle read_end(r);
  OwnedHandle write_end(w);
  if (!::CreatePipe(&r, &w, /*lpPipeAttributes=*/nullptr, /*nSize=*/0)) {
    return wh::Err(describe("cannot make a pipe", ::GetLastError()));
  }
  OwnedHandle input_read(r);
  OwnedHandle input_write(w);
  OwnedHandle null_device(::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        /*lpSecurityAttributes=*/nullptr, OPEN_EXISTING,
                                        /*dwFlagsAndAttributes=*/0, /*hTemplateFile=*/nullptr));
  if (!null_device.valid()) return wh::Err(describe("cannot open NUL", ::GetLastError()));

  HANDLE inherited[] = {null_device.get(), write_end.get(), input_read.get()};
  for (HANDLE handle : inherited) {
    if (!::SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT)) {
      return wh::Err(describe("cannot hand a pipe to the helper", ::GetLastError()));
    }
  }
  InheritList inherit_list;
  if (!inherit_list.init(inherited, std::size(inherited))) {
    return wh::Err(describe("cannot limit the helper's inherited handles", ::GetLastError()));
  }

  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = input_read.get();
  startup.StartupInfo.hStdOutput = write_end.get();
  startup.StartupInfo.hStdError = null_device.get();
  startup.lpAttributeList = inherit_list.get();

  auto made_job = make_job(role);
  if (!made_job) return wh::Err(made_job.error());
  // Declared before the process handles: when this closes, a step dies.
  OwnedHandle job(*made_job);
  // Published before the helper exists: an interruption from now on ends
  // its job, and one that came before is seen below, before it runs.
  const RunningJob published(job.get(), role);

  PROCESS_INFORMATION process{};
  // CREATE_NO_WINDOW: the app starts the helper without a console of its own.
  // CREATE_SUSPENDED: not one instruction runs outside the job.
  const BOOL started = ::CreateProcessW(
      application.c_str(), command_line.data(), /*lpProcessAttributes=*/nullptr,
      /*lpThreadAttributes=*/nullptr, /*bInheritHandles=*/TRUE,
      /*dwCreationFlags=*/EXTENDED_STARTUPINFO_PRESENT | CREATE_NO_WINDOW | CREATE_SUSPENDED,
      /*lpEnvironment=*/nullptr, /*lpCurrentDirectory=*/nullptr, &startup.StartupInfo, &process);
  const DWORD start_error = started ? ERROR_SUCCESS : ::GetLastError();
  // Only the child holds the write end now, so the reads end when it does.
  write_end.reset();
  null_device.reset();
  input_read.reset();
  if (!started) return wh::Err(describe("cannot start " + program, start_error));
  OwnedHandle process_handle(process.hProcess);
  OwnedHandle thread_handle(process.hThread);
  if (!::AssignProcessToJobObject(job.get(), process_handle.get())) {
    const DWORD code = ::GetLastError();
    ::TerminateProcess(process_handle.get(), /*uExitCode=*/1);
    return wh::Err(describe("cannot put the helper in its job", code));
  }
  // The console handler counts an interruption before it ends the jobs:
  // either it found this job above, or the count is seen here.
  if (role == HelperRole::kStep && interrupted()) {
    ::TerminateProcess(process_handle.get(), /*uExitCode=*/1);
    return wh::Err(std::string("stopped before it started"));
  }
  if (::ResumeThread(thread_handle.get()) == static_cast<DWORD>(-1)) {
    const DWORD code = ::GetLastError();
    ::TerminateProcess(process_handle.get(), /*uExitCode=*/1);
    return wh::Err(describe("cannot start the helper's thread", code));
  }

  std::thread writer;
  try {
    writer = std::thread(feed, std::ref(input_write), std::cref(input));
  } catch (const std::system_error&) {
    feed(input_write, input);  // no thread to be had: the pipe's buffer must do
  }

  LineSplitter lines(on_line);
  std::string read_error;
  char buffer[65536];
  while (true) {
    DWORD got = 0;
    if (!::ReadFile(read_end.get(), buffer, sizeof buffer, &got, /*lpOverlapped=*/nullptr)) {
      const DWORD code = ::GetLastError();
      if (code != ERROR_BROKEN_PIPE) read_error = describe("cannot read the helper's output", code);
      break;
    }
    lines.feed(std::string_view(buffer, got));  // a zero-byte write is not the end
  }
  lines.finish();
  read_end.reset();
  if (writer.joinable()) writer.join();

  if (::WaitForSingleObject(process_handle.get(), INFINITE) != WAIT_OBJECT_0) {
    return wh::Err(describe("cannot wait for the helper", ::GetLastError()));
  }
  if (!read_error.empty()) return wh::Err(read_error);
  DWORD exit_code = 0;
  if (!::GetExitCodeProcess(process_handle.get(), &exit_code)) {
    return wh::Err(describe("cannot read the helper's exit status", ::GetLastError()));
  }
  return static_cast<std::uint32_t>(exit_code);
}

}  // namespace flash
