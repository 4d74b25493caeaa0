#include "testing/test_daemon/test_daemon.h"

#include <fcntl.h>
#include <unistd.h>

#include <asio/steady_timer.hpp>
#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "daemon_client/tarvo_daemon_interface.h"
#include "daemon_client/tarvo_daemon_wire.h"
#include "daemon_client/wallpaper_configuration.h"
#include "platform/foundation/hex.h"
#include "platform/foundation/keyed_archiver.h"
#include "platform/foundation/state_root.h"
#include "platform/xpc/xpc_connection.h"

namespace brellis::testing {

namespace {

namespace xpc = platform::xpc;
namespace fnd = platform::foundation;
using daemon_client::OperationDescriptor;
using daemon_client::WireKind;
using json = nlohmann::json;

constexpr const char* kScriptFile = "script.json";
constexpr const char* kCallLogFile = "calls.jsonl";
constexpr int64_t kDefaultNumber = 7;
constexpr int kScriptedExitStatus = 3;

fnd::Bytes unhex(const std::string& text) {
  auto bytes = fnd::hexDecode(text);
  if (!bytes) throw std::invalid_argument("data is not hex: " + text);
  return std::move(*bytes);
}

fnd::Bytes textBytes(std::string_view text) { return fnd::Bytes(text.begin(), text.end()); }

xpc::Value valueFromJson(const json& item, const std::optional<xpc::Endpoint>& endpoint) {
  if (!item.is_object() || item.empty()) return xpc::Value::null();
  // The first entry names the kind (an iteration proxy's value must not outlive its proxy).
  const auto first = item.begin();
  const std::string key = first.key();
  const json& v = first.value();
  if (key == "string") return xpc::Value::string(v.get<std::string>());
  if (key == "data") return xpc::Value::data(unhex(v.get<std::string>()));
  if (key == "int") return xpc::Value::int64(v.get<int64_t>());
  if (key == "real") return xpc::Value::real(v.get<double>());
  if (key == "bool") return xpc::Value::boolean(v.get<bool>());
  if (key == "date") return xpc::Value::date(fnd::PlistDate{v.get<double>()});
  if (key == "array") {
    xpc::ValueArray items;
    for (const auto& element : v) items.push_back(valueFromJson(element, endpoint));
    return xpc::Value::array(std::move(items));
  }
  if (key == "dict") {
    xpc::ValueDict items;
    for (const auto& [k, element] : v.items())
      items.emplace_back(k, valueFromJson(element, endpoint));
    return xpc::Value::dict(std::move(items));
  }
  if (key == "error") {
    return xpc::Value::error(
        fnd::ErrorRecord{v.value("domain", std::string()), v.value("code", int64_t{0}), {}});
  }
  if (key == "endpoint") {
    return endpoint ? xpc::Value::endpoint(*endpoint) : xpc::Value::null();
  }
  return xpc::Value::null();
}

}  // namespace

struct TestDaemon::State {
  Options options;
  std::filesystem::path directory;
  mutable std::mutex mutex;
  std::shared_ptr<xpc::XpcListener> listener;
  std::vector<std::weak_ptr<xpc::XpcConnection>> connections;
  std::optional<xpc::Endpoint> endpoint;

  json script() const {
    std::ifstream in(directory / kScriptFile);
    if (!in) return json::object();
    json parsed = json::parse(in, nullptr, false);
    return parsed.is_object() ? parsed : json::object();
  }

  void record(const OperationDescriptor& row, const std::vector<xpc::Value>& arguments) {
    json line{{"selector", row.selector}, {"arguments", json::array()}};
    for (const auto& argument : arguments)
      line["arguments"].push_back(TestDaemon::toJson(argument));
    std::lock_guard lock(mutex);
    std::ofstream out(directory / kCallLogFile, std::ios::app);
    out << line.dump() << "\n";
  }

