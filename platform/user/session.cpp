#include "user/session.h"

#include "ui/headless/headless.h"
#include "user/instance.h"

#include <algorithm>
#include <atomic>
#include <strings.h>

namespace platform {

// ---- MessageQueue ----------------------------------------------------------

void MessageQueue::post(const MSG& msg, std::function<void()> on_retrieve) {
    std::lock_guard lock(mutex_);
    messages_.push_back(Entry{msg, std::move(on_retrieve)});
}

bool MessageQueue::pop(MSG& out) {
    Entry entry;
    {
        std::lock_guard lock(mutex_);
        if (messages_.empty()) return false;
        entry = std::move(messages_.front());
        messages_.pop_front();
    }
    if (entry.on_retrieve) entry.on_retrieve();
    out = entry.msg;
    return true;
}

bool MessageQueue::empty() const {
    std::lock_guard lock(mutex_);
    return messages_.empty();
}

void MessageQueue::clear() {
    std::lock_guard lock(mutex_);
    messages_.clear();
}

// ---- Timers ----------------------------------------------------------------

UINT_PTR Timers::set(HWND hwnd, UINT_PTR id, Ms period, Ms now) {
    if (hwnd == nullptr) id = next_anonymous_++;
    auto it = std::find_if(timers_.begin(), timers_.end(),
                           [&](const Timer& t) { return t.hwnd == hwnd && t.id == id; });
    if (it != timers_.end()) timers_.erase(it);
    timers_.push_back(Timer{hwnd, id, period, now + period});
    return id;
}

bool Timers::kill(HWND hwnd, UINT_PTR id) {
    auto it = std::find_if(timers_.begin(), timers_.end(),
                           [&](const Timer& t) { return t.hwnd == hwnd && t.id == id; });
    if (it == timers_.end()) return false;
    timers_.erase(it);
    return true;
}

void Timers::kill_all(HWND hwnd) {
    std::erase_if(timers_, [&](const Timer& t) { return t.hwnd == hwnd; });
}

bool Timers::take_due(Ms now, Timer& out) {
    auto it = std::min_element(timers_.begin(), timers_.end(),
                               [](const Timer& a, const Timer& b) { return a.due < b.due; });
    if (it == timers_.end() || it->due > now) return false;
    out = *it;
    // One pending WM_TIMER at most: the next tick counts from this one's retrieval.
    it->due = now + it->period;
    return true;
}

Ms Timers::next_due() const {
    Ms next = kNoDeadline;
    for (const auto& t : timers_) next = std::min(next, t.due);
    return next;
}

// ---- Session ---------------------------------------------------------------

Session::Session(std::unique_ptr<UiBackend> backend) : backend_(std::move(backend)) {}

Session::~Session() {
    // Windows go without messages: the process or the test is ending.
    for (auto& [id, w] : windows_) {
        instance_window_destroyed(w->hwnd);
        if (!w->message_only) backend_->window_destroyed(w->hwnd);
    }
}

bool Session::register_class(const WindowClass& cls) {
    if (cls.name.empty() || find_class(cls.name) != nullptr) return false;
    classes_.push_back(cls);
    return true;
}

const WindowClass* Session::find_class(std::string_view name) const {
    for (const auto& c : classes_) {
        if (c.name.size() == name.size() && strncasecmp(c.name.c_str(), name.data(), name.size()) == 0)
            return &c;
    }
    return nullptr;
}

HWND Session::add_window(std::unique_ptr<Window> window) {
    std::uintptr_t id = next_window_;
    next_window_ += 4;
    HWND hwnd = to_handle<HWND>(id);
    window->hwnd = hwnd;
    windows_[id] = std::move(window);
    std::lock_guard lock(live_mutex_);
    live_.insert(id);
    return hwnd;
}

Window* Session::window(HWND hwnd) {
    auto it = windows_.find(handle_id(hwnd));
    return it == windows_.end() ? nullptr : it->second.get();
}

bool Session::is_live(HWND hwnd) const {
    std::lock_guard lock(live_mutex_);
    return live_.count(handle_id(hwnd)) != 0;
}

void Session::remove_window(HWND hwnd) {
    {
        std::lock_guard lock(live_mutex_);
        live_.erase(handle_id(hwnd));
    }
    timers_.kill_all(hwnd);
    if (focus_ == hwnd) focus_ = nullptr;
    windows_.erase(handle_id(hwnd));
}

std::vector<HWND> Session::windows() const {
    std::vector<HWND> out;
    for (const auto& [id, w] : windows_) out.push_back(w->hwnd);
    return out;
}

std::vector<HWND> Session::children(HWND parent) const {
    std::vector<HWND> out;
    for (const auto& [id, w] : windows_)
        if (w->parent == parent) out.push_back(w->hwnd);
    return out;
}

Window* Session::top_level(HWND hwnd) {
    Window* w = window(hwnd);
    while (w != nullptr && w->parent != nullptr) w = window(w->parent);
    return w;
}

HMENU Session::add_menu(std::unique_ptr<Menu> menu) {
    std::uintptr_t id = next_menu_;
    next_menu_ += 4;
    menus_[id] = std::move(menu);
    return to_handle<HMENU>(id);
}

Menu* Session::menu(HMENU handle) {
    auto it = menus_.find(handle_id(handle));
    return it == menus_.end() ? nullptr : it->second.get();
}

void Session::remove_menu_tree(HMENU handle) {
    Menu* m = menu(handle);
    if (m == nullptr) return;
    std::vector<HMENU> popups;
    for (const auto& item : m->items)
        if (item.popup != nullptr) popups.push_back(item.popup);
    menus_.erase(handle_id(handle));
    for (HMENU p : popups) remove_menu_tree(p);
}

void Session::post_quit(int code) {
    quit_pending_ = true;
    quit_code_ = code;
}

LRESULT Session::send(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    Window* w = window(hwnd);
    if (w == nullptr || w->proc == nullptr) return 0;
    WNDPROC proc = w->proc;
    return proc(hwnd, msg, wp, lp);
}

bool Session::take_paint(MSG& out) {
    for (const auto& [id, w] : windows_) {
        if (w->needs_paint && w->visible && !w->destroying) {
            out = MSG{w->hwnd, WM_PAINT, 0, 0, 0, {0, 0}};
            return true;
        }
    }
    return false;
}

bool Session::next_message(MSG& out, const std::function<bool()>& stop) {
    for (;;) {
        if (stop && stop()) return false;
        if (queue_.pop(out)) return true;
        if (quit_pending_) {
            quit_pending_ = false;
            out = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(quit_code_), 0, 0, {0, 0}};
            return true;
        }
        if (take_paint(out)) return true;
        Timers::Timer due{};
        if (timers_.take_due(clock().now(), due)) {
            out = MSG{due.hwnd, WM_TIMER, due.id, 0, static_cast<DWORD>(clock().now().count()), {0, 0}};
            return true;
        }
        backend_->wait(timers_.next_due());
    }
}

