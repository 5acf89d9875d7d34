#pragma once
// The one mechanism behind every message record: a record lists its fields once, in wire order, and
// the writer, the reader and the random filler of the tests all walk that list.
//
//   struct Ping {
//     uint64_t t1 = 0;
//     static void fields(auto& r, auto& io) { io(r.t1); }
//     VELA_WIRE_RECORD(Ping, Channel::control, ControlType::ping);
//   };
//
// `fields` is called with a const record (encoding) or a mutable one (decoding, filling). A plain
// member is coded by its type: unsigned integers and int16_t little-endian at their width, float as its
// IEEE bit pattern (never converted), bool as one byte written 0/1 and read as "not zero", option sets
// (protocol/option_set.hpp) as their raw value, std::array<uint8_t, N> as N raw bytes, and a nested value
// declared with VELA_WIRE_VALUE by its own field list. Everything else goes through a field helper of
// vela::wire (below): checked and lenient enumerations, optional trailing fields, strings, blobs, the
// rest of the packet, reserved bytes and u8-counted lists.
//
// Reading stops at the first failure and throws WireError; a length or count is checked against the
// bytes that remain before anything is allocated for it. Bytes after the last field are ignored.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <concepts>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/runtime/random.hpp"
#include "protocol/wire_payload.hpp"

namespace vela {

// The wire values an enumeration accepts, first to last. Declared next to each checked enumeration,
// found by argument-dependent lookup:
//   constexpr WireEnumRange wireRange(Platform) { return {1, 4}; }
struct WireEnumRange {
  uint8_t first;
  uint8_t last;
  constexpr bool contains(uint8_t raw) const { return raw >= first && raw <= last; }
};

namespace wire {

// Every field helper is a small struct that knows how to write, read and randomly fill its field, and
// how many bytes it needs at least (for optional trailing fields).
struct FieldTag {};
template <class F>
concept FieldHelper = std::derived_from<std::remove_cvref_t<F>, FieldTag>;

template <class T>
concept WireValue = requires { typename std::remove_const_t<T>::IsWireValue; };

template <class T>
concept OptionSetLike = requires { typename std::remove_const_t<T>::RawValue; };

template <class T>
struct IsByteArray : std::false_type {};
template <size_t N>
struct IsByteArray<std::array<uint8_t, N>> : std::true_type {};

template <class T>
concept PlainScalar = std::same_as<std::remove_const_t<T>, bool> || std::same_as<std::remove_const_t<T>, uint8_t> ||
                      std::same_as<std::remove_const_t<T>, uint16_t> || std::same_as<std::remove_const_t<T>, uint32_t> ||
                      std::same_as<std::remove_const_t<T>, uint64_t> || std::same_as<std::remove_const_t<T>, int16_t> ||
                      std::same_as<std::remove_const_t<T>, float>;

template <class T>
void writeFields(const T& value, ByteWriter& writer);
template <class T>
void readFields(T& value, ByteReader& reader);
template <class T>
void fillFields(T& value, tavlo::Random& random);
template <class T>
size_t minWireSize();

// A random length in [0, limit], biased towards the short end and the limit itself, where cuts and
// prefixes go wrong.
inline size_t randomLength(tavlo::Random& random, size_t limit) {
  switch (random.below(8)) {
    case 0: return 0;
    case 1: return limit;
    case 2: return static_cast<size_t>(random.below(limit + 1));
    default: return static_cast<size_t>(random.below(std::min<size_t>(limit, 40) + 1));
  }
}

inline std::string randomText(tavlo::Random& random, size_t limit) {
  // Valid UTF-8 only (a repaired string would not compare equal): ASCII and two-byte characters,
  // never cut inside one.
  std::string text;
  size_t length = randomLength(random, limit);
  while (text.size() < length) {
    if (length - text.size() >= 2 && random.below(4) == 0) {
      text += "\xC3\xA9";  // é
    } else {
      text += static_cast<char>(0x20 + random.below(0x5F));
    }
  }
  return text;
}

// A plain member, coded by its type.
template <class T>
struct Plain : FieldTag {
  using Value = std::remove_const_t<T>;
  T& value;

