#include "export.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <sstream>
#include <thread>

#include "platform/win32.h"
#include "session.h"

namespace hostsim {

namespace fs = std::filesystem;

namespace {

// Whether this user may write the file or folder, before any byte of the
// document is written: the system's own answer. On Windows the read-only
// attribute is not the whole answer for a folder (a read-only drive, an
// access list): a folder is asked by making a file in it, which goes again
// when its handle closes.
bool Writable(const fs::path& path) {
#ifdef _WIN32
  std::error_code ec;
  if (!fs::is_directory(path, ec)) return ::_waccess(path.c_str(), 2) == 0;
  const fs::path probe = path / (L".hostsim-probe-" + std::to_wstring(GetCurrentProcessId()));
  HANDLE file = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  CloseHandle(file);
  return true;
#else
  return ::access(path.c_str(), W_OK) == 0;
#endif
}

constexpr const char16_t* kSettingsKey = u"Software\\Torvik\\PluginForArchiCAD";

std::string Seconds(std::chrono::steady_clock::duration d) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.1f s", std::chrono::duration<double>(d).count());
  return text;
}

bool IsNumber(const std::string& s) {
  if (s.empty() || s.size() > 10) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return std::stoull(s) <= 0xFFFFFFFFull;
}

// Sets the add-on's settings for the export and puts the user's values back
// when it ends (deleting those the user did not have).
class SettingsOverride {
 public:
  bool Apply(const std::vector<std::pair<std::string, std::string>>& settings, std::string* error) {
    if (settings.empty()) return true;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, reinterpret_cast<LPCWSTR>(kSettingsKey), 0, nullptr, 0, KEY_ALL_ACCESS,
                        nullptr, &key_, nullptr) != ERROR_SUCCESS) {
      *error = "cannot open the add-on's settings in the registry store";
      key_ = nullptr;
      return false;
    }
    for (const auto& [name, value] : settings) {
      const std::u16string wname = GS::UniString::FromUtf8(name).ToU16();
      Saved saved{wname, false, 0, {}};
      DWORD type = 0, bytes = 0;
      if (RegQueryValueExW(key_, reinterpret_cast<LPCWSTR>(wname.c_str()), nullptr, &type, nullptr, &bytes) ==
          ERROR_SUCCESS) {
        saved.existed = true;
        saved.type = type;
        saved.data.resize(bytes);
        RegQueryValueExW(key_, reinterpret_cast<LPCWSTR>(wname.c_str()), nullptr, &type, saved.data.data(), &bytes);
        saved.data.resize(bytes);
      }
      saved_.push_back(std::move(saved));
      LSTATUS r;
      if (IsNumber(value)) {
        const DWORD v = static_cast<DWORD>(std::stoul(value));
        r = RegSetValueExW(key_, reinterpret_cast<LPCWSTR>(wname.c_str()), 0, REG_DWORD,
                           reinterpret_cast<const BYTE*>(&v), sizeof(v));
      } else {
        const std::u16string wvalue = GS::UniString::FromUtf8(value).ToU16();
        r = RegSetValueExW(key_, reinterpret_cast<LPCWSTR>(wname.c_str()), 0, REG_SZ,
                           reinterpret_cast<const BYTE*>(wvalue.c_str()), DWORD((wvalue.size() + 1) * 2));
      }
      if (r != ERROR_SUCCESS) {
        *error = "cannot set the add-on setting " + name;
        return false;
      }
    }
    return true;
  }
  ~SettingsOverride() {
    if (key_ == nullptr) return;
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      const auto* name = reinterpret_cast<LPCWSTR>(it->name.c_str());
      if (it->existed) RegSetValueExW(key_, name, 0, it->type, it->data.data(), DWORD(it->data.size()));
      else RegDeleteValueW(key_, name);
    }
    RegCloseKey(key_);
  }

 private:
  struct Saved {
    std::u16string name;
    bool existed;
    DWORD type;
    std::vector<BYTE> data;
  };
  HKEY key_ = nullptr;
  std::vector<Saved> saved_;
};

// A line every few seconds while the add-on writes, so a long export shows
// it is alive.
class Heartbeat {
 public:
  Heartbeat(std::ostream& out, std::mutex& outMutex, bool on) : out_(out), outMutex_(outMutex) {
    if (!on) return;
    thread_ = std::thread([this] {
      const auto t0 = std::chrono::steady_clock::now();
      std::unique_lock lock(mutex_);
      while (!cv_.wait_for(lock, std::chrono::seconds(2), [this] { return done_; })) {
        std::lock_guard print(outMutex_);
        out_ << "hostsim export: still writing (" << Seconds(std::chrono::steady_clock::now() - t0) << ")\n";
        out_.flush();
      }
    });
  }
  ~Heartbeat() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::ostream& out_;
  std::mutex& outMutex_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
  std::thread thread_;
};

// Why the destination cannot be written, empty when it can (as far as can
// be told before writing).
std::string DestinationProblem(const fs::path& out) {
  std::error_code ec;
  if (out.filename().empty()) return "it names a folder, not a file";
  const fs::path folder = out.has_parent_path() ? out.parent_path() : fs::path(".");
  if (!fs::is_directory(folder, ec)) return "its folder " + folder.string() + " does not exist";
  if (fs::is_directory(out, ec)) return "it is a folder";
  if (!Writable(folder)) return "its folder " + folder.string() + " cannot be written";
  if (fs::exists(out, ec) && !Writable(out)) return "it exists and cannot be written";
  return {};
}

}  // namespace

