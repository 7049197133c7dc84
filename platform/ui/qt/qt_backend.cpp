#include "ui/qt/qt_backend.h"

#include "user/input.h"
#include "user/resources.h"
#include "user/session.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QCloseEvent>
#include <QFontMetrics>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

namespace platform {
namespace {

QString from_ansi(std::string_view text) {
    return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
}

bool same_nocase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

bool same_items(const std::vector<MenuItem>& a, const std::vector<MenuItem>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const MenuItem& x, const MenuItem& y) {
        return x.text == y.text && x.id == y.id && x.flags == y.flags && x.popup == y.popup;
    });
}

// The client area: shows the text runs the window procedure drew on WM_PAINT.
class ClientArea final : public QWidget {
public:
    ClientArea(HWND hwnd, QWidget* parent) : QWidget(parent), hwnd_(hwnd) {
        setAutoFillBackground(true);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        const Window* w = session().window(hwnd_);
        if (!w) return;
        QPainter painter(this);
        painter.setFont(QApplication::font());
        const int ascent = QFontMetrics(QApplication::font()).ascent();
        // TextOutA places the top of the text cell; QPainter wants the baseline.
        for (const TextRun& run : w->drawing) painter.drawText(run.x, run.y + ascent, from_ansi(run.text));
    }

private:
    HWND hwnd_;
};

// A box or dialog has no minimize box on Windows. A window manager may offer
// one anyway (openbox does for every window but menus and toolbars); a box
// minimized away would leave its owner disabled with nothing to answer, so it
// comes straight back.
bool keep_unminimized(QWidget* window, QEvent* event) {
    if (event->type() != QEvent::WindowStateChange || !window->isMinimized()) return false;
    QTimer::singleShot(0, window, [window] {
        window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
        window->activateWindow();
    });
    return true;
}

// A top-level window or dialog. The frame's close and the dialog keys go
// through the core, which decides what they mean.
class TopWidget final : public QWidget {
public:
    TopWidget(HWND hwnd, bool dialog) : hwnd_(hwnd), dialog_(dialog) {
        if (dialog) {
            client_ = this;  // controls sit on the dialog itself
        } else {
            auto* layout = new QVBoxLayout(this);
            layout->setContentsMargins(0, 0, 0, 0);
            layout->setSpacing(0);
            bar_ = new QMenuBar(this);
            bar_->setNativeMenuBar(false);
            bar_->hide();
            layout->setMenuBar(bar_);
            client_ = new ClientArea(hwnd, this);
            layout->addWidget(client_);
        }
    }
    QWidget* client() const { return client_; }
    QMenuBar* bar() const { return bar_; }

protected:
    void closeEvent(QCloseEvent* event) override {
        event->ignore();
        if (session().is_live(hwnd_)) request_close(hwnd_);
    }
    void changeEvent(QEvent* event) override {
        if (dialog_) keep_unminimized(this, event);
        QWidget::changeEvent(event);
    }
    void keyPressEvent(QKeyEvent* event) override {
        if (dialog_) {
            const int key = event->key();
            if ((key == Qt::Key_Return || key == Qt::Key_Enter) && press_key(VK_RETURN)) return;
            if (key == Qt::Key_Escape && press_key(VK_ESCAPE)) return;
        }
        QWidget::keyPressEvent(event);
    }

private:
    HWND hwnd_;
    bool dialog_;
    QWidget* client_ = nullptr;
    QMenuBar* bar_ = nullptr;
};

// A message box that keeps Win32's rules: Enter presses the default button,
// Escape and the frame's close answer OK in a box with OK alone, and nothing
// but a button answers a Yes/No box. Its text keeps its lines as it would at
// any scale: the toolkit's own box wraps at a share of the screen, which
// halves at 2x.
class Win32Box final : public QMessageBox {
public:
    Win32Box(QWidget* parent, bool yes_no) : QMessageBox(parent), yes_no_(yes_no) {
        Qt::WindowFlags flags = Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint;
        // A Yes/No box's close button is greyed on Windows; the frame shows none.
        if (!yes_no) flags |= Qt::WindowCloseButtonHint;
        setWindowFlags(flags);
    }

