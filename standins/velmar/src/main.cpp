// velmar: the renderer's side of the Corvanta live link, for trying the
// link out and for tests. See "velmar --help".
#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdio>
#include <exception>
#include <string>

#include "velmar_output.h"

#include "base/utf.h"
#include "util/text.h"
#include "live_server.h"
#include "velmar_install.h"
#include "velmar_report.h"
#include "velmar_session.h"

namespace {

int Main(int argc, char** argv) {
  CLI::App app{
      "velmar - the renderer side of the Corvanta live link.\n"
      "Publishes a main window (class VELMAR_START_WINDOW, title \"Velmar <version>\") that the\n"
      "add-on wakes with message 0x8729, finds live links in the per-user registry of\n"
      "connections, opens one as a guest and reports what each wake-up changed.\n"
      "Without a subcommand it runs (as \"velmar run\"). Ctrl-C ends it cleanly.",
      "velmar"};
  bool json = false;
  std::string version = "8.3.0";
  app.add_flag("--json", json, "one JSON object per line (field \"event\") instead of text");
  app.add_option("--app-version", version, "version shown in the window title and installed")->capture_default_str();

  app.fallthrough();  // "velmar serve --json" as well as "velmar --json serve"

  velmar::RunOptions run;
  std::string link;
  std::string size = "960x720";
  auto checkSize = [](const std::string& text) -> std::string {
    int w = 0, h = 0;
    char extra = 0;
    if (std::sscanf(text.c_str(), "%dx%d%c", &w, &h, &extra) != 2 || w < 16 || h < 16 || w > 8192 || h > 8192)
      return "size must be WIDTHxHEIGHT, 16 to 8192 pixels each";
    return {};
  };
  // "serve" follows links exactly as "run" does, with the same options.
  auto addRunOptions = [&](CLI::App* command) {
    command->add_option("--link", link, "connection name to open (default: the first announced)");
    command->add_option("--wait-ms", run.waitMs, "exit with code 3 when no link appears in that time (default: wait)");
    command->add_option("--end-after", run.endAfterWakes,
                        "end the link (set its closed flag) after that many wake-ups");
    command->add_flag("--exit-when-ended", run.exitWhenEnded,
                      "exit once the link has ended instead of waiting for the next one");
    command->add_option("--snapshots", run.snapshotsDir,
                        "draw a picture into this folder after every update that changed the scene");
    command->add_option("--gltf", run.gltfPath, "write the scene as binary glTF when the link ends");
    command->add_option("--size", size, "picture size WIDTHxHEIGHT")->check(checkSize)->capture_default_str();
    command->add_flag("--framing", run.framing,
                      "draw from velmar's own camera that frames the model, even when a camera is followed");
  };
  CLI::App* runCommand = app.add_subcommand("run", "publish the window and follow a live link");
  addRunOptions(runCommand);
  CLI::App* serveCommand =
      app.add_subcommand("serve",
                         "as \"run\", and serve a live 3D view of the scene at http://127.0.0.1:PORT/ (loopback only;\n"
                         "three.js from Debian's libjs-three); prints \"serving URL\" once it listens");
  addRunOptions(serveCommand);
  if (const std::string missing = velmar::LiveViewMissing(); !missing.empty())
    serveCommand->description(serveCommand->get_description() + "\nNot in this build: " + missing + ".");
  serveCommand->add_option("--port", run.live.port, "port on 127.0.0.1 (0: any free one)")->capture_default_str();
  serveCommand
      ->add_option("--frame-limit", run.live.maxFrameBytes,
                   "largest message a page is sent, in bytes; a surface larger than one comes in ranges")
      ->check(CLI::Range(std::size_t{1024}, velmar::kMaxFrameBytes))
      ->capture_default_str();
  int stallMs = static_cast<int>(run.live.stallLimit.count());
  serveCommand
      ->add_option("--client-stall-ms", stallMs, "drop a page that takes no bytes for that long while some wait")
      ->check(CLI::Range(100, 600000))
      ->capture_default_str();

  velmar::SnapshotOptions snapshot;
  std::string snapshotLink;
  CLI::App* snapshotCommand =
      app.add_subcommand("snapshot", "read a link's whole scene once; draw it and/or write it as glTF");
  snapshotCommand->add_option("name", snapshotLink, "connection name (default: the first announced)");
  snapshotCommand->add_option("--out", snapshot.picture, "PNG picture to write");
  snapshotCommand->add_option("--gltf", snapshot.gltfPath, "binary glTF file to write");
  snapshotCommand->add_option("--canonical", snapshot.canonicalPath,
                              "write the link's canonical form, the same bytes on every platform for the same "
                              "scene, to this file");
  snapshotCommand->add_option("--size", size, "picture size WIDTHxHEIGHT")->check(checkSize)->capture_default_str();
  snapshotCommand->add_flag("--framing", snapshot.framing, "frame the whole model instead of the followed camera");

  std::uint32_t kind = 0;
  CLI::App* listCommand = app.add_subcommand("list", "list the live links (registry of connections)");
  listCommand->add_option("--kind", kind, "only links of that kind (0: any)");

  std::string target;
  CLI::App* showCommand = app.add_subcommand("show", "print one snapshot of a link and exit");
  showCommand->add_option("name", target, "connection name")->required();
  CLI::App* endCommand = app.add_subcommand("end", "end a link: set its closed flag (header bit 1)");
  endCommand->add_option("name", target, "connection name")->required();

  velmar::InstallEntry entry;
  std::string subKey = "Velmar";
  std::string location;
  std::string displayName;
  CLI::App* installCommand =
      app.add_subcommand("install",
                         "enter velmar into the machine's installed-program list (HKEY_LOCAL_MACHINE\n"
                         "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\<key>): DisplayName,\n"
                         "DisplayVersion and InstallLocation = the folder of this executable with a trailing \"/\"\n"
                         "(the launcher appends the executable's name to it)");
  installCommand->add_option("--key", subKey, "sub-key name")->capture_default_str();
  installCommand->add_option("--location", location, "folder to record (default: this executable's)");
  installCommand->add_option("--display-name", displayName, "default: \"Velmar <version>\"");
  CLI::App* uninstallCommand = app.add_subcommand("uninstall", "remove velmar's entry from the installed-program list");
  uninstallCommand->add_option("--key", subKey, "sub-key name")->capture_default_str();
  app.require_subcommand(0, 1);

  CLI11_PARSE(app, argc, argv);

  velmar::Reporter reporter(json);
  const std::u16string wideVersion = base::FromUtf8(version);
  int width = 960, height = 720;
  std::sscanf(size.c_str(), "%dx%d", &width, &height);
  if (*snapshotCommand) {
    snapshot.link = base::FromUtf8(snapshotLink);
    snapshot.width = width;
    snapshot.height = height;
    if (snapshot.picture.empty() && snapshot.gltfPath.empty() && snapshot.canonicalPath.empty())
      snapshot.picture = "velmar-snapshot.png";
    return velmar::Snapshot(snapshot, reporter);
  }
  if (*listCommand) return velmar::ListLinks(kind, reporter);
  if (*showCommand) return velmar::ShowLink(base::FromUtf8(target), reporter);
  if (*endCommand) return velmar::EndLink(base::FromUtf8(target), reporter);
  if (*installCommand) {
    entry.subKey = base::FromUtf8(subKey);
    entry.version = wideVersion;
    entry.displayName = base::FromUtf8(displayName);
    entry.location = location.empty() ? velmar::OwnFolder() : base::FromUtf8(location);
    const long status = velmar::Install(entry);
    if (status != 0) {
      reporter.Error("cannot write the installed-program entry (registry error " + std::to_string(status) + ")");
      return 1;
    }
    reporter.Emit("installed", {{"key", subKey}, {"version", version}, {"location", base::ToUtf8(entry.location)}},
                  "installed " + subKey + " (version " + version + ")");
    return 0;
  }
  if (*uninstallCommand) {
    const long status = velmar::Uninstall(base::FromUtf8(subKey));
    if (status != 0) {
      reporter.Error("cannot remove the installed-program entry " + subKey + " (registry error " +
                     std::to_string(status) + ")");
      return 1;
    }
    reporter.Emit("uninstalled", {{"key", subKey}}, "removed " + subKey);
    return 0;
  }
  run.serve = static_cast<bool>(*serveCommand);
  run.live.stallLimit = std::chrono::milliseconds(stallMs);
  run.version = wideVersion;
  run.width = width;
  run.height = height;
  run.link = base::FromUtf8(link);
  return velmar::Run(run, reporter);
}

}  // namespace

int main(int argc, char** argv) {
  // What no command handles itself (memory running out, a file system that
  // fails under the JSON writer) still ends with a message and an exit code,
  // not with an abort.
  try {
    return Main(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "velmar: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "velmar: unexpected failure\n");
  }
  return 1;
}
