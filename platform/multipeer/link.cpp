#include "platform/multipeer/link.h"

#include <asio/connect.hpp>
#include <asio/post.hpp>
#include <asio/write.hpp>

#include "platform/dispatch/main_loop.h"
#include "platform/os_log/logger.h"

namespace brellis::platform::multipeer {

namespace {
const os_log::Logger& linkLog() {
  static const os_log::Logger log("MultipeerConnectivity", "Link");
  return log;
}
}  // namespace

Link::Link(asio::strand<asio::any_io_executor> strand)
    : strand_(strand), socket_(strand), timer_(strand) {}

Link::~Link() = default;

std::shared_ptr<Link> Link::adopt(Socket socket) {
  auto strand = asio::make_strand(dispatch::globalExecutor());
  std::shared_ptr<Link> link(new Link(strand));
  // The accepted socket may have been made on another executor: move its descriptor over.
  asio::error_code ec;
  auto protocol = socket.local_endpoint(ec).protocol();
  int fd = socket.release(ec);
  if (!ec && fd >= 0) link->socket_.assign(protocol, fd, ec);
  if (ec) link->closed_ = true;
  return link;
}

std::shared_ptr<Link> Link::make() {
  return std::shared_ptr<Link>(new Link(asio::make_strand(dispatch::globalExecutor())));
}

void Link::connect(std::filesystem::path path, Frame first, Handlers handlers) {
  asio::post(strand_, [self = shared_from_this(), path = std::move(path), first = std::move(first),
                       handlers = std::move(handlers)]() mutable {
    self->handlers_ = std::move(handlers);
    if (self->closed_) {
      self->closeNow();
      return;
    }
    // An endpoint path longer than sun_path cannot be reached; asio would throw on it.
    if (path.empty() || path.native().size() >= sizeof(sockaddr_un{}.sun_path)) {
      self->closeNow();
      return;
    }
    asio::local::stream_protocol::endpoint endpoint(path.native());
    self->socket_.async_connect(
        endpoint, [self, first = std::move(first)](const asio::error_code& ec) mutable {
          if (self->closed_) return;
          if (ec) {
            self->closeNow();
            return;
          }
          self->readMore();
          self->send(std::move(first));
        });
  });
}

void Link::start(Handlers handlers) {
  asio::post(strand_, [self = shared_from_this(), handlers = std::move(handlers)]() mutable {
    self->handlers_ = std::move(handlers);
    if (self->closed_) {
      auto onClosed = std::move(self->handlers_.onClosed);
      self->handlers_ = {};
      if (onClosed) onClosed();
      return;
    }
    self->readMore();
  });
}

void Link::setHandlers(Handlers handlers) {
  asio::post(strand_, [self = shared_from_this(), handlers = std::move(handlers)]() mutable {
    if (self->closed_) {
      if (handlers.onClosed) handlers.onClosed();
      return;
    }
    self->handlers_ = std::move(handlers);
  });
}

void Link::send(Frame frame) {
  asio::post(strand_, [self = shared_from_this(), frame = std::move(frame)]() mutable {
    if (self->closed_ || self->closeAfterWrites_) return;
    if (self->dropNext_) {
      self->dropNext_ = false;
      return;
    }
    auto bytes = encodeFrame(frame);
    if (!bytes) return;
    self->writes_.push_back(std::move(*bytes));
    self->writeMore();
  });
}

void Link::finish(std::optional<Frame> last) {
  asio::post(strand_, [self = shared_from_this(), last = std::move(last)]() mutable {
    if (self->closed_ || self->closeAfterWrites_) return;
    if (last) {
      if (auto bytes = encodeFrame(*last)) self->writes_.push_back(std::move(*bytes));
    }
    self->closeAfterWrites_ = true;
    if (!self->writing_) {
      if (self->writes_.empty()) {
        self->closeNow();
      } else {
        self->writeMore();
      }
    }
  });
}

void Link::cut() {
  asio::post(strand_, [self = shared_from_this()] { self->closeNow(); });
}

void Link::dropNextFrame() {
  asio::post(strand_, [self = shared_from_this()] { self->dropNext_ = true; });
}

void Link::armTimer(std::chrono::milliseconds after, std::function<void()> onTimeout) {
  asio::post(strand_, [self = shared_from_this(), after, onTimeout = std::move(onTimeout)]() {
    if (self->closed_) return;
    uint64_t generation = ++self->timerGeneration_;
    self->timer_.expires_after(after);
    self->timer_.async_wait([self, generation, onTimeout](const asio::error_code& ec) {
      if (ec || self->closed_ || generation != self->timerGeneration_) return;
      onTimeout();
    });
  });
}

void Link::cancelTimer() {
  asio::post(strand_, [self = shared_from_this()] {
    ++self->timerGeneration_;
    self->timer_.cancel();
  });
}

void Link::readMore() {
  socket_.async_read_some(asio::buffer(readBuffer_),
                          [self = shared_from_this()](const asio::error_code& ec, size_t size) {
                            if (self->closed_) return;
                            if (ec) {
                              self->closeNow();
                              return;
                            }
                            self->reader_.push({self->readBuffer_.data(), size});
                            // Frames that arrived whole before a broken header are still delivered,
                            // in order.
                            for (;;) {
                              auto next = self->reader_.next();
                              if (!next) {
                                linkLog().error("Dropping link after a bad frame: %{public}s",
                                                transport::frameErrorText(next.error()));
                                self->closeNow();
                                return;
                              }
                              if (!*next) break;
                              Frame frame{static_cast<FrameType>((*next)->type),
                                          Bytes((*next)->payload.begin(), (*next)->payload.end())};
                              if (self->handlers_.onFrame)
                                self->handlers_.onFrame(std::move(frame));
                              if (self->closed_) return;
                            }
                            self->readMore();
                          });
}

void Link::writeMore() {
  if (writing_ || closed_) return;
  if (writes_.empty()) {
    if (closeAfterWrites_) closeNow();
    return;
  }
  writing_ = true;
  asio::async_write(socket_, asio::buffer(writes_.front()),
                    [self = shared_from_this()](const asio::error_code& ec, size_t) {
                      self->writing_ = false;
                      if (self->closed_) return;
                      if (ec) {
                        self->closeNow();
                        return;
                      }
                      self->writes_.pop_front();
                      self->writeMore();
                    });
}

void Link::closeNow() {
  if (closed_) return;
  closed_ = true;
  ++timerGeneration_;
  asio::error_code ignored;
  timer_.cancel();
  socket_.shutdown(Socket::shutdown_both, ignored);
  socket_.close(ignored);
  writes_.clear();
  auto onClosed = std::move(handlers_.onClosed);
  handlers_ = {};
  if (onClosed) onClosed();
}

}  // namespace brellis::platform::multipeer
