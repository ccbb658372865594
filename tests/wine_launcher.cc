// Runs a program in a console of its own that has no window, and returns its
// exit code.
//
//   wine_launcher.exe program.exe [argument ...]
//
// Under Wine a program started straight from a Linux shell has no console, so
// "CONOUT$" cannot be opened; started with CREATE_NO_WINDOW it gets a headless
// console on which every console call works. The program inherits the
// launcher's standard handles, so its standard streams still go wherever the
// launcher's go (a file or a pipe of the test). It is put in a job that ends
// with the launcher, so that killing the launcher never leaves it behind.
#include <windows.h>

#include <cstdio>
#include <cwchar>

namespace {

// The command line after the launcher's own name, with its quoting untouched.
wchar_t* rest_of_command_line() {
  wchar_t* cursor = GetCommandLineW();
  // The program name is quoted or ends at the first blank; it holds no escapes.
  if (*cursor == L'"') {
    ++cursor;
    while (*cursor != L'\0' && *cursor != L'"') ++cursor;
    if (*cursor == L'"') ++cursor;
  } else {
    while (*cursor != L'\0' && *cursor != L' ' && *cursor != L'\t') ++cursor;
  }
  while (*cursor == L' ' || *cursor == L'\t') ++cursor;
  return cursor;
}

// Returns the standard handle made inheritable, as STARTF_USESTDHANDLES needs.
HANDLE inheritable_standard_handle(DWORD which) {
  HANDLE handle = GetStdHandle(which);
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
    SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  }
  return handle;
}

// A job whose processes end when its last handle closes, that is when the
// launcher ends for whatever reason.
HANDLE create_kill_on_close_job() {
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  if (job == nullptr) return nullptr;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
  return job;
}

}  // namespace

int main() {
  wchar_t* command = rest_of_command_line();
  if (*command == L'\0') {
    std::fputws(L"usage: wine_launcher.exe program.exe [argument ...]\n", stderr);
    return 2;
  }

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = inheritable_standard_handle(STD_INPUT_HANDLE);
  startup.hStdOutput = inheritable_standard_handle(STD_OUTPUT_HANDLE);
  startup.hStdError = inheritable_standard_handle(STD_ERROR_HANDLE);

  HANDLE job = create_kill_on_close_job();
  PROCESS_INFORMATION process{};
  // CREATE_SUSPENDED: the program joins the job before it runs a single step.
  if (!CreateProcessW(nullptr, command, nullptr, nullptr, TRUE, CREATE_NO_WINDOW | CREATE_SUSPENDED,
                      nullptr, nullptr, &startup, &process)) {
    std::fwprintf(stderr, L"wine_launcher: cannot start %ls (error %lu)\n", command,
                  GetLastError());
    return 127;
  }
  if (job != nullptr) AssignProcessToJobObject(job, process.hProcess);
  ResumeThread(process.hThread);
  CloseHandle(process.hThread);

  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exit_code = 1;
  GetExitCodeProcess(process.hProcess, &exit_code);
  CloseHandle(process.hProcess);
  if (job != nullptr) CloseHandle(job);
  return static_cast<int>(exit_code);
}