    // Keeps each line of the text on one line unless it is wider than the
    // screen can hold. Call once the text is set.
    void keep_lines() {
        auto* label = findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
        if (!label) return;
        const QFontMetrics fm(label->font());
        int widest = 0;
        for (const QString& line : text().split(QLatin1Char('\n'))) widest = std::max(widest, fm.horizontalAdvance(line));
        int room = widest;
        if (const QScreen* s = screen() ? screen() : QGuiApplication::primaryScreen()) room = s->availableGeometry().width() * 3 / 4;
        label->setMinimumWidth(std::min(widest + 2, room));
    }

protected:
    void keyPressEvent(QKeyEvent* event) override {
        if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier && yes_no_) {
            event->accept();
            return;
        }
        QMessageBox::keyPressEvent(event);
    }
    void changeEvent(QEvent* event) override {
        keep_unminimized(this, event);
        QMessageBox::changeEvent(event);
    }
    void closeEvent(QCloseEvent* event) override {
        if (yes_no_) {
            event->ignore();
            return;
        }
        QMessageBox::closeEvent(event);
    }

private:
    bool yes_no_;
};

// A box or dialog that goes hands the keyboard to the box still waiting
// under it, else back to the window it was over, as Win32 activates the owner
// again; without a window manager nobody else would.
void give_back_focus(QWidget* owner) {
    if (QWidget* waiting = QApplication::activeModalWidget()) waiting->activateWindow();
    else if (owner && owner->isVisible()) owner->window()->activateWindow();
}

QIcon icon_of(const Window& w) {
    HICON icon = w.icon;
    if (!icon) {
        if (const WindowClass* cls = session().find_class(w.class_name)) icon = cls->icon;
    }
    if (!icon) return {};
    const auto bytes = icon_image(icon);
    QPixmap pixmap;
    if (bytes.empty() || !pixmap.loadFromData(bytes.data(), static_cast<uint>(bytes.size()), "ICO")) return {};
    return QIcon(pixmap);
}

}  // namespace

QtBackend::QtBackend()
    : dispatcher_(QAbstractEventDispatcher::instance(QCoreApplication::instance()->thread())),
      deadline_timer_(std::make_unique<QTimer>()) {
    deadline_timer_->setSingleShot(true);
    deadline_timer_->setTimerType(Qt::PreciseTimer);
    // Connections and deferred calls that reach `this` die with it.
    QObject::connect(qApp, &QGuiApplication::applicationStateChanged, &lifetime_, [this] { on_state_changed(); });
}

QtBackend::~QtBackend() {
    for (auto& [id, box] : boxes_) {
        if (box.widget) box.widget->deleteLater();
    }
    for (auto& [hwnd, widget] : widgets_) {
        if (widget && widget->isWindow()) widget->deleteLater();
    }
    flush_deferred_deletes();
}

void QtBackend::flush_deferred_deletes() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void QtBackend::wait(Ms deadline) {
    if (woken_.exchange(false)) return;
    if (deadline != kNoDeadline) {
        const Ms left = deadline - clock_.now();
        if (left <= Ms::zero()) {
            QCoreApplication::processEvents(QEventLoop::AllEvents);
            flush_deferred_deletes();
            return;
        }
        deadline_timer_->start(static_cast<int>(std::min<Ms::rep>(left.count(), 24 * 3600 * 1000)));
    }
    // A wake() from another thread makes the dispatcher return at once.
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    deadline_timer_->stop();
    flush_deferred_deletes();
    woken_.store(false);
}

void QtBackend::wake() {
    woken_.store(true);
    if (dispatcher_) dispatcher_->wakeUp();
}

