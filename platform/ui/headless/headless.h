// The headless UI backend: no display. It records every box and every text
// drawn, answers boxes from a script that a test installs, and runs on real
// time or on a virtual clock.
//
// Without a script it runs on real time and answers each box with its
// default button after writing the box to stderr, so a program linked against
// it runs unattended.
#pragma once

#include "ui/backend.h"
#include "ui/clock.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace platform {

struct BoxRecord {
    int id = 0;
    HWND owner = nullptr;
    std::string text;
    std::string caption;
    UINT flags = 0;
    Ms shown_at{0};
    std::optional<int> answer;
    Ms answered_at{0};
};

// How the script answers one box: `button` (0: the default button) once
// `delay` has passed on the backend's clock; `stay_open` leaves the box up
// until answer_box() is called.
struct BoxReply {
    int button = 0;
    Ms delay{0};
    bool stay_open = false;
};

struct DrawRecord {
    HWND window = nullptr;
    int x = 0;
    int y = 0;
    std::string text;
};

class HeadlessBackend final : public UiBackend {
public:
    enum class Time { Real, Virtual };
    explicit HeadlessBackend(Time time = Time::Real);
    ~HeadlessBackend() override;

    Clock& clock() override;
    void wait(Ms deadline) override;
    void wake() override;
    int show_box(const BoxRequest& box) override;
    std::optional<int> box_answer(int box_id) override;
    void dismiss_box(int box_id) override;
    void window_changed(HWND hwnd) override;
    bool draw_text(HWND hwnd, int x, int y, std::string_view text) override;
    TEXTMETRICA text_metrics() override;

    // ---- the script ----
    // Each new box takes the next handler; with none left, its default button.
    void on_box(std::function<BoxReply(const BoxRecord&)> handler);
    // Steps run one at a time, in order. An idle step runs as soon as the
    // program has no message ready; a quiet step only once nothing at all is
    // scheduled (no timer, no clock event, no pending answer), that is when
    // the program would otherwise wait for the user.
    void when_idle(std::function<void()> step);
    void when_quiet(std::function<void()> step);
    // Runs fn when the clock has advanced by `delay` (virtual clock only).
    void after(Ms delay, std::function<void()> fn);
    // Boxes are answered silently (default button, nothing on stderr) even
    // before any handler or step is installed.
    void set_scripted() { scripted_ = true; }
    // Answers a box that the script left open.
    void answer_box(int box_id, int button);

    const std::vector<BoxRecord>& boxes() const { return boxes_; }
    std::vector<BoxRecord> open_boxes() const;
    const std::vector<DrawRecord>& drawn() const { return drawn_; }
    // The next TextOutA calls succeed `n` more times, then fail (-1: never fail).
    void fail_text_after(int n) { text_budget_ = n; }
    // True when the program waited with nothing that could ever wake it; the
    // backend then ended the program with WM_QUIT.
    bool stalled() const { return stalled_; }
    // How long a virtual-clock program may wait on other threads, with nothing
    // scheduled, before it counts as stalled.
    void set_stall_limit(Ms limit) { stall_limit_ = limit; }
    // Whether showing a top-level window activates the application (as a
    // window manager would); on by default.
    void set_activate_on_show(bool on) { activate_on_show_ = on; }
    bool is_virtual() const { return virtual_ != nullptr; }
    VirtualClock* virtual_clock() { return virtual_.get(); }

private:
    struct Step {
        bool quiet;
        std::function<void()> fn;
    };
    struct Pending {
        int box_id;
        int button;
        Ms at;
    };
    bool scripted() const { return scripted_; }
    Ms earliest_answer() const;
    bool run_step_if_ready(Ms deadline);
    void stall();

    std::unique_ptr<RealClock> real_;
    std::unique_ptr<VirtualClock> virtual_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool woken_ = false;

    bool scripted_ = false;
    std::deque<std::function<BoxReply(const BoxRecord&)>> box_handlers_;
    std::deque<Step> steps_;
    std::vector<BoxRecord> boxes_;
    std::vector<Pending> pending_;
    std::vector<DrawRecord> drawn_;
    int text_budget_ = -1;
    int next_box_ = 1;
    bool stalled_ = false;
    Ms stall_limit_{5000};
    bool activate_on_show_ = true;
};

// The session's backend as a headless one, or null.
HeadlessBackend* headless();

}  // namespace platform
