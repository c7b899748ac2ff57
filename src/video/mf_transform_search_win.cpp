#include "video/mf_transform_search_win.h"

#include "platform/win_compat.h"

#include "app/log.h"
#include "platform/media_foundation_win.h"
#include "platform/text.h"
#include "video/d3d11_device_win.h"

namespace kp {

bool FindHardwareH264Transform(ID3D11Device* device, Microsoft::WRL::ComPtr<IMFTransform>& transform,
                               std::string& name) {
  DXGI_ADAPTER_DESC adapter{};
  if (!GetAdapterDescription(device, &adapter)) return false;

  Microsoft::WRL::ComPtr<IMFAttributes> filter;
  HRESULT hr = mf::CreateAttributes(&filter, 1);
  if (SUCCEEDED(hr)) {
    hr = filter->SetBlob(MFT_ENUM_ADAPTER_LUID, reinterpret_cast<const UINT8*>(&adapter.AdapterLuid),
                         sizeof adapter.AdapterLuid);
  }
  IMFActivate** activates = nullptr;
  UINT32 count = 0;
  if (SUCCEEDED(hr)) {
    const MFT_REGISTER_TYPE_INFO inputType = {MFMediaType_Video, MFVideoFormat_NV12};
    const MFT_REGISTER_TYPE_INFO outputType = {MFMediaType_Video, MFVideoFormat_H264};
    hr = mf::TEnum2(MFT_CATEGORY_VIDEO_ENCODER, MFT_ENUM_FLAG_HARDWARE | MFT_ENUM_FLAG_SORTANDFILTER, &inputType,
                  &outputType, filter.Get(), &activates, &count);
  }
  if (FAILED(hr) || count == 0) {
    Log("mf: no hardware H.264 encoder on this GPU (hr=0x%08lX)",
        FAILED(hr) ? static_cast<unsigned long>(static_cast<uint32_t>(hr)) : 0ul);
    if (activates != nullptr) {
      for (UINT32 i = 0; i < count; ++i) activates[i]->Release();
      CoTaskMemFree(activates);
    }
    return false;
  }
  for (UINT32 i = 0; i < count; ++i) {
    if (!transform && SUCCEEDED(activates[i]->ActivateObject(IID_PPV_ARGS(&transform)))) {
      wchar_t* friendlyName = nullptr;
      UINT32 length = 0;
      if (SUCCEEDED(activates[i]->GetAllocatedString(MFT_FRIENDLY_NAME_Attribute, &friendlyName, &length))) {
        name = WideToUtf8(std::wstring(friendlyName, length));
        CoTaskMemFree(friendlyName);
      }
    }
    activates[i]->Release();
  }
  CoTaskMemFree(activates);
  return static_cast<bool>(transform);
}

}  // namespace kp
