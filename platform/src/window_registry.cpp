// Top-level windows as a per-user registry of files, and posted messages as
// datagrams to a Unix socket per window.
//
// <runtime>/windows/HHHHHHHH.json   one record per window (HWND in hex)
// <runtime>/windows/HHHHHHHH.sock   its datagram socket
// <runtime>/windows/next-hwnd       the last HWND value handed out
// <runtime>/foreground              the HWND of the foreground window
// <runtime>/windows.lock            serialises HWND allocation and cleanup
//
// A record names its process by pid and /proc start time; a record whose
// process is gone (or whose pid now belongs to another process) is no
// window, and whoever notices removes it.
#include <dirent.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "base/utf.h"
#include "platform/proc_stat.h"
#include "platform/win32.h"
#include "runtime_dir.h"
#include "utf16.h"

namespace {

using platform::detail::ProcStat;
using platform::detail::RuntimeLock;

constexpr const char* kLockFile = "windows.lock";
constexpr std::uint32_t kFirstHwnd = 0x10000;
constexpr std::uint32_t kHwndStep = 4;
constexpr std::size_t kMaxRecordBytes = 1 << 20;
constexpr std::size_t kMaxClassUnits = 256;

struct Record {
  std::uint32_t hwnd = 0;
  std::uint32_t pid = 0;
  std::uint32_t tid = 0;
  std::uint64_t startTime = 0;
  std::u16string className;
  std::u16string title;
  std::uint32_t owner = 0;
  bool visible = true;
  std::string socket;
};

std::uint32_t HwndValue(HWND window) {
  const auto value = reinterpret_cast<std::uintptr_t>(window);
  return value > 0xFFFFFFFFu ? 0 : static_cast<std::uint32_t>(value);
}
HWND ToHwnd(std::uint32_t value) { return reinterpret_cast<HWND>(static_cast<std::uintptr_t>(value)); }

// Readers only need the path: a missing directory just holds no windows.
std::string WindowsDirectory(bool create = false) {
  const std::string root = platform::RuntimeDirectory();
  if (root.empty()) return {};
  std::string dir = root + "/windows";
  if (create && ::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return {};
  }
  return dir;
}

std::string HexName(std::uint32_t hwnd) {
  char text[16];
  std::snprintf(text, sizeof text, "%08x", hwnd);
  return text;
}

std::string RecordPath(const std::string& dir, std::uint32_t hwnd) { return dir + "/" + HexName(hwnd) + ".json"; }

std::string Serialise(const Record& r) {
  nlohmann::json j = {{"hwnd", r.hwnd},
                      {"pid", r.pid},
                      {"tid", r.tid},
                      {"startTime", r.startTime},
                      {"class", base::ToUtf8(r.className)},
                      {"title", base::ToUtf8(r.title)},
                      {"owner", r.owner},
                      {"visible", r.visible},
                      {"socket", r.socket}};
  // Every text went through ToUtf8 except the socket path, which comes from
  // the environment: bytes that are not UTF-8 are replaced in the record and
  // such a directory is refused by CreatePublishedWindow.
  return j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

bool Parse(const std::string& text, Record* r) {
  const auto j = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (!j.is_object()) return false;
  auto u32 = [&](const char* key, std::uint32_t* out) {
    auto it = j.find(key);
    if (it == j.end() || !it->is_number_unsigned() || it->get<std::uint64_t>() > 0xFFFFFFFFu) return false;
    *out = static_cast<std::uint32_t>(it->get<std::uint64_t>());
    return true;
  };
  auto str = [&](const char* key, std::string* out) {
    auto it = j.find(key);
    if (it == j.end() || !it->is_string()) return false;
    *out = it->get<std::string>();
    return true;
  };
  std::string className, title;
  auto start = j.find("startTime");
  auto visible = j.find("visible");
  if (!u32("hwnd", &r->hwnd) || !u32("pid", &r->pid) || !u32("tid", &r->tid) || !u32("owner", &r->owner) ||
      !str("class", &className) || !str("title", &title) || !str("socket", &r->socket) || start == j.end() ||
      !start->is_number_unsigned() || visible == j.end() || !visible->is_boolean())
    return false;
  r->startTime = start->get<std::uint64_t>();
  r->visible = visible->get<bool>();
  r->className = base::FromUtf8(className);
  r->title = base::FromUtf8(title);
  return r->className.size() <= kMaxClassUnits && r->title.size() <= platform::kMaxWindowTextUnits;
}

void RemoveRecordFiles(const std::string& dir, std::uint32_t hwnd) {
  ::unlink(RecordPath(dir, hwnd).c_str());
  ::unlink((dir + "/" + HexName(hwnd) + ".sock").c_str());
}

// Loads a live window's record; a record that is damaged or whose process is
// gone is removed on the way. Sets ERROR_INVALID_WINDOW_HANDLE on failure.
bool LoadLive(const std::string& dir, std::uint32_t hwnd, Record* r) {
  std::string text;
  if (hwnd == 0 || dir.empty() || !platform::detail::ReadSmallFile(RecordPath(dir, hwnd), &text, kMaxRecordBytes)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return false;
  }
  if (!Parse(text, r) || r->hwnd != hwnd || !platform::detail::ProcessIsAlive(r->pid, r->startTime)) {
    RemoveRecordFiles(dir, hwnd);
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return false;
  }
  return true;
}

bool LoadLive(HWND window, Record* r) {
  const std::uint32_t value = HwndValue(window);
  if (value == 0) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return false;
  }
  return LoadLive(WindowsDirectory(), value, r);
}

bool ParseHexName(const std::string& name, const char* suffix, std::uint32_t* hwnd) {
  const std::size_t suffixLength = std::strlen(suffix);
  if (name.size() != 8 + suffixLength || name.compare(8, suffixLength, suffix) != 0) return false;
  std::uint32_t value = 0;
  for (int i = 0; i < 8; ++i) {
    const char c = name[i];
    int digit;
    if (c >= '0' && c <= '9') digit = c - '0';
    else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    else return false;
    value = (value << 4) | static_cast<std::uint32_t>(digit);
  }
  *hwnd = value;
  return true;
}

std::uint32_t ForegroundValue() {
  const std::string root = platform::RuntimeDirectory();
  std::string text;
  if (root.empty() || !platform::detail::ReadSmallFile(root + "/foreground", &text, 64)) return 0;
  std::uint32_t hwnd = 0;
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return ParseHexName(text, "", &hwnd) ? hwnd : 0;
}

// Live windows in z-order as far as we keep one: the foreground window
// first, then the newest first.
std::vector<Record> LiveWindows() {
  std::vector<Record> result;
  const std::string dir = WindowsDirectory();
  if (dir.empty()) return result;
  DIR* d = ::opendir(dir.c_str());
  if (!d) return result;
  std::vector<std::uint32_t> records;
  std::vector<std::uint32_t> sockets;
  while (dirent* entry = ::readdir(d)) {
    std::uint32_t hwnd = 0;
    if (ParseHexName(entry->d_name, ".json", &hwnd)) records.push_back(hwnd);
    else if (ParseHexName(entry->d_name, ".sock", &hwnd)) sockets.push_back(hwnd);
  }
  ::closedir(d);
  std::sort(records.begin(), records.end());
  std::sort(sockets.begin(), sockets.end());
  // A socket without its record is left by a process that died while
  // creating or destroying a window. Creation happens under the lock, so
  // under the lock an orphan is certain.
  std::vector<std::uint32_t> orphans;
  std::set_difference(sockets.begin(), sockets.end(), records.begin(), records.end(), std::back_inserter(orphans));
  if (!orphans.empty()) {
    RuntimeLock lock(kLockFile);
    if (lock.ok())
      for (std::uint32_t hwnd : orphans)
        if (::access(RecordPath(dir, hwnd).c_str(), F_OK) != 0) ::unlink((dir + "/" + HexName(hwnd) + ".sock").c_str());
  }
  for (auto it = records.rbegin(); it != records.rend(); ++it) {
    Record r;
    if (LoadLive(dir, *it, &r)) result.push_back(std::move(r));
  }
  const std::uint32_t foreground = ForegroundValue();
  std::stable_partition(result.begin(), result.end(), [&](const Record& r) { return r.hwnd == foreground; });
  return result;
}

// ---- windows of this process ----------------------------------------------

struct OwnWindow {
  Record record;
  std::string dir;
  int fd = -1;
  std::atomic<bool> destroyed{false};
  ~OwnWindow() {
    if (fd >= 0) ::close(fd);
  }
};

std::mutex g_ownMutex;
std::map<std::uint32_t, std::shared_ptr<OwnWindow>>& OwnWindows() {
  static auto* windows = new std::map<std::uint32_t, std::shared_ptr<OwnWindow>>;
  return *windows;
}

std::shared_ptr<OwnWindow> FindOwn(HWND window) {
  std::lock_guard lock(g_ownMutex);
  auto& windows = OwnWindows();
  auto it = windows.find(HwndValue(window));
  if (it == windows.end()) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  return it->second;
}

bool Publish(const OwnWindow& w) {
  if (!platform::detail::WriteFileAtomically(RecordPath(w.dir, w.record.hwnd), Serialise(w.record))) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  return true;
}

// Next HWND value, under the windows lock. The counter survives in the
// runtime directory; if it is missing or damaged we continue above every
// record present, so a value is never handed out twice in practice.
std::uint32_t AllocateHwnd(const std::string& dir) {
  const std::string counterPath = dir + "/next-hwnd";
  std::uint32_t last = 0;
  std::string text;
  if (platform::detail::ReadSmallFile(counterPath, &text, 64)) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(text.c_str(), &end, 10);
    if (end != text.c_str() && value <= 0xFFFFFFFFul) last = static_cast<std::uint32_t>(value);
  }
  if (DIR* d = ::opendir(dir.c_str())) {
    while (dirent* entry = ::readdir(d)) {
      std::uint32_t hwnd = 0;
      if (ParseHexName(entry->d_name, ".json", &hwnd)) last = std::max(last, hwnd);
    }
    ::closedir(d);
  }
  if (last < kFirstHwnd) last = kFirstHwnd - kHwndStep;
  if (last > 0xFFFFFFFFu - kHwndStep) return 0;
  const std::uint32_t next = last + kHwndStep;
  if (!platform::detail::WriteFileAtomically(counterPath, std::to_string(next) + "\n")) return 0;
  return next;
}

}  // namespace

