#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "account_service.h"

namespace boost::asio {
class io_context;
}

namespace deskwave::accounts {

// The HTTP/1.1 shell around AccountService: POST "/" with the operation named
// by the "X-Amz-Target" header ("AWSCognitoIdentityProviderService.<Action>")
// and a JSON body; answers "application/x-amz-json-1.1". Keeps connections
// alive when the client asks. Single-threaded: run it on one io_context.
class AccountsHttpServer {
 public:
  using Handler = std::function<ServiceReply(std::string_view action, std::string_view body)>;
  using Log = std::function<void(const std::string&)>;

  // Listens on `address`:`port` (0 picks a free port); throws on failure.
  AccountsHttpServer(boost::asio::io_context& io, const std::string& address, std::uint16_t port, Handler handler,
                     Log log);
  ~AccountsHttpServer();
  AccountsHttpServer(const AccountsHttpServer&) = delete;
  AccountsHttpServer& operator=(const AccountsHttpServer&) = delete;

  std::uint16_t port() const;

  struct Impl;  // shared with the connections

 private:
  std::shared_ptr<Impl> impl_;
};

}  // namespace deskwave::accounts
