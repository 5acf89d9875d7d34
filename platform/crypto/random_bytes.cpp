#include "platform/crypto/random_bytes.hpp"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <climits>

#include "platform/crypto/secret_array.hpp"
#include "platform/runtime/random.hpp"

namespace tavlo::crypto {

void fillRandom(std::span<uint8_t> out) {
  if (out.empty()) return;
  // RAND_bytes takes an int count; the callers ask for a few dozen bytes, the loop covers any size.
  size_t done = 0;
  while (done < out.size()) {
    size_t chunk = std::min<size_t>(out.size() - done, INT_MAX);
    if (RAND_bytes(out.data() + done, static_cast<int>(chunk)) != 1) {
      SystemRandom::shared().fill(out.subspan(done));
      return;
    }
    done += chunk;
  }
}

void secureZero(void* data, size_t size) { OPENSSL_cleanse(data, size); }

}  // namespace tavlo::crypto
