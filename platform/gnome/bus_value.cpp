#include "platform/gnome/bus_value.hpp"

#include <dbus/dbus.h>

namespace tavlo {
namespace {

// libdbus refuses messages nested deeper than 64; a reply read here never is.
constexpr int kMaxDepth = 64;

BusValue readValue(DBusMessageIter* it, int depth) {
  BusValue value;
  const int type = dbus_message_iter_get_arg_type(it);
  switch (type) {
    case DBUS_TYPE_BOOLEAN: {
      dbus_bool_t b = false;
      dbus_message_iter_get_basic(it, &b);
      value.kind = BusValue::Kind::boolean;
      value.integer = b ? 1 : 0;
      break;
    }
    case DBUS_TYPE_BYTE:
    case DBUS_TYPE_INT16:
    case DBUS_TYPE_UINT16:
    case DBUS_TYPE_INT32:
    case DBUS_TYPE_UINT32:
    case DBUS_TYPE_INT64:
    case DBUS_TYPE_UINT64:
    case DBUS_TYPE_UNIX_FD: {
      DBusBasicValue basic{};
      dbus_message_iter_get_basic(it, &basic);
      value.kind = BusValue::Kind::integer;
      switch (type) {
        case DBUS_TYPE_BYTE: value.integer = basic.byt; break;
        case DBUS_TYPE_INT16: value.integer = basic.i16; break;
        case DBUS_TYPE_UINT16: value.integer = basic.u16; break;
        case DBUS_TYPE_INT32: value.integer = basic.i32; break;
        case DBUS_TYPE_UINT32: value.integer = basic.u32; break;
        case DBUS_TYPE_INT64: value.integer = basic.i64; break;
        case DBUS_TYPE_UINT64: value.integer = static_cast<int64_t>(basic.u64); break;
        default: value.integer = basic.fd; break;  // a descriptor the message now hands to us
      }
      break;
    }
    case DBUS_TYPE_DOUBLE: {
      double d = 0;
      dbus_message_iter_get_basic(it, &d);
      value.kind = BusValue::Kind::number;
      value.number = d;
      break;
    }
    case DBUS_TYPE_STRING:
    case DBUS_TYPE_OBJECT_PATH:
    case DBUS_TYPE_SIGNATURE: {
      const char* s = nullptr;
      dbus_message_iter_get_basic(it, &s);
      value.kind = BusValue::Kind::text;
      value.text = s ? s : "";
      break;
    }
    case DBUS_TYPE_VARIANT: {
      if (depth >= kMaxDepth) break;
      DBusMessageIter inner;
      dbus_message_iter_recurse(it, &inner);
      return readValue(&inner, depth + 1);
    }
    case DBUS_TYPE_ARRAY:
    case DBUS_TYPE_STRUCT:
    case DBUS_TYPE_DICT_ENTRY: {
      if (depth >= kMaxDepth) break;
      value.kind = BusValue::Kind::list;
      DBusMessageIter inner;
      dbus_message_iter_recurse(it, &inner);
      while (dbus_message_iter_get_arg_type(&inner) != DBUS_TYPE_INVALID) {
        value.items.push_back(readValue(&inner, depth + 1));
        dbus_message_iter_next(&inner);
      }
      break;
    }
    default:
      break;
  }
  return value;
}

}  // namespace

const BusValue& BusValue::at(size_t index) const {
  static const BusValue none;
  return index < items.size() ? items[index] : none;
}

const BusValue* BusValue::field(std::string_view key) const {
  for (const auto& entry : items) {
    if (entry.items.size() == 2 && entry.items[0].kind == Kind::text && entry.items[0].text == key) {
      return &entry.items[1];
    }
  }
  return nullptr;
}

std::vector<BusValue> readBusArguments(DBusMessage* message) {
  std::vector<BusValue> arguments;
  DBusMessageIter it;
  if (!message || !dbus_message_iter_init(message, &it)) return arguments;
  do {
    arguments.push_back(readValue(&it, 0));
  } while (dbus_message_iter_next(&it));
  return arguments;
}

BusWriter::BusWriter(DBusMessage* message) {
  auto* root = new DBusMessageIter;
  dbus_message_iter_init_append(message, root);
  stack_.push_back(root);
}

BusWriter::~BusWriter() {
  // Containers left open are abandoned, which leaves the message as it was before them.
  while (stack_.size() > 1) {
    DBusMessageIter* child = stack_.back();
    stack_.pop_back();
    dbus_message_iter_abandon_container_if_open(stack_.back(), child);
    delete child;
  }
  delete stack_.back();
}

DBusMessageIter* BusWriter::top() { return stack_.back(); }

BusWriter& BusWriter::text(const std::string& value) {
  const char* s = value.c_str();
  ok_ = ok_ && dbus_message_iter_append_basic(top(), DBUS_TYPE_STRING, &s);
  return *this;
}

BusWriter& BusWriter::objectPath(const std::string& value) {
  const char* s = value.c_str();
  ok_ = ok_ && dbus_validate_path(s, nullptr) && dbus_message_iter_append_basic(top(), DBUS_TYPE_OBJECT_PATH, &s);
  return *this;
}

BusWriter& BusWriter::u32(uint32_t value) {
  dbus_uint32_t v = value;
  ok_ = ok_ && dbus_message_iter_append_basic(top(), DBUS_TYPE_UINT32, &v);
  return *this;
}

BusWriter& BusWriter::i32(int32_t value) {
  dbus_int32_t v = value;
  ok_ = ok_ && dbus_message_iter_append_basic(top(), DBUS_TYPE_INT32, &v);
  return *this;
}

BusWriter& BusWriter::f64(double value) {
  ok_ = ok_ && dbus_message_iter_append_basic(top(), DBUS_TYPE_DOUBLE, &value);
  return *this;
}

BusWriter& BusWriter::boolean(bool value) {
  dbus_bool_t v = value;
  ok_ = ok_ && dbus_message_iter_append_basic(top(), DBUS_TYPE_BOOLEAN, &v);
  return *this;
}

BusWriter& BusWriter::variant(const BusVariant& value) {
  struct Append {
    BusWriter& w;
    void operator()(bool v) { w.open('v', "b").boolean(v).close(); }
    void operator()(int32_t v) { w.open('v', "i").i32(v).close(); }
    void operator()(uint32_t v) { w.open('v', "u").u32(v).close(); }
    void operator()(double v) { w.open('v', "d").f64(v).close(); }
    void operator()(const std::string& v) { w.open('v', "s").text(v).close(); }
  };
  std::visit(Append{*this}, value);
  return *this;
}

BusWriter& BusWriter::options(std::initializer_list<BusOption> entries) {
  return options(std::vector<BusOption>(entries));
}

BusWriter& BusWriter::options(const std::vector<BusOption>& entries) {
  open('a', "{sv}");
  for (const auto& entry : entries) open('e').text(entry.key).variant(entry.value).close();
  return close();
}

BusWriter& BusWriter::open(char type, const char* signature) {
  int dbusType = DBUS_TYPE_INVALID;
  switch (type) {
    case 'a': dbusType = DBUS_TYPE_ARRAY; break;
    case 'r': dbusType = DBUS_TYPE_STRUCT; signature = nullptr; break;
    case 'e': dbusType = DBUS_TYPE_DICT_ENTRY; signature = nullptr; break;
    case 'v': dbusType = DBUS_TYPE_VARIANT; break;
    default: ok_ = false; return *this;
  }
  auto* child = new DBusMessageIter;
  if (!ok_ || !dbus_message_iter_open_container(top(), dbusType, signature, child)) {
    // Keep the stack balanced for the close() that follows; appends on it are refused through ok_.
    ok_ = false;
    dbus_message_iter_init_closed(child);
  }
  stack_.push_back(child);
  return *this;
}

BusWriter& BusWriter::close() {
  if (stack_.size() <= 1) {
    ok_ = false;
    return *this;
  }
  DBusMessageIter* child = stack_.back();
  stack_.pop_back();
  if (ok_) {
    ok_ = dbus_message_iter_close_container(top(), child);
  } else {
    dbus_message_iter_abandon_container_if_open(top(), child);
  }
  delete child;
  return *this;
}

}  // namespace tavlo
