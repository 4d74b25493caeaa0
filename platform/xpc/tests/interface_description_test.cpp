#include "platform/xpc/interface_description.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/xpc/tests/xpc_test_support.h"
#include "platform/xpc/xpc_error.h"

namespace brellis::platform::xpc {
namespace {

using testing::ScopedStateRoot;
using testing::Waiter;

TEST(InterfaceDescriptionTest, NumberTypesAcceptEveryNumericKindAndNothingElse) {
  const std::vector<Value> numbers = {Value::int64(-7), Value::uint64(UINT64_MAX), Value::real(2.5),
                                      Value::real(std::nan("")), Value::boolean(true)};
  const std::vector<Value> others = {Value::string("1"), Value::data({'1'}), Value::date({1.0}),
                                     Value::array({Value::int64(1)})};
  for (const auto& v : numbers) {
    EXPECT_TRUE(conforms(v, numberArg())) << kindName(v.kind());
    EXPECT_TRUE(conforms(v, nullableNumberArg())) << kindName(v.kind());
  }
  for (const auto& v : others) {
    EXPECT_FALSE(conforms(v, numberArg())) << kindName(v.kind());
    EXPECT_FALSE(conforms(v, nullableNumberArg())) << kindName(v.kind());
  }
  EXPECT_FALSE(conforms(Value::null(), numberArg()));
  EXPECT_TRUE(conforms(Value::null(), nullableNumberArg()));
  // The exact kinds stay exact.
  EXPECT_FALSE(conforms(Value::uint64(1), arg(ValueKind::int64)));
  EXPECT_FALSE(conforms(Value::int64(1), arg(ValueKind::real)));
  EXPECT_NE(numberArg(), arg(ValueKind::real));

  EXPECT_EQ(checkArguments({arg(ValueKind::string), numberArg()},
                           {Value::string("a"), Value::string("b")}),
            "argument 1: expected number, got string");
  EXPECT_EQ(checkArguments({nullableNumberArg()}, {Value::string("0")}),
            "argument 0: expected number or null, got string");
  EXPECT_EQ(checkArguments({numberArg(), numberArg()}, {Value::uint64(3), Value::real(-0.0)}),
            std::nullopt);
}

// A number reply travels as whatever numeric kind the server chose; anything else ends the call
// with "reply invalid".
TEST(InterfaceDescriptionTest, NumberRepliesAndArgumentsOverAConnection) {
  ScopedStateRoot root;
  auto interface = std::make_shared<const InterfaceDescription>(
      "Numbers", std::vector<MethodDescription>{
                     {"timeRemaining:reply:", {numberArg()}, std::vector{nullableNumberArg()}}});
  auto object = std::make_shared<Dispatcher>();
  object->on("timeRemaining:reply:", [](std::vector<Value> args, Reply reply) {
    // Answers in the kind the caller asks for: 0 int64, 1 uint64, 2 double, 3 null, else string.
    const Value& which = args[0];
    int64_t k = which.asInt64()    ? *which.asInt64()
                : which.asUint64() ? static_cast<int64_t>(*which.asUint64())
                                   : static_cast<int64_t>(*which.asReal());
    switch (k) {
      case 0:
        reply({Value::int64(-30)});
        return;
      case 1:
        reply({Value::uint64(30)});
        return;
      case 2:
        reply({Value::real(29.5)});
        return;
      case 3:
        reply({Value::null()});
        return;
      default:
        reply({Value::string("thirty")});
        return;
    }
  });
  auto listener = XpcListener::makeWithMachServiceName("com.test.numbers");
  listener->setDelegate([&](const std::shared_ptr<XpcConnection>& c) {
    c->setExportedInterface(interface);
    c->setExportedObject(object);
    c->activate();
    return true;
  });
  listener->activate();
  auto client = XpcConnection::makeWithMachServiceName("com.test.numbers", kConnectionPrivileged);
  client->setRemoteObjectInterface(interface);
  client->activate();

  using Outcome = std::variant<std::vector<Value>, ErrorRecord>;
  auto call = [&](Value which) {
    auto waiter = std::make_shared<Waiter<Outcome>>();
    client->remoteObjectProxyWithErrorHandler([waiter](const ErrorRecord& e) { waiter->set(e); })
        .call("timeRemaining:reply:", {std::move(which)},
              [waiter](std::vector<Value> v) { waiter->set(v); });
    auto outcome = waiter->wait();
    EXPECT_TRUE(outcome);
    return outcome.value_or(xpcError(0));
  };
  EXPECT_EQ(std::get<0>(call(Value::int64(0))).at(0), Value::int64(-30));
  EXPECT_EQ(std::get<0>(call(Value::uint64(1))).at(0), Value::uint64(30));
  EXPECT_EQ(std::get<0>(call(Value::real(2.0))).at(0), Value::real(29.5));
  EXPECT_TRUE(std::get<0>(call(Value::int64(3))).at(0).isNull());
  auto wrong = call(Value::int64(4));
  ASSERT_TRUE(std::holds_alternative<ErrorRecord>(wrong));
  EXPECT_EQ(std::get<ErrorRecord>(wrong).code, kErrorConnectionReplyInvalid);
  // The connection is still usable after a bad reply.
  EXPECT_EQ(std::get<0>(call(Value::int64(0))).at(0), Value::int64(-30));
  // The caller's own side refuses a non-number before sending anything.
  EXPECT_THROW(client->remoteObjectProxyWithErrorHandler([](const ErrorRecord&) {})
                   .call("timeRemaining:reply:", {Value::string("0")}),
               ProxyUsageError);
  client->invalidate();
  listener->invalidate();
}

}  // namespace
}  // namespace brellis::platform::xpc
