#include "platform/capture/nv12_converter.hpp"

extern "C" {
#include <libavutil/buffer.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <mutex>

#include "platform/capture/bgrx_to_nv12.hpp"

namespace tavlo {
namespace {

// Fixed-point unity for swscale's brightness, contrast and saturation arguments.
constexpr int kSwsUnity = 1 << 16;

void quietLibraryLog() {
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

void releaseNothing(void*, uint8_t*) {}

// The frame API runs the slice threads; it wants reference-counted planes, so the caller's memory is
// wrapped in buffers that do not own it (the views stay the caller's).
AVBufferRef* borrow(uint8_t* data, size_t size) {
  return av_buffer_create(data, size, &releaseNothing, nullptr, 0);
}

bool validSize(int32_t width, int32_t height) {
  return width >= 2 && height >= 2 && width <= Nv12Converter::kMaxSide && height <= Nv12Converter::kMaxSide;
}

}  // namespace

void Nv12Converter::Release::operator()(SwsContext* context) const { sws_freeContext(context); }
void Nv12Converter::Release::operator()(AVFrame* frame) const { av_frame_free(&frame); }

Nv12Converter::~Nv12Converter() = default;

std::unique_ptr<Nv12Converter> Nv12Converter::create(int32_t sourceWidth, int32_t sourceHeight,
                                                     int32_t targetWidth, int32_t targetHeight, int threads,
                                                     Engine engine) {
  if (!validSize(sourceWidth, sourceHeight) || !validSize(targetWidth, targetHeight)) return nullptr;
  if (threads < 1) return nullptr;
  quietLibraryLog();

  std::unique_ptr<Nv12Converter> converter(new Nv12Converter());
  converter->sourceWidth_ = sourceWidth;
  converter->sourceHeight_ = sourceHeight;
  converter->targetWidth_ = targetWidth;
  converter->targetHeight_ = targetHeight;
  converter->threads_ = threads;
  // Our own rows need no libswscale context (nor its slice threads).
  converter->direct_ = engine == Engine::fastest && sourceWidth == targetWidth && sourceHeight == targetHeight;
  if (converter->direct_) return converter;
  converter->context_.reset(sws_alloc_context());
  converter->source_.reset(av_frame_alloc());
  converter->target_.reset(av_frame_alloc());
  SwsContext* context = converter->context_.get();
  if (!context || !converter->source_ || !converter->target_) return nullptr;

  // Bilinear: its 2×2 footprint also averages the chroma that NV12 halves, where point sampling would
  // let coloured text edges alias.
  const bool ok = av_opt_set_int(context, "srcw", sourceWidth, 0) >= 0 &&
                  av_opt_set_int(context, "srch", sourceHeight, 0) >= 0 &&
                  av_opt_set_int(context, "src_format", AV_PIX_FMT_BGR0, 0) >= 0 &&
                  av_opt_set_int(context, "dstw", targetWidth, 0) >= 0 &&
                  av_opt_set_int(context, "dsth", targetHeight, 0) >= 0 &&
                  av_opt_set_int(context, "dst_format", AV_PIX_FMT_NV12, 0) >= 0 &&
                  av_opt_set_int(context, "sws_flags", SWS_BILINEAR, 0) >= 0 &&
                  av_opt_set_int(context, "threads", threads, 0) >= 0;
  if (!ok || sws_init_context(context, nullptr, nullptr) < 0) return nullptr;
  // RGB input is full range; the output is BT.709 in video range (16–235 luma, 16–240 chroma).
  const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
  if (sws_setColorspaceDetails(context, bt709, 1, bt709, 0, 0, kSwsUnity, kSwsUnity) < 0) return nullptr;

  return converter;
}

bool Nv12Converter::convert(const BgrxView& source, const Nv12View& target) {
  if (source.pixels == nullptr || source.width != sourceWidth_ || source.height != sourceHeight_ ||
      source.bytesPerRow < sourceWidth_ * 4) {
    return false;
  }
  if (target.luma == nullptr || target.chroma == nullptr || target.width != targetWidth_ ||
      target.height != targetHeight_ || target.lumaBytesPerRow < targetWidth_ ||
      target.chromaBytesPerRow < (targetWidth_ + 1) / 2 * 2) {
    return false;
  }
  if (direct_) {
    convertBgrxToNv12Rows(source, target, 0, sourceHeight_);
    return true;
  }
  AVFrame* in = source_.get();
  AVFrame* out = target_.get();
  in->format = AV_PIX_FMT_BGR0;
  in->width = sourceWidth_;
  in->height = sourceHeight_;
  // swscale only reads the source; the frame API has no const planes.
  in->data[0] = const_cast<uint8_t*>(source.pixels);
  in->linesize[0] = source.bytesPerRow;
  in->buf[0] = borrow(in->data[0], static_cast<size_t>(source.bytesPerRow) * static_cast<size_t>(sourceHeight_));

  out->format = AV_PIX_FMT_NV12;
  out->width = targetWidth_;
  out->height = targetHeight_;
  out->data[0] = target.luma;
  out->linesize[0] = target.lumaBytesPerRow;
  out->data[1] = target.chroma;
  out->linesize[1] = target.chromaBytesPerRow;
  out->buf[0] = borrow(target.luma, static_cast<size_t>(target.lumaBytesPerRow) * static_cast<size_t>(targetHeight_));
  out->buf[1] = borrow(target.chroma,
                       static_cast<size_t>(target.chromaBytesPerRow) * static_cast<size_t>((targetHeight_ + 1) / 2));

  const bool wrapped = in->buf[0] && out->buf[0] && out->buf[1];
  const bool converted = wrapped && sws_scale_frame(context_.get(), out, in) >= 0;
  av_frame_unref(in);
  av_frame_unref(out);
  return converted;
}

}  // namespace tavlo