bool Session::modal_loop(const std::function<bool()>& done) {
    MSG msg{};
    while (next_message(msg, done)) {
        if (msg.message == WM_QUIT) {
            post_quit(static_cast<int>(msg.wParam));
            return false;
        }
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return true;
}

HWND Session::active_modal() const {
    HWND found = nullptr;
    for (const auto& [id, w] : windows_)
        if (w->dlg_proc != nullptr && !w->dialog_ended && !w->destroying) found = w->hwnd;
    return found;
}

void Session::notify_changed(HWND hwnd) { backend_->window_changed(hwnd); }

// ---- the process's session -------------------------------------------------

namespace {
std::unique_ptr<Session>& session_slot() {
    static std::unique_ptr<Session> slot;
    return slot;
}
std::atomic<Session*> g_current{nullptr};
}  // namespace

Session& session() {
    Session* s = g_current.load(std::memory_order_acquire);
    if (s != nullptr) return *s;
    install_backend(std::make_unique<HeadlessBackend>());
    return *g_current.load(std::memory_order_acquire);
}

Session* current_session() { return g_current.load(std::memory_order_acquire); }

std::shared_mutex& posting_mutex() {
    static std::shared_mutex mutex;
    return mutex;
}

void install_backend(std::unique_ptr<UiBackend> backend) {
    auto& slot = session_slot();
    std::unique_ptr<Session> old;
    {
        std::unique_lock lock(posting_mutex());
        g_current.store(nullptr, std::memory_order_release);
        old = std::move(slot);
    }
    // Destroyed outside the lock: its windows' services join threads that may post.
    old.reset();
    auto fresh = std::make_unique<Session>(std::move(backend));
    std::unique_lock lock(posting_mutex());
    slot = std::move(fresh);
    g_current.store(slot.get(), std::memory_order_release);
}

}  // namespace platform
