#include "export/mf_audio_track_reader_win.h"

#include <mfapi.h>

#include <cstring>

#include "audio/mf_pcm_type_win.h"
#include "export/mf_source_reader_win.h"

namespace kp {

using Microsoft::WRL::ComPtr;

std::unique_ptr<AudioTrackReader> MfAudioTrackReader::Open(const std::wstring& input, uint32_t streamIndex) {
  ComPtr<IMFSourceReader> reader = OpenSourceReader(input, nullptr);
  if (!reader || !SelectOnlyStream(reader.Get(), streamIndex)) return nullptr;
  return std::unique_ptr<AudioTrackReader>(new MfAudioTrackReader(std::move(reader), streamIndex));
}

bool MfAudioTrackReader::SelectPcm48kStereo() {
  ComPtr<IMFMediaType> type;
  HRESULT hr = CreatePcm48kStereoType(&type);
  if (SUCCEEDED(hr)) hr = reader_->SetCurrentMediaType(stream_, nullptr, type.Get());
  if (FAILED(hr)) return false;

  // A reader may accept the request and still deliver something else.
  ComPtr<IMFMediaType> current;
  UINT32 rate = 0;
  UINT32 channels = 0;
  return SUCCEEDED(reader_->GetCurrentMediaType(stream_, &current)) &&
         SUCCEEDED(current->GetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, &rate)) &&
         SUCCEEDED(current->GetUINT32(MF_MT_AUDIO_NUM_CHANNELS, &channels)) && rate == 48'000 && channels == 2;
}

void MfAudioTrackReader::Seek(int64_t time) { SeekSourceReader(reader_.Get(), time); }

ReadStatus MfAudioTrackReader::Read(PcmBlock* block) {
  ComPtr<IMFSample> sample;
  int64_t time = 0;
  bool typeChanged = false;
  const ReadStatus status = ReadSourceSample(reader_.Get(), stream_, &sample, &time, &typeChanged);
  if (status != ReadStatus::Sample) return status;

  ComPtr<IMFMediaBuffer> buffer;
  if (FAILED(sample->ConvertToContiguousBuffer(&buffer))) return ReadStatus::Failed;
  BYTE* data = nullptr;
  DWORD length = 0;
  if (FAILED(buffer->Lock(&data, nullptr, &length))) return ReadStatus::Failed;
  const uint32_t frameCount = length / 4;
  frames_.resize(static_cast<size_t>(frameCount) * 2);
  if (frameCount > 0) std::memcpy(frames_.data(), data, static_cast<size_t>(frameCount) * 4);
  buffer->Unlock();

  block->time = time;
  block->frames = frames_.data();
  block->frameCount = frameCount;
  return ReadStatus::Sample;
}

}  // namespace kp
