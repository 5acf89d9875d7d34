#include "platform/encoder/x265_encoder.hpp"

#include <x265.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/runtime/checked_number.hpp"

namespace tavlo {
namespace {

constexpr uint8_t kStartCode[] = {0, 0, 0, 1};
constexpr size_t kLengthPrefixBytes = 4;
// x265 wants some frame rate; the stream's timing lives in the samples' time stamps, not in the VUI.
constexpr int kNominalFps = 60;
// The constant QP the encoder opens with; every frame overrides it.
constexpr int kOpeningQP = 30;
// HEVC's "unspecified" video format in the VUI.
constexpr int kVideoFormatUnspecified = 5;

// The NAL units of x265's length-prefixed output, each behind a start code instead.
Bytes toAnnexB(const x265_nal* nals, uint32_t count) {
  Bytes out;
  for (uint32_t i = 0; i < count; ++i) {
    if (nals[i].sizeBytes <= kLengthPrefixBytes) continue;
    out.insert(out.end(), std::begin(kStartCode), std::end(kStartCode));
    out.insert(out.end(), nals[i].payload + kLengthPrefixBytes, nals[i].payload + nals[i].sizeBytes);
  }
  return out;
}

}  // namespace

void X265Encoder::Release::operator()(x265_encoder* encoder) const { x265_encoder_close(encoder); }
void X265Encoder::Release::operator()(x265_param* param) const { x265_param_free(param); }
void X265Encoder::Release::operator()(x265_picture* picture) const { x265_picture_free(picture); }

I420Planes i420PlanesOf(const Nv12Buffer& image, std::vector<uint8_t>& chroma) {
  const int32_t chromaWidth = image.chromaWidth();
  const int32_t chromaHeight = image.chromaHeight();
  const size_t chromaPlane = static_cast<size_t>(chromaWidth) * static_cast<size_t>(chromaHeight);
  chroma.resize(2 * chromaPlane);
  uint8_t* cb = chroma.data();
  uint8_t* cr = cb + chromaPlane;
  for (int32_t row = 0; row < chromaHeight; ++row) {
    const uint8_t* in = image.chromaPlane() + static_cast<size_t>(row) * image.chromaStride();
    uint8_t* outCb = cb + static_cast<size_t>(row) * chromaWidth;
    uint8_t* outCr = cr + static_cast<size_t>(row) * chromaWidth;
    for (int32_t x = 0; x < chromaWidth; ++x) {
      outCb[x] = in[2 * x];
      outCr[x] = in[2 * x + 1];
    }
  }
  I420Planes planes;
  planes.planes[0] = image.lumaPlane();
  planes.strides[0] = static_cast<int32_t>(image.lumaStride());
  planes.planes[1] = cb;
  planes.planes[2] = cr;
  planes.strides[1] = planes.strides[2] = chromaWidth;
  return planes;
}

X265Encoder::~X265Encoder() {
  // The encoder goes before its parameters and pictures.
  encoder_.reset();
}

std::unique_ptr<X265Encoder> X265Encoder::open(int32_t width, int32_t height, const ColorDescription& color,
                                               const X265Threading& threading) {
  if (width < kMinSide || height < kMinSide || width > kMaxSide || height > kMaxSide) return nullptr;
  std::unique_ptr<X265Encoder> encoder(new X265Encoder());
  encoder->param_.reset(x265_param_alloc());
  x265_param* p = encoder->param_.get();
  if (!p || x265_param_default_preset(p, "ultrafast", "zerolatency") < 0) return nullptr;
  p->logLevel = X265_LOG_NONE;
  p->sourceWidth = width;
  p->sourceHeight = height;
  p->internalCsp = X265_CSP_I420;
  p->internalBitDepth = 8;
  p->fpsNum = kNominalFps;
  p->fpsDenom = 1;
  // Latency: every picture comes out as it goes in.
  p->bframes = 0;
  p->lookaheadDepth = 0;
  p->scenecutThreshold = 0;
  p->bFrameAdaptive = 0;
  // Threads: one picture at a time, its rows over the pool and nothing else parallel (no lookahead
  // threads, no distributed analysis or motion search, one slice), so that a picture never waits for
  // another's work and its time depends on its own content only.
  p->frameNumThreads = 1;
  p->lookaheadSlices = threading.lookaheadSlices;
  p->lookaheadThreads = 0;
  p->bDistributeModeAnalysis = 0;
  p->bDistributeMotionEstimation = 0;
  p->maxSlices = 1;
  p->bEnableWavefront = threading.wavefront ? 1 : 0;
  // x265 reads the pool description while it opens; the string lives as long as the encoder.
  encoder->pools_ = threading.poolThreads > 0 ? std::to_string(threading.poolThreads) : "+";
  p->numaPools = encoder->pools_.c_str();
  p->bOpenGOP = 0;
  // Keyframes come only when the caller asks: the session decides them, per frame.
  p->keyframeMax = -1;
  p->keyframeMin = 0;
  p->bIntraRefresh = 0;
  // Output: parameter sets before every keyframe, NAL units behind lengths, no informational SEI.
  p->bRepeatHeaders = 1;
  p->bAnnexB = 0;
  p->bEmitInfoSEI = 0;
  p->bEmitHRDSEI = 0;
  p->bEnableAccessUnitDelimiters = 0;
  // Constant QP overridden per frame, without adaptive offsets, so that a frame's QP is its slices' QP
  // and the caller's limits hold for every block.
  p->rc.rateControlMode = X265_RC_CQP;
  p->rc.qp = kOpeningQP;
  p->rc.aqMode = X265_AQ_NONE;
  p->rc.cuTree = 0;
  p->rc.qpMin = 0;
  p->rc.qpMax = 51;
  // No VBV: the caller's rate control fits each frame to the data-rate limits itself (a keyframe above
  // them is coded again), and x265's VBV would move the QP away from the one asked for.
  p->rc.vbvBufferSize = 0;
  p->rc.vbvMaxBitrate = 0;
  // Colour description in the VUI, no timing (the samples carry their times).
  p->bEmitVUITimingInfo = 0;
  p->bEmitVUIHRDInfo = 0;
  p->vui.videoFormat = kVideoFormatUnspecified;
  p->vui.bEnableVideoSignalTypePresentFlag = 1;
  p->vui.bEnableVideoFullRangeFlag = color.fullRange ? 1 : 0;
  p->vui.bEnableColorDescriptionPresentFlag = 1;
  p->vui.colorPrimaries = color.primaries;
  p->vui.transferCharacteristics = color.transfer;
  p->vui.matrixCoeffs = color.matrix;

  encoder->encoder_.reset(x265_encoder_open(p));
  if (!encoder->encoder_) return nullptr;
  encoder->input_.reset(x265_picture_alloc());
  encoder->output_.reset(x265_picture_alloc());
  if (!encoder->input_ || !encoder->output_) return nullptr;
  x265_picture_init(p, encoder->input_.get());
  x265_picture_init(p, encoder->output_.get());

  x265_nal* nals = nullptr;
  uint32_t count = 0;
  if (x265_encoder_headers(encoder->encoder_.get(), &nals, &count) < 0) return nullptr;
  encoder->parameterSets_ = toAnnexB(nals, count);
  encoder->width_ = width;
  encoder->height_ = height;
  encoder->color_ = color;
  encoder->threading_ = threading;
  return encoder;
}

bool X265Encoder::encode(const I420Planes& picture, int32_t qp, bool idr, int64_t pts, X265Frame& out) {
  x265_picture* in = input_.get();
  for (int plane = 0; plane < 3; ++plane) {
    // x265 only reads the input planes; its picture has no const pointers.
    in->planes[plane] = const_cast<uint8_t*>(picture.planes[plane]);
    in->stride[plane] = picture.strides[plane];
  }
  in->colorSpace = X265_CSP_I420;
  in->bitDepth = 8;
  in->pts = pts;
  in->sliceType = idr || nextMustBeIdr_ ? X265_TYPE_IDR : X265_TYPE_AUTO;
  // forceqp carries the QP plus one (0 leaves the choice to x265).
  in->forceqp = std::clamp(qp, 0, 51) + 1;

  x265_nal* nals = nullptr;
  uint32_t count = 0;
  const int produced = x265_encoder_encode(encoder_.get(), &nals, &count, in, output_.get());
  if (produced <= 0 || count == 0) return false;
  size_t total = 0;
  for (uint32_t i = 0; i < count; ++i) total += nals[i].sizeBytes;
  out.data.clear();
  out.data.reserve(total);
  for (uint32_t i = 0; i < count; ++i) out.data.insert(out.data.end(), nals[i].payload, nals[i].payload + nals[i].sizeBytes);
  out.idr = output_->sliceType == X265_TYPE_IDR;
  if (out.idr) nextMustBeIdr_ = false;
  out.qp = roundChecked<int32_t>(output_->frameData.qp).value_or(qp);
  return true;
}

void X265Encoder::warmUp() {
  // x265 keeps a picture for the reference and one being coded, and its pool of pictures and their
  // per-block data grows over the first four (measured: the fifth codes at the steady pace).
  constexpr int kWarmUpPictures = 4;
  constexpr uint8_t kGrey = 128;
  const size_t lumaSize = static_cast<size_t>(width_) * static_cast<size_t>(height_);
  const int32_t chromaWidth = (width_ + 1) / 2;
  const size_t chromaSize = static_cast<size_t>(chromaWidth) * static_cast<size_t>((height_ + 1) / 2);
  std::vector<uint8_t> flat(lumaSize + chromaSize, kGrey);
  I420Planes picture;
  picture.planes[0] = flat.data();
  picture.planes[1] = picture.planes[2] = flat.data() + lumaSize;
  picture.strides[0] = width_;
  picture.strides[1] = picture.strides[2] = chromaWidth;
  X265Frame discarded;
  for (int i = 0; i < kWarmUpPictures; ++i) {
    // Times before the stream's own (which start at 0 or later), so x265 sees them rise.
    encode(picture, 51, i == 0, i - kWarmUpPictures, discarded);
  }
  nextMustBeIdr_ = true;
}

}  // namespace tavlo
