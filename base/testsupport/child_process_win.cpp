// The child process on Windows: CreateProcessW with anonymous pipes on its
// standard input and output; only the child's ends are inherited.
#include "child_process.h"

#include <chrono>
#include <thread>

#include "base/utf.h"
#include "base/windows_text.h"

#include <tlhelp32.h>

namespace livelink_test {
namespace {

// CommandLineToArgvW's quoting (see platform's desktop.cpp).
void AppendQuoted(std::wstring& line, const std::string& utf8) {
  const std::wstring argument = base::ToWide(base::FromUtf8(utf8));
  if (!line.empty()) line.push_back(L' ');
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    line += argument;
    return;
  }
  line.push_back(L'"');
  std::size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    line.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    line.push_back(c);
  }
  line.append(backslashes * 2, L'\\');
  line.push_back(L'"');
}

}  // namespace

std::unique_ptr<ChildProcess> ChildProcess::Start(const std::string& program, const std::vector<std::string>& args) {
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  HANDLE childIn = nullptr, toChild = nullptr, fromChild = nullptr, childOut = nullptr;
  if (!CreatePipe(&childIn, &toChild, &inheritable, 0)) return nullptr;
  if (!CreatePipe(&fromChild, &childOut, &inheritable, 0)) {
    CloseHandle(childIn);
    CloseHandle(toChild);
    return nullptr;
  }
  SetHandleInformation(toChild, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(fromChild, HANDLE_FLAG_INHERIT, 0);
  std::wstring line;
  AppendQuoted(line, program);
  for (const auto& arg : args) AppendQuoted(line, arg);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = childIn;
  startup.hStdOutput = childOut;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION info{};
  const std::wstring path = base::ToWide(base::FromUtf8(program));
  const BOOL ok = CreateProcessW(path.c_str(), line.data(), nullptr, nullptr, TRUE, CREATE_NEW_PROCESS_GROUP, nullptr,
                                 nullptr, &startup, &info);
  CloseHandle(childIn);
  CloseHandle(childOut);
  if (!ok) {
    CloseHandle(toChild);
    CloseHandle(fromChild);
    return nullptr;
  }
  CloseHandle(info.hThread);
  std::unique_ptr<ChildProcess> child(new ChildProcess());
  child->pid_ = static_cast<pid_t>(info.dwProcessId);
  child->process_ = info.hProcess;
  child->in_ = toChild;
  child->out_ = fromChild;
  return child;
}

ChildProcess::~ChildProcess() {
  if (!reaped_ && process_ != nullptr) {
    TerminateProcess(process_, 128 + SIGKILL);
    WaitForSingleObject(process_, INFINITE);
  }
  if (process_ != nullptr) CloseHandle(process_);
  if (in_ != nullptr) CloseHandle(in_);
  if (out_ != nullptr) CloseHandle(out_);
}

bool ChildProcess::ReadLine(std::string* line, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const auto newline = pending_.find('\n');
    if (newline != std::string::npos) {
      *line = pending_.substr(0, newline);
      pending_.erase(0, newline + 1);
      if (!line->empty() && line->back() == '\r') line->pop_back();
      return true;
    }
    if (out_ == nullptr || std::chrono::steady_clock::now() >= deadline) return false;
    // Anonymous pipes cannot be waited on: look, and read only what is there.
    DWORD available = 0;
    if (!PeekNamedPipe(out_, nullptr, 0, nullptr, &available, nullptr)) {
      CloseHandle(out_);
      out_ = nullptr;
      return false;
    }
    if (available == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    char buffer[4096];
    DWORD got = 0;
    if (!ReadFile(out_, buffer, available < sizeof buffer ? available : sizeof buffer, &got, nullptr) || got == 0) {
      CloseHandle(out_);
      out_ = nullptr;
      return false;
    }
    pending_.append(buffer, got);
  }
}

std::string ChildProcess::WaitFor(const std::string& prefix, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string line;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return "";
    if (!ReadLine(&line, static_cast<int>(left.count()))) return "";
    if (line.rfind(prefix, 0) == 0) return line;
  }
}

bool ChildProcess::Send(const std::string& line) {
  if (in_ == nullptr) return false;
  const std::string data = line + "\n";
  DWORD written = 0;
  return WriteFile(in_, data.data(), static_cast<DWORD>(data.size()), &written, nullptr) && written == data.size();
}

void ChildProcess::CloseInput() {
  if (in_ != nullptr) CloseHandle(in_);
  in_ = nullptr;
}

namespace {
void SuspendOrResume(DWORD pid, bool suspend) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID != pid) continue;
    HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME, FALSE, entry.th32ThreadID);
    if (thread == nullptr) continue;
    if (suspend) SuspendThread(thread);
    else ResumeThread(thread);
    CloseHandle(thread);
  }
  CloseHandle(snapshot);
}
}  // namespace

void ChildProcess::Signal(int signal) {
  if (reaped_ || process_ == nullptr) return;
  if (signal == SIGSTOP || signal == SIGCONT) {
    SuspendOrResume(static_cast<DWORD>(pid_), signal == SIGSTOP);
    return;
  }
  if (signal == SIGINT) {
    GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, static_cast<DWORD>(pid_));
    return;
  }
  TerminateProcess(process_, static_cast<UINT>(128 + signal));
}

int ChildProcess::Wait(int timeoutMs) {
  if (reaped_ || process_ == nullptr) return -1;
  if (WaitForSingleObject(process_, timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0)
    return -1;
  DWORD code = 0;
  GetExitCodeProcess(process_, &code);
  reaped_ = true;
  return static_cast<int>(code);
}

}  // namespace livelink_test
