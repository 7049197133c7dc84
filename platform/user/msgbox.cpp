// Modal message boxes: shown by the backend, waited for in a nested loop that
// keeps dispatching the thread's messages.
#include "user/instance.h"
#include "user/session.h"

#include <windows.h>

#include <optional>
#include <vector>

namespace platform {

int default_box_button(UINT flags) {
    const bool second = (flags & MB_DEFMASK) == MB_DEFBUTTON2;
    switch (flags & MB_TYPEMASK) {
    case MB_YESNO:
        return second ? IDNO : IDYES;
    case MB_OKCANCEL:
        return second ? IDCANCEL : IDOK;
    default:
        return IDOK;
    }
}

namespace {

// What a box answers when WM_QUIT takes it down: the choice that commits to nothing.
int answer_on_quit(UINT flags) {
    switch (flags & MB_TYPEMASK) {
    case MB_YESNO:
        return IDNO;
    case MB_OKCANCEL:
        return IDCANCEL;
    default:
        return IDOK;
    }
}

// Disables what a modal box keeps from input; gives it back on destruction.
class ModalGuard {
public:
    ModalGuard(Session& s, HWND owner, bool task_modal) {
        if (owner != nullptr) {
            if (Window* top = s.top_level(owner)) disable(top->hwnd);
        } else if (task_modal) {
            for (HWND hwnd : s.windows()) {
                Window* w = s.window(hwnd);
                if (w != nullptr && w->parent == nullptr) disable(hwnd);
            }
        }
    }
    ~ModalGuard() {
        for (HWND hwnd : disabled_) EnableWindow(hwnd, TRUE);
    }
    ModalGuard(const ModalGuard&) = delete;
    ModalGuard& operator=(const ModalGuard&) = delete;

private:
    void disable(HWND hwnd) {
        if (IsWindowEnabled(hwnd)) {
            EnableWindow(hwnd, FALSE);
            disabled_.push_back(hwnd);
        }
    }
    std::vector<HWND> disabled_;
};

}  // namespace
}  // namespace platform

extern "C" int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    platform::Session& s = platform::session();
    // Another instance's window cannot own our box: it is shown unowned, and
    // that window is asked to come to the front beside it.
    if (platform::is_remote_window(owner)) {
        platform::raise_remote_window(owner);
        owner = nullptr;
    }
    if (owner != nullptr && s.window(owner) == nullptr) return 0;
    platform::BoxRequest box{owner, text != nullptr ? text : "", caption != nullptr ? caption : "Error", type};
    platform::ModalGuard guard(s, owner, (type & MB_TASKMODAL) != 0);
    const int id = s.backend().show_box(box);
    std::optional<int> answer;
    s.modal_loop([&] {
        answer = s.backend().box_answer(id);
        return answer.has_value();
    });
    if (!answer) {
        s.backend().dismiss_box(id);
        answer = platform::answer_on_quit(type);
    }
    return *answer;
}
