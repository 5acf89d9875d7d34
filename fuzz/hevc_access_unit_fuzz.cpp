// A camera configuration blob followed by access units, as the client sends them:
//   u16 little-endian blob length, the blob, then any number of (u16 little-endian length, access unit).
// The blob is read, turned into a decoder configuration and a decoder; each access unit is decoded. Any
// result is fine; a crash, an over-read or a picture buffer that does not match its size is not.
#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "media/cam_decoder.hpp"
#include "media/hevc_nal_units.hpp"
#include "media/hevc_parameter_sets.hpp"

namespace {

uint16_t readU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vela;
  if (size < 2) return 0;
  const size_t blobSize = std::min<size_t>(readU16(data), size - 2);
  ByteView blob(data + 2, blobSize);
  ByteView rest(data + 2 + blobSize, size - 2 - blobSize);

  auto sets = HEVCParameterSets::fromSerialized(blob);
  if (sets) {
    // What was read writes back as the blob's prefix.
    Bytes again = sets->serialize();
    if (again.size() > blob.size() || !std::equal(again.begin(), again.end(), blob.begin())) std::abort();
    (void)sets->makeDecoderConfig();
  }
  (void)HEVCParameterSets::extract(rest);
  (void)lengthPrefixedToAnnexB(rest);

  auto decoder = CamDecoder::create(0, 0, blob, /*threads=*/1);
  if (!decoder) return 0;
  while (rest.size() >= 2) {
    const size_t length = std::min<size_t>(readU16(rest.data()), rest.size() - 2);
    // In-band sets may change the size; the buffer must still hold the picture it describes.
    auto picture = decoder->decode(rest.subspan(2, length), 0);
    if (picture && (picture->width <= 0 || picture->height <= 0 ||
                    picture->bytesPerRow < static_cast<size_t>(picture->width) * PixelBuffer::kBytesPerPixel ||
                    picture->bgra.size() != picture->bytesPerRow * static_cast<size_t>(picture->height))) {
      std::abort();
    }
    rest = rest.subspan(2 + length);
  }
  return 0;
}