int QtBackend::show_box(const BoxRequest& request) {
    const int id = next_box_++;
    // Owned by its owner's window, so that the window manager keeps it over it.
    QWidget* owner = widget_for(request.owner);
    const bool yes_no = (request.flags & MB_TYPEMASK) == MB_YESNO;
    auto* box = new Win32Box(owner ? owner->window() : nullptr, yes_no);
    box->setWindowTitle(from_ansi(request.caption));
    QString text = from_ansi(request.text);
    text.replace(QLatin1Char('\t'), QLatin1Char(' '));
    box->setTextFormat(Qt::PlainText);
    box->setText(text);
    switch (request.flags & MB_ICONMASK) {
    case MB_ICONERROR: box->setIcon(QMessageBox::Critical); break;
    case MB_ICONWARNING: box->setIcon(QMessageBox::Warning); break;
    case MB_ICONINFORMATION: box->setIcon(QMessageBox::Information); break;
    case MB_ICONQUESTION: box->setIcon(QMessageBox::Question); break;
    default: box->setIcon(QMessageBox::NoIcon); break;
    }
    box->setStandardButtons(yes_no ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok);
    switch (default_box_button(request.flags)) {
    case IDYES: box->setDefaultButton(QMessageBox::Yes); break;
    case IDNO: box->setDefaultButton(QMessageBox::No); break;
    default: box->setDefaultButton(QMessageBox::Ok); break;
    }
    box->keep_lines();
    // The core has disabled the owner; nothing else of Tavrin takes input either.
    box->setWindowModality(Qt::ApplicationModal);
    if (const Window* top = session().window(request.owner) ? session().top_level(request.owner) : nullptr) {
        const QIcon icon = icon_of(*top);
        if (!icon.isNull()) box->setWindowIcon(icon);
    }
    boxes_[id].widget = box;
    QObject::connect(box, &QMessageBox::finished, box, [this, id, box, yes_no] {
        auto it = boxes_.find(id);
        if (it == boxes_.end()) return;
        int answer = yes_no ? IDNO : IDOK;
        if (QAbstractButton* clicked = box->clickedButton()) {
            if (clicked == box->button(QMessageBox::Yes)) answer = IDYES;
            else if (clicked == box->button(QMessageBox::No)) answer = IDNO;
            else answer = IDOK;
        }
        it->second.answer = answer;
        box->hide();
        give_back_focus(box->parentWidget());
        box->deleteLater();
        wake();
    });
    box->adjustSize();
    if (owner && owner->isVisible()) {
        const QRect frame = owner->window()->geometry();
        box->move(frame.center() - QPoint(box->width() / 2, box->height() / 2));
    } else if (QScreen* screen = QGuiApplication::primaryScreen()) {
        box->move(screen->geometry().center() - QPoint(box->width() / 2, box->height() / 2));
    }
    box->show();
    box->raise();
    box->activateWindow();
    return id;
}

std::optional<int> QtBackend::box_answer(int box_id) {
    auto it = boxes_.find(box_id);
    if (it == boxes_.end() || !it->second.answer) return std::nullopt;
    const int answer = *it->second.answer;
    boxes_.erase(it);
    return answer;
}

void QtBackend::dismiss_box(int box_id) {
    auto it = boxes_.find(box_id);
    if (it == boxes_.end()) return;
    if (QMessageBox* box = it->second.widget) {
        box->disconnect();
        box->hide();
        box->deleteLater();
    }
    boxes_.erase(it);
}

QWidget* QtBackend::widget_for(HWND hwnd) const {
    auto it = widgets_.find(hwnd);
    return it == widgets_.end() ? nullptr : it->second.data();
}

QWidget* QtBackend::client_for(HWND hwnd) const {
    QWidget* w = widget_for(hwnd);
    if (auto* top = dynamic_cast<TopWidget*>(w)) return top->client();
    return w;
}

void QtBackend::window_created(HWND hwnd) {
    const Window* w = session().window(hwnd);
    if (!w) return;
    QWidget* widget = nullptr;
    if (w->parent) {
        QWidget* parent = client_for(w->parent);
        if (!parent) return;
        if (same_nocase(w->class_name, "button")) {
            auto* button = new QPushButton(parent);
            button->setAutoDefault(false);
            button->setDefault((w->style & 0xF) == BS_DEFPUSHBUTTON);
            QObject::connect(button, &QPushButton::clicked, button, [hwnd] { click_button(hwnd); });
            widget = button;
        } else if (same_nocase(w->class_name, "static")) {
            auto* label = new QLabel(parent);
            label->setWordWrap(true);
            label->setTextFormat(Qt::PlainText);
            label->setAlignment(Qt::AlignTop | ((w->style & 0x3) == SS_CENTER ? Qt::AlignHCenter : Qt::AlignLeft));
            widget = label;
        } else {
            widget = new QWidget(parent);
        }
    } else {
        const bool dialog = w->dlg_proc != nullptr;
        auto* top = new TopWidget(hwnd, dialog);
        Qt::WindowFlags flags = (dialog ? Qt::Dialog : Qt::Window) | Qt::CustomizeWindowHint | Qt::WindowTitleHint;
        // Without a system menu a Win32 frame has no close, minimise or maximise box.
        if (w->style & WS_SYSMENU) flags |= Qt::WindowCloseButtonHint;
        top->setWindowFlags(flags);
        if (dialog) {
            top->setWindowModality(Qt::ApplicationModal);
            // Its controls, created next, take the font its units came from.
            if (dialog_font_) top->setFont(*dialog_font_);
            dialog_font_.reset();
        }
        widget = top;
    }
    widgets_[hwnd] = widget;
    if (!w->parent && w->menu) build_menu_bar(hwnd);
    sync(hwnd);
}

