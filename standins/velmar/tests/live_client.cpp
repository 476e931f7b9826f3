#include "live_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace live_test {

namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point end) {
  return static_cast<int>(
      std::max<long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count()));
}

int StatusOf(const std::string& head) {
  // "HTTP/1.1 403 Forbidden"
  if (head.rfind("HTTP/1.", 0) != 0 || head.size() < 12) return 0;
  return std::atoi(head.c_str() + 9);
}

}  // namespace

Socket::Socket(const std::string& address, std::uint16_t port) {
  const bool v6 = address.find(':') != std::string::npos;
  fd_ = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) {
    error_ = errno;
    return;
  }
  int result;
  if (v6) {
    sockaddr_in6 to{};
    to.sin6_family = AF_INET6;
    to.sin6_port = htons(port);
    ::inet_pton(AF_INET6, address.c_str(), &to.sin6_addr);
    result = ::connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to);
  } else {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    ::inet_pton(AF_INET, address.c_str(), &to.sin_addr);
    result = ::connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }
  if (result != 0) {
    error_ = errno;
    ::close(fd_);
    fd_ = -1;
  }
}

Socket::~Socket() {
  if (fd_ >= 0) ::close(fd_);
}

bool Socket::Send(const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

std::string Socket::Receive(std::size_t max, int timeoutMs) {
  if (!pending_.empty()) {
    std::string taken = pending_.substr(0, max);
    pending_.erase(0, taken.size());
    return taken;
  }
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, timeoutMs) <= 0) return {};
  std::string bytes(max, '\0');
  const ssize_t n = ::recv(fd_, bytes.data(), max, 0);
  bytes.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return bytes;
}

bool Socket::ReceiveExactly(std::size_t n, std::string* out, int timeoutMs) {
  const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  out->clear();
  while (out->size() < n) {
    const std::string part = Receive(std::min<std::size_t>(n - out->size(), 1 << 20), MsLeft(end));
    if (part.empty()) return false;
    *out += part;
  }
  return true;
}

std::string Socket::ReceiveAll(int timeoutMs) {
  const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string all;
  for (;;) {
    const std::string part = Receive(65536, MsLeft(end));
    if (part.empty()) return all;
    all += part;
  }
}

std::string Socket::ReceiveHead(int timeoutMs) {
  const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string head;
  for (;;) {
    if (const std::size_t at = head.find("\r\n\r\n"); at != std::string::npos) {
      pending_ = head.substr(at + 4) + pending_;
      head.resize(at + 4);
      return head;
    }
    const std::string part = Receive(4096, MsLeft(end));
    if (part.empty()) return head;
    head += part;
  }
}

Response Exchange(std::uint16_t port, const std::string& request, int timeoutMs) {
  Response response;
  Socket socket("127.0.0.1", port);
  if (!socket.ok() || !socket.Send(request)) return response;
  response.head = socket.ReceiveHead(timeoutMs);
  response.status = StatusOf(response.head);
  const std::string lower = [&] {
    std::string text = response.head;
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
  }();
  if (const std::size_t at = lower.find("\r\ncontent-length:"); at != std::string::npos) {
    const std::size_t length = std::strtoul(response.head.c_str() + at + 17, nullptr, 10);
    socket.ReceiveExactly(length, &response.body, timeoutMs);
  } else {
    response.body = socket.ReceiveAll(timeoutMs);
  }
  return response;
}

Response Get(std::uint16_t port, const std::string& path, const std::string& host) {
  return Exchange(port, "GET " + path + " HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n");
}

WebSocket::WebSocket(std::uint16_t port, const std::string& origin, const std::string& host)
    : socket_("127.0.0.1", port) {
  if (!socket_.ok()) return;
  std::string request = "GET /live HTTP/1.1\r\nHost: " + (host.empty() ? "127.0.0.1:" + std::to_string(port) : host) +
                        "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n";
  if (!origin.empty()) request += "Origin: " + origin + "\r\n";
  request += "\r\n";
  if (!socket_.Send(request)) return;
  status_ = StatusOf(socket_.ReceiveHead(10000));
}

bool WebSocket::Next(std::vector<std::uint8_t>* message, bool* text, int timeoutMs) {
  const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  message->clear();
  for (;;) {
    std::string head;
    if (!socket_.ReceiveExactly(2, &head, MsLeft(end))) return false;
    const bool fin = (head[0] & 0x80) != 0;
    const int opcode = head[0] & 0x0F;
    std::uint64_t length = static_cast<std::uint8_t>(head[1]) & 0x7F;
    std::string extra;
    if (length == 126 || length == 127) {
      const std::size_t n = length == 126 ? 2 : 8;
      if (!socket_.ReceiveExactly(n, &extra, MsLeft(end))) return false;
      length = 0;
      for (char c : extra) length = length << 8 | static_cast<std::uint8_t>(c);
    }
    std::string payload;
    if (!socket_.ReceiveExactly(length, &payload, MsLeft(end))) return false;
    if (opcode == 0x8) return false;               // close
    if (opcode == 0x9 || opcode == 0xA) continue;  // ping, pong
    if (opcode == 0x1 || opcode == 0x2) *text = opcode == 0x1;
    message->insert(message->end(), payload.begin(), payload.end());
    if (fin) return true;
  }
}

bool WebSocket::SendText(const std::string& text) {
  std::string frame;
  frame.push_back(static_cast<char>(0x81));
  if (text.size() < 126) {
    frame.push_back(static_cast<char>(0x80 | text.size()));
  } else {
    frame.push_back(static_cast<char>(0x80 | 126));
    frame.push_back(static_cast<char>(text.size() >> 8));
    frame.push_back(static_cast<char>(text.size() & 0xFF));
  }
  const char mask[4] = {0x12, 0x34, 0x56, 0x78};
  frame.append(mask, 4);
  for (std::size_t i = 0; i < text.size(); ++i) frame.push_back(static_cast<char>(text[i] ^ mask[i % 4]));
  return socket_.Send(frame);
}

}  // namespace live_test
