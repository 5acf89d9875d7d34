// Arguments written for mutter's calls read back as the same tree: the nesting of
// ApplyMonitorsConfig's logical monitors and option dictionaries, variants unwrapped, and values of
// another kind reading as the caller's default.
#include "platform/gnome/bus_value.hpp"

#include <dbus/dbus.h>
#include <gtest/gtest.h>

#include <memory>

namespace tavlo {
namespace {

using Message = std::unique_ptr<DBusMessage, decltype(&dbus_message_unref)>;

Message newCall() {
  return Message(dbus_message_new_method_call("org.example.Peer", "/org/example", "org.example.Iface", "Call"),
                 &dbus_message_unref);
}

// Marshals and unmarshals as the bus would, so that what is read is what a peer receives.
std::vector<BusValue> roundTrip(DBusMessage* message) {
  dbus_message_set_serial(message, 1);
  char* bytes = nullptr;
  int length = 0;
  EXPECT_TRUE(dbus_message_marshal(message, &bytes, &length));
  DBusError error;
  dbus_error_init(&error);
  Message copy(dbus_message_demarshal(bytes, length, &error), &dbus_message_unref);
  dbus_free(bytes);
  EXPECT_TRUE(copy) << (error.message ? error.message : "");
  dbus_error_free(&error);
  return readBusArguments(copy.get());
}

TEST(BusValue, MonitorsConfigNestingReadsBackAsWritten) {
  Message message = newCall();
  {
    BusWriter w(message.get());
    w.u32(7).u32(1);
    w.open('a', "(iiduba(ssa{sv}))");
    w.open('r').i32(-1920).i32(0).f64(2.0).u32(0).boolean(true);
    w.open('a', "(ssa{sv})");
    w.open('r').text("Meta-1").text("1280x720@60.000").options({{"enable_underscanning", false}}).close();
    w.close();
    w.close();
    w.close();
    w.options({{"layout-mode", uint32_t{1}}, {"name", std::string("x")}, {"level", int32_t{-3}}, {"scale", 1.5}});
    ASSERT_TRUE(w.ok());
  }
  const auto args = roundTrip(message.get());
  ASSERT_EQ(args.size(), 4u);
  EXPECT_EQ(args[0].asInt(), 7);
  const BusValue& logical = args[2].at(0);
  EXPECT_EQ(logical.at(0).asInt(), -1920);
  EXPECT_DOUBLE_EQ(logical.at(2).asDouble(), 2.0);
  EXPECT_TRUE(logical.at(4).asBool());
  EXPECT_EQ(logical.at(5).at(0).at(0).asText(), "Meta-1");
  EXPECT_EQ(logical.at(5).at(0).at(1).asText(), "1280x720@60.000");
  const BusValue* underscan = logical.at(5).at(0).at(2).field("enable_underscanning");
  ASSERT_NE(underscan, nullptr);
  EXPECT_FALSE(underscan->asBool(true));

  const BusValue& options = args[3];
  ASSERT_NE(options.field("layout-mode"), nullptr);
  EXPECT_EQ(options.field("layout-mode")->asInt(), 1);
  EXPECT_EQ(options.field("name")->asText(), "x");
  EXPECT_EQ(options.field("level")->asInt(), -3);
  EXPECT_DOUBLE_EQ(options.field("scale")->asDouble(), 1.5);
  EXPECT_EQ(options.field("missing"), nullptr);
}

TEST(BusValue, ValuesOfAnotherKindReadAsTheDefault) {
  Message message = newCall();
  {
    BusWriter w(message.get());
    w.text("7").f64(2.5).i32(3).boolean(true);
    ASSERT_TRUE(w.ok());
  }
  const auto args = roundTrip(message.get());
  ASSERT_EQ(args.size(), 4u);
  EXPECT_EQ(args[0].asInt(-1), -1);           // text is not a number
  EXPECT_EQ(args[1].asInt(-1), -1);           // a double is not narrowed silently
  EXPECT_DOUBLE_EQ(args[2].asDouble(), 3.0);  // an integer widens
  EXPECT_FALSE(args[2].asBool(false));        // an integer is not a boolean
  EXPECT_TRUE(args[3].asBool());
  EXPECT_EQ(args[3].at(5).kind, BusValue::Kind::none);  // past the end: an empty value
}

TEST(BusValue, AWriterThatWentWrongSaysSoAndLeavesNoOpenContainer) {
  Message message = newCall();
  BusWriter w(message.get());
  w.objectPath("not a path");  // refused: object paths start with '/'
  EXPECT_FALSE(w.ok());
  w.open('a', "s").text("x").close();
  EXPECT_FALSE(w.ok());
  Message other = newCall();
  BusWriter unbalanced(other.get());
  unbalanced.close();  // nothing is open
  EXPECT_FALSE(unbalanced.ok());
}

}  // namespace
}  // namespace tavlo
