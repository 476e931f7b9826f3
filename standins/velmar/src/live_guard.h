// Which requests the live view answers. It listens on 127.0.0.1 only, and
// a browser page from elsewhere can still reach that address through a DNS
// name that resolves to it (DNS rebinding): such a request carries the
// foreign name in its Host header, and a WebSocket opened by a foreign page
// carries that page's Origin. So the Host must name this server as the page
// itself was loaded from it (127.0.0.1 or localhost with this port), and a
// WebSocket upgrade must come from this server's own page. Nothing here
// throws; every input, however malformed, gets a verdict.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace velmar {

enum class Verdict {
  kOk,
  kMissing,    // no such header: answered 400 (Host) or 403 (Origin)
  kMalformed,  // not a host[:port] / scheme://host[:port]: answered 400
  kForeign,    // well formed, but not this server: answered 403
};

// The Host header: "127.0.0.1:PORT" or "localhost:PORT" (the name in any
// case). Other loopback spellings ([::1], 127.0.0.2, localhost without the
// port) are foreign: this server is not reachable under them, so a page
// that uses them was not loaded from it.
Verdict CheckHost(std::string_view host, std::uint16_t port);

// The Origin header of a WebSocket upgrade: "http://127.0.0.1:PORT" or
// "http://localhost:PORT". "null" (sandboxed or file pages) is foreign.
Verdict CheckOrigin(std::string_view origin, std::uint16_t port);

// The status code a refusal of that verdict gets for the given header, and
// a short reason for the answer's body and velmar's event.
int RefusalStatus(Verdict verdict, bool origin);
std::string RefusalReason(Verdict verdict, bool origin);

}  // namespace velmar
