#include "app/window_shell_win.h"

#include <mmsystem.h>
#include <objbase.h>
#include <shellapi.h>
#include <windowsx.h>

#include <cstring>

#include "app/host_core.h"
#include "app/log.h"
#include "app/state_icon.h"

namespace kp {

namespace {

constexpr const wchar_t* kWindowClass = L"KaptoraEngine";
constexpr UINT kTrayIconId = 1;
constexpr WORD kProgramIconResource = 1;
constexpr WORD kSaveSoundResource = 101;
constexpr DWORD kModuleNameLength = 520;

// Set while the window exists, so the window procedure reaches its shell.
WindowShell* g_shell = nullptr;

template <size_t N>
void CopyText(wchar_t (&field)[N], const std::wstring& text) {
  const size_t n = text.size() < N ? text.size() : N - 1;
  std::memcpy(field, text.data(), n * sizeof(wchar_t));
  field[n] = L'\0';
}

NOTIFYICONDATAW IconData(HWND window) {
  NOTIFYICONDATAW data{};
  data.cbSize = sizeof data;
  data.hWnd = window;
  data.uID = kTrayIconId;
  return data;
}

// A top-down 32-bit DIB section of the core's pixels with an all-zero mask:
// the colour bitmap's alpha alone shapes the icon.
HICON IconFromPixels(int size, const std::vector<uint8_t>& pixels) {
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = size;
  info.bmiHeader.biHeight = -size;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP colour = ::CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (colour == nullptr || bits == nullptr) return nullptr;
  std::memcpy(bits, pixels.data(), pixels.size());
  const std::vector<uint8_t> maskBits(static_cast<size_t>((size + 15) / 16) * 2 * size, 0);
  HBITMAP mask = ::CreateBitmap(size, size, 1, 1, maskBits.data());
  ICONINFO icon{};
  icon.fIcon = TRUE;
  icon.hbmMask = mask;
  icon.hbmColor = colour;
  HICON result = ::CreateIconIndirect(&icon);
  if (mask != nullptr) ::DeleteObject(mask);
  ::DeleteObject(colour);
  return result;
}

TrayEvent TrayEventOf(UINT event) {
  switch (event) {
    case WM_CONTEXTMENU: return TrayEvent::kContextMenu;
    case WM_LBUTTONDBLCLK: return TrayEvent::kDoubleClick;
    case NIN_BALLOONUSERCLICK: return TrayEvent::kBalloonClick;
    default: return TrayEvent::kOther;
  }
}

}  // namespace

WindowShell::~WindowShell() {
  DestroyWindow();
  for (HICON icon : stateIcons_) {
    if (icon != nullptr) ::DestroyIcon(icon);
  }
  if (notificationIcon_ != nullptr) ::DestroyIcon(notificationIcon_);
  if (comStarted_) ::CoUninitialize();
}

bool WindowShell::Open(HINSTANCE instance) {
  // ShellExecuteW may hand a launch to a shell extension, which expects an
  // apartment-threaded caller without OLE1 DDE.
  comStarted_ = SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE));
  if (instance == nullptr) instance = ::GetModuleHandleW(nullptr);
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = &WindowShell::WindowProc;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = kWindowClass;
  ::RegisterClassW(&windowClass);  // an existing class (a second host in one process) serves as well
  g_shell = this;
  window_ = ::CreateWindowExW(WS_EX_TOOLWINDOW, kWindowClass, L"Kaptora", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                              instance, nullptr);
  if (window_ == nullptr) {
    Log("engine: cannot create the engine window (error %lu)", ::GetLastError());
    g_shell = nullptr;
    return false;
  }
  taskbarMessage_ = ::RegisterWindowMessageW(L"TaskbarCreated");
  // Explorer runs below an elevated engine, whose message filter would
  // otherwise drop the announcement.
  if (taskbarMessage_ != 0) ::ChangeWindowMessageFilterEx(window_, taskbarMessage_, MSGFLT_ALLOW, nullptr);
  return true;
}

void WindowShell::Attach(HostCore* core) { core_ = core; }

