// The desktop backend: shows the Win32 model of platform/user on Qt 6 Widgets
// and turns what the user does into the core's input calls. UI thread only,
// except wake().
#pragma once

#include "ui/backend.h"
#include "ui/clock.h"
#include "user/session.h"

#include <QFont>
#include <QObject>
#include <QPointer>

#include <atomic>
#include <map>
#include <memory>
#include <optional>
#include <vector>

class QAbstractEventDispatcher;
class QMenu;
class QMessageBox;
class QTimer;
class QWidget;

namespace platform {

class QtBackend final : public UiBackend {
public:
    // Needs the QApplication to exist already.
    QtBackend();
    ~QtBackend() override;

    Clock& clock() override { return clock_; }
    void wait(Ms deadline) override;
    void wake() override;

    int show_box(const BoxRequest& box) override;
    std::optional<int> box_answer(int box_id) override;
    void dismiss_box(int box_id) override;

    void window_created(HWND hwnd) override;
    void window_destroyed(HWND hwnd) override;
    void window_changed(HWND hwnd) override;
    void window_raised(HWND hwnd) override;
    void menu_changed(HWND hwnd) override;
    void window_painted(HWND hwnd) override;
    TEXTMETRICA text_metrics() override;
    DialogBaseUnits dialog_base_units(std::string_view face, int points) override;

    // Deletes what deleteLater left behind; Tavrin's loop is not QEventLoop::exec.
    static void flush_deferred_deletes();

private:
    struct Box {
        QPointer<QMessageBox> widget;
        std::optional<int> answer;
    };

    QWidget* widget_for(HWND hwnd) const;
    QWidget* client_for(HWND hwnd) const;
    void sync(HWND hwnd);
    void build_menu_bar(HWND hwnd);
    void fill_menu(QMenu* menu, HWND owner, HMENU handle);
    void on_state_changed();

    QObject lifetime_;
    RealClock clock_;
    QAbstractEventDispatcher* dispatcher_ = nullptr;
    std::unique_ptr<QTimer> deadline_timer_;
    std::atomic<bool> woken_{false};
    std::map<HWND, QPointer<QWidget>> widgets_;  // top-level windows and controls
    std::optional<QFont> dialog_font_;  // of the dialog being created, from its template
    std::map<HWND, std::vector<MenuItem>> bars_;  // the bar items each menu bar was built from
    std::map<int, Box> boxes_;
    int next_box_ = 1;
    bool state_check_pending_ = false;
};

}  // namespace platform
