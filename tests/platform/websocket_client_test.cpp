// The Beast WebSocket client on a connection that has already failed.

#include <gtest/gtest.h>

#include <boost/asio/thread_pool.hpp>
#include <future>

#include "platform/websocket_client.h"

namespace deskwave {
namespace {

// Sends after the failure must fail too, not wait for a connection that will
// never come (a caller blocked on the completion would hang for good).
TEST(WebSocketClientTest, SendsAfterTheConnectionFailedCompleteWithTheFailure) {
  boost::asio::thread_pool pool(1);
  auto client = makeBeastWebSocketClient(pool);
  auto task = client->open("ws://127.0.0.1:9/");  // the discard port: refused on loopback

  std::promise<std::string> ended;
  task->receive([&ended](std::optional<WebSocketFrame> frame, std::string error) {
    ended.set_value(frame ? "a frame" : error);
  });
  auto endedFuture = ended.get_future();
  ASSERT_EQ(endedFuture.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  const auto why = endedFuture.get();
  EXPECT_NE(why, "a frame");

  std::promise<std::optional<std::string>> sent, pinged;
  task->sendText("hello", [&sent](std::optional<std::string> error) { sent.set_value(error); });
  task->sendPing([&pinged](std::optional<std::string> error) { pinged.set_value(error); });
  auto sentFuture = sent.get_future();
  auto pingedFuture = pinged.get_future();
  ASSERT_EQ(sentFuture.wait_for(std::chrono::seconds(30)), std::future_status::ready) << "the send never completed";
  ASSERT_EQ(pingedFuture.wait_for(std::chrono::seconds(30)), std::future_status::ready) << "the ping never completed";
  EXPECT_EQ(sentFuture.get(), why);
  EXPECT_EQ(pingedFuture.get(), why);
  task->cancel(1006);
  pool.join();
}

}  // namespace
}  // namespace deskwave