std::string DefaultAddonModule() {
#ifdef _WIN32
  std::wstring name(32768, L'\0');
  const DWORD n = GetModuleFileNameW(nullptr, name.data(), static_cast<DWORD>(name.size()));
  if (n == 0 || n >= name.size()) return "corvanta.dll";
  name.resize(n);
  const fs::path self(name);
  const char* module = "corvanta.dll";
#else
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return "corvanta.so";
  const char* module = "corvanta.so";
#endif
  // build/<tree>/standins/host/hostsim/hostsim -> build/<tree>/addon/corvanta.so
  const fs::path tree = self.parent_path().parent_path().parent_path().parent_path();
  return (tree / "addon" / module).lexically_normal().string();
}

int RunExport(const ExportOptions& options, std::ostream& progress) {
  std::mutex outMutex;
  auto say = [&](const std::string& line) {
    if (options.quiet) return;
    std::lock_guard lock(outMutex);
    progress << "hostsim export: " << line << "\n";
    progress.flush();
  };
  auto fail = [&](int status, const std::string& line) {
    std::lock_guard lock(outMutex);
    progress << "hostsim export: " << line << "\n";
    progress.flush();
    return status;
  };
  const auto t0 = std::chrono::steady_clock::now();
  // A destination typed without extension is a COLLADA document, as in the
  // save dialog; only the last path component decides ("proj.old/b").
  fs::path output = fs::absolute(options.output).lexically_normal();
  std::error_code folderError;
  if (!output.filename().empty() && output.extension().empty() && !fs::is_directory(output, folderError))
    output += ".dae";
  if (const std::string why = DestinationProblem(output); !why.empty())
    return fail(2, "cannot write " + output.string() + ": " + why);
  std::error_code ec;
  if (!fs::is_regular_file(options.model, ec)) return fail(2, "cannot read " + options.model + ": no such file");
  const std::string module = options.module.empty() ? DefaultAddonModule() : options.module;
  if (!fs::is_regular_file(module, ec))
    return fail(2, "no add-on module at " + module + " (build the add-on, or name one with --module)");

  SettingsOverride settings;
  std::string problem;
  if (!settings.Apply(options.settings, &problem)) return fail(2, problem);

  Options sessionOptions;
  sessionOptions.quiet = true;
  sessionOptions.launch = false;
  std::ostringstream sink;  // the session's own log lines are not for this command
  Session session(sessionOptions, sink);
  // What a user would want to read: the add-on's status texts, warnings
  // about the model, and every error.
  std::vector<std::string> errors;
  const int listener = session.ui().log().AddSink([&](const host::ui::LogEvent& e) {
    if (e.kind == "statusbar" && !e.data.value("text", "").empty()) say(e.data.value("text", ""));
    else if (e.kind == "host.warning") say("warning: " + e.data.value("text", e.text));
    else if (e.kind == "error") errors.push_back(e.data.value("reason", e.text));
  });
  struct RemoveSink {
    Session& s;
    int id;
    ~RemoveSink() { s.ui().log().RemoveSink(id); }
  } removeSink{session, listener};
  auto lastError = [&] { return errors.empty() ? std::string("unknown failure") : errors.back(); };

  if (!session.Execute("load \"" + module + "\"", "export") || session.host().Addons().empty())
    return fail(2, "cannot load the add-on: " + lastError());
  say("reading " + options.model);
  const auto tRead = std::chrono::steady_clock::now();
  if (const hostmodel::Status opened = session.host().OpenProject(options.model); !opened)
    return fail(2, "cannot read the model: " + opened.error());
  session.Pump();
  const auto project = session.host().Snapshot();
  say("read " + std::to_string(project ? project->elements.size() : 0) + " elements, " +
      std::to_string(project ? project->materials.size() : 0) + " materials in " +
      Seconds(std::chrono::steady_clock::now() - tRead));
  if (session.host().State().currentWindow != hostmodel::WindowType::ThreeD && !session.Execute("window 3d", "export"))
    return fail(1, "cannot make the 3D window current: " + lastError());

  say("writing " + output.string() + " through the add-on");
  const auto tWrite = std::chrono::steady_clock::now();
  hostmodel::Status saved = hostmodel::Status::Ok();
  {
    Heartbeat heartbeat(progress, outMutex, !options.quiet);
    host::Host::AddonScope scope(session.host(), session.host().Addons().back());
    saved = session.host().Save3D(output.string());
  }
  if (!saved) return fail(1, saved.error());
  if (!fs::is_regular_file(output, ec)) return fail(1, "the add-on reported success but wrote no " + output.string());
  say("wrote " + output.string() + " (" + std::to_string(fs::file_size(output, ec)) + " bytes) in " +
      Seconds(std::chrono::steady_clock::now() - tWrite) + ", " + Seconds(std::chrono::steady_clock::now() - t0) +
      " in all");
  return 0;
}

}  // namespace hostsim