  static size_t minSize() {
    if constexpr (PlainScalar<T>) return std::same_as<Value, bool> ? 1 : sizeof(Value);
    else if constexpr (OptionSetLike<T>) return sizeof(typename Value::RawValue);
    else if constexpr (IsByteArray<Value>::value) return std::tuple_size_v<Value>;
    else return minWireSize<Value>();
  }

  void write(ByteWriter& w) const {
    if constexpr (std::same_as<Value, bool>) w.u8(value ? 1 : 0);
    else if constexpr (std::same_as<Value, uint8_t>) w.u8(value);
    else if constexpr (std::same_as<Value, uint16_t>) w.u16(value);
    else if constexpr (std::same_as<Value, uint32_t>) w.u32(value);
    else if constexpr (std::same_as<Value, uint64_t>) w.u64(value);
    else if constexpr (std::same_as<Value, int16_t>) w.i16(value);
    else if constexpr (std::same_as<Value, float>) w.f32(value);
    else if constexpr (OptionSetLike<T>) Plain<const typename Value::RawValue>{{}, value.rawValue}.write(w);
    else if constexpr (IsByteArray<Value>::value) w.raw(value);
    else if constexpr (WireValue<T>) writeFields(value, w);
    else static_assert(sizeof(Value) == 0, "no wire coding for this member type: use a field helper");
  }

  void read(ByteReader& r) const {
    if constexpr (std::same_as<Value, bool>) value = r.u8() != 0;
    else if constexpr (std::same_as<Value, uint8_t>) value = r.u8();
    else if constexpr (std::same_as<Value, uint16_t>) value = r.u16();
    else if constexpr (std::same_as<Value, uint32_t>) value = r.u32();
    else if constexpr (std::same_as<Value, uint64_t>) value = r.u64();
    else if constexpr (std::same_as<Value, int16_t>) value = r.i16();
    else if constexpr (std::same_as<Value, float>) value = r.f32();
    else if constexpr (OptionSetLike<T>) Plain<typename Value::RawValue>{{}, value.rawValue}.read(r);
    else if constexpr (IsByteArray<Value>::value) {
      ByteView bytes = r.view(value.size());
      std::copy(bytes.begin(), bytes.end(), value.begin());
    } else if constexpr (WireValue<T>) readFields(value, r);
    else static_assert(sizeof(Value) == 0, "no wire coding for this member type: use a field helper");
  }

