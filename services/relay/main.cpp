// deskwave-relay: the relay service that pairs a desktop and a phone in a room
// and forwards their sealed messages, plus the "/scan" classification of
// installed applications.

#include <CLI/CLI.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <cstdio>
#include <fstream>
#include <iostream>

#include "../common/listen_address.h"
#include "classifier.h"
#include "relay_service.h"

using namespace deskwave::relay;

int main(int argc, char** argv) {
  CLI::App cli{"deskwave-relay: WebSocket rooms for Deskwave desktops and phones, and the /scan classifier."};
  std::string listen = "127.0.0.1:8080";
  std::string toolsFile;
  Limits limits;
  cli.add_option("--listen", listen, "Address and port to listen on, ADDRESS:PORT ([::]:PORT for IPv6)")
      ->capture_default_str();
  cli.add_option("--tools-file", toolsFile,
                 "Classification list for /scan: one application name or pattern (* and ?) a line; "
                 "'#' starts a comment. Default: the built-in list");
  cli.add_option("--max-frame-bytes", limits.maxFrameBytes, "Largest WebSocket message accepted")
      ->capture_default_str();
  cli.add_option("--max-members", limits.maxMembersPerRoom, "Members a room may hold")->capture_default_str();
  cli.add_option("--max-rooms", limits.maxRooms, "Rooms this process holds at once")->capture_default_str();
  cli.add_option("--join-timeout", limits.joinTimeoutSeconds, "Seconds a connection may stay without joining")
      ->capture_default_str();
  cli.add_option("--rate", limits.messagesPerSecond, "Messages per second a connection may send, sustained")
      ->capture_default_str();
  cli.add_option("--burst", limits.messageBurst, "Messages a connection may send at once")->capture_default_str();
  CLI11_PARSE(cli, argc, argv);

  const auto parsed = deskwave::parseListenAddress("deskwave-relay", listen);
  if (!parsed) return 2;
  const auto& [address, port] = *parsed;

  Classifier classifier = Classifier::builtIn();
  if (!toolsFile.empty()) {
    std::ifstream in(toolsFile);
    if (!in) {
      std::cerr << "deskwave-relay: cannot read " << toolsFile << "\n";
      return 2;
    }
    classifier = Classifier::fromStream(in);
  }

  boost::asio::io_context io;
  auto log = [](const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
  };
  const auto entries = classifier.size();
  std::unique_ptr<RelayService> service;
  try {
    service = std::make_unique<RelayService>(io, address, port, limits,
                                             std::move(classifier), log);
  } catch (const std::exception& e) {
    std::cerr << "deskwave-relay: cannot listen on " << listen << ": " << e.what() << "\n";
    return 1;
  }
  log("deskwave-relay listening on " + address + ":" + std::to_string(service->port()) + " (" +
      std::to_string(entries) + " classification entries)");

  boost::asio::signal_set signals(io, SIGINT, SIGTERM);
  signals.async_wait([&](const boost::system::error_code&, int) {
    log("deskwave-relay stopping");
    service.reset();
    io.stop();
  });
  io.run();
  return 0;
}
