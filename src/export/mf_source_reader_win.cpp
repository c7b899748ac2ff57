#include "export/mf_source_reader_win.h"

#include <mfapi.h>
#include <propidl.h>

#include "platform/media_foundation_win.h"

namespace kp {

using Microsoft::WRL::ComPtr;

ComPtr<IMFSourceReader> OpenSourceReader(const std::wstring& path, IMFAttributes* attributes) {
  ComPtr<IMFSourceReader> reader;
  if (FAILED(mf::CreateSourceReaderFromURL(path.c_str(), attributes, &reader))) return nullptr;
  return reader;
}

void SeekSourceReader(IMFSourceReader* reader, int64_t time) {
  PROPVARIANT position;
  ::PropVariantInit(&position);
  position.vt = VT_I8;
  position.hVal.QuadPart = time;
  reader->SetCurrentPosition(GUID_NULL, position);
  ::PropVariantClear(&position);
}

bool SelectOnlyStream(IMFSourceReader* reader, uint32_t stream) {
  return SUCCEEDED(reader->SetStreamSelection(static_cast<DWORD>(MF_SOURCE_READER_ALL_STREAMS), FALSE)) &&
         SUCCEEDED(reader->SetStreamSelection(stream, TRUE));
}

bool ReadFrameSize(IMFMediaType* type, uint32_t* width, uint32_t* height) {
  UINT64 packed = 0;
  if (type == nullptr || FAILED(type->GetUINT64(MF_MT_FRAME_SIZE, &packed))) return false;
  *width = static_cast<uint32_t>(packed >> 32);
  *height = static_cast<uint32_t>(packed & 0xFFFFFFFFu);
  return true;
}

ReadStatus ReadSourceSample(IMFSourceReader* reader, uint32_t stream, ComPtr<IMFSample>* sample, int64_t* time,
                            bool* typeChanged) {
  DWORD actualStream = 0;
  DWORD flags = 0;
  LONGLONG timestamp = 0;
  sample->Reset();
  const HRESULT hr = reader->ReadSample(stream, 0, &actualStream, &flags, &timestamp, sample->GetAddressOf());
  ReaderPass pass;
  pass.callFailed = FAILED(hr);
  pass.errorFlag = (flags & MF_SOURCE_READERF_ERROR) != 0;
  pass.endOfStream = (flags & MF_SOURCE_READERF_ENDOFSTREAM) != 0;
  pass.hasSample = sample->Get() != nullptr;
  *typeChanged = SUCCEEDED(hr) && (flags & MF_SOURCE_READERF_CURRENTMEDIATYPECHANGED) != 0;
  *time = timestamp;
  return ClassifyReaderPass(pass);
}

}  // namespace kp
