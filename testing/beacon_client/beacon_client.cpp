#include "testing/beacon_client/beacon_client.h"

#include <cstdio>
#include <future>
#include <nlohmann/json.hpp>

#include "daemon_client/daemon_actor.h"
#include "daemon_client/tarvo_daemon_connection.h"
#include "login_app/velkor_brellis_xpc.h"
#include "platform/dispatch/task.h"
#include "platform/xpc/xpc_connection.h"

namespace brellis::testing {

namespace {

using login_app::VelkorBrellisXPC;
namespace xpc = platform::xpc;

asio::awaitable<xpc::Endpoint> fetchEndpoint() {
  co_return co_await daemon_client::TarvoDaemonConnection::shared().brellisListenerEndpoint();
}

nlohmann::ordered_json errorJson(const platform::foundation::ErrorRecord& record) {
  nlohmann::ordered_json line = {{"reply", "error"},
                                 {"domain", record.domain},
                                 {"code", record.code},
                                 {"localizedDescription", record.localizedDescription()}};
  if (auto* debug = record.userInfo.find(platform::foundation::kDebugDescriptionKey)) {
    if (auto* text = debug->string()) line["debugDescription"] = *text;
  }
  return line;
}

}  // namespace

std::optional<BeaconClientRequest> parseBeaconClientArguments(int argc, char** argv) {
  BeaconClientRequest request;
  std::vector<std::string> args(argv + 1, argv + argc);
  std::vector<std::string> words;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--timeout" && i + 1 < args.size()) {
      try {
        request.timeout =
            std::chrono::milliseconds(static_cast<int64_t>(std::stod(args[++i]) * 1000));
      } catch (...) {
        return std::nullopt;
      }
    } else {
      words.push_back(args[i]);
    }
  }
  if (words.size() == 2 && words[0] == "start") {
    request.operation = BeaconClientRequest::Operation::start;
    request.account = words[1];
    return request;
  }
  if (words.size() == 1 && words[0] == "stop") {
    request.operation = BeaconClientRequest::Operation::stop;
    return request;
  }
  return std::nullopt;
}

int runBeaconClient(const BeaconClientRequest& request) {
  xpc::Endpoint endpoint;
  try {
    endpoint = platform::dispatch::blockOn(daemon_client::DaemonActor::shared().executor(),
                                           fetchEndpoint());
  } catch (const std::exception& error) {
    std::fprintf(stderr, "no listener endpoint from the daemon: %s\n", error.what());
    return 1;
  }
  if (!endpoint.valid()) {
    std::fprintf(stderr, "no listener endpoint from the daemon\n");
    return 1;
  }

  auto connection = xpc::XpcConnection::makeWithEndpoint(endpoint);
  connection->setRemoteObjectInterface(VelkorBrellisXPC::description());
  connection->activate();

  auto done = std::make_shared<std::promise<nlohmann::ordered_json>>();
  auto once = std::make_shared<std::once_flag>();
  auto finish = [done, once](nlohmann::ordered_json line) {
    std::call_once(*once, [&] { done->set_value(std::move(line)); });
  };
  auto proxy = connection->remoteObjectProxyWithErrorHandler(
      [finish](const platform::foundation::ErrorRecord& record) {
        auto line = errorJson(record);
        line["reply"] = "failed";
        finish(std::move(line));
      });
  if (request.operation == BeaconClientRequest::Operation::start) {
    proxy.call(
        VelkorBrellisXPC::kStartBeaconSelector, {xpc::Value::string(request.account)},
        [finish](std::vector<xpc::Value> reply) {
          const auto* error = reply.empty() ? nullptr : reply[0].asError();
          auto line = error ? errorJson(*error) : nlohmann::ordered_json{{"reply", "success"}};
          finish(std::move(line));
        });
  } else {
    proxy.call(VelkorBrellisXPC::kStopBeaconSelector, {}, [finish](std::vector<xpc::Value>) {
      finish({{"reply", "success"}});
    });
  }

  auto future = done->get_future();
  if (future.wait_for(request.timeout) != std::future_status::ready) {
    std::fprintf(stderr, "no reply within the timeout\n");
    connection->invalidate();
    return 1;
  }
  auto reply = future.get();
  connection->invalidate();
  if (reply["reply"] == "failed") {
    std::fprintf(stderr, "call failed: %s\n", reply.dump().c_str());
    return 1;
  }
  nlohmann::ordered_json line = {
      {"operation", request.operation == BeaconClientRequest::Operation::start ? "start" : "stop"}};
  for (auto& [key, value] : reply.items()) line[key] = value;
  std::printf("%s\n", line.dump().c_str());
  std::fflush(stdout);
  return 0;
}

}  // namespace brellis::testing