void QtBackend::window_destroyed(HWND hwnd) {
    bars_.erase(hwnd);
    auto it = widgets_.find(hwnd);
    if (it == widgets_.end()) return;
    QPointer<QWidget> widget = it->second;
    widgets_.erase(it);
    if (!widget) return;
    const Window* w = session().window(hwnd);
    QWidget* owner = w && widget->isWindow() && widget->isVisible() ? widget_for(w->owner) : nullptr;
    // Possibly inside a handler of this very widget (a menu's triggered): hide now, delete later.
    widget->hide();
    give_back_focus(owner);
    widget->deleteLater();
}

void QtBackend::window_changed(HWND hwnd) { sync(hwnd); }

void QtBackend::sync(HWND hwnd) {
    const Window* w = session().window(hwnd);
    QWidget* widget = widget_for(hwnd);
    if (!w || !widget) return;
    const QString text = from_ansi(w->text);
    const int width = w->rect.right - w->rect.left;
    const int height = w->rect.bottom - w->rect.top;
    if (auto* button = dynamic_cast<QPushButton*>(widget)) {
        button->setText(text);
        button->setGeometry(w->rect.left, w->rect.top, width, height);
    } else if (auto* label = dynamic_cast<QLabel*>(widget)) {
        label->setText(text);
        label->setGeometry(w->rect.left, w->rect.top, width, height);
    } else if (widget->isWindow()) {
        widget->setWindowTitle(text);
        const QIcon icon = icon_of(*w);
        if (!icon.isNull()) widget->setWindowIcon(icon);
        widget->setFixedSize(std::max(width, 1), std::max(height, 1));
        widget->move(w->rect.left, w->rect.top);
    } else {
        widget->setGeometry(w->rect.left, w->rect.top, width, height);
    }
    // A top-level window is disabled only while a box or dialog is up over it;
    // that one is modal in the toolkit too, and a greyed-out window behind it
    // would not look like a Win32 owner. Its input is refused by the core anyway.
    if (!widget->isWindow()) widget->setEnabled(w->enabled);
    const bool visible = w->visible && !w->iconic;
    if (widget->isWindow()) {
        if (w->visible && w->iconic) widget->showMinimized();
        else if (visible && !widget->isVisible()) {
            widget->show();
            widget->raise();
            widget->activateWindow();
            // Showing a main window activates the application, as in Win32. A
            // box shown before it (the start-up warning) may have made the
            // toolkit report the application active while no window of ours
            // existed to hear it; Win32 would have deactivated it when that box
            // went, so the window hears both, in that order.
            if (w->owner == nullptr && w->dlg_proc == nullptr) {
                set_app_active(false);
                set_app_active(true);
            }
        } else if (!visible && widget->isVisible()) {
            widget->hide();
            give_back_focus(widget_for(w->owner));
        }
    } else {
        widget->setVisible(visible);
    }
}

void QtBackend::window_raised(HWND hwnd) {
    QWidget* widget = widget_for(hwnd);
    if (!widget) return;
    QWidget* top = widget->window();
    if (top->isMinimized()) top->showNormal();
    top->show();
    top->raise();
    top->activateWindow();
}

void QtBackend::menu_changed(HWND hwnd) {
    // Menus are filled from the model each time they show, so only a change of
    // the bar's own items needs a new bar. Rebuilding for anything else would
    // throw away the menu that is opening: WM_INITMENU, sent while a menu is
    // about to show, sets the port menus' check marks.
    const Window* w = session().window(hwnd);
    const Menu* menu = w && w->menu ? session().menu(w->menu) : nullptr;
    const auto built = bars_.find(hwnd);
    if (built != bars_.end() && menu && same_items(built->second, menu->items)) return;
    // Never rebuild under an open menu (its handler may be running).
    if (QApplication::activePopupWidget()) return;
    build_menu_bar(hwnd);
}