// ---- the message datagram ---------------------------------------------------

void platform::EncodeMessageDatagram(const PostedMessage& message, unsigned char (&out)[kMessageDatagramBytes]) {
  const std::uint64_t w = message.wParam;
  const auto l = static_cast<std::uint64_t>(message.lParam);
  for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(message.message >> (8 * i));
  for (int i = 0; i < 8; ++i) out[4 + i] = static_cast<unsigned char>(w >> (8 * i));
  for (int i = 0; i < 8; ++i) out[12 + i] = static_cast<unsigned char>(l >> (8 * i));
}

bool platform::DecodeMessageDatagram(const unsigned char* bytes, std::size_t size, PostedMessage* out) {
  if (!bytes || !out || size != kMessageDatagramBytes) return false;
  std::uint32_t m = 0;
  std::uint64_t w = 0, l = 0;
  for (int i = 3; i >= 0; --i) m = (m << 8) | bytes[i];
  for (int i = 7; i >= 0; --i) w = (w << 8) | bytes[4 + i];
  for (int i = 7; i >= 0; --i) l = (l << 8) | bytes[12 + i];
  out->message = m;
  out->wParam = static_cast<WPARAM>(w);
  out->lParam = static_cast<LPARAM>(l);
  return true;
}

// ---- publishing -------------------------------------------------------------

