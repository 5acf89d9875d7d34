// The camera decoder on a 1080p30 stream: time per access unit, decoded and converted to BGRA. The
// stream is made at start-up with libavcodec's x265 encoder from a panning, textured picture (a camera
// moving over a detailed scene) at a camera-like 8 Mbit/s, one keyframe then P pictures.
// Threads 1 is the one-core figure: 1080p30 needs it under 33 ms.
#include <benchmark/benchmark.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
}

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "media/cam_decoder.hpp"
#include "media/hevc_nal_units.hpp"
#include "media/hevc_parameter_sets.hpp"

namespace vela {
namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kPictures = 30;
constexpr int64_t kBitrate = 8'000'000;

struct Stream {
  Bytes blob;
  std::vector<Bytes> accessUnits;  // 4-byte length prefixes, as the camera chunks carry them
  size_t totalBytes = 0;
};

// Luma texture larger than the picture, panned a few pixels per picture.
std::vector<uint8_t> texture(int width, int height) {
  std::vector<uint8_t> pixels(static_cast<size_t>(width) * static_cast<size_t>(height));
  uint32_t noise = 1;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      noise = noise * 1103515245 + 12345;
      const int shapes = ((x / 40 + y / 40) % 2) * 60 + (x * y / 97) % 50;
      pixels[static_cast<size_t>(y) * width + x] = static_cast<uint8_t>(40 + shapes + ((noise >> 16) % 24));
    }
  }
  return pixels;
}

Stream encodeStream() {
  const AVCodec* codec = avcodec_find_encoder_by_name("libx265");
  if (!codec) throw std::runtime_error("libavcodec has no libx265 encoder");
  AVCodecContext* context = avcodec_alloc_context3(codec);
  context->width = kWidth;
  context->height = kHeight;
  context->pix_fmt = AV_PIX_FMT_YUV420P;
  context->time_base = {1, 30};
  context->framerate = {30, 1};
  context->bit_rate = kBitrate;
  context->gop_size = 600;
  context->max_b_frames = 0;
  context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;  // the sets come out once, as extradata
  av_opt_set(context->priv_data, "preset", "veryfast", 0);
  av_opt_set(context->priv_data, "x265-params", "bframes=0:info=0:log-level=error", 0);
  if (avcodec_open2(context, codec, nullptr) < 0) throw std::runtime_error("x265 refused the settings");

  Stream stream;
  auto sets = HEVCParameterSets::extract(ByteView(context->extradata, static_cast<size_t>(context->extradata_size)));
  if (!sets) throw std::runtime_error("no parameter sets in the encoder's extradata");
  stream.blob = sets->serialize();

  const int texWidth = kWidth + 4 * kPictures, texHeight = kHeight + 2 * kPictures;
  const std::vector<uint8_t> luma = texture(texWidth, texHeight);
  AVFrame* frame = av_frame_alloc();
  frame->width = kWidth;
  frame->height = kHeight;
  frame->format = AV_PIX_FMT_YUV420P;
  av_frame_get_buffer(frame, 0);
  AVPacket* packet = av_packet_alloc();
  auto collect = [&] {
    while (avcodec_receive_packet(context, packet) == 0) {
      auto unit = annexBToLengthPrefixed(ByteView(packet->data, static_cast<size_t>(packet->size)));
      stream.totalBytes += unit->size();
      stream.accessUnits.push_back(std::move(*unit));
      av_packet_unref(packet);
    }
  };
  for (int i = 0; i < kPictures; ++i) {
    av_frame_make_writable(frame);
    for (int y = 0; y < kHeight; ++y) {
      std::memcpy(frame->data[0] + static_cast<ptrdiff_t>(y) * frame->linesize[0],
                  &luma[static_cast<size_t>(y + 2 * i) * texWidth + 4 * static_cast<size_t>(i)], kWidth);
    }
    for (int plane = 1; plane < 3; ++plane) {
      for (int y = 0; y < kHeight / 2; ++y) {
        uint8_t* row = frame->data[plane] + static_cast<ptrdiff_t>(y) * frame->linesize[plane];
        for (int x = 0; x < kWidth / 2; ++x) row[x] = static_cast<uint8_t>(128 + ((x + 2 * i) / 8 + y / 8 + plane * 20) % 40 - 20);
      }
    }
    frame->pts = i;
    avcodec_send_frame(context, frame);
    collect();
  }
  avcodec_send_frame(context, nullptr);
  collect();
  av_packet_free(&packet);
  av_frame_free(&frame);
  avcodec_free_context(&context);
  return stream;
}

const Stream& stream() {
  static const Stream encoded = encodeStream();
  return encoded;
}

void BM_CamDecode1080pToBGRA(benchmark::State& state) {
  const Stream& s = stream();
  auto decoder = CamDecoder::create(0, 0, s.blob, static_cast<int>(state.range(0)));
  if (!decoder) {
    state.SkipWithError("no decoder");
    return;
  }
  size_t next = 0, pictures = 0;
  for (auto _ : state) {
    auto picture = decoder->decode(s.accessUnits[next], next * 33'333);
    pictures += picture ? 1 : 0;
    benchmark::DoNotOptimize(picture);
    // Round again from the keyframe: the IDR resets the decoder's references.
    next = (next + 1) % s.accessUnits.size();
  }
  if (pictures != static_cast<size_t>(state.iterations())) state.SkipWithError("an access unit gave no picture");
  state.SetItemsProcessed(state.iterations());
  state.counters["streamKbps"] =
      static_cast<double>(s.totalBytes) * 8 * 30 / static_cast<double>(s.accessUnits.size()) / 1000;
  state.SetLabel(state.range(0) == 1 ? "one slice thread (one core)" : "slice threads: one per core");
}
BENCHMARK(BM_CamDecode1080pToBGRA)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace
}  // namespace vela
