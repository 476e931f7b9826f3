// Holds velmar's live view open in headless Chromium and answers one
// command per input line, for the main job's screenshots and the bench:
//
//   velmar_live_shot URL [WIDTH HEIGHT]   -> "ready", or "error: ..." and exit 1
//                                            ("no chromium" and exit 2 without one)
//   wait N [MS]       until the page has shown update N -> "shown N" or "timeout N"
//   shot PATH         the viewport as a PNG file -> "shot PATH" or "failed PATH"
//   quit              closes the browser
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "live_browser.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: velmar_live_shot URL [WIDTH HEIGHT]\n";
    return 1;
  }
  if (live_test::Browser::Program().empty()) {
    std::cout << "no chromium" << std::endl;
    return 2;
  }
  const int width = argc >= 4 ? std::atoi(argv[2]) : 960;
  const int height = argc >= 4 ? std::atoi(argv[3]) : 720;
  live_test::Browser browser;
  std::string error;
  if (!browser.Open(argv[1], width, height, &error)) {
    std::cout << "error: " << error << std::endl;
    return 1;
  }
  std::cout << "ready" << std::endl;
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream in(line);
    std::string verb;
    in >> verb;
    if (verb == "quit") break;
    if (verb == "wait") {
      std::uint32_t n = 0;
      int ms = 60000;
      in >> n >> ms;
      std::cout << (browser.WaitShown(n, ms) ? "shown " : "timeout ") << n << std::endl;
    } else if (verb == "shot") {
      std::string path;
      std::getline(in >> std::ws, path);
      const auto png = browser.Screenshot();
      std::ofstream out(path, std::ios::binary);
      out.write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size()));
      std::cout << (!png.empty() && out.good() ? "shot " : "failed ") << path << std::endl;
    } else {
      std::cout << "unknown " << verb << std::endl;
    }
  }
  return 0;
}
