#pragma once
// D-Bus values as mutter's interfaces carry them: a reply or signal read into a tree of plain values,
// and a writer for the arguments of a call (nested arrays, structs and a{sv} option dictionaries).
//
// Reading keeps every integer type as int64_t (mutter's u and i fields all fit), object paths and
// signatures as text, and unwraps variants, so that a caller walks a reply by position and key without
// knowing libdbus. Nothing here throws: a value of another kind reads as the default the caller gives.
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

struct DBusMessage;
struct DBusMessageIter;

namespace tavlo {

struct BusValue {
  enum class Kind { none, boolean, integer, number, text, list };
  Kind kind = Kind::none;
  int64_t integer = 0;  // booleans too (0, 1)
  double number = 0;
  std::string text;           // strings, object paths, signatures
  std::vector<BusValue> items;  // arrays, structs; a dict entry is a list of two

  int64_t asInt(int64_t otherwise = 0) const { return kind == Kind::integer || kind == Kind::boolean ? integer : otherwise; }
  double asDouble(double otherwise = 0) const {
    return kind == Kind::number ? number : kind == Kind::integer ? static_cast<double>(integer) : otherwise;
  }
  bool asBool(bool otherwise = false) const { return kind == Kind::boolean ? integer != 0 : otherwise; }
  const std::string& asText() const { return text; }
  // The item at `index` of a list; an empty value when there is none.
  const BusValue& at(size_t index) const;
  size_t size() const { return items.size(); }
  // In a list of dict entries (an a{sv} or a{ss}), the value under `key`; null when absent.
  const BusValue* field(std::string_view key) const;
};

// Every argument of a message, in order.
std::vector<BusValue> readBusArguments(DBusMessage* message);

// One value of an options dictionary (a{sv}).
using BusVariant = std::variant<bool, int32_t, uint32_t, double, std::string>;
struct BusOption {
  std::string key;
  BusVariant value;
};

// Appends arguments to a message. Containers are opened and closed in order; a writer whose appends
// ran out of memory reports it through ok().
class BusWriter {
 public:
  explicit BusWriter(DBusMessage* message);
  ~BusWriter();
  BusWriter(const BusWriter&) = delete;
  BusWriter& operator=(const BusWriter&) = delete;

  BusWriter& text(const std::string& value);
  BusWriter& objectPath(const std::string& value);
  BusWriter& u32(uint32_t value);
  BusWriter& i32(int32_t value);
  BusWriter& f64(double value);
  BusWriter& boolean(bool value);
  BusWriter& variant(const BusVariant& value);
  // An a{sv} of these options.
  BusWriter& options(std::initializer_list<BusOption> entries);
  BusWriter& options(const std::vector<BusOption>& entries);

  // `type` is 'a' (with the element signature), 'r' (struct), 'e' (dict entry) or 'v' (with the
  // contained signature).
  BusWriter& open(char type, const char* signature = nullptr);
  BusWriter& close();

  bool ok() const { return ok_; }

 private:
  DBusMessageIter* top();
  std::vector<DBusMessageIter*> stack_;
  bool ok_ = true;
};

}  // namespace tavlo
