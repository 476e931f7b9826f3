// The live view is not part of the Windows build: its server is Boost.Beast
// and its pictures of the page come from headless Chromium, neither of which
// Debian packages for MinGW. "velmar serve" says so and exits; "run" and
// the other commands are whole.
#include "live_server.h"

namespace velmar {

std::string LiveViewMissing() {
  return "the live view is built on Linux only (its web server, Boost.Beast, is not packaged for MinGW)";
}

struct LiveServer::Impl {};

std::unique_ptr<LiveServer> LiveServer::Start(const LiveServerOptions&, std::string* error) {
  *error = LiveViewMissing();
  return nullptr;
}

// No server is ever made here, so none of these is reached; they exist for
// the code that holds a server where one can be made.
LiveServer::LiveServer(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
LiveServer::~LiveServer() = default;
void LiveServer::Stop() {}
std::uint16_t LiveServer::port() const { return 0; }
std::string LiveServer::url() const { return {}; }
std::size_t LiveServer::maxConnections() const { return 0; }
std::size_t LiveServer::maxPages() const { return 0; }
std::uint32_t LiveServer::Publish(std::shared_ptr<const LiveSnapshot>) { return 0; }
void LiveServer::LinkEnded(const std::string&, const std::string&) {}
bool LiveServer::WholeWanted() { return false; }
void LiveServer::PublishWhole(std::shared_ptr<const LiveSnapshot>) {}
void LiveServer::LetGo(const std::vector<const Geometry*>&) {}
int LiveServer::reportFd() const { return -1; }
std::vector<nlohmann::json> LiveServer::TakeReports() { return {}; }

}  // namespace velmar
