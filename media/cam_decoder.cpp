#include "media/cam_decoder.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <cstring>
#include <limits>
#include <mutex>

#include "media/hevc_nal_units.hpp"
#include "media/hevc_parameter_sets.hpp"

namespace vela {
namespace {

// Pictures go out with rows aligned for the vector code of whoever reads them next.
constexpr size_t kRowAlignment = 64;
// Pictures at least this tall are HD: when a stream does not say its colour matrix, they use BT.709.
constexpr int kHdMinHeight = 720;

// libavcodec reports every damaged unit on standard error. A damaged camera stream is a normal event
// here (and its rate is the client's to choose): the wrapper's absent results say all there is to say.
void quietLibraryLog() {
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

bool isKeyframeUnit(ByteView nal) {
  auto type = hevcNalType(nal);
  return type && isRandomAccessPicture(*type);
}

// Types 0 to 31 carry the slices of a picture; the rest are parameter sets, delimiters and SEI.
bool isPictureUnit(ByteView nal) {
  auto type = hevcNalType(nal);
  return type && *type < 32;
}

int colorMatrix(const AVFrame& frame) {
  switch (frame.colorspace) {
    case AVCOL_SPC_BT709: return SWS_CS_ITU709;
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M: return SWS_CS_ITU601;
    case AVCOL_SPC_SMPTE240M: return SWS_CS_SMPTE240M;
    case AVCOL_SPC_FCC: return SWS_CS_FCC;
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL: return SWS_CS_BT2020;
    default: return frame.height >= kHdMinHeight ? SWS_CS_ITU709 : SWS_CS_ITU601;
  }
}

}  // namespace

void CamDecoder::Release::operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
void CamDecoder::Release::operator()(AVFrame* frame) const { av_frame_free(&frame); }
void CamDecoder::Release::operator()(AVPacket* packet) const { av_packet_free(&packet); }
void CamDecoder::Release::operator()(SwsContext* scaler) const { sws_freeContext(scaler); }

CamDecoder::~CamDecoder() = default;

std::unique_ptr<CamDecoder> CamDecoder::create(int /*width*/, int /*height*/, ByteView hvcc, int threads) {
  auto sets = HEVCParameterSets::fromSerialized(hvcc);
  if (!sets) return nullptr;
  auto config = sets->makeDecoderConfig();
  if (!config || threads < 0) return nullptr;
  quietLibraryLog();

  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_HEVC);
  if (!codec) return nullptr;
  std::unique_ptr<CamDecoder> decoder(new CamDecoder());
  decoder->context_.reset(avcodec_alloc_context3(codec));
  decoder->packet_.reset(av_packet_alloc());
  decoder->received_.reset(av_frame_alloc());
  decoder->newest_.reset(av_frame_alloc());
  AVCodecContext* context = decoder->context_.get();
  if (!context || !decoder->packet_ || !decoder->received_ || !decoder->newest_) return nullptr;

  // The sets go in as extradata in byte-stream form; the context owns (and frees) the copy.
  const size_t extradataSize = config->annexB.size();
  if (extradataSize > static_cast<size_t>(std::numeric_limits<int>::max() - AV_INPUT_BUFFER_PADDING_SIZE)) {
    return nullptr;
  }
  context->extradata = static_cast<uint8_t*>(av_mallocz(extradataSize + AV_INPUT_BUFFER_PADDING_SIZE));
  if (!context->extradata) return nullptr;
  std::memcpy(context->extradata, config->annexB.data(), extradataSize);
  context->extradata_size = static_cast<int>(extradataSize);
  context->thread_type = FF_THREAD_SLICE;
  context->thread_count = threads;
  if (avcodec_open2(context, codec, nullptr) < 0) return nullptr;

