#include "platform/transport/socket_io.h"
#include "platform/xpc/xpc_connection_internal.h"
#include "platform/xpc/xpc_error.h"

// What a connection receives, on its strand: reading the socket, cutting frames, dispatching
// calls to the exported object and matching replies to the calls that await them.
namespace brellis::platform::xpc {
namespace {

thread_local std::weak_ptr<XpcConnection> tCurrent;

constexpr size_t kReadChunk = 64 * 1024;

}  // namespace

std::shared_ptr<XpcConnection> XpcConnection::current() { return tCurrent.lock(); }

void XpcConnection::Internal::armRead() {
  // While the server is verified nothing more is read: what it sends waits in the socket.
  if (!socket || readArmed || link == Link::verifying) return;
  if (role == Role::server && helloReceived) {
    std::lock_guard lock(mutex);
    if (!activated) return;  // a suspended server connection reads nothing more
  }
  readArmed = true;
  socket->async_wait(asio::posix::stream_descriptor::wait_read,
                     [weak = self, generation = linkGeneration](const asio::error_code& ec) {
                       auto keep = weak.lock();
                       if (!keep) return;
                       auto& in = keep->internal();
                       if (in.linkGeneration != generation) return;
                       in.readArmed = false;
                       if (ec) return;
                       in.readAvailable();
                     });
}

void XpcConnection::Internal::readAvailable() {
  // Kept between reads: a fresh zero-filled chunk per wake-up showed up on every round trip.
  if (readBuffer.empty()) readBuffer.resize(kReadChunk);
  // At most 16 reads per wake-up, so one busy peer cannot hold the socket thread.
  for (int round = 0; round < 16 && socket; ++round) {
    auto received =
        transport::receiveMessage(socket->native_handle(), readBuffer, limits.maxDescriptors);
    if (received.truncated) {
      violation("descriptors or credentials truncated");
      return;
    }
    if (received.size < 0) {
      if (received.error == EAGAIN) break;
      linkLost();
      return;
    }
    if (received.size == 0) {
      linkLost();
      return;
    }
    if (!firstCredentials && received.credentials) firstCredentials = received.credentials;
    reader->push({readBuffer.data(), static_cast<size_t>(received.size)});
    for (auto& fd : received.fds) reader->pushDescriptor(std::move(fd));
    // A short read has most likely emptied the socket. Anything left is not lost: arming the
    // wait again re-checks readiness (the reactor re-registers the descriptor), so the wait
    // completes at once. This saves a read that would only say "empty" on every message.
    if (static_cast<size_t>(received.size) < readBuffer.size()) break;
  }
  auto generation = linkGeneration;
  processFrames();
  if (linkGeneration == generation) armRead();
}

void XpcConnection::Internal::processFrames() {
  auto generation = linkGeneration;
  while (reader && linkGeneration == generation && link != Link::closed &&
         link != Link::verifying) {
    if (role == Role::server && helloReceived) {
      std::lock_guard lock(mutex);
      if (!activated) return;  // delivered after activation, in order
    }
    auto next = reader->next();
    if (!next) {
      violation(next.error());
      return;
    }
    if (!*next) return;
    handleFrame(std::move(**next));
  }
}

void XpcConnection::Internal::handleFrame(Frame frame) {
  if (!helloReceived) {
    if (frame.type != FrameType::hello) {
      violation("first frame is not a hello");
      return;
    }
    handleHello();
    return;
  }
  switch (frame.type) {
    case FrameType::hello:
      violation("second hello");
      return;
    case FrameType::call:
      handleCall(std::move(frame));
      return;
    case FrameType::reply:
    case FrameType::replyDropped:
      handleReply(std::move(frame));
      return;
  }
}

void XpcConnection::Internal::handleCall(Frame frame) {
  std::shared_ptr<const InterfaceDescription> interface;
  std::shared_ptr<ExportedObject> object;
  {
    std::lock_guard lock(mutex);
    interface = exportedInterface;
    object = exportedObject;
  }
  if (!interface || !object) {
    violation("a call arrived for a connection that exports nothing");
    return;
  }
  const MethodDescription* method = interface->find(frame.selector);
  if (!method) {
    violation("unknown selector " + frame.selector);
    return;
  }
  if (auto mismatch = checkArguments(method->arguments, frame.values)) {
    violation(frame.selector + ": " + *mismatch);
    return;
  }
  if (frame.wantsReply != method->reply.has_value()) {
    violation(frame.selector + ": reply expectation differs");
    return;
  }
  Reply reply;
  if (frame.wantsReply) {
    // Sent on the thread that replies (sendReply is thread-safe).
    reply = Reply([weak = self, id = frame.id](std::optional<std::vector<Value>> values) {
      if (auto keep = weak.lock()) keep->internal().sendReply(id, std::move(values));
    });
  }
  auto previous = std::exchange(tCurrent, self);
  try {
    object->invoke(*method, std::move(frame.values), std::move(reply));
  } catch (const std::exception& e) {
    connectionLogger().error("exported object failed on %{public}s: %{public}s",
                             frame.selector.c_str(), e.what());
  } catch (...) {
    connectionLogger().error("exported object failed on %{public}s", frame.selector.c_str());
  }
  tCurrent = previous;
}

void XpcConnection::Internal::handleReply(Frame frame) {
  std::optional<PendingCall> call;
  {
    std::lock_guard lock(pendingMutex);
    if (auto it = pending.find(frame.id); it != pending.end()) {
      call = std::move(it->second);
      pending.erase(it);
    }
  }
  if (!call) {
    connectionLogger().debug("ignoring a reply to message %lu, which has no pending call",
                             static_cast<uint64_t>(frame.id));
    return;
  }
  if (frame.type == FrameType::replyDropped) {
    (*call->errorHandler)(
        xpcError(kErrorConnectionReplyInvalid, "reply block dropped by the peer"));
    return;
  }
  if (auto mismatch = checkArguments(call->replyTypes, frame.values)) {
    (*call->errorHandler)(xpcError(kErrorConnectionReplyInvalid, "reply: " + *mismatch));
    return;
  }
  if (call->reply) call->reply(std::move(frame.values));
}

}  // namespace brellis::platform::xpc