HWND platform::CreatePublishedWindow(const WindowDesc& desc) {
  if (desc.className.empty() || desc.className.size() > kMaxClassUnits || desc.title.size() > kMaxWindowTextUnits) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  Record ownerRecord;
  if (desc.owner && !LoadLive(desc.owner, &ownerRecord)) return nullptr;
  ProcStat self;
  if (!detail::ReadProcStat(GetCurrentProcessId(), &self)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  auto w = std::make_shared<OwnWindow>();
  w->dir = WindowsDirectory(/*create=*/true);
  if (w->dir.empty()) return nullptr;

  RuntimeLock lock(kLockFile);
  if (!lock.ok()) return nullptr;
  const std::uint32_t hwnd = AllocateHwnd(w->dir);
  if (hwnd == 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  Record& r = w->record;
  r.hwnd = hwnd;
  r.pid = GetCurrentProcessId();
  r.tid = static_cast<std::uint32_t>(::syscall(SYS_gettid));
  r.startTime = self.startTime;
  r.className = desc.className;
  r.title = desc.title;
  r.owner = HwndValue(desc.owner);
  r.visible = desc.visible;
  r.socket = w->dir + "/" + HexName(hwnd) + ".sock";

  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (r.socket.size() >= sizeof address.sun_path) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return nullptr;
  }
  if (base::ToUtf8(base::FromUtf8(r.socket)) != r.socket) {
    SetLastError(ERROR_INVALID_PARAMETER);  // the record could not name the socket
    return nullptr;
  }
  std::memcpy(address.sun_path, r.socket.c_str(), r.socket.size() + 1);
  w->fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (w->fd < 0) {
    SetLastError(ERROR_TOO_MANY_OPEN_FILES);
    return nullptr;
  }
  ::unlink(r.socket.c_str());
  if (::bind(w->fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  ::chmod(r.socket.c_str(), 0600);
  if (!Publish(*w)) {
    ::unlink(r.socket.c_str());
    return nullptr;
  }
  {
    std::lock_guard guard(g_ownMutex);
    OwnWindows()[hwnd] = w;
  }
  SetLastError(ERROR_SUCCESS);
  return ToHwnd(hwnd);
}

namespace {
// Changes one field of a window this process published and republishes its
// record. One writer of the record at a time, and none after destruction
// began, which would bring the record back.
template <typename Change>
BOOL UpdateOwnRecord(HWND window, Change change) {
  auto w = FindOwn(window);
  if (!w) return FALSE;
  std::lock_guard guard(g_ownMutex);
  if (w->destroyed) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  change(w->record);
  return Publish(*w) ? TRUE : FALSE;
}
}  // namespace

BOOL platform::SetPublishedWindowText(HWND window, std::u16string_view title) {
  if (title.size() > kMaxWindowTextUnits) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return UpdateOwnRecord(window, [&](auto& record) { record.title = std::u16string(title); });
}

BOOL platform::ShowPublishedWindow(HWND window, bool visible) {
  return UpdateOwnRecord(window, [&](auto& record) { record.visible = visible; });
}

BOOL platform::DestroyPublishedWindow(HWND window) {
  std::shared_ptr<OwnWindow> w;
  {
    std::lock_guard guard(g_ownMutex);
    auto& windows = OwnWindows();
    auto it = windows.find(HwndValue(window));
    if (it == windows.end()) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return FALSE;
    }
    w = std::move(it->second);
    windows.erase(it);
    w->destroyed = true;  // wakes receivers; the socket closes with the last of them
  }
  RuntimeLock lock(kLockFile);
  RemoveRecordFiles(w->dir, w->record.hwnd);
  if (ForegroundValue() == w->record.hwnd) {
    const std::string root = RuntimeDirectory();
    if (!root.empty()) ::unlink((root + "/foreground").c_str());
  }
  return TRUE;
}

int platform::PublishedWindowFd(HWND window) {
  auto w = FindOwn(window);
  return w ? w->fd : -1;
}

bool platform::ReceivePostedMessage(HWND window, PostedMessage* out, int timeoutMs) {
  if (!out) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  auto w = FindOwn(window);
  if (!w) return false;
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    unsigned char buffer[kMessageDatagramBytes + 1];
    const ssize_t n = ::recv(w->fd, buffer, sizeof buffer, MSG_DONTWAIT | MSG_TRUNC);
    if (n >= 0) {
      if (DecodeMessageDatagram(buffer, static_cast<std::size_t>(n), out)) return true;
      // Not one of ours: dropped. A flood of them must not outlast the
      // timeout or a destroyed window, so the checks below run for each.
    } else {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return false;
      }
    }
    if (w->destroyed) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return false;
    }
    // Wait in slices so that a destroyed window releases its receivers.
    int slice = 100;
    if (timeoutMs >= 0) {
      const auto elapsed =
          std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
      if (elapsed >= timeoutMs) {
        SetLastError(ERROR_TIMEOUT);
        return false;
      }
      slice = static_cast<int>(std::min<long long>(slice, timeoutMs - elapsed));
    }
    if (n >= 0) continue;  // more may be queued already
    pollfd p{w->fd, POLLIN, 0};
    ::poll(&p, 1, slice);
  }
}

