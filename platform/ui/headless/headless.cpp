#include "ui/headless/headless.h"

#include "user/input.h"
#include "user/session.h"

#include <algorithm>
#include <cstdio>

namespace platform {
HeadlessBackend::HeadlessBackend(Time time) {
    if (time == Time::Virtual) {
        virtual_ = std::make_unique<VirtualClock>();
        virtual_->set_on_schedule([this] { wake(); });
    } else {
        real_ = std::make_unique<RealClock>();
    }
}

HeadlessBackend::~HeadlessBackend() {
    if (virtual_) virtual_->set_on_schedule({});
}

Clock& HeadlessBackend::clock() {
    if (virtual_) return *virtual_;
    return *real_;
}

void HeadlessBackend::wake() {
    {
        std::lock_guard lock(mutex_);
        woken_ = true;
    }
    cv_.notify_all();
}

Ms HeadlessBackend::earliest_answer() const {
    Ms t = kNoDeadline;
    for (const auto& p : pending_) t = std::min(t, p.at);
    return t;
}

bool HeadlessBackend::run_step_if_ready(Ms deadline) {
    if (steps_.empty()) return false;
    if (steps_.front().quiet) {
        const bool quiet = deadline == kNoDeadline && earliest_answer() == kNoDeadline &&
                           (!virtual_ || virtual_->next_event() == kNoDeadline);
        if (!quiet) return false;
    }
    auto fn = std::move(steps_.front().fn);
    steps_.pop_front();
    fn();
    return true;
}

void HeadlessBackend::stall() {
    stalled_ = true;
    std::fputs("headless: the program waits for input that no script will give; ending it\n", stderr);
    session().post_quit(0);
}

void HeadlessBackend::wait(Ms deadline) {
    {
        std::lock_guard lock(mutex_);
        if (woken_) {
            woken_ = false;
            return;
        }
    }
    if (virtual_ && virtual_->run_due()) return;
    if (run_step_if_ready(deadline)) return;

    Ms target = std::min(deadline, earliest_answer());
    if (virtual_) {
        target = std::min(target, virtual_->next_event());
        if (target != kNoDeadline) {
            virtual_->advance_to(target);
            virtual_->run_due();
            return;
        }
        // Nothing on the clock: only another thread can still post.
        std::unique_lock lock(mutex_);
        if (cv_.wait_for(lock, stall_limit_, [this] { return woken_; })) {
            woken_ = false;
            return;
        }
        lock.unlock();
        stall();
        return;
    }
    std::unique_lock lock(mutex_);
    if (target == kNoDeadline) cv_.wait(lock, [this] { return woken_; });
    else cv_.wait_until(lock, real_->to_real(target), [this] { return woken_; });
    woken_ = false;
}

int HeadlessBackend::show_box(const BoxRequest& box) {
    BoxRecord record;
    record.id = next_box_++;
    record.owner = box.owner;
    record.text = box.text;
    record.caption = box.caption;
    record.flags = box.flags;
    record.shown_at = clock().now();
    boxes_.push_back(record);

    BoxReply reply;
    if (!scripted_) {
        std::fprintf(stderr, "[box \"%s\"] %s\n", box.caption.c_str(), box.text.c_str());
    } else if (!box_handlers_.empty()) {
        auto handler = std::move(box_handlers_.front());
        box_handlers_.pop_front();
        reply = handler(record);
    }
    if (!reply.stay_open) {
        const int button = reply.button != 0 ? reply.button : default_box_button(box.flags);
        pending_.push_back(Pending{record.id, button, record.shown_at + reply.delay});
    }
    return record.id;
}

std::optional<int> HeadlessBackend::box_answer(int box_id) {
    auto rec = std::find_if(boxes_.begin(), boxes_.end(), [&](const BoxRecord& b) { return b.id == box_id; });
    if (rec == boxes_.end()) return std::nullopt;
    if (rec->answer) return rec->answer;
    const Ms now = clock().now();
    auto p = std::find_if(pending_.begin(), pending_.end(),
                          [&](const Pending& x) { return x.box_id == box_id && x.at <= now; });
    if (p == pending_.end()) return std::nullopt;
    rec->answer = p->button;
    rec->answered_at = now;
    pending_.erase(p);
    return rec->answer;
}

void HeadlessBackend::dismiss_box(int box_id) {
    std::erase_if(pending_, [&](const Pending& p) { return p.box_id == box_id; });
}

void HeadlessBackend::answer_box(int box_id, int button) {
    dismiss_box(box_id);
    pending_.push_back(Pending{box_id, button, clock().now()});
    wake();
}

std::vector<BoxRecord> HeadlessBackend::open_boxes() const {
    std::vector<BoxRecord> out;
    for (const auto& b : boxes_)
        if (!b.answer) out.push_back(b);
    return out;
}

void HeadlessBackend::window_changed(HWND hwnd) {
    if (!activate_on_show_) return;
    Session& s = session();
    Window* w = s.window(hwnd);
    if (w == nullptr || w->parent != nullptr || !w->visible || w->iconic || w->destroying) return;
    if (!s.app_active()) set_app_active(true);
}

bool HeadlessBackend::draw_text(HWND hwnd, int x, int y, std::string_view text) {
    if (text_budget_ == 0) return false;
    if (text_budget_ > 0) --text_budget_;
    drawn_.push_back(DrawRecord{hwnd, x, y, std::string(text)});
    return true;
}

TEXTMETRICA HeadlessBackend::text_metrics() {
    TEXTMETRICA tm{};
    tm.tmHeight = 16;
    tm.tmAscent = 13;
    tm.tmDescent = 3;
    tm.tmInternalLeading = 3;
    tm.tmExternalLeading = 0;
    tm.tmAveCharWidth = 7;
    tm.tmMaxCharWidth = 14;
    tm.tmWeight = 400;
    tm.tmFirstChar = 0x20;
    tm.tmLastChar = 0xFF;
    tm.tmDefaultChar = '?';
    tm.tmBreakChar = ' ';
    return tm;
}

void HeadlessBackend::on_box(std::function<BoxReply(const BoxRecord&)> handler) {
    scripted_ = true;
    box_handlers_.push_back(std::move(handler));
}

void HeadlessBackend::when_idle(std::function<void()> step) {
    scripted_ = true;
    steps_.push_back(Step{false, std::move(step)});
    wake();
}

void HeadlessBackend::when_quiet(std::function<void()> step) {
    scripted_ = true;
    steps_.push_back(Step{true, std::move(step)});
    wake();
}

void HeadlessBackend::after(Ms delay, std::function<void()> fn) {
    scripted_ = true;
    if (virtual_) virtual_->schedule(virtual_->now() + delay, std::move(fn));
}

HeadlessBackend* headless() { return dynamic_cast<HeadlessBackend*>(&session().backend()); }

}  // namespace platform
