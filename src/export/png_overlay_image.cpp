#include "export/png_overlay_image.h"

#include <cstring>
#include <memory>

#include "export/edit_pixels.h"
#include "platform/files.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace kp {

namespace {

struct CodecDeleter {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct PacketDeleter {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct FrameDeleter {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};

// Byte offsets of R, G, B and A within one pixel of each format, and the
// bytes per pixel; alpha -1 means opaque. Grey formats read R = G = B.
struct Layout {
  int r, g, b, a, bytes;
};

std::optional<Layout> LayoutOf(AVPixelFormat format) {
  switch (format) {
    case AV_PIX_FMT_RGBA: return Layout{0, 1, 2, 3, 4};
    case AV_PIX_FMT_RGB24: return Layout{0, 1, 2, -1, 3};
    case AV_PIX_FMT_GRAY8: return Layout{0, 0, 0, -1, 1};
    case AV_PIX_FMT_YA8: return Layout{0, 0, 0, 1, 2};
    case AV_PIX_FMT_RGBA64BE: return Layout{0, 2, 4, 6, 8};
    case AV_PIX_FMT_RGB48BE: return Layout{0, 2, 4, -1, 6};
    case AV_PIX_FMT_GRAY16BE: return Layout{0, 0, 0, -1, 2};
    case AV_PIX_FMT_YA16BE: return Layout{0, 0, 0, 2, 4};
    default: return std::nullopt;
  }
}

bool ToBgra(const AVFrame& frame, BgraImage& image) {
  const auto format = static_cast<AVPixelFormat>(frame.format);
  image.Resize(static_cast<uint32_t>(frame.width), static_cast<uint32_t>(frame.height));
  for (uint32_t y = 0; y < image.height; ++y) {
    const uint8_t* in = frame.data[0] + static_cast<ptrdiff_t>(y) * frame.linesize[0];
    uint8_t* out = image.Row(y);
    for (uint32_t x = 0; x < image.width; ++x, out += 4) {
      if (format == AV_PIX_FMT_PAL8 || format == AV_PIX_FMT_MONOBLACK) {
        uint32_t argb = 0;
        if (format == AV_PIX_FMT_PAL8) {
          std::memcpy(&argb, frame.data[1] + size_t{in[x]} * 4, 4);
        } else {
          argb = (in[x / 8] >> (7 - x % 8)) & 1 ? 0xFFFFFFFFu : 0xFF000000u;
        }
        out[0] = static_cast<uint8_t>(argb);
        out[1] = static_cast<uint8_t>(argb >> 8);
        out[2] = static_cast<uint8_t>(argb >> 16);
        out[3] = static_cast<uint8_t>(argb >> 24);
        continue;
      }
      const std::optional<Layout> layout = LayoutOf(format);
      if (!layout) return false;
      const uint8_t* pixel = in + size_t{x} * static_cast<size_t>(layout->bytes);
      out[0] = pixel[layout->b];
      out[1] = pixel[layout->g];
      out[2] = pixel[layout->r];
      out[3] = layout->a < 0 ? 255 : pixel[layout->a];
    }
  }
  Premultiply(image);
  return true;
}

}  // namespace

std::optional<BgraImage> DecodePngOverlay(const std::wstring& path) {
  std::string bytes;
  if (!ReadWholeFile(SystemFiles(), path, &bytes) || bytes.empty() || bytes.size() > INT32_MAX) return std::nullopt;
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_PNG);
  std::unique_ptr<AVCodecContext, CodecDeleter> context(codec ? avcodec_alloc_context3(codec) : nullptr);
  std::unique_ptr<AVPacket, PacketDeleter> packet(av_packet_alloc());
  std::unique_ptr<AVFrame, FrameDeleter> frame(av_frame_alloc());
  if (!context || !packet || !frame || avcodec_open2(context.get(), codec, nullptr) < 0 ||
      av_new_packet(packet.get(), static_cast<int>(bytes.size())) < 0) {
    return std::nullopt;
  }
  std::memcpy(packet->data, bytes.data(), bytes.size());
  if (avcodec_send_packet(context.get(), packet.get()) < 0) return std::nullopt;
  avcodec_send_packet(context.get(), nullptr);
  if (avcodec_receive_frame(context.get(), frame.get()) < 0 || frame->width <= 0 || frame->height <= 0) {
    return std::nullopt;
  }
  BgraImage image;
  if (!ToBgra(*frame, image)) return std::nullopt;
  return image;
}

}  // namespace kp