  void fill(tavlo::Random& random) const {
    if constexpr (std::same_as<Value, bool>) value = random.below(2) == 1;
    else if constexpr (std::same_as<Value, float>) {
      // Finite values only: NaN never compares equal, and the reader keeps every bit pattern anyway.
      float f = std::bit_cast<float>(static_cast<uint32_t>(random.nextU64()));
      value = std::isfinite(f) ? f : 0.5f;
    } else if constexpr (std::integral<Value>) value = static_cast<Value>(random.nextU64());
    else if constexpr (OptionSetLike<T>) Plain<typename Value::RawValue>{{}, value.rawValue}.fill(random);
    else if constexpr (IsByteArray<Value>::value) random.fill(value);
    else if constexpr (WireValue<T>) fillFields(value, random);
    else static_assert(sizeof(Value) == 0, "no wire coding for this member type: use a field helper");
  }
};

template <class F>
auto asField(F&& field) {
  if constexpr (FieldHelper<F>) return std::remove_cvref_t<F>(field);
  else return Plain<std::remove_reference_t<F>>{{}, field};
}
template <class F>
using FieldOf = decltype(asField(std::declval<F>()));

// An enumeration whose byte is checked as soon as it is read: a value outside wireRange(E) throws
// malformed("<text> <value>") before any later field is read.
template <class E>
struct Checked : FieldTag {
  using Value = std::remove_const_t<E>;
  E& value;
  const char* text;
  static constexpr size_t minSize() { return 1; }
  void write(ByteWriter& w) const { w.u8(static_cast<uint8_t>(value)); }
  void read(ByteReader& r) const {
    uint8_t raw = r.u8();
    if (!wireRange(Value{}).contains(raw)) throw WireError::malformed(std::string(text) + " " + std::to_string(raw));
    value = static_cast<Value>(raw);
  }
  void fill(tavlo::Random& random) const {
    WireEnumRange range = wireRange(Value{});
    value = static_cast<Value>(range.first + random.below(range.last - range.first + 1u));
  }
};
template <class E>
Checked<E> checked(E& value, const char* text) {
  return {{}, value, text};
}

// An enumeration whose unknown values read as a fallback case instead of failing.
template <class E>
struct Lenient : FieldTag {
  using Value = std::remove_const_t<E>;
  E& value;
  Value fallback;
  static constexpr size_t minSize() { return 1; }
  void write(ByteWriter& w) const { w.u8(static_cast<uint8_t>(value)); }
  void read(ByteReader& r) const {
    uint8_t raw = r.u8();
    value = wireRange(Value{}).contains(raw) ? static_cast<Value>(raw) : fallback;
  }
  void fill(tavlo::Random& random) const { Checked<E>{{}, value, ""}.fill(random); }
};
template <class E>
Lenient<E> lenient(E& value, std::remove_const_t<E> fallback) {
  return {{}, value, fallback};
}

// A Boolean written 0/1 and read from bit 0 alone (other bits of the byte are ignored).
template <class B>
struct LowBit : FieldTag {
  using Value = bool;
  B& value;
  static constexpr size_t minSize() { return 1; }
  void write(ByteWriter& w) const { w.u8(value ? 1 : 0); }
  void read(ByteReader& r) const { value = (r.u8() & 0x01) != 0; }
  void fill(tavlo::Random& random) const { value = random.below(2) == 1; }
};
template <class B>
LowBit<B> lowBit(B& value) {
  return {{}, value};
}

// An optional field at the end of a record: read only when at least its smallest encoding remains,
// else the fallback. A length-prefixed field whose body is missing also falls back (its prefix stays
// consumed, so following optional fields read what comes after it). Always written.
template <class F>
struct Trailing : FieldTag {
  using Field = FieldOf<F>;
  using Value = typename Field::Value;
  Field field;
  Value fallback;
  static size_t minSize() { return Field::minSize(); }
  void write(ByteWriter& w) const { field.write(w); }
  void read(ByteReader& r) const {
    if (r.remaining() < Field::minSize()) {
      field.value = fallback;
      return;
    }
    try {
      field.read(r);
    } catch (const WireError& e) {
      if (e.kind() != WireError::Kind::underflow) throw;
      field.value = fallback;
    }
  }
  void fill(tavlo::Random& random) const { field.fill(random); }
};
template <class F>
struct IsTrailing : std::false_type {};
template <class F>
struct IsTrailing<Trailing<F>> : std::true_type {};

template <class F>
Trailing<F> trailing(F&& field, typename FieldOf<F>::Value fallback) {
  return {{}, asField(std::forward<F>(field)), std::move(fallback)};
}

// Text with a 1-byte (Width 8) or 2-byte (Width 16) length prefix, cut to 255 or 65,535 UTF-8 bytes.
template <int Width, class S>
struct Text : FieldTag {
  using Value = std::string;
  S& value;
  static constexpr size_t minSize() { return Width / 8; }
  void write(ByteWriter& w) const {
    if constexpr (Width == 8) w.stringU8(value);
    else w.stringU16(value);
  }
  void read(ByteReader& r) const { value = Width == 8 ? r.stringU8() : r.stringU16(); }
  void fill(tavlo::Random& random) const { value = randomText(random, Width == 8 ? 255 : 300); }
};
template <class S>
Text<8, S> str8(S& value) {
  return {{}, value};
}
template <class S>
Text<16, S> str16(S& value) {
  return {{}, value};
}

// Bytes with a 2-byte (cut to 65,535) or 4-byte length prefix.
template <int Width, class B>
struct Blob : FieldTag {
  using Value = Bytes;
  B& value;
  static constexpr size_t minSize() { return Width / 8; }
  void write(ByteWriter& w) const {
    if constexpr (Width == 16) w.blobU16(value);
    else w.blobU32(value);
  }
  void read(ByteReader& r) const { value = Width == 16 ? r.blobU16() : r.blobU32(); }
  void fill(tavlo::Random& random) const { value = random.bytes(randomLength(random, 2000)); }
};
template <class B>
Blob<16, B> blob16(B& value) {
  return {{}, value};
}
template <class B>
Blob<32, B> blob32(B& value) {
  return {{}, value};
}

// The bytes from here to the end of the packet, without a length (possibly none).
template <class B>
struct Rest : FieldTag {
  using Value = Bytes;
  B& value;
  static constexpr size_t minSize() { return 0; }
  void write(ByteWriter& w) const { w.raw(value); }
  void read(ByteReader& r) const { value = r.rest(); }
  void fill(tavlo::Random& random) const { value = random.bytes(randomLength(random, 1400)); }
};
template <class B>
Rest<B> rest(B& value) {
  return {{}, value};
}

// A byte written 0 and skipped when read; it belongs to no field of the record.
struct Reserved : FieldTag {
  static constexpr size_t minSize() { return 1; }
  void write(ByteWriter& w) const { w.u8(0); }
  void read(ByteReader& r) const { (void)r.u8(); }
  void fill(tavlo::Random&) const {}
};
inline constexpr Reserved reserved{};

// An optional byte buffer behind a flag byte: 0 when absent; 1, a u32 length and the bytes when present
// (an empty buffer is present). Any flag other than exactly 1 reads as absent and nothing more is read.
template <class O>
struct FlaggedBlob32 : FieldTag {
  using Value = std::optional<Bytes>;
  O& value;
  static constexpr size_t minSize() { return 1; }
  void write(ByteWriter& w) const {
    w.u8(value ? 1 : 0);
    if (value) w.blobU32(*value);
  }
  void read(ByteReader& r) const {
    if (r.u8() == 1) value = r.blobU32();
    else value.reset();
  }
  void fill(tavlo::Random& random) const {
    if (random.below(2) == 0) value.reset();
    else value = random.bytes(randomLength(random, 2000));
  }
};
template <class O>
FlaggedBlob32<O> flaggedBlob32(O& value) {
  return {{}, value};
}

// The first `count` elements of a list whose u8 count was coded earlier in the record (the count may
// stand apart from its list). Use countU8(list) for the count member: it is min(size, 255) when
// encoding and overwritten when reading or filling.
template <class L>
struct ListOf : FieldTag {
  using Value = std::remove_const_t<L>;
  using Element = typename Value::value_type;
  const uint8_t& count;
  L& value;
  static constexpr size_t minSize() { return 0; }
  void write(ByteWriter& w) const {
    for (size_t i = 0; i < count; ++i) Plain<const Element>{{}, value[i]}.write(w);
  }
  void read(ByteReader& r) const {
    if constexpr (std::same_as<Element, uint8_t>) {
      ByteView bytes = r.view(count);  // underflow before anything is allocated
      value.assign(bytes.begin(), bytes.end());
    } else {
      value.clear();
      // Room for no more elements than the bytes left can hold.
      value.reserve(std::min<size_t>(count, r.remaining() / std::max<size_t>(1, minWireSize<Element>())));
      for (size_t i = 0; i < count; ++i) {
        Element element{};
        Plain<Element>{{}, element}.read(r);
        value.push_back(std::move(element));
      }
    }
  }
  void fill(tavlo::Random& random) const {
    value.assign(count, Element{});
    for (Element& element : value) Plain<Element>{{}, element}.fill(random);
  }
};
template <class L>
ListOf<L> listOf(const uint8_t& count, L& value) {
  return {{}, count, value};
}
template <class L>
uint8_t countU8(const L& list) {
  return static_cast<uint8_t>(std::min<size_t>(list.size(), 255));
}

// A u8 count followed by that many elements; a longer list is written cut to its first 255 elements.
template <class L>
struct CountedU8 : FieldTag {
  using Value = std::remove_const_t<L>;
  L& value;
  static constexpr size_t minSize() { return 1; }
  void write(ByteWriter& w) const {
    uint8_t count = countU8(value);
    w.u8(count);
    ListOf<L>{{}, count, value}.write(w);
  }
  void read(ByteReader& r) const {
    uint8_t count = r.u8();
    ListOf<L>{{}, count, value}.read(r);
  }
  void fill(tavlo::Random& random) const {
    uint8_t count = static_cast<uint8_t>(randomLength(random, 255));
    ListOf<L>{{}, count, value}.fill(random);
  }
};
template <class L>
CountedU8<L> countedU8(L& value) {
  return {{}, value};
}

// The three walks over a field list.
class FieldWriter {
 public:
  explicit FieldWriter(ByteWriter& writer) : writer_(writer) {}
  template <class... F>
  void operator()(F&&... fields) {
    (asField(std::forward<F>(fields)).write(writer_), ...);
  }