void WindowShell::DestroyWindow() {
  posted_->Close();
  if (window_ != nullptr) {
    // Every record posted and not taken is in the queue now; destroying the
    // window would drop them unfreed.
    MSG message;
    while (::PeekMessageW(&message, window_, kSaveFinishedMessage, kUpdateAvailableMessage, PM_REMOVE)) {
      void* payload = reinterpret_cast<void*>(message.lParam);
      if (posted_->Take(message.message, payload)) FreePostedPayload(message.message, payload);
    }
    ::DestroyWindow(window_);
  }
  window_ = nullptr;
  if (g_shell == this) g_shell = nullptr;
}

LRESULT CALLBACK WindowShell::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  WindowShell* shell = g_shell;
  if (shell == nullptr || window != shell->window_) return ::DefWindowProcW(window, message, wParam, lParam);
  // Detached, the window waits for DestroyWindow; a close request must not
  // destroy it first and drop what is still queued.
  if (shell->core_ == nullptr) return message == WM_CLOSE ? 0 : ::DefWindowProcW(window, message, wParam, lParam);
  return shell->Handle(message, wParam, lParam);
}

LRESULT WindowShell::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
  if (taskbarMessage_ != 0 && message == taskbarMessage_) {
    core_->OnTaskbarCreated();
    return 0;
  }
  switch (message) {
    case kTrayCallbackMessage:
      // NOTIFYICON_VERSION_4: the event in lParam's low word, the anchor in wParam.
      core_->OnTrayEvent(TrayEventOf(LOWORD(lParam)), {GET_X_LPARAM(wParam), GET_Y_LPARAM(wParam)});
      return 0;
    case kSaveFinishedMessage:
    case kUpdateAvailableMessage:
      // Another program's post (a broadcast, a guessed pointer) is ignored.
      if (posted_->Take(message, reinterpret_cast<void*>(lParam))) {
        core_->OnPosted(message, reinterpret_cast<void*>(lParam));
      }
      return 0;
    case WM_HOTKEY:
      core_->OnHotkey(static_cast<int>(wParam));
      return 0;
    case WM_CLOSE:
      // taskkill without /F: the tray's Exit, not a window gone quietly.
      core_->OnCloseRequested();
      return 0;
    case WM_QUERYENDSESSION:
      return 1;
    case WM_ENDSESSION:
      if (wParam) core_->OnEndSession();
      return 0;
    case WM_TIMER:
      core_->OnTimer(static_cast<int>(wParam));
      return 0;
    default:
      return ::DefWindowProcW(window_, message, wParam, lParam);
  }
}

HICON WindowShell::StateIcon(TrayState state) {
  HICON& icon = stateIcons_[static_cast<size_t>(state)];
  if (icon == nullptr) {
    const int size = ::GetSystemMetricsForDpi(SM_CXSMICON, ::GetDpiForSystem());
    icon = IconFromPixels(size, StateIconPixels(size, StateColour(state)));
  }
  return icon;
}

HICON WindowShell::NotificationIcon() {
  if (!notificationIconTried_) {
    notificationIconTried_ = true;
    const int size = 2 * ::GetSystemMetricsForDpi(SM_CXICON, ::GetDpiForSystem());
    notificationIcon_ = static_cast<HICON>(::LoadImageW(::GetModuleHandleW(nullptr),
                                                        MAKEINTRESOURCEW(kProgramIconResource), IMAGE_ICON, size,
                                                        size, 0));
  }
  return notificationIcon_;
}

bool WindowShell::SubmitIcon(DWORD verb, TrayState state, const std::wstring& tooltip) {
  NOTIFYICONDATAW data = IconData(window_);
  data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_SHOWTIP;
  data.uCallbackMessage = kTrayCallbackMessage;
  data.hIcon = StateIcon(state);
  CopyText(data.szTip, tooltip);
  if (!::Shell_NotifyIconW(verb, &data)) return false;
  data.uVersion = NOTIFYICON_VERSION_4;
  ::Shell_NotifyIconW(NIM_SETVERSION, &data);
  return true;
}

bool WindowShell::AddTrayIcon(TrayState state, const std::wstring& tooltip) {
  return SubmitIcon(NIM_ADD, state, tooltip);
}

bool WindowShell::RetakeTrayIcon(TrayState state, const std::wstring& tooltip) {
  return SubmitIcon(NIM_MODIFY, state, tooltip);
}

void WindowShell::ModifyTrayIcon(TrayState state, const std::wstring& tooltip) {
  NOTIFYICONDATAW data = IconData(window_);
  data.uFlags = NIF_ICON | NIF_TIP | NIF_SHOWTIP;
  data.hIcon = StateIcon(state);
  CopyText(data.szTip, tooltip);
  ::Shell_NotifyIconW(NIM_MODIFY, &data);
}