  decoder->size_ = config->size;
  decoder->nalUnitHeaderLength_ = config->nalUnitHeaderLength;
  return decoder;
}

std::optional<PixelBuffer> CamDecoder::decode(ByteView accessUnit, uint64_t ptsUs) {
  // An empty packet would tell libavcodec the stream has ended; it would decode nothing after it. An
  // empty unit is a picture that never came.
  if (accessUnit.empty()) {
    unitLost();
    return std::nullopt;
  }
  bool keyframe = false;
  bool picture = false;
  if (!sendAccessUnit(accessUnit, ptsUs, keyframe, picture)) return std::nullopt;
  if (!receiveNewestPicture()) {
    // Without reordering every picture comes out with its own unit: a unit with a picture's slices that
    // gave none was damaged beyond what libavcodec reports.
    if (picture && context_->has_b_frames == 0) unitLost();
    return std::nullopt;
  }
  // A keyframe that gave a clean picture is where the stream can be shown again.
  if (keyframe) waitingForKeyframe_ = false;
  if (waitingForKeyframe_) return std::nullopt;
  return toBGRA(*newest_);
}

bool CamDecoder::sendAccessUnit(ByteView accessUnit, uint64_t ptsUs, bool& keyframe, bool& picture) {
  auto units = splitLengthPrefixed(accessUnit, nalUnitHeaderLength_);
  if (!units || units->empty()) {
    unitLost();  // cut short or garbled: whatever picture it carried is gone
    return false;
  }
  size_t annexBSize = 0;
  for (ByteView nal : *units) {
    keyframe = keyframe || isKeyframeUnit(nal);
    picture = picture || isPictureUnit(nal);
    annexBSize += 4 + nal.size();
  }
  // Until a keyframe, a picture would only be decoded against missing or invented references.
  if (!keyframe && waitingForKeyframe_) return false;
  if (annexBSize > static_cast<size_t>(std::numeric_limits<int>::max() - AV_INPUT_BUFFER_PADDING_SIZE)) {
    unitLost();
    return false;
  }

  // libavcodec parses this stream as a byte stream: the length prefixes become start codes.
  AVPacket* packet = packet_.get();
  av_packet_unref(packet);
  if (av_new_packet(packet, static_cast<int>(annexBSize)) < 0) {
    unitLost();
    return false;
  }
  uint8_t* out = packet->data;
  for (ByteView nal : *units) {
    const uint8_t startCode[] = {0, 0, 0, 1};
    std::memcpy(out, startCode, sizeof startCode);
    std::memcpy(out + sizeof startCode, nal.data(), nal.size());
    out += sizeof startCode + nal.size();
  }
  packet->pts = ptsUs <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) ? static_cast<int64_t>(ptsUs)
                                                                                    : AV_NOPTS_VALUE;
  const int status = avcodec_send_packet(context_.get(), packet);
  av_packet_unref(packet);
  if (status < 0) {
    // A damaged unit may still have left a picture behind; it is not this unit's picture.
    receiveNewestPicture();
    unitLost();
    return false;
  }
  return true;
}

bool CamDecoder::receiveNewestPicture() {
  bool have = false;
  av_frame_unref(newest_.get());
  while (avcodec_receive_frame(context_.get(), received_.get()) == 0) {
    const bool damaged = received_->decode_error_flags != 0 || (received_->flags & AV_FRAME_FLAG_CORRUPT) != 0;
    if (damaged) {
      av_frame_unref(received_.get());
      av_frame_unref(newest_.get());
      have = false;
      unitLost();
      continue;
    }
    av_frame_unref(newest_.get());
    av_frame_move_ref(newest_.get(), received_.get());
    have = true;
  }
  return have;
}

std::optional<PixelBuffer> CamDecoder::toBGRA(const AVFrame& frame) {
  if (frame.width <= 0 || frame.height <= 0) return std::nullopt;
  const ScalerKey key{frame.format, frame.width, frame.height, colorMatrix(frame), frame.color_range};
  if (!scaler_ || !(key == scalerKey_)) {
    // Same size in and out: swscale only converts (its unscaled YUV-to-RGB path).
    scaler_.reset(sws_getContext(frame.width, frame.height, static_cast<AVPixelFormat>(frame.format), frame.width,
                                 frame.height, AV_PIX_FMT_BGRA, SWS_BILINEAR, nullptr, nullptr, nullptr));
    if (!scaler_) return std::nullopt;
    const int* coefficients = sws_getCoefficients(key.colorspace);
    const int sourceFullRange = frame.color_range == AVCOL_RANGE_JPEG ? 1 : 0;
    sws_setColorspaceDetails(scaler_.get(), coefficients, sourceFullRange, sws_getCoefficients(SWS_CS_DEFAULT),
                             /*dstRange=*/1, /*brightness=*/0, /*contrast=*/1 << 16, /*saturation=*/1 << 16);
    scalerKey_ = key;
  }

  PixelBuffer picture;
  picture.width = frame.width;
  picture.height = frame.height;
  const size_t rowBytes = static_cast<size_t>(frame.width) * PixelBuffer::kBytesPerPixel;
  picture.bytesPerRow = (rowBytes + kRowAlignment - 1) / kRowAlignment * kRowAlignment;
  picture.bgra.resize(picture.bytesPerRow * static_cast<size_t>(frame.height));
  uint8_t* planes[4] = {picture.bgra.data(), nullptr, nullptr, nullptr};
  const int strides[4] = {static_cast<int>(picture.bytesPerRow), 0, 0, 0};
  const int rows = sws_scale(scaler_.get(), frame.data, frame.linesize, 0, frame.height, planes, strides);
  if (rows != frame.height) return std::nullopt;
  return picture;
}

}  // namespace vela
