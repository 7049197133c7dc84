// Device contexts and text output. A window's context draws into the window's
// display list (Window::drawing); the backend shows that list.
#include "user/session.h"

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>

namespace platform {
namespace {

struct DeviceContext {
    HWND window = nullptr;  // null: the display (CreateDCA)
    bool from_paint = false;
};

class DcTable {
public:
    HDC add(DeviceContext dc) {
        std::lock_guard lock(mutex_);
        std::uintptr_t id = next_;
        next_ += 4;
        table_[id] = dc;
        return to_handle<HDC>(id);
    }
    bool find(HDC hdc, DeviceContext& out) {
        std::lock_guard lock(mutex_);
        auto it = table_.find(handle_id(hdc));
        if (it == table_.end()) return false;
        out = it->second;
        return true;
    }
    bool remove(HDC hdc) {
        std::lock_guard lock(mutex_);
        return table_.erase(handle_id(hdc)) != 0;
    }

private:
    std::mutex mutex_;
    std::map<std::uintptr_t, DeviceContext> table_;
    std::uintptr_t next_ = 0x30010;
};

DcTable& dcs() {
    static DcTable table;
    return table;
}

}  // namespace
}  // namespace platform

using platform::DeviceContext;
using platform::dcs;
using platform::session;

extern "C" {

BOOL WINAPI InvalidateRect(HWND hwnd, const RECT* rect, BOOL erase) {
    (void)rect;  // the whole client area is repainted
    platform::Session& s = session();
    platform::Window* w = s.window(hwnd);
    if (w == nullptr) return FALSE;
    w->needs_paint = true;
    if (erase) w->erase = true;
    s.backend().wake();
    return TRUE;
}

HDC WINAPI BeginPaint(HWND hwnd, LPPAINTSTRUCT ps) {
    platform::Session& s = session();
    platform::Window* w = s.window(hwnd);
    if (w == nullptr || ps == nullptr) return nullptr;
    *ps = PAINTSTRUCT{};
    ps->fErase = FALSE;  // the background was erased already
    ps->rcPaint = RECT{0, 0, w->rect.right - w->rect.left, w->rect.bottom - w->rect.top};
    if (w->erase) w->drawing.clear();
    w->needs_paint = false;
    w->erase = false;
    ps->hdc = dcs().add(DeviceContext{hwnd, true});
    return ps->hdc;
}

BOOL WINAPI EndPaint(HWND hwnd, const PAINTSTRUCT* ps) {
    if (ps == nullptr) return FALSE;
    dcs().remove(ps->hdc);
    platform::Session& s = session();
    if (s.window(hwnd) != nullptr) s.backend().window_painted(hwnd);
    return TRUE;
}

HDC WINAPI GetDC(HWND hwnd) {
    if (hwnd != nullptr && session().window(hwnd) == nullptr) return nullptr;
    return dcs().add(DeviceContext{hwnd, false});
}

int WINAPI ReleaseDC(HWND hwnd, HDC hdc) {
    DeviceContext dc;
    if (!dcs().find(hdc, dc) || dc.window != hwnd || dc.from_paint) return 0;
    dcs().remove(hdc);
    platform::Session& s = session();
    if (hwnd != nullptr && s.window(hwnd) != nullptr) s.backend().window_painted(hwnd);
    return 1;
}

HDC WINAPI CreateDCA(LPCSTR driver, LPCSTR device, LPCSTR port, const void* mode) {
    (void)device;
    (void)port;
    (void)mode;
    if (driver == nullptr || std::strcmp(driver, "DISPLAY") != 0) return nullptr;
    return dcs().add(DeviceContext{nullptr, false});
}

BOOL WINAPI DeleteDC(HDC hdc) {
    DeviceContext dc;
    if (!dcs().find(hdc, dc) || dc.window != nullptr) return FALSE;
    return dcs().remove(hdc) ? TRUE : FALSE;
}

BOOL WINAPI GetTextMetricsA(HDC hdc, LPTEXTMETRICA tm) {
    DeviceContext dc;
    if (tm == nullptr || !dcs().find(hdc, dc)) return FALSE;
    *tm = session().backend().text_metrics();
    return TRUE;
}

BOOL WINAPI TextOutA(HDC hdc, int x, int y, LPCSTR text, int count) {
    DeviceContext dc;
    if (!dcs().find(hdc, dc) || count < 0 || (text == nullptr && count > 0)) return FALSE;
    if (dc.window == nullptr) return TRUE;  // the display itself shows nothing of ours
    platform::Session& s = session();
    platform::Window* w = s.window(dc.window);
    if (w == nullptr) return FALSE;
    std::string line(text != nullptr ? text : "", static_cast<size_t>(count));
    if (!s.backend().draw_text(dc.window, x, y, line)) return FALSE;
    w->drawing.push_back(platform::TextRun{x, y, std::move(line)});
    return TRUE;
}

HGDIOBJ WINAPI GetStockObject(int index) {
    if (index != WHITE_BRUSH) return nullptr;
    return reinterpret_cast<HGDIOBJ>(static_cast<std::uintptr_t>(0x1900010));
}

}  // extern "C"
