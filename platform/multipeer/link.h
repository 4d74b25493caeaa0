#pragma once

#include <array>
#include <asio/local/stream_protocol.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>

#include "platform/multipeer/frame.h"

namespace brellis::platform::multipeer {

// One connection of the local link: a Unix stream socket that carries frames. Everything runs on
// the link's own strand; the public operations are thread-safe (they post to the strand) and the
// handlers are called on the strand. Pending operations hold the link alive; once closed it
// stays closed and calls `onClosed` exactly once.
class Link : public std::enable_shared_from_this<Link> {
 public:
  using Socket = asio::local::stream_protocol::socket;
  struct Handlers {
    std::function<void(Frame)> onFrame;
    std::function<void()> onClosed;
  };

  // A link over a socket made on `strand` (an accepted connection).
  static std::shared_ptr<Link> adopt(Socket socket);
  // A link that is not connected yet; connect() opens it.
  static std::shared_ptr<Link> make();

  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;
  ~Link();

  const asio::strand<asio::any_io_executor>& strand() const { return strand_; }

  // Connects to `path`, writes `first` and then reads frames. Connection failure closes.
  void connect(std::filesystem::path path, Frame first, Handlers handlers);
  // Starts reading an adopted socket.
  void start(Handlers handlers);
  // Replaces the handlers; on a link that has closed already, the new onClosed runs at once.
  void setHandlers(Handlers handlers);
  // Queues a frame for writing. Frames above the cap are refused by the caller (Session).
  void send(Frame frame);
  // Writes what is queued, then `last` (if any), then closes.
  void finish(std::optional<Frame> last);
  // Closes at once, without a goodbye and without flushing: what a vanished peer looks like.
  void cut();
  // The next frame handed to send() is not written (a lost frame).
  void dropNextFrame();
  // Runs `onTimeout` on the strand after `after`, unless cancelTimer() comes first.
  void armTimer(std::chrono::milliseconds after, std::function<void()> onTimeout);
  void cancelTimer();

 private:
  explicit Link(asio::strand<asio::any_io_executor> strand);
  void readMore();
  void writeMore();
  void closeNow();

  asio::strand<asio::any_io_executor> strand_;
  Socket socket_;
  asio::steady_timer timer_;
  Handlers handlers_;
  transport::FrameReader reader_{linkFrameFormat()};
  std::array<uint8_t, 16 * 1024> readBuffer_{};
  std::deque<Bytes> writes_;
  bool writing_ = false;
  bool closeAfterWrites_ = false;
  bool closed_ = false;
  bool dropNext_ = false;
  uint64_t timerGeneration_ = 0;
};

}  // namespace brellis::platform::multipeer