void WindowShell::ShowNotification(const std::wstring& title, const std::wstring& text) {
  NOTIFYICONDATAW data = IconData(window_);
  data.uFlags = NIF_INFO;
  CopyText(data.szInfoTitle, title);
  CopyText(data.szInfo, text);
  data.dwInfoFlags = NIIF_NOSOUND;
  if (HICON icon = NotificationIcon()) {
    data.dwInfoFlags |= NIIF_USER | NIIF_LARGE_ICON;
    data.hBalloonIcon = icon;
  } else {
    data.dwInfoFlags |= NIIF_INFO;
  }
  ::Shell_NotifyIconW(NIM_MODIFY, &data);
}

void WindowShell::RemoveTrayIcon() {
  NOTIFYICONDATAW data = IconData(window_);
  ::Shell_NotifyIconW(NIM_DELETE, &data);
}

int WindowShell::TrackMenu(const std::vector<MenuItem>& items, ScreenPoint at) {
  HMENU menu = ::CreatePopupMenu();
  if (menu == nullptr) return 0;
  for (const MenuItem& item : items) {
    if (item.command == 0) {
      ::AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
      continue;
    }
    ::AppendMenuW(menu, MF_STRING | (item.grayed ? MF_GRAYED : 0u), static_cast<UINT_PTR>(item.command),
                  item.text.c_str());
    if (item.isDefault) ::SetMenuDefaultItem(menu, static_cast<UINT>(item.command), FALSE);
  }
  // The menu closes when the user clicks elsewhere only if the window is in
  // the foreground; WM_NULL makes the next click behave after it closes.
  ::SetForegroundWindow(window_);
  const BOOL command = ::TrackPopupMenuEx(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_NONOTIFY, at.x, at.y,
                                          window_, nullptr);
  ::PostMessageW(window_, WM_NULL, 0, 0);
  ::DestroyMenu(menu);
  return static_cast<int>(command);
}

void WindowShell::Launch(const std::wstring& program, const std::wstring& parameters) {
  ::ShellExecuteW(nullptr, L"open", program.c_str(), parameters.empty() ? nullptr : parameters.c_str(), nullptr,
                  SW_SHOWNORMAL);
}

std::wstring WindowShell::ProgramFolder() {
  wchar_t path[kModuleNameLength];
  const DWORD n = ::GetModuleFileNameW(nullptr, path, kModuleNameLength);
  std::wstring folder(path, n);
  const size_t slash = folder.find_last_of(L'\\');
  return slash == std::wstring::npos ? folder : folder.substr(0, slash);
}

bool WindowShell::PlaySaveSound() {
  return ::PlaySoundW(MAKEINTRESOURCEW(kSaveSoundResource), ::GetModuleHandleW(nullptr),
                      SND_RESOURCE | SND_ASYNC | SND_NODEFAULT) != FALSE;
}

void WindowShell::PlayWave(const std::vector<uint8_t>& wav) {
  ::PlaySoundW(reinterpret_cast<LPCWSTR>(wav.data()), nullptr, SND_MEMORY | SND_ASYNC | SND_NODEFAULT);
}

bool WindowShell::RegisterHotkey(int id, uint32_t modifiers, uint32_t key) {
  return ::RegisterHotKey(window_, id, modifiers, key) != FALSE;
}

void WindowShell::UnregisterHotkey(int id) { ::UnregisterHotKey(window_, id); }

void WindowShell::StartTimer(int id, int periodMs) {
  ::SetTimer(window_, static_cast<UINT_PTR>(id), static_cast<UINT>(periodMs), nullptr);
}

void WindowShell::StopTimer(int id) { ::KillTimer(window_, static_cast<UINT_PTR>(id)); }

PostFunction WindowShell::Poster() {
  // Once the window is going, posts are refused and leave the payload with
  // the poster.
  return [window = window_, posted = posted_](uint32_t message, void* payload) {
    return posted->Post(message, payload, [window](uint32_t m, void* p) {
      // Without a window, PostMessageW would post to the calling thread.
      return window != nullptr && ::PostMessageW(window, m, 0, reinterpret_cast<LPARAM>(p)) != FALSE;
    });
  };
}

void WindowShell::Quit() { ::PostQuitMessage(0); }

}  // namespace kp
