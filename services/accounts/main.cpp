// deskwave-accounts: a small account service speaking the Cognito user-pool
// JSON protocol, so that the desktop's account flows run without Amazon. There
// is no e-mail: confirmation and reset codes are written to the log.

#include <CLI/CLI.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "../common/listen_address.h"
#include "account_service.h"
#include "accounts_http_server.h"

using namespace deskwave;
using namespace deskwave::accounts;

namespace {

std::filesystem::path defaultDataFolder() {
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg) return std::filesystem::path(xdg) / "deskwave-accounts";
  const char* home = std::getenv("HOME");
  return std::filesystem::path(home && *home ? home : ".") / ".local" / "share" / "deskwave-accounts";
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App cli{"deskwave-accounts: user accounts over the Cognito user-pool JSON protocol, for tests and self-hosting."};
  std::string listen = "127.0.0.1:8766";
  std::string data = defaultDataFolder().string();
  ServiceConfig config;
  cli.add_option("--listen", listen, "Address and port to listen on, ADDRESS:PORT ([::]:PORT for IPv6; port 0 picks one)")
      ->capture_default_str();
  cli.add_option("--data", data, "Folder for the user database and the token secret")->capture_default_str();
  cli.add_option("--client-id", config.clientId,
                 "The app client id requests must name (\"ClientId\"); when not given, any is accepted");
  CLI11_PARSE(cli, argc, argv);

  const auto parsed = parseListenAddress("deskwave-accounts", listen);
  if (!parsed) return 2;
  const auto& [address, port] = *parsed;

  std::unique_ptr<AccountStore> store;
  Bytes secret;
  try {
    store = AccountStore::open(std::filesystem::path(data) / "accounts.sqlite3");
    secret = TokenSigner::loadOrCreateSecret(std::filesystem::path(data) / "token-secret");
  } catch (const std::exception& e) {
    std::cerr << "deskwave-accounts: " << e.what() << "\n";
    return 1;
  }

  auto log = [](const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
  };
  boost::asio::io_context io;
  // The server is bound first so that the issuer can name the real port.
  std::unique_ptr<AccountService> service;
  std::unique_ptr<AccountsHttpServer> server;
  try {
    server = std::make_unique<AccountsHttpServer>(
        io, address, port,
        [&service](std::string_view action, std::string_view body) { return service->handle(action, body); }, log);
  } catch (const std::exception& e) {
    std::cerr << "deskwave-accounts: cannot listen on " << listen << ": " << e.what() << "\n";
    return 1;
  }
  const auto hostPort = (address.find(':') != std::string::npos ? "[" + address + "]" : address) + ":" +
                        std::to_string(server->port());
  config.issuer = "http://" + hostPort;
  service = std::make_unique<AccountService>(*store, TokenSigner(std::move(secret)), std::make_shared<SystemClock>(),
                                             config, log);
  log("deskwave-accounts listening on " + hostPort);

  boost::asio::signal_set signals(io, SIGINT, SIGTERM);
  signals.async_wait([&](const boost::system::error_code&, int) {
    log("deskwave-accounts stopping");
    server.reset();
    io.stop();
  });
  io.run();
  return 0;
}