  xpc::Value defaultValue(const OperationDescriptor& row, WireKind kind, size_t index) {
    using daemon_client::Operation;
    std::string selector(row.selector);
    switch (row.operation) {
      case Operation::unlockData:
      case Operation::unlockDataForAccount:
        if (options.unlockData) return xpc::Value::data(*options.unlockData);
        break;
      case Operation::unlockStatus:
      case Operation::unlockStatusForAccount:
        if (options.unlockStatus) return xpc::Value::data(*options.unlockStatus);
        break;
      case Operation::sharedSecret:
        if (options.sharedSecret) return xpc::Value::data(*options.sharedSecret);
        break;
      case Operation::desktopAsset:
        if (index == 1) {
          daemon_client::WallpaperConfiguration dark(
              daemon_client::WallpaperConfiguration::DesktopPictureDynamicStyle::dark);
          return xpc::Value::data(fnd::archiveEncodable(dark.encode()));
        }
        break;
      default:
        break;
    }
    switch (kind) {
      case WireKind::bytes:
        return xpc::Value::data(textBytes(selector));
      case WireKind::string:
      case WireKind::optionalString:
        return xpc::Value::string(selector);
      case WireKind::url:
        return xpc::Value::string("file:///" + selector);
      case WireKind::number:
        return xpc::Value::int64(kDefaultNumber);
      case WireKind::endpoint: {
        std::lock_guard lock(mutex);
        return endpoint ? xpc::Value::endpoint(*endpoint) : xpc::Value::null();
      }
      case WireKind::fileHandle:
        return xpc::Value::fd(
            xpc::makeSharedFd(xpc::UniqueFd(open("/dev/null", O_RDONLY | O_CLOEXEC))));
      case WireKind::bytesList:
        return xpc::Value::array({xpc::Value::data(textBytes(selector))});
      case WireKind::stringList:
        return xpc::Value::array({xpc::Value::string(selector)});
      case WireKind::stringListsDict:
        return xpc::Value::dict({{selector, xpc::Value::array({xpc::Value::string(selector)})}});
      default:
        return xpc::Value::null();
    }
  }
};

TestDaemon::TestDaemon(Options options) : state_(std::make_shared<State>()) {
  stateDirectory_ = options.stateDirectory.value_or(defaultStateDirectory());
  std::filesystem::create_directories(stateDirectory_);
  state_->directory = stateDirectory_;
  state_->options = std::move(options);
}

TestDaemon::~TestDaemon() { stop(); }

std::filesystem::path TestDaemon::defaultStateDirectory() {
  return fnd::statePath("test_daemon", std::filesystem::temp_directory_path() / "test_daemon");
}

bool TestDaemon::start(std::string* why) {
  auto listener = xpc::XpcListener::makeWithMachServiceName(
      state_->options.serviceName, state_->options.privileged ? xpc::kConnectionPrivileged : 0);
  auto dispatcher = std::make_shared<xpc::Dispatcher>();
  std::weak_ptr<State> weakState = state_;
  for (const auto& row : daemon_client::operations()) {
    const OperationDescriptor* rowPtr = &row;
    dispatcher->on(std::string(row.selector), [weakState, rowPtr](std::vector<xpc::Value> arguments,
                                                                  xpc::Reply reply) {
      auto state = weakState.lock();
      if (!state) return;
      const auto& row = *rowPtr;
      if (row.operation == daemon_client::Operation::registerBrellisListenerEndpoint) {
        std::lock_guard lock(state->mutex);
        if (const auto* endpoint = arguments.at(0).asEndpoint()) state->endpoint = *endpoint;
      }
      // Recorded once it took effect: a call seen in the log is one whose endpoint is stored.
      state->record(row, arguments);
      json entry = state->script().value(std::string(row.selector), json::object());
      std::string mode = entry.value("mode", "value");
      std::string action = entry.value("action", "reply");
      if (action == "exit") _exit(kScriptedExitStatus);
      auto connection = xpc::XpcConnection::current();
      if (action == "close") {
        if (connection) connection->killPeerForTesting();
        return;
      }
      if (action == "noReply") return;
      std::vector<xpc::Value> values;
      if (entry.contains("reply")) {
        std::optional<xpc::Endpoint> endpoint;
        {
          std::lock_guard lock(state->mutex);
          endpoint = state->endpoint;
        }
        for (const auto& item : entry["reply"]) values.push_back(valueFromJson(item, endpoint));
      } else {
        for (size_t i = 0; i < row.reply.count; ++i) {
          WireKind kind = row.reply[i];
          if (kind == WireKind::error) {
            if (mode == "error" || mode == "both") {
              values.push_back(xpc::Value::error(
                  fnd::ErrorRecord{entry.value("errorDomain", "TestDaemonErrorDomain"),
                                   entry.value("errorCode", int64_t{1}),
                                   {}}));
            } else {
              values.push_back(xpc::Value::null());
            }
          } else if (mode == "value" || mode == "both") {
            values.push_back(state->defaultValue(row, kind, i));
          } else {
            values.push_back(xpc::Value::null());
          }
        }
      }
      int64_t delayMs = entry.value("delayMs", int64_t{0});
      if (delayMs > 0 && connection) {
        auto timer = std::make_shared<asio::steady_timer>(connection->executor(),
                                                          std::chrono::milliseconds(delayMs));
        timer->async_wait([timer, reply, values = std::move(values)](std::error_code) mutable {
          reply(std::move(values));
        });
        return;
      }
      reply(std::move(values));
    });
  }
  listener->setDelegate([weakState, dispatcher](const std::shared_ptr<xpc::XpcConnection>& c) {
    c->setExportedInterface(daemon_client::tarvoDaemonInterfaceDescription());
    c->setExportedObject(dispatcher);
    c->activate();
    if (auto state = weakState.lock()) {
      std::lock_guard lock(state->mutex);
      state->connections.push_back(c);
    }
    return true;
  });
  listener->activate();
  if (auto failure = listener->activationFailure()) {
    if (why) *why = *failure;
    return false;
  }
  std::lock_guard lock(state_->mutex);
  state_->listener = std::move(listener);
  return true;
}

void TestDaemon::stop() {
  std::shared_ptr<xpc::XpcListener> listener;
  {
    std::lock_guard lock(state_->mutex);
    listener = std::move(state_->listener);
  }
  if (listener) listener->invalidate();
  killConnections();
}

void TestDaemon::killConnections() {
  std::vector<std::weak_ptr<xpc::XpcConnection>> connections;
  {
    std::lock_guard lock(state_->mutex);
    connections.swap(state_->connections);
  }
  for (auto& weak : connections) {
    if (auto connection = weak.lock()) connection->killPeerForTesting();
  }
}

std::optional<xpc::Endpoint> TestDaemon::storedEndpoint() const {
  std::lock_guard lock(state_->mutex);
  return state_->endpoint;
}

void TestDaemon::setScript(const json& script) const { writeScript(stateDirectory_, script); }

void TestDaemon::writeScript(const std::filesystem::path& directory, const json& script) {
  auto temporary = directory / (std::string(kScriptFile) + ".tmp");
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << script.dump();
  }
  std::filesystem::rename(temporary, directory / kScriptFile);
}

