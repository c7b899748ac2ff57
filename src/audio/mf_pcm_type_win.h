// The one PCM format the program's audio runs on in Media Foundation:
// 48 kHz, 2 channels, 16-bit. The AAC encoder takes it as input and the
// export asks the source reader for it.
#pragma once

#include <mfapi.h>
#include <mfidl.h>
#include <wrl/client.h>

#include "platform/media_foundation_win.h"

namespace kp {

// A new media type describing 48 kHz stereo 16-bit PCM, in `*type`.
inline HRESULT CreatePcm48kStereoType(Microsoft::WRL::ComPtr<IMFMediaType>* type) {
  HRESULT hr = mf::CreateMediaType(type->ReleaseAndGetAddressOf());
  IMFMediaType* t = type->Get();
  if (SUCCEEDED(hr)) hr = t->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio);
  if (SUCCEEDED(hr)) hr = t->SetGUID(MF_MT_SUBTYPE, MFAudioFormat_PCM);
  if (SUCCEEDED(hr)) hr = t->SetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, 16);
  if (SUCCEEDED(hr)) hr = t->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, 48'000);
  if (SUCCEEDED(hr)) hr = t->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, 2);
  if (SUCCEEDED(hr)) hr = t->SetUINT32(MF_MT_AUDIO_BLOCK_ALIGNMENT, 4);
  if (SUCCEEDED(hr)) hr = t->SetUINT32(MF_MT_AUDIO_AVG_BYTES_PER_SECOND, 192'000);
  return hr;
}

}  // namespace kp
