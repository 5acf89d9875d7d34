#include "protocol/xor_bytes.hpp"

#include <algorithm>
#include <cassert>
#include <cstring>

namespace vela {
namespace {

// 16-byte lanes through the compiler's vector extension: SSE2 on every x86-64, NEON on arm64, with
// unaligned loads and stores done through memcpy (which compiles to single instructions).
using Lane = uint64_t __attribute__((vector_size(16)));

inline Lane load(const uint8_t* p) {
  Lane v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void store(uint8_t* p, Lane v) { std::memcpy(p, &v, sizeof v); }

}  // namespace

void xorInto(std::span<uint8_t> dst, tavlo::ByteView src) {
  assert(dst.size() >= src.size());
  uint8_t* d = dst.data();
  const uint8_t* s = src.data();
  size_t n = src.size();
  size_t i = 0;
  // Four lanes a step: enough independent loads to keep the load ports busy.
  for (; i + 64 <= n; i += 64) {
    Lane a = load(d + i) ^ load(s + i);
    Lane b = load(d + i + 16) ^ load(s + i + 16);
    Lane c = load(d + i + 32) ^ load(s + i + 32);
    Lane e = load(d + i + 48) ^ load(s + i + 48);
    store(d + i, a);
    store(d + i + 16, b);
    store(d + i + 32, c);
    store(d + i + 48, e);
  }
  for (; i + 16 <= n; i += 16) store(d + i, load(d + i) ^ load(s + i));
  for (; i + 8 <= n; i += 8) {
    uint64_t x, y;
    std::memcpy(&x, d + i, 8);
    std::memcpy(&y, s + i, 8);
    x ^= y;
    std::memcpy(d + i, &x, 8);
  }
  for (; i < n; ++i) d[i] ^= s[i];
}

void xorAllInto(std::span<uint8_t> dst, std::span<const tavlo::ByteView> sources) {
  size_t k = 0;
  for (; k + 4 <= sources.size(); k += 4) {
    const tavlo::ByteView a = sources[k], b = sources[k + 1], c = sources[k + 2], e = sources[k + 3];
    assert(dst.size() >= std::max({a.size(), b.size(), c.size(), e.size()}));
    const size_t common = std::min({a.size(), b.size(), c.size(), e.size()});
    uint8_t* d = dst.data();
    size_t i = 0;
    for (; i + 32 <= common; i += 32) {
      Lane x = load(d + i) ^ load(a.data() + i) ^ load(b.data() + i) ^ load(c.data() + i) ^ load(e.data() + i);
      Lane y = load(d + i + 16) ^ load(a.data() + i + 16) ^ load(b.data() + i + 16) ^ load(c.data() + i + 16) ^
               load(e.data() + i + 16);
      store(d + i, x);
      store(d + i + 16, y);
    }
    // The rest of each source (its tail, or all of a shorter one) one at a time.
    for (tavlo::ByteView source : {a, b, c, e}) xorInto(dst.subspan(i), source.subspan(std::min(i, source.size())));
  }
  for (; k < sources.size(); ++k) xorInto(dst, sources[k]);
}

}  // namespace vela
