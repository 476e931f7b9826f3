// Starting programs and opening web addresses on Windows: CreateProcessW
// with a command line that CommandLineToArgvW (and the C runtime) splits
// back into exactly the arguments given, never through a shell.
#include "platform/win32.h"

#include <shellapi.h>

namespace platform {
namespace {

bool HasNul(const std::u16string& text) { return text.find(u'\0') != std::u16string::npos; }

// The quoting rules of CommandLineToArgvW: backslashes are literal except
// before a quote, where 2n (+1) backslashes stand for n (and a quote).
void AppendQuoted(std::wstring& line, const std::u16string& argument) {
  if (!line.empty()) line.push_back(L' ');
  if (!argument.empty() && argument.find_first_of(u" \t\n\v\"") == std::u16string::npos) {
    line.append(base::ToWide(argument));
    return;
  }
  line.push_back(L'"');
  std::size_t backslashes = 0;
  for (char16_t c : argument) {
    if (c == u'\\') {
      ++backslashes;
      continue;
    }
    if (c == u'"') line.append(backslashes * 2 + 1, L'\\');
    else line.append(backslashes, L'\\');
    backslashes = 0;
    line.push_back(static_cast<wchar_t>(c));
  }
  line.append(backslashes * 2, L'\\');
  line.push_back(L'"');
}

bool Start(const std::u16string& program, const std::vector<std::u16string>& args,
           const std::u16string& workingDirectory, bool maximised, const std::u16string& outputFile, bool detached,
           DWORD* processId) {
  if (program.empty() || HasNul(program) || HasNul(workingDirectory) || HasNul(outputFile)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  std::wstring line;
  AppendQuoted(line, program);
  for (const auto& arg : args) {
    if (HasNul(arg)) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return false;
    }
    AppendQuoted(line, arg);
  }
  if (!workingDirectory.empty()) {
    const DWORD attributes = GetFileAttributesW(workingDirectory.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      SetLastError(ERROR_DIRECTORY);
      return false;
    }
  }
  // The child reads its show state from the environment too, as on Linux.
  SetEnvironmentVariableW(L"CORV_SHOW_WINDOW", maximised ? L"3" : L"1");
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = static_cast<WORD>(maximised ? SW_SHOWMAXIMIZED : SW_SHOWNORMAL);
  HANDLE output = INVALID_HANDLE_VALUE;
  BOOL inherit = FALSE;
  if (detached && !outputFile.empty()) {
    SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, TRUE};
    output = CreateFileW(base::WideText(outputFile.c_str()), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         &attributes, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (output != INVALID_HANDLE_VALUE) {
      startup.dwFlags |= STARTF_USESTDHANDLES;
      startup.hStdInput = nullptr;
      startup.hStdOutput = output;
      startup.hStdError = output;
      inherit = TRUE;  // only the output file is inheritable
    }
  }
  const DWORD flags = CREATE_UNICODE_ENVIRONMENT | (detached ? DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP : 0);
  PROCESS_INFORMATION info{};
  const BOOL ok =
      CreateProcessW(nullptr, line.data(), nullptr, nullptr, inherit, flags, nullptr,
                     workingDirectory.empty() ? nullptr : base::WideText(workingDirectory.c_str()), &startup, &info);
  const DWORD error = GetLastError();
  SetEnvironmentVariableW(L"CORV_SHOW_WINDOW", nullptr);
  if (output != INVALID_HANDLE_VALUE) CloseHandle(output);
  if (!ok) {
    SetLastError(error);
    return false;
  }
  if (processId != nullptr) *processId = info.dwProcessId;
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return true;
}

}  // namespace

bool StartProcess(const std::u16string& program, const std::vector<std::u16string>& args,
                  const std::u16string& workingDirectory, bool maximised, DWORD* processId) {
  return Start(program, args, workingDirectory, maximised, u"", false, processId);
}

bool StartDetachedProcess(const std::u16string& program, const std::vector<std::u16string>& args,
                          const std::u16string& workingDirectory, bool maximised, const std::u16string& outputFile,
                          DWORD* processId) {
  return Start(program, args, workingDirectory, maximised, outputFile, true, processId);
}

bool OpenUrl(const std::u16string& address) {
  if (address.empty() || HasNul(address) || address.front() == u'-') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  const DWORD units = GetEnvironmentVariableW(L"CORV_URL_OPENER", nullptr, 0);
  if (units > 1) {
    std::wstring opener(units, L'\0');
    opener.resize(GetEnvironmentVariableW(L"CORV_URL_OPENER", opener.data(), units));
    return StartProcess(base::FromWide(opener), {address}, u"", false, nullptr);
  }
  const auto result = reinterpret_cast<INT_PTR>(
      ShellExecuteW(nullptr, L"open", base::WideText(address.c_str()), nullptr, nullptr, SW_SHOWNORMAL));
  return result > 32;
}

}  // namespace platform
