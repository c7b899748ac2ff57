// The device half of the capture pipeline: one monitor's capture, the
// composer that turns it into the encoder's NV12 frame, and the encoder, all
// on one graphics device. The pipeline loop (pipeline.h) is written once
// against this interface; the Windows build implements it with desktop
// duplication, the D3D11 video processor and the hardware encoders, the Linux
// build with its stand-ins. A chain is built in steps and torn down as a
// whole, and is used by the pipeline thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "engine/pipeline_config.h"
#include "media/packet.h"
#include "video/video_encoder.h"

namespace kp {

// What one poll of the capture found.
enum class CaptureStatus : int32_t {
  NewFrame = 0,    // the capture image was updated
  Unchanged = 1,   // nothing new; the last image stands
  NoFrame = 2,     // no image has been captured yet: the frame is black
  DeviceLost = 3,  // the device was removed or reset; the chain must be rebuilt
  // No image for 5 s (a lock screen, a long loss): the pipeline sends no
  // frames until one returns, so the stretch becomes a cut in the recording
  // instead of a still or black picture.
  Suspended = 4,
  // The output now lies on another adapter: the chain must be rebuilt there
  // (handled like a device loss, without counting as one).
  RebuildRequested = 5,
};

// The output (monitor) a chain captures, as found for the monitor setting.
struct OutputDescription {
  std::wstring adapterDescription;  // the GPU driving the output, for the log
  // Desktop rectangle of the output in virtual-desktop coordinates.
  int32_t left = 0;
  int32_t top = 0;
  int32_t right = 0;
  int32_t bottom = 0;
};

class VideoChain {
 public:
  // Releases encoder, composer, capture and device, in that order.
  virtual ~VideoChain() = default;

  // Build steps, called at most once each and in this order; a false result
  // ends the build and the chain is destroyed. Except for FindOutput (whose
  // failure the pipeline reports), each step logs its own failure.
  //
  // Finds the output for `monitor` and the adapter that drives it.
  virtual bool FindOutput(const std::wstring& monitor, OutputDescription* output) = 0;
  // Creates the device on that adapter (multithread-protected).
  virtual bool CreateDevice() = 0;
  // Opens the capture of the output on the device.
  virtual bool OpenCapture(const PipelineConfig& config) = 0;
  // Prepares the composer for NV12 frames of the given (even) size.
  virtual bool InitializeComposer(uint32_t width, uint32_t height, uint32_t fps) = 0;
  // Creates and opens the encoder for `choice` (EncoderChoice) reading the
  // composer's output frame; logs which encoder runs, or that none could.
  virtual bool CreateEncoder(int32_t choice, const EncoderConfig& config) = 0;

  // Frame calls, once the chain is built.
  //
  // Polls the capture without blocking.
  virtual CaptureStatus AcquireFrame() = 0;
  // Composes the current capture image (or black when the capture holds
  // none) into the encoder's input frame; false on failure.
  virtual bool Compose(bool showCursor) = 0;
  // Encodes the composed frame; appends the packets that became available.
  virtual bool Encode(int64_t pts, int64_t duration, PacketList& packets) = 0;
  // The encoder's track parameters (complete once a packet was produced).
  virtual const VideoTrackInfo& TrackInfo() const = 0;
  // Capture recoveries since the chain was built.
  virtual int32_t CaptureRecoveries() const = 0;

 protected:
  VideoChain() = default;
  VideoChain(const VideoChain&) = delete;
  VideoChain& operator=(const VideoChain&) = delete;
};

// Makes chains for one platform. EnterPipelineThread/LeavePipelineThread
// bracket a pipeline run on its thread (the Windows chain initializes COM
// there); chains are created and destroyed in between.
class VideoChainFactory {
 public:
  virtual ~VideoChainFactory() = default;
  virtual void EnterPipelineThread() {}
  virtual void LeavePipelineThread() {}
  // Null when this system has no video chain at all.
  virtual std::unique_ptr<VideoChain> CreateChain() = 0;
};

// The chain of this build, living for the whole process: the GPU chain on
// Windows, the stand-ins (a synthetic 1920x1080 desktop) on Linux.
VideoChainFactory& PlatformVideoChainFactory();

}  // namespace kp
