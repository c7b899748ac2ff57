// Media Foundation, loaded at run time. Windows N editions come without it
// (until the Media Feature Pack is installed), and a program linked to it
// there would not start at all: no log line, not even `Kaptora stop`. So
// nothing links to mfplat.dll or mfreadwrite.dll; these wrappers load them
// from the system folder on first use and resolve every entry point once.
//
// Where the libraries are missing, every wrapper fails with
// kMediaFoundationMissing and the first use logs "mf: Media Foundation is
// not installed (Windows N edition?) — install the Media Feature Pack".
// Thread-safe.
#pragma once

#include <windows.h>
#include <mfapi.h>
#include <mfidl.h>
#include <mfreadwrite.h>
#include <mftransform.h>

namespace kp::mf {

// HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND).
inline constexpr HRESULT kMediaFoundationMissing = static_cast<HRESULT>(0x8007007E);

// Whether mfplat.dll loaded with all its entry points.
bool Installed();

HRESULT Startup(ULONG version, DWORD flags);
HRESULT Shutdown();
HRESULT CreateMediaType(IMFMediaType** type);
HRESULT CreateAttributes(IMFAttributes** attributes, UINT32 initialSize);
HRESULT CreateSample(IMFSample** sample);
HRESULT CreateMemoryBuffer(DWORD maxLength, IMFMediaBuffer** buffer);
HRESULT CreateDXGIDeviceManager(UINT* resetToken, IMFDXGIDeviceManager** manager);
HRESULT CreateDXGISurfaceBuffer(REFIID riid, IUnknown* surface, UINT subresource, BOOL bottomUp,
                                IMFMediaBuffer** buffer);
HRESULT TEnum2(GUID category, UINT32 flags, const MFT_REGISTER_TYPE_INFO* inputType,
               const MFT_REGISTER_TYPE_INFO* outputType, IMFAttributes* attributes, IMFActivate*** activates,
               UINT32* count);
// From mfreadwrite.dll.
HRESULT CreateSourceReaderFromURL(LPCWSTR url, IMFAttributes* attributes, IMFSourceReader** reader);

}  // namespace kp::mf
