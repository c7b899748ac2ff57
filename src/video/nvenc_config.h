// How the program's encoder settings become NVENC parameters: preset
// choice, the changes made to the preset's configuration, the parameters of
// each call, the driver-version gate, the parameter sets and the packets.
// Everything here fills or reads plain structures and is free of calls into
// the driver, so the Windows encoder is only the call sequence around it.
#pragma once

#include <cstdint>
#include <span>

#include "media/packet.h"
#include "video/nvenc_api.h"
#include "video/video_encoder.h"

namespace kp {

// The preset level P1..P7 for a configured preset (clamped into 1..7).
uint32_t NvencPresetLevel(uint32_t preset);
const nvenc::Guid& NvencPresetGuid(uint32_t preset);

// True when the driver's reported maximum API version ((major << 4) | minor)
// is at least the one the program is written for; otherwise logs which
// version the driver has and which is required.
bool CheckNvencDriverVersion(uint32_t reported);

// True when the encoded size fits the GPU's reported maximum width and
// height; otherwise logs the limit, so that "auto" falls back.
bool CheckNvencSize(const EncoderConfig& settings, int32_t maxWidth, int32_t maxHeight);

// Changes the preset's configuration `config` where the program's settings
// differ from the preset: High profile, GOP and IDR period of
// fps * keyframeSeconds without B-frames, VBR with the configured peak (and
// average, or target quality in constant-quality mode), spatial AQ on,
// look-ahead off, SPS/PPS repeated with every IDR, 4:2:0, BT.709 VUI.
// Every other member keeps the preset's value. `settings` has its bit rates
// derived.
void ApplyNvencSettings(nvenc::Config& config, const EncoderConfig& settings);

// Parameters of the single initialize call; `config` is the adjusted preset
// configuration and must outlive the call.
nvenc::InitializeParams MakeNvencInitializeParams(const EncoderConfig& settings, nvenc::Config* config);

// Registration of the NV12 input texture (`texture`: the D3D11 texture).
nvenc::RegisterResource MakeNvencRegisterResource(const EncoderConfig& settings, void* texture);

// One picture from the mapped input into the bitstream buffer. A forced
// keyframe asks for an IDR picture with its parameter sets.
nvenc::PicParams MakeNvencPicParams(const EncoderConfig& settings, void* mappedResource, uint32_t mappedFormat,
                                    void* bitstream, int64_t pts, int64_t duration, bool forceKeyframe);

// The end-of-stream submission: no picture, only the flag.
nvenc::PicParams MakeNvencEndOfStreamParams();

// Stores the SPS and PPS units of the driver's Annex-B sequence header in
// `track`. False (after the log line) unless the SPS has at least 4 bytes
// and a PPS is present.
bool StoreNvencParameterSets(std::span<const uint8_t> header, VideoTrackInfo& track);

// The packet of a locked bitstream: the output time stamp, the duration the
// picture was submitted with, keyframe for IDR pictures, and the
// length-prefixed payload without SPS, PPS or delimiter units.
EncodedPacket MakeNvencPacket(const nvenc::LockBitstream& lock, int64_t duration);

// Logs the line that describes the opened encoder.
void LogNvencOpened(const EncoderConfig& settings);

}  // namespace kp
