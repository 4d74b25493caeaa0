#include <asio/post.hpp>

#include "platform/transport/socket_io.h"
#include "platform/xpc/xpc_connection_internal.h"
#include "platform/xpc/xpc_error.h"

// What a connection sends and the calls that await a reply. A message is encoded and written on
// the thread that sends it, under sendMutex, so a call costs no hop to the strand; only when the
// socket is full (or not yet open) does the strand write the rest, in order.
namespace brellis::platform::xpc {

void XpcConnection::Internal::queueHello() {
  Frame hello;
  hello.type = FrameType::hello;
  auto encoded = encodeFrame(hello, limits);
  std::unique_lock lock(sendMutex);
  // The hello goes before anything queued while connecting.
  outbox.push_front(Outgoing{std::move(*encoded), 0, true, nullptr});
  flushLocked(lock);
}

void XpcConnection::Internal::openGate() {
  std::unique_lock lock(sendMutex);
  if (gate == SendGate::closed) return;
  gate = SendGate::open;
  flushLocked(lock);
}

void XpcConnection::Internal::flush() {
  std::unique_lock lock(sendMutex);
  flushLocked(lock);
}

void XpcConnection::Internal::flushLocked(std::unique_lock<std::mutex>&) {
  if (gate == SendGate::closed || writeArmed) return;
  while (!outbox.empty()) {
    auto& front = outbox.front();
    // Only the hello may go out before the peer's hello has been accepted.
    if (gate != SendGate::open && !front.credentials) return;
    std::vector<int> fds;
    if (front.offset == 0) {
      for (const auto& fd : front.frame.fds) fds.push_back(fd->get());
    }
    int error = 0;
    std::span<const uint8_t> rest(front.frame.bytes.data() + front.offset,
                                  front.frame.bytes.size() - front.offset);
    ssize_t n = transport::sendMessage(sendFd, rest, fds, front.credentials, error);
    if (n < 0) {
      auto generation = sendGeneration;
      if (error == EAGAIN) {
        writeArmed = true;
        armWrite(generation);
        return;
      }
      // The peer is gone: the link ends on the strand, as when the read side sees it.
      asio::post(strand, [weak = self, generation] {
        auto keep = weak.lock();
        if (keep && keep->internal().linkGeneration == generation) keep->internal().linkLost();
      });
      return;
    }
    front.offset += static_cast<size_t>(n);
    if (front.offset == front.frame.bytes.size()) outbox.pop_front();
  }
}

void XpcConnection::Internal::armWrite(uint64_t generation) {
  // The descriptor's waits are the strand's: go there to wait for room. Posting never runs the
  // function inline, so this is safe with sendMutex held.
  asio::post(strand, [weak = self, generation] {
    auto keep = weak.lock();
    if (!keep) return;
    auto& in = keep->internal();
    if (in.linkGeneration != generation || !in.socket) return;
    in.socket->async_wait(asio::posix::stream_descriptor::wait_write,
                          [weak, generation](const asio::error_code& ec) {
                            auto keep = weak.lock();
                            if (!keep) return;
                            auto& in = keep->internal();
                            if (in.linkGeneration != generation) return;
                            std::unique_lock lock(in.sendMutex);
                            in.writeArmed = false;
                            if (!ec) in.flushLocked(lock);
                          });
  });
}

void XpcConnection::Internal::failLater(std::shared_ptr<const ProxyErrorHandler> handler,
                                        foundation::ErrorRecord error) {
  if (!handler || !*handler) return;
  asio::post(strand,
             [handler = std::move(handler), error = std::move(error)] { (*handler)(error); });
}

void XpcConnection::Internal::sendCall(const MethodDescription* method,
                                       std::vector<Value> arguments, ReplyBlock reply,
                                       std::shared_ptr<const ProxyErrorHandler> errorHandler) {
  std::optional<foundation::ErrorRecord> failure;
  {
    std::lock_guard lock(mutex);
    if (invalidated || terminalError) failure = terminalError.value_or(invalidError("invalid"));
    if (!activated && !failure) failure = invalidError("connection not activated");
  }
  if (failure) {
    failLater(std::move(errorHandler), std::move(*failure));
    return;
  }
  Frame frame;
  frame.type = FrameType::call;
  frame.selector = method->selector;
  frame.wantsReply = method->reply.has_value();
  frame.values = std::move(arguments);
  bool connectFirst = false;
  bool ended = false;
  {
    std::unique_lock lock(sendMutex);
    if (this->ended) {
      // Invalidated after the check above: the message fails as every later one does.
      ended = true;
    } else {
      {
        std::lock_guard pendingLock(pendingMutex);
        if (pending.size() >= limits.maxPendingCalls) {
          failure = invalidError("too many messages awaiting a reply");
        } else {
          frame.id = nextId++;
        }
      }
      std::optional<EncodedFrame> encoded;
      if (!failure) {
        auto result = encodeFrame(frame, limits);
        if (result) {
          encoded = std::move(*result);
        } else {
          failure = invalidError(result.error());
        }
      }
      if (encoded && frame.wantsReply) {
        {
          std::lock_guard pendingLock(pendingMutex);
          pending.emplace(frame.id, PendingCall{*method->reply, std::move(reply), errorHandler});
        }
        outbox.push_back(Outgoing{std::move(*encoded), 0, false, nullptr});
      } else if (encoded) {
        outbox.push_back(Outgoing{std::move(*encoded), 0, false, errorHandler});
      }
      // A closed gate on an activated connection: the first message after an interruption (or
      // one sent while connecting), which the strand sends once connected.
      connectFirst = gate == SendGate::closed;
      if (!failure) flushLocked(lock);
    }
  }
  if (ended) {
    std::lock_guard lock(mutex);
    failure = terminalError.value_or(invalidError("invalid"));
  }
  if (failure) {
    failLater(std::move(errorHandler), std::move(*failure));
    return;
  }
  if (connectFirst) {
    asio::post(strand, [weak = self] {
      auto keep = weak.lock();
      if (keep && keep->internal().link == Link::idle) keep->internal().connect();
    });
  }
}

void XpcConnection::Internal::sendReply(uint64_t id, std::optional<std::vector<Value>> values) {
  int copies = 1;
  {
    std::lock_guard lock(mutex);
    if (dropReplies > 0) {
      --dropReplies;
      copies = 0;
    } else if (duplicateReplies > 0) {
      --duplicateReplies;
      copies = 2;
    }
  }
  Frame frame;
  frame.id = id;
  if (values) {
    frame.type = FrameType::reply;
    frame.values = std::move(*values);
  } else {
    frame.type = FrameType::replyDropped;
  }
  auto encoded = encodeFrame(frame, limits);
  if (!encoded) {
    connectionLogger().error("reply cannot be encoded: %{public}s", encoded.error().c_str());
    frame = Frame{FrameType::replyDropped, id, {}, false, {}};
    encoded = encodeFrame(frame, limits);
  }
  std::unique_lock lock(sendMutex);
  if (gate != SendGate::open) return;  // the connection has ended; the caller was told
  for (int i = 0; i < copies; ++i) outbox.push_back(Outgoing{*encoded, 0, false, nullptr});
  flushLocked(lock);
}

void XpcConnection::Internal::failPending(const foundation::ErrorRecord& error) {
  std::map<uint64_t, PendingCall> calls;
  std::deque<Outgoing> unsent;
  {
    std::lock_guard lock(sendMutex);
    std::lock_guard pendingLock(pendingMutex);
    calls = std::move(pending);
    pending.clear();
    unsent = std::move(outbox);
    outbox.clear();
  }
  for (auto& [id, call] : calls) {
    if (call.errorHandler && *call.errorHandler) (*call.errorHandler)(error);
  }
  for (auto& out : unsent) {
    if (out.oneWayErrorHandler && *out.oneWayErrorHandler) (*out.oneWayErrorHandler)(error);
  }
}

}  // namespace brellis::platform::xpc