// ---- the Win32 calls ---------------------------------------------------------

BOOL EnumWindows(WNDENUMPROC callback, LPARAM parameter) {
  if (!callback) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (WindowsDirectory().empty()) return FALSE;
  for (const Record& r : LiveWindows()) {
    // A callback that stops the walk leaves its own last error for the caller.
    if (!callback(ToHwnd(r.hwnd), parameter)) return FALSE;
  }
  return TRUE;
}

DWORD GetWindowThreadProcessId(HWND window, DWORD* processId) {
  Record r;
  if (!LoadLive(window, &r)) {
    if (processId) *processId = 0;
    return 0;
  }
  if (processId) *processId = r.pid;
  return r.tid;
}

int GetClassNameW(HWND window, LPWSTR buffer, int maxChars) {
  if (!buffer || maxChars <= 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  buffer[0] = u'\0';
  Record r;
  if (!LoadLive(window, &r)) return 0;
  return platform::detail::CopyTruncated(r.className, buffer, maxChars);
}

int GetWindowTextW(HWND window, LPWSTR buffer, int maxChars) {
  if (!buffer || maxChars <= 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  buffer[0] = u'\0';
  Record r;
  if (!LoadLive(window, &r)) return 0;
  SetLastError(ERROR_SUCCESS);  // an empty title is no failure
  return platform::detail::CopyTruncated(r.title, buffer, maxChars);
}

BOOL IsWindow(HWND window) {
  Record r;
  return LoadLive(window, &r) ? TRUE : FALSE;
}

BOOL IsWindowVisible(HWND window) {
  Record r;
  return LoadLive(window, &r) && r.visible ? TRUE : FALSE;
}

HWND GetWindow(HWND window, UINT command) {
  Record r;
  if (!LoadLive(window, &r)) return nullptr;
  SetLastError(ERROR_SUCCESS);
  switch (command) {
    case GW_OWNER: return ToHwnd(r.owner);
    case GW_CHILD: return nullptr;
    case GW_HWNDFIRST:
    case GW_HWNDLAST:
    case GW_HWNDNEXT:
    case GW_HWNDPREV: {
      const auto all = LiveWindows();
      if (all.empty()) return nullptr;
      if (command == GW_HWNDFIRST) return ToHwnd(all.front().hwnd);
      if (command == GW_HWNDLAST) return ToHwnd(all.back().hwnd);
      auto it = std::find_if(all.begin(), all.end(), [&](const Record& x) { return x.hwnd == r.hwnd; });
      if (it == all.end()) return nullptr;
      if (command == GW_HWNDNEXT) return std::next(it) == all.end() ? nullptr : ToHwnd(std::next(it)->hwnd);
      return it == all.begin() ? nullptr : ToHwnd(std::prev(it)->hwnd);
    }
    default: SetLastError(ERROR_INVALID_PARAMETER); return nullptr;
  }
}

BOOL PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  Record r;
  if (!LoadLive(window, &r)) return FALSE;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (r.socket.empty() || r.socket.size() >= sizeof address.sun_path) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  std::memcpy(address.sun_path, r.socket.c_str(), r.socket.size() + 1);
  unsigned char datagram[platform::kMessageDatagramBytes];
  platform::EncodeMessageDatagram(platform::PostedMessage{message, wParam, lParam}, datagram);
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    SetLastError(ERROR_TOO_MANY_OPEN_FILES);
    return FALSE;
  }
  ssize_t sent;
  do {
    sent = ::sendto(fd, datagram, sizeof datagram, MSG_DONTWAIT | MSG_NOSIGNAL,
                    reinterpret_cast<const sockaddr*>(&address), sizeof address);
  } while (sent < 0 && errno == EINTR);
  const int error = errno;
  ::close(fd);
  if (sent == static_cast<ssize_t>(sizeof datagram)) return TRUE;
  // A full queue is the one failure of a live window; anything else means
  // the window went away between the lookup and the send.
  SetLastError(error == EAGAIN || error == EWOULDBLOCK || error == ENOBUFS ? ERROR_NOT_ENOUGH_QUOTA
                                                                           : ERROR_INVALID_WINDOW_HANDLE);
  return FALSE;
}

HWND GetForegroundWindow() {
  const std::uint32_t hwnd = ForegroundValue();
  Record r;
  if (hwnd == 0 || !LoadLive(WindowsDirectory(), hwnd, &r)) return nullptr;
  return ToHwnd(hwnd);
}

BOOL SetForegroundWindow(HWND window) {
  Record r;
  if (!LoadLive(window, &r)) return FALSE;
  const std::string root = platform::RuntimeDirectory();
  if (root.empty() || !platform::detail::WriteFileAtomically(root + "/foreground", HexName(r.hwnd) + "\n")) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  return TRUE;
}