void QtBackend::build_menu_bar(HWND hwnd) {
    auto* top = dynamic_cast<TopWidget*>(widget_for(hwnd));
    const Window* w = session().window(hwnd);
    if (!top || !top->bar() || !w) return;
    QMenuBar* bar = top->bar();
    for (QMenu* old : bar->findChildren<QMenu*>(Qt::FindDirectChildrenOnly)) old->deleteLater();
    bar->clear();
    const Menu* menu = w->menu ? session().menu(w->menu) : nullptr;
    if (!menu) {
        bars_.erase(hwnd);
        bar->hide();
        return;
    }
    bars_[hwnd] = menu->items;
    for (const MenuItem& item : menu->items) {
        if (item.flags & MF_POPUP) {
            auto* popup = new QMenu(from_ansi(item.text), bar);
            bar->addMenu(popup);
            popup->setEnabled(!(item.flags & (MF_GRAYED | MF_DISABLED)));
            const HMENU handle = item.popup;
            QObject::connect(popup, &QMenu::aboutToShow, popup, [this, hwnd, popup, handle] {
                open_menu_bar(hwnd);  // WM_INITMENU before the menu is drawn
                fill_menu(popup, hwnd, handle);
            });
            fill_menu(popup, hwnd, handle);
        } else {
            QAction* action = bar->addAction(from_ansi(item.text));
            const UINT id = static_cast<UINT>(item.id);
            QObject::connect(action, &QAction::triggered, action, [hwnd, id] { choose_menu_item(hwnd, id); });
        }
    }
    bar->show();
}

void QtBackend::fill_menu(QMenu* qmenu, HWND owner, HMENU handle) {
    for (QMenu* old : qmenu->findChildren<QMenu*>(Qt::FindDirectChildrenOnly)) old->deleteLater();
    qmenu->clear();
    const Menu* menu = session().menu(handle);
    if (!menu) return;
    for (const MenuItem& item : menu->items) {
        const bool enabled = !(item.flags & (MF_GRAYED | MF_DISABLED));
        if ((item.flags & MF_SEPARATOR) || (item.text.empty() && !(item.flags & MF_POPUP))) {
            qmenu->addSeparator();
            continue;
        }
        if (item.flags & MF_POPUP) {
            auto* sub = new QMenu(from_ansi(item.text), qmenu);
            qmenu->addMenu(sub);
            sub->setEnabled(enabled);
            fill_menu(sub, owner, item.popup);
            continue;
        }
        QAction* action = qmenu->addAction(from_ansi(item.text));
        action->setEnabled(enabled);
        if (item.flags & MF_CHECKED) {
            action->setCheckable(true);
            action->setChecked(true);
        }
        const UINT id = static_cast<UINT>(item.id);
        QObject::connect(action, &QAction::triggered, action, [owner, id] { choose_menu_item(owner, id); });
    }
}

void QtBackend::window_painted(HWND hwnd) {
    if (QWidget* client = client_for(hwnd)) client->update();
}

TEXTMETRICA QtBackend::text_metrics() {
    const QFontMetrics fm(QApplication::font());
    TEXTMETRICA tm{};
    tm.tmHeight = fm.height();
    tm.tmAscent = fm.ascent();
    tm.tmDescent = fm.descent();
    tm.tmInternalLeading = 0;
    tm.tmExternalLeading = std::max(0, fm.leading());
    tm.tmAveCharWidth = fm.averageCharWidth();
    tm.tmMaxCharWidth = fm.maxWidth();
    tm.tmWeight = 400;
    tm.tmFirstChar = 0x20;
    tm.tmLastChar = 0xFF;
    tm.tmDefaultChar = '?';
    tm.tmBreakChar = ' ';
    return tm;
}

DialogBaseUnits QtBackend::dialog_base_units(std::string_view face, int points) {
    // Windows faces ("MS Sans Serif", "MS Shell Dlg") are not installed here:
    // the desktop's own face at the template's size stands in. The units are
    // measured on that very font, and the dialog's controls are drawn in it,
    // so a text sized for its rectangle on Windows fits it here too.
    (void)face;
    QFont font = QApplication::font();
    if (points > 0) font.setPointSize(points);
    dialog_font_ = font;
    const QFontMetrics fm(font);
    const QString sample = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    DialogBaseUnits units;
    units.x = (fm.horizontalAdvance(sample) / 26 + 1) / 2;
    units.y = fm.height();
    return units;
}

void QtBackend::on_state_changed() {
    // Focus moving between Tavrin's own windows passes through "inactive" for
    // a moment: look again once the toolkit has settled.
    if (state_check_pending_) return;
    state_check_pending_ = true;
    QTimer::singleShot(100, &lifetime_, [this] {
        state_check_pending_ = false;
        set_app_active(QGuiApplication::applicationState() == Qt::ApplicationActive);
    });
}

}  // namespace platform
