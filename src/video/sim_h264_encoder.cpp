#include "video/sim_h264_encoder.h"

#include <algorithm>
#include <cstring>

#include "app/log.h"
#include "video/rbsp_writer.h"

namespace kp {

namespace {

constexpr uint32_t kLog2MaxFrameNum = 16;
constexpr uint32_t kMbTypeIPcmInISlice = 25;
constexpr uint32_t kMbTypeIPcmInPSlice = 30;  // 5 inter types come first
constexpr uint32_t kSliceTypeP = 5;           // all slices of the picture are P
constexpr uint32_t kSliceTypeI = 7;
constexpr uint8_t kPadLuma = 16;              // black, for padding beyond the crop
constexpr uint8_t kPadChroma = 128;

// Smallest level whose frame size and macroblock rate limits hold (bit rate
// limits are not met by I_PCM anyway, and decoders do not enforce them).
uint8_t ChooseLevel(uint32_t mbsPerFrame, uint32_t fps) {
  struct Level {
    uint8_t idc;
    uint32_t maxFrameMbs;
    uint32_t maxMbsPerSecond;
  };
  static constexpr Level kLevels[] = {
      {10, 99, 1485},       {11, 396, 3000},      {12, 396, 6000},        {13, 396, 11880},
      {20, 396, 11880},     {21, 792, 19800},     {22, 1620, 20250},      {30, 1620, 40500},
      {31, 3600, 108000},   {32, 5120, 216000},   {40, 8192, 245760},     {42, 8704, 522240},
      {50, 22080, 589824},  {51, 36864, 983040},  {52, 36864, 2073600},   {60, 139264, 4177920},
      {61, 139264, 8355840}, {62, 139264, 16711680},
  };
  const uint64_t rate = uint64_t{mbsPerFrame} * fps;
  for (const Level& level : kLevels) {
    if (mbsPerFrame <= level.maxFrameMbs && rate <= level.maxMbsPerSecond) return level.idc;
  }
  return 62;
}

// 16 bytes compared inline (a call to memcmp per macroblock costs more than
// the comparison itself).
inline bool Same16(const uint8_t* a, const uint8_t* b) {
  uint64_t a0, a1, b0, b1;
  std::memcpy(&a0, a, 8);
  std::memcpy(&a1, a + 8, 8);
  std::memcpy(&b0, b, 8);
  std::memcpy(&b1, b + 8, 8);
  return ((a0 ^ b0) | (a1 ^ b1)) == 0;
}

void MakeNal(uint8_t header, const std::vector<uint8_t>& rbsp, std::vector<uint8_t>& nal) {
  nal.clear();
  nal.push_back(header);
  AppendEscaped(rbsp.data(), rbsp.size(), nal);
}

}  // namespace

SimH264Encoder::SimH264Encoder(SimH264EncoderOptions options) : options_(options) {
  options_.outputBatch = std::max<uint32_t>(1, options_.outputBatch);
}

std::string SimH264Encoder::Name() const {
  return options_.parameterSetsUpFront && options_.outputDelay == 0 ? "Lossless H.264 stand-in"
                                                                     : "Lossless H.264 stand-in (deferred output)";
}

bool SimH264Encoder::Initialize(GpuDevice* device, GpuTexture* input, const EncoderConfig& config) {
  config_ = config;
  DeriveBitrates(config_);
  input_ = reinterpret_cast<const Nv12Frame*>(input);
  const bool sizeOk = config.width > 0 && config.height > 0 && config.width % 2 == 0 && config.height % 2 == 0;
  if (!device || !input_ || !sizeOk || input_->width != config.width || input_->height != config.height ||
      config.fps == 0) {
    Log("encoder: stand-in needs an even frame size matching its input (%ux%u)", config.width, config.height);
    input_ = nullptr;
    return false;
  }
  mbWidth_ = (config.width + 15) / 16;
  mbHeight_ = (config.height + 15) / 16;
  keyframeInterval_ = std::max<uint32_t>(1, config.keyframeSeconds * config.fps);
  reference_.Resize(config.width, config.height);
  changed_.assign(mbWidth_, 0);
  haveReference_ = false;
  BuildParameterSets();
  track_ = VideoTrackInfo{};
  track_.kind = 0;
  track_.width = config.width;
  track_.height = config.height;
  track_.fps = config.fps;
  if (options_.parameterSetsUpFront) {
    track_.sps = sps_;
    track_.pps = pps_;
  }
  Log("encoder: lossless stand-in %ux%u at %u fps, IDR every %u pictures", config.width, config.height, config.fps,
      keyframeInterval_);
  return true;
}

void SimH264Encoder::BuildParameterSets() {
  std::vector<uint8_t> rbsp;
  {
    RbspWriter w(rbsp);
    w.Bits(66, 8);    // profile_idc: Baseline
    w.Bits(0xC0, 8);  // constraint_set0 and constraint_set1: Constrained Baseline
    w.Bits(ChooseLevel(mbWidth_ * mbHeight_, config_.fps), 8);
    w.Ue(0);                     // seq_parameter_set_id
    w.Ue(kLog2MaxFrameNum - 4);  // log2_max_frame_num_minus4
    w.Ue(2);                     // pic_order_cnt_type: order follows frame_num
    w.Ue(1);                     // max_num_ref_frames
    w.Flag(false);               // gaps_in_frame_num_value_allowed_flag
    w.Ue(mbWidth_ - 1);
    w.Ue(mbHeight_ - 1);
    w.Flag(true);  // frame_mbs_only_flag
    w.Flag(true);  // direct_8x8_inference_flag
    const uint32_t cropRight = mbWidth_ * 16 - config_.width;
    const uint32_t cropBottom = mbHeight_ * 16 - config_.height;
    w.Flag(cropRight != 0 || cropBottom != 0);
    if (cropRight != 0 || cropBottom != 0) {
      // 4:2:0 frames crop in units of two samples.
      w.Ue(0);
      w.Ue(cropRight / 2);
      w.Ue(0);
      w.Ue(cropBottom / 2);
    }
    w.Flag(true);  // vui_parameters_present_flag
    w.Flag(false);  // aspect_ratio_info_present_flag
    w.Flag(false);  // overscan_info_present_flag
    w.Flag(true);   // video_signal_type_present_flag
    w.Bits(5, 3);   // video_format: unspecified
    w.Flag(false);  // video_full_range_flag: limited range
    w.Flag(true);   // colour_description_present_flag
    w.Bits(1, 8);   // colour_primaries: BT.709
    w.Bits(1, 8);   // transfer_characteristics: BT.709
    w.Bits(1, 8);   // matrix_coefficients: BT.709
    w.Flag(false);  // chroma_loc_info_present_flag
    w.Flag(true);   // timing_info_present_flag
    w.Bits(1, 32);  // num_units_in_tick
    w.Bits(2 * config_.fps, 32);  // time_scale: two ticks per frame
    w.Flag(false);  // fixed_frame_rate_flag: slots may be skipped
    w.Flag(false);  // nal_hrd_parameters_present_flag
    w.Flag(false);  // vcl_hrd_parameters_present_flag
    w.Flag(false);  // pic_struct_present_flag
    w.Flag(true);   // bitstream_restriction_flag
    w.Flag(true);   // motion_vectors_over_pic_boundaries_flag
    w.Ue(0);        // max_bytes_per_pic_denom: no limit
    w.Ue(0);        // max_bits_per_mb_denom: no limit
    w.Ue(15);       // log2_max_mv_length_horizontal
    w.Ue(15);       // log2_max_mv_length_vertical
    w.Ue(0);        // max_num_reorder_frames: output order is decoding order
    w.Ue(1);        // max_dec_frame_buffering
    w.TrailingBits();
  }
  MakeNal(0x67, rbsp, sps_);  // nal_ref_idc 3, type 7

  rbsp.clear();
  {
    RbspWriter w(rbsp);
    w.Ue(0);        // pic_parameter_set_id
    w.Ue(0);        // seq_parameter_set_id
    w.Flag(false);  // entropy_coding_mode_flag: CAVLC
    w.Flag(false);  // bottom_field_pic_order_in_frame_present_flag
    w.Ue(0);        // num_slice_groups_minus1
    w.Ue(0);        // num_ref_idx_l0_default_active_minus1
    w.Ue(0);        // num_ref_idx_l1_default_active_minus1
    w.Flag(false);  // weighted_pred_flag
    w.Bits(0, 2);   // weighted_bipred_idc
    w.Se(0);        // pic_init_qp_minus26
    w.Se(0);        // pic_init_qs_minus26
    w.Se(0);        // chroma_qp_index_offset
    w.Flag(true);   // deblocking_filter_control_present_flag
    w.Flag(false);  // constrained_intra_pred_flag
    w.Flag(false);  // redundant_pic_cnt_present_flag
    w.TrailingBits();
  }
  MakeNal(0x68, rbsp, pps_);  // nal_ref_idc 3, type 8
}

void SimH264Encoder::WritePcm(RbspWriter& writer, uint32_t mbX, uint32_t mbY) {
  uint8_t samples[384];
  const Nv12Frame& f = *input_;
  const uint32_t x0 = mbX * 16;
  const uint32_t visibleX = std::min<uint32_t>(16, f.width - x0);
  uint8_t* o = samples;
  for (uint32_t r = 0; r < 16; ++r, o += 16) {
    const uint32_t y = mbY * 16 + r;
    if (y < f.height) {
      std::memcpy(o, f.Luma(y) + x0, visibleX);
      std::memset(o + visibleX, kPadLuma, 16 - visibleX);
    } else {
      std::memset(o, kPadLuma, 16);
    }
  }
  const uint32_t visiblePairs = visibleX / 2;
  for (uint32_t plane = 0; plane < 2; ++plane) {
    for (uint32_t r = 0; r < 8; ++r) {
      const uint32_t y = mbY * 8 + r;
      if (y < f.height / 2) {
        const uint8_t* c = f.Chroma(y) + x0 + plane;
        uint32_t i = 0;
        for (; i < visiblePairs; ++i) o[i] = c[2 * i];
        for (; i < 8; ++i) o[i] = kPadChroma;
      } else {
        std::memset(o, kPadChroma, 8);
      }
      o += 8;
    }
  }
  writer.Bytes(samples, sizeof(samples));
}

void SimH264Encoder::CopyToReference(uint32_t mbX, uint32_t mbY) {
  const Nv12Frame& f = *input_;
  const uint32_t x0 = mbX * 16;
  const uint32_t visibleX = std::min<uint32_t>(16, f.width - x0);
  const uint32_t lumaRows = std::min<uint32_t>(16, f.height - mbY * 16);
  for (uint32_t r = 0; r < lumaRows; ++r) {
    std::memcpy(reference_.Luma(mbY * 16 + r) + x0, f.Luma(mbY * 16 + r) + x0, visibleX);
  }
  for (uint32_t r = 0; r < lumaRows / 2; ++r) {
    std::memcpy(reference_.Chroma(mbY * 8 + r) + x0, f.Chroma(mbY * 8 + r) + x0, visibleX);
  }
}

void SimH264Encoder::FindChangedMacroblocks(uint32_t mbY) {
  std::fill(changed_.begin(), changed_.end(), uint8_t{0});
  const Nv12Frame& f = *input_;
  const uint32_t width = f.width;
  // Whole rows are compared first (the common case is an unchanged row);
  // only a differing row is examined macroblock by macroblock.
  auto scanRow = [&](const uint8_t* cur, const uint8_t* ref) {
    if (std::memcmp(cur, ref, width) == 0) return;
    const uint32_t fullMbs = width / 16;
    for (uint32_t mbX = 0; mbX < fullMbs; ++mbX) {
      if (!changed_[mbX] && !Same16(cur + mbX * 16, ref + mbX * 16)) changed_[mbX] = 1;
    }
    if (fullMbs < mbWidth_ && std::memcmp(cur + fullMbs * 16, ref + fullMbs * 16, width - fullMbs * 16) != 0) {
      changed_[fullMbs] = 1;
    }
  };
  const uint32_t lumaRows = std::min<uint32_t>(16, f.height - mbY * 16);
  for (uint32_t r = 0; r < lumaRows; ++r) scanRow(f.Luma(mbY * 16 + r), reference_.Luma(mbY * 16 + r));
  for (uint32_t r = 0; r < lumaRows / 2; ++r) scanRow(f.Chroma(mbY * 8 + r), reference_.Chroma(mbY * 8 + r));
}

bool SimH264Encoder::Encode(int64_t pts, int64_t duration, bool forceKeyframe, PacketList& packets) {
  if (!input_) return false;
  const bool idr = forceKeyframe || !haveReference_ || picturesSinceIdr_ >= keyframeInterval_;
  if (idr) {
    frameNum_ = 0;
    picturesSinceIdr_ = 0;
  } else {
    frameNum_ = (frameNum_ + 1) & ((1u << kLog2MaxFrameNum) - 1);
  }

  rbsp_.clear();
  {
    // Slice header and macroblocks share one bit writer; PCM samples are
    // appended as whole bytes after the alignment that precedes them.
    RbspWriter w(rbsp_);
    w.Ue(0);  // first_mb_in_slice
    w.Ue(idr ? kSliceTypeI : kSliceTypeP);
    w.Ue(0);  // pic_parameter_set_id
    w.Bits(frameNum_, kLog2MaxFrameNum);
    if (idr) {
      w.Ue(idrPicId_);
      w.Flag(false);  // no_output_of_prior_pics_flag
      w.Flag(false);  // long_term_reference_flag
    } else {
      w.Flag(false);  // num_ref_idx_active_override_flag
      w.Flag(false);  // ref_pic_list_modification_flag_l0
      w.Flag(false);  // adaptive_ref_pic_marking_mode_flag: sliding window
    }
    w.Se(0);  // slice_qp_delta
    w.Ue(1);  // disable_deblocking_filter_idc: no filtering, pictures stay exact

    if (idr) {
      for (uint32_t mbY = 0; mbY < mbHeight_; ++mbY) {
        for (uint32_t mbX = 0; mbX < mbWidth_; ++mbX) {
          w.Ue(kMbTypeIPcmInISlice);
          w.AlignWithZeros();  // pcm_alignment_zero_bit
          WritePcm(w, mbX, mbY);
        }
      }
      std::memcpy(reference_.data.data(), input_->data.data(), reference_.data.size());
      haveReference_ = true;
    } else {
      // Skipped macroblocks copy the co-located block of the previous
      // picture: every neighbour is either skipped with a zero vector or
      // intra, so the predicted motion of a P_Skip block is always zero.
      uint32_t skipRun = 0;
      for (uint32_t mbY = 0; mbY < mbHeight_; ++mbY) {
        FindChangedMacroblocks(mbY);
        for (uint32_t mbX = 0; mbX < mbWidth_; ++mbX) {
          if (!changed_[mbX]) {
            ++skipRun;
            continue;
          }
          w.Ue(skipRun);
          skipRun = 0;
          w.Ue(kMbTypeIPcmInPSlice);
          w.AlignWithZeros();
          WritePcm(w, mbX, mbY);
          CopyToReference(mbX, mbY);
        }
      }
      if (skipRun > 0) w.Ue(skipRun);
    }
    w.TrailingBits();
  }
  ++picturesSinceIdr_;
  if (idr) idrPicId_ = (idrPicId_ + 1) & 0xFFFF;

  auto packet = std::make_shared<EncodedPacket>();
  packet->pts = pts;
  packet->duration = duration;
  packet->keyframe = idr;
  std::vector<uint8_t>& data = packet->data;
  data.reserve(rbsp_.size() + rbsp_.size() / 64 + 16);
  data.resize(4);
  data.push_back(idr ? 0x65 : 0x41);  // nal_ref_idc 3 / 2, type 5 (IDR) / 1
  AppendEscaped(rbsp_.data(), rbsp_.size(), data);
  const uint32_t nalSize = static_cast<uint32_t>(data.size() - 4);
  data[0] = static_cast<uint8_t>(nalSize >> 24);
  data[1] = static_cast<uint8_t>(nalSize >> 16);
  data[2] = static_cast<uint8_t>(nalSize >> 8);
  data[3] = static_cast<uint8_t>(nalSize);

  pending_.push_back(std::move(packet));
  while (pending_.size() >= size_t{options_.outputDelay} + options_.outputBatch) {
    Release(options_.outputBatch, packets);
  }
  return true;
}

bool SimH264Encoder::Drain(PacketList& packets) {
  Release(pending_.size(), packets);
  return true;
}

void SimH264Encoder::Release(size_t count, PacketList& packets) {
  if (count == 0) return;
  if (track_.sps.empty()) {
    // Like a hardware transform: the parameter sets become known with the
    // first output.
    track_.sps = sps_;
    track_.pps = pps_;
  }
  for (size_t i = 0; i < count && !pending_.empty(); ++i) {
    packets.push_back(std::move(pending_.front()));
    pending_.pop_front();
  }
}

}  // namespace kp
