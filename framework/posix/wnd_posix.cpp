// Windows of the posix backend: objects registered under an opaque handle with the message
// loop of the thread that created them. Sent messages call the window procedure directly,
// posted ones go through the loop; nothing is drawn. A modal dialog is registered without a
// loop and asked on the terminal. Only posting may come from another thread: a window is sent
// messages, shown and destroyed by its own thread (debug builds assert it), so one that the
// loop finds in the table lives until its message is handled.
#include <mutex>
#include <thread>
#include <unordered_map>

#include "framework/framework_res.h"
#include "framework/module_end.h"
#include "framework/owner_thread.h"
#include "framework/posix/dialog_state.h"
#include "framework/posix/event_loop.h"
#include "framework/posix/terminal.h"
#include "framework/strings.h"
#include "framework/wnd.h"

namespace fw {

struct CWnd::Backend {
  static LRESULT Call(CWnd& window, UINT message, WPARAM wParam, LPARAM lParam) {
    return window.WindowProc(message, wParam, lParam);
  }
  static void Attach(CWnd& window, HWND handle) { window.m_hWnd = handle; }
  static void NcDestroyed(CWnd& window) {
    window.m_hWnd = nullptr;
    window.PostNcDestroy();
  }
};

namespace {

struct WindowEntry {
  CWnd* window;  // null once the object was deleted while its window was being destroyed
  std::weak_ptr<posix::EventLoop> loop;
  posix::EventLoop* loopKey;
  std::thread::id owner;
  bool visible = false;
  bool destroying = false;
};

struct WindowRegistry {
  std::mutex mutex;
  std::unordered_map<HWND, WindowEntry> windows;
  std::uintptr_t lastHandle = 0x10000;
};

// Never destroyed, so that windows deleted during static destruction still find it.
WindowRegistry& Registry() {
  static WindowRegistry* registry = KeepUntilModuleEnd(new WindowRegistry);
  return *registry;
}

// Registers a window of the calling thread, with the thread's message loop unless `withLoop`
// is false (nothing can be posted to it then).
HWND Register(CWnd& window, bool withLoop = true) {
  posix::EventLoop* loop = withLoop ? &posix::EventLoop::Current() : nullptr;
  WindowRegistry& registry = Registry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  // Handles grow and are never reused, so a stale handle finds no window.
  registry.lastHandle += 0x10;
  HWND handle = reinterpret_cast<HWND>(registry.lastHandle);
  registry.windows.emplace(handle, WindowEntry{&window, loop != nullptr ? loop->shared_from_this() : nullptr, loop,
                                               std::this_thread::get_id()});
  return handle;
}

// The live window object of `handle` when the calling thread owns it, else null.
CWnd* OwnWindow(HWND handle) {
  WindowRegistry& registry = Registry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  auto it = registry.windows.find(handle);
  if (it == registry.windows.end()) return nullptr;
  FW_ASSERT_OWNER_THREAD(it->second.owner == std::this_thread::get_id());
  return it->second.owner == std::this_thread::get_id() ? it->second.window : nullptr;
}

}  // namespace

namespace posix {

void DispatchWindowMessage(EventLoop& loop, const PostedMessage& message) {
  CWnd* window = nullptr;
  {
    WindowRegistry& registry = Registry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto it = registry.windows.find(message.window);
    if (it == registry.windows.end() || it->second.loopKey != &loop) return;
    window = it->second.window;
  }
  if (window != nullptr) CWnd::Backend::Call(*window, message.message, message.wParam, message.lParam);
}

void ForgetWindows(EventLoop& loop) {
  WindowRegistry& registry = Registry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  std::erase_if(registry.windows, [&loop](const auto& item) { return item.second.loopKey == &loop; });
}

}  // namespace posix

CWnd::~CWnd() {
  if (m_hWnd == nullptr) return;
  {
    WindowRegistry& registry = Registry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto it = registry.windows.find(m_hWnd);
    if (it == registry.windows.end()) return;
    if (it->second.destroying) {
      // Deleted by its own destroy handling: DestroyWindow finishes without the object.
      it->second.window = nullptr;
      return;
    }
    FW_ASSERT_OWNER_THREAD(it->second.owner == std::this_thread::get_id());
    if (it->second.owner != std::this_thread::get_id()) {
      // Another thread's window cannot be sent messages from here; just forget it.
      registry.windows.erase(it);
      return;
    }
  }
  // Virtual calls now reach this class only, so only the base procedure sees the messages.
  DestroyWindow();
}

bool CWnd::DestroyWindow() {
  const HWND handle = m_hWnd;
  if (handle == nullptr) return false;
  WindowRegistry& registry = Registry();
  {
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto it = registry.windows.find(handle);
    if (it == registry.windows.end()) {
      m_hWnd = nullptr;
      return false;
    }
    FW_ASSERT_OWNER_THREAD(it->second.owner == std::this_thread::get_id());
    if (it->second.owner != std::this_thread::get_id() || it->second.destroying) return false;
    it->second.destroying = true;
  }
  // Either message may delete this object; after them only the registry tells whether it lives.
  SendMessage(handle, kWmDestroy, 0, 0);
  SendMessage(handle, kWmNcDestroy, 0, 0);
  CWnd* survivor;
  {
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto it = registry.windows.find(handle);
    survivor = it != registry.windows.end() ? it->second.window : nullptr;
    if (it != registry.windows.end()) registry.windows.erase(it);
  }
  if (survivor != nullptr) Backend::NcDestroyed(*survivor);
  return true;
}

bool CWnd::ShowWindow(int command) {
  WindowRegistry& registry = Registry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  auto it = registry.windows.find(m_hWnd);
  if (it == registry.windows.end()) return false;
  FW_ASSERT_OWNER_THREAD(it->second.owner == std::this_thread::get_id());
  const bool wasVisible = it->second.visible;
  it->second.visible = command != kSwHide;
  return wasVisible;
}

LRESULT CWnd::SendMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  CWnd* target = OwnWindow(window);
  return target != nullptr ? Backend::Call(*target, message, wParam, lParam) : 0;
}

