// The Windows program's hold on the far end of its COM1: a command line to
// wine_com_peer (see ComPeer.cpp) over the local port it was given.
#pragma once

#include <winsock2.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

class TPeerLink {
 public:
  TPeerLink() {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return;
    const char* port = std::getenv("KRM_PEER_PORT");
    if (!port) return;
    socket_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<u_short>(std::atoi(port)));
    if (::connect(socket_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      closesocket(socket_);
      socket_ = INVALID_SOCKET;
    }
  }
  ~TPeerLink() {
    if (socket_ != INVALID_SOCKET) closesocket(socket_);
    WSACleanup();
  }
  TPeerLink(const TPeerLink&) = delete;
  TPeerLink& operator=(const TPeerLink&) = delete;

  bool Connected() const { return socket_ != INVALID_SOCKET; }

  // Sends one command; its answer line ("OK ..." or "ERR ...").
  std::string Ask(const std::string& command) {
    const std::string line = command + "\n";
    if (::send(socket_, line.data(), static_cast<int>(line.size()), 0) != static_cast<int>(line.size()))
      return "ERR link";
    std::string answer;
    for (;;) {
      const size_t end = pending_.find('\n');
      if (end != std::string::npos) {
        answer = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        return answer;
      }
      char buffer[8192];
      const int n = ::recv(socket_, buffer, sizeof buffer, 0);
      if (n <= 0) return "ERR link";
      pending_.append(buffer, static_cast<size_t>(n));
    }
  }
  bool Do(const std::string& command) { return Ask(command) == "OK"; }

  bool Send(const std::vector<uint8_t>& bytes) { return Do("SEND " + Hex(bytes)); }
  // Up to count bytes that reached the far end within timeoutMs.
  std::vector<uint8_t> Take(size_t count, int timeoutMs = 5000) {
    const std::string answer =
        Ask("TAKE " + std::to_string(count) + " " + std::to_string(timeoutMs));
    std::vector<uint8_t> bytes;
    if (answer.rfind("OK", 0) != 0) return bytes;
    for (size_t i = 3; i + 1 < answer.size(); i += 2)
      bytes.push_back(static_cast<uint8_t>(std::stoi(answer.substr(i, 2), nullptr, 16)));
    return bytes;
  }

  static std::string Hex(const std::vector<uint8_t>& bytes) {
    static const char Digits[] = "0123456789ABCDEF";
    std::string text;
    for (uint8_t b : bytes) {
      text += Digits[b >> 4];
      text += Digits[b & 15];
    }
    return text;
  }

 private:
  SOCKET socket_ = INVALID_SOCKET;
  std::string pending_;
};
