#include "platform/media_foundation_win.h"

#include "app/log.h"

namespace kp::mf {

namespace {

template <typename T>
bool Resolve(HMODULE library, const char* name, T*& out) {
  out = library != nullptr ? reinterpret_cast<T*>(reinterpret_cast<void*>(::GetProcAddress(library, name))) : nullptr;
  return out != nullptr;
}

// Never unloaded: the libraries stay for the life of the process.
struct Library {
  Library() {
    // Only the system folder: a DLL of that name beside the executable or in
    // the current folder must never be picked up instead.
    HMODULE plat = ::LoadLibraryExW(L"mfplat.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    installed = Resolve(plat, "MFStartup", startup) && Resolve(plat, "MFShutdown", shutdown) &&
                Resolve(plat, "MFCreateMediaType", createMediaType) &&
                Resolve(plat, "MFCreateAttributes", createAttributes) && Resolve(plat, "MFCreateSample", createSample) &&
                Resolve(plat, "MFCreateMemoryBuffer", createMemoryBuffer) &&
                Resolve(plat, "MFCreateDXGIDeviceManager", createDxgiDeviceManager) &&
                Resolve(plat, "MFCreateDXGISurfaceBuffer", createDxgiSurfaceBuffer) && Resolve(plat, "MFTEnum2", tEnum2);
    if (installed) {
      Resolve(::LoadLibraryExW(L"mfreadwrite.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32),
              "MFCreateSourceReaderFromURL", createSourceReaderFromUrl);
    } else {
      Log("mf: Media Foundation is not installed (Windows N edition?) — install the Media Feature Pack");
    }
  }

  bool installed = false;
  decltype(::MFStartup)* startup = nullptr;
  decltype(::MFShutdown)* shutdown = nullptr;
  decltype(::MFCreateMediaType)* createMediaType = nullptr;
  decltype(::MFCreateAttributes)* createAttributes = nullptr;
  decltype(::MFCreateSample)* createSample = nullptr;
  decltype(::MFCreateMemoryBuffer)* createMemoryBuffer = nullptr;
  decltype(::MFCreateDXGIDeviceManager)* createDxgiDeviceManager = nullptr;
  decltype(::MFCreateDXGISurfaceBuffer)* createDxgiSurfaceBuffer = nullptr;
  HRESULT(WINAPI* tEnum2)(GUID, UINT32, const MFT_REGISTER_TYPE_INFO*, const MFT_REGISTER_TYPE_INFO*, IMFAttributes*,
                          IMFActivate***, UINT32*) = nullptr;
  decltype(::MFCreateSourceReaderFromURL)* createSourceReaderFromUrl = nullptr;
};

const Library& Get() {
  static const Library* library = new Library();
  return *library;
}

// Calls `function` when the library is whole and it was resolved, else
// reports the missing library.
template <typename F, typename... Args>
HRESULT Call(F* function, Args... args) {
  return Get().installed && function != nullptr ? function(args...) : kMediaFoundationMissing;
}

}  // namespace

bool Installed() { return Get().installed; }

HRESULT Startup(ULONG version, DWORD flags) { return Call(Get().startup, version, flags); }
HRESULT Shutdown() { return Call(Get().shutdown); }
HRESULT CreateMediaType(IMFMediaType** type) { return Call(Get().createMediaType, type); }
HRESULT CreateAttributes(IMFAttributes** attributes, UINT32 initialSize) {
  return Call(Get().createAttributes, attributes, initialSize);
}
HRESULT CreateSample(IMFSample** sample) { return Call(Get().createSample, sample); }
HRESULT CreateMemoryBuffer(DWORD maxLength, IMFMediaBuffer** buffer) {
  return Call(Get().createMemoryBuffer, maxLength, buffer);
}
HRESULT CreateDXGIDeviceManager(UINT* resetToken, IMFDXGIDeviceManager** manager) {
  return Call(Get().createDxgiDeviceManager, resetToken, manager);
}
HRESULT CreateDXGISurfaceBuffer(REFIID riid, IUnknown* surface, UINT subresource, BOOL bottomUp,
                                IMFMediaBuffer** buffer) {
  return Call(Get().createDxgiSurfaceBuffer, riid, surface, subresource, bottomUp, buffer);
}
HRESULT TEnum2(GUID category, UINT32 flags, const MFT_REGISTER_TYPE_INFO* inputType,
               const MFT_REGISTER_TYPE_INFO* outputType, IMFAttributes* attributes, IMFActivate*** activates,
               UINT32* count) {
  return Call(Get().tEnum2, category, flags, inputType, outputType, attributes, activates, count);
}
HRESULT CreateSourceReaderFromURL(LPCWSTR url, IMFAttributes* attributes, IMFSourceReader** reader) {
  return Call(Get().createSourceReaderFromUrl, url, attributes, reader);
}

}  // namespace kp::mf