bool CWnd::PostMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<posix::EventLoop> loop;
  {
    WindowRegistry& registry = Registry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto it = registry.windows.find(window);
    if (it == registry.windows.end() || it->second.window == nullptr) return false;
    loop = it->second.loop.lock();
  }
  return loop != nullptr && loop->Post({window, message, wParam, lParam});
}

LRESULT CWnd::WindowProc(UINT message, WPARAM, LPARAM) {
  if (message == kWmClose) DestroyWindow();
  return 0;
}

void CWnd::PostNcDestroy() {}

CDialog::CDialog(UINT templateId, CWnd* parent)
    : m_nTemplateId(templateId), m_pParent(parent), m_impl(std::make_unique<Impl>()) {}

CDialog::~CDialog() = default;

bool CDialog::IsModal() const {
  return m_impl->modal;
}

bool CDialog::Create() {
  if (m_hWnd != nullptr) return false;
  m_impl->MakeControls(m_nTemplateId);
  const HWND handle = Register(*this);
  Backend::Attach(*this, handle);
  SendMessage(handle, kWmInitDialog, 0, 0);
  // OnInitDialog may have destroyed (and deleted) the dialog.
  return OwnWindow(handle) != nullptr;
}

int CDialog::DoModal() {
  if (m_hWnd != nullptr || m_impl->modal) return -1;
  m_impl->MakeControls(m_nTemplateId);
  if (m_impl->dialogTemplate == nullptr) return -1;
  posix::Terminal terminal;
  if (!terminal.Open()) {
    posix::WriteError(FormatId(FW_IDS_TERMINAL_MISSING, m_impl->dialogTemplate->caption) + "\n");
    return kIdCancel;
  }
  m_impl->modal = true;
  m_impl->ended = false;
  m_impl->result = kIdCancel;
  const HWND handle = Register(*this, false);
  Backend::Attach(*this, handle);
  SendMessage(handle, kWmInitDialog, 0, 0);
  if (!m_impl->ended) posix::AskOnTerminal(*this, *m_impl, terminal);
  const int result = m_impl->result;
  m_impl->modal = false;
  DestroyWindow();
  return result;
}

void CDialog::EndDialog(int result) {
  if (!m_impl->modal) return;
  m_impl->ended = true;
  m_impl->result = result;
}

}  // namespace fw
