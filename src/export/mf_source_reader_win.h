// Small Media Foundation source-reader calls shared by the export's video
// and audio readers.
#pragma once

#include <windows.h>
#include <mfidl.h>
#include <mfreadwrite.h>
#include <wrl/client.h>

#include <cstdint>
#include <string>

#include "export/source_reader_rules.h"

namespace kp {

// A source reader on `path`; `attributes` may be null. Null on failure.
Microsoft::WRL::ComPtr<IMFSourceReader> OpenSourceReader(const std::wstring& path, IMFAttributes* attributes);

// Moves the reader to `time` (100-ns units); whether it could is not reported.
void SeekSourceReader(IMFSourceReader* reader, int64_t time);

// Leaves only `stream` selected. False when the reader refused.
bool SelectOnlyStream(IMFSourceReader* reader, uint32_t stream);

// MF_MT_FRAME_SIZE of `type`: width in the high half, height in the low.
bool ReadFrameSize(IMFMediaType* type, uint32_t* width, uint32_t* height);

// One ReadSample on `stream`; `sample` is null unless a sample came.
ReadStatus ReadSourceSample(IMFSourceReader* reader, uint32_t stream, Microsoft::WRL::ComPtr<IMFSample>* sample,
                            int64_t* time, bool* typeChanged);

}  // namespace kp
