#pragma once
// A set of one-bit options over an unsigned raw value, as the wire carries flag bytes and modifier
// words. Bits without a named member are kept as they came: a decoder never drops what a newer peer
// set, and re-encoding writes them back unchanged.
//
//   struct FrameFlags : OptionSet<FrameFlags, uint8_t> {
//     using OptionSet::OptionSet;
//     static const FrameFlags idr;
//   };
//   inline constexpr FrameFlags FrameFlags::idr{0x01};
#include <concepts>
#include <initializer_list>

namespace vela {

template <class Derived, std::unsigned_integral Raw>
struct OptionSet {
  using RawValue = Raw;
  Raw rawValue = 0;

  constexpr OptionSet() = default;
  constexpr explicit OptionSet(Raw raw) : rawValue(raw) {}
  // The union of the listed members; an empty list is the empty set.
  constexpr OptionSet(std::initializer_list<Derived> members) {
    for (Derived member : members) rawValue = static_cast<Raw>(rawValue | member.rawValue);
  }

  constexpr bool isEmpty() const { return rawValue == 0; }
  constexpr bool contains(Derived other) const { return (rawValue & other.rawValue) == other.rawValue; }
  constexpr bool isSubset(Derived of) const { return (rawValue & ~of.rawValue) == 0; }
  constexpr bool isDisjoint(Derived with) const { return (rawValue & with.rawValue) == 0; }

  constexpr void insert(Derived member) { rawValue = static_cast<Raw>(rawValue | member.rawValue); }
  constexpr void remove(Derived member) { rawValue = static_cast<Raw>(rawValue & ~member.rawValue); }
  constexpr void formUnion(Derived other) { insert(other); }

  friend constexpr Derived operator|(Derived a, Derived b) { return Derived(static_cast<Raw>(a.rawValue | b.rawValue)); }
  friend constexpr Derived operator&(Derived a, Derived b) { return Derived(static_cast<Raw>(a.rawValue & b.rawValue)); }
  friend constexpr Derived operator^(Derived a, Derived b) { return Derived(static_cast<Raw>(a.rawValue ^ b.rawValue)); }
  friend constexpr bool operator==(const OptionSet&, const OptionSet&) = default;
};

}  // namespace vela