std::vector<json> TestDaemon::calls() const { return readCalls(stateDirectory_); }

std::vector<json> TestDaemon::readCalls(const std::filesystem::path& directory) {
  std::vector<json> calls;
  std::ifstream in(directory / kCallLogFile);
  std::string line;
  while (std::getline(in, line)) {
    json parsed = json::parse(line, nullptr, false);
    if (!parsed.is_discarded()) calls.push_back(std::move(parsed));
  }
  return calls;
}

json TestDaemon::toJson(const xpc::Value& value) {
  switch (value.kind()) {
    case xpc::ValueKind::null:
      return nullptr;
    case xpc::ValueKind::boolean:
      return json{{"bool", *value.asBool()}};
    case xpc::ValueKind::int64:
      return json{{"int", *value.asInt64()}};
    case xpc::ValueKind::uint64:
      return json{{"int", *value.asUint64()}};
    case xpc::ValueKind::real:
      return json{{"real", *value.asReal()}};
    case xpc::ValueKind::string:
      return json{{"string", *value.asString()}};
    case xpc::ValueKind::data:
      return json{{"data", fnd::hexEncode(*value.asData())}};
    case xpc::ValueKind::date:
      return json{{"date", value.asDate()->secondsSince2001}};
    case xpc::ValueKind::array: {
      json items = json::array();
      for (const auto& item : *value.asArray()) items.push_back(toJson(item));
      return json{{"array", items}};
    }
    case xpc::ValueKind::dict: {
      json items = json::object();
      for (const auto& [key, item] : *value.asDict()) items[key] = toJson(item);
      return json{{"dict", items}};
    }
    case xpc::ValueKind::error:
      return json{
          {"error", {{"domain", value.asError()->domain}, {"code", value.asError()->code}}}};
    case xpc::ValueKind::fd:
      return json{{"fd", true}};
    case xpc::ValueKind::endpoint:
      return json{{"endpoint", true}};
  }
  return nullptr;
}

xpc::Value TestDaemon::fromJson(const json& item) const {
  std::optional<xpc::Endpoint> endpoint = storedEndpoint();
  return valueFromJson(item, endpoint);
}

}  // namespace brellis::testing