 private:
  ByteWriter& writer_;
};

class FieldReader {
 public:
  explicit FieldReader(ByteReader& reader) : reader_(reader) {}
  template <class... F>
  void operator()(F&&... fields) {
    (asField(std::forward<F>(fields)).read(reader_), ...);
  }

 private:
  ByteReader& reader_;
};

class FieldFiller {
 public:
  explicit FieldFiller(tavlo::Random& random) : random_(random) {}
  template <class... F>
  void operator()(F&&... fields) {
    (asField(std::forward<F>(fields)).fill(random_), ...);
  }

 private:
  tavlo::Random& random_;
};

// Counts the smallest encoding of a field list: optional trailing fields absent, lists empty.
class FieldSizer {
 public:
  template <class... F>
  void operator()(F&&...) {
    ((total += IsTrailing<FieldOf<F>>::value ? 0 : FieldOf<F>::minSize()), ...);
  }
  size_t total = 0;
};

template <class T>
size_t minWireSize() {
  static const size_t size = [] {
    T value{};
    FieldSizer sizer;
    T::fields(value, sizer);
    return sizer.total;
  }();
  return size;
}

template <class T>
void writeFields(const T& value, ByteWriter& writer) {
  FieldWriter io(writer);
  T::fields(value, io);
}
template <class T>
void readFields(T& value, ByteReader& reader) {
  FieldReader io(reader);
  T::fields(value, io);
}
template <class T>
void fillFields(T& value, tavlo::Random& random) {
  FieldFiller io(random);
  T::fields(value, io);
}

template <class T>
T decodeFields(ByteReader& reader) {
  T value{};
  readFields(value, reader);
  return value;
}

// A record or nested value with every field drawn at random, within what survives a round trip
// (valid UTF-8, lists and strings within their cuts, finite floats, enumerations within range).
template <class T>
T randomValue(tavlo::Random& random) {
  T value{};
  fillFields(value, random);
  return value;
}

}  // namespace wire
}  // namespace vela

// Inside a value that is embedded in records (not a message of its own): encode, decode, equality.
#define VELA_WIRE_VALUE(Type)                                                                               \
  using IsWireValue = void;                                                                                 \
  void encode(::vela::ByteWriter& writer) const { ::vela::wire::writeFields(*this, writer); }               \
  static Type decode(::vela::ByteReader& reader) { return ::vela::wire::decodeFields<Type>(reader); }       \
  friend bool operator==(const Type&, const Type&) = default

// Inside a message record: its channel and type, the WirePayload members, and field-by-field equality.
#define VELA_WIRE_RECORD(Type, channelValue, msgTypeValue)                                                  \
  static constexpr ::vela::Channel channel = channelValue;                                                 \
  static constexpr uint8_t msgType = msgTypeValue;                                                         \
  void encodePayload(::vela::ByteWriter& writer) const { ::vela::wire::writeFields(*this, writer); }        \
  static Type decode(::vela::ByteReader& reader) { return ::vela::wire::decodeFields<Type>(reader); }       \
  friend bool operator==(const Type&, const Type&) = default
