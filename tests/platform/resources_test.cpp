// The resource script as the portable build reads it, and the menus and
// dialog boxes built from it.
#include "resources/resource.h"
#include "ui/headless/headless.h"
#include "user/input.h"
#include "user/rcscript.h"
#include "user/session.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

namespace {

using platform::RcFile;

std::span<const std::uint8_t> bytes(const std::string& s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

std::string read_error(const std::string& script, const std::string& header = "#define IDX 5\n") {
    const RcFile files[] = {{"t.rc", bytes(script)}, {"ids.h", bytes(header)}};
    auto r = platform::read_resource_script("t.rc", files);
    EXPECT_FALSE(r.script.has_value());
    return r.error;
}

TEST(ResourceScript, MenuBarOfTheRealScript) {
    const auto* rc = platform::embedded_resources();
    ASSERT_NE(rc, nullptr);
    const auto* m = rc->menu("tavrinmenu");
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(m->items.size(), 4u);
    const char* popups[] = {"&File", "&Inputs", "&Outputs", "&Help"};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(m->items[i].text, popups[i]);
        EXPECT_EQ(m->items[i].flags, static_cast<UINT>(MF_POPUP));
    }
    EXPECT_EQ(m->items[0].items[0].text, "E&xit");
    EXPECT_EQ(m->items[0].items[0].id, 201u);
    EXPECT_EQ(m->items[1].items[0].text, "");
    EXPECT_EQ(m->items[1].items[0].id, 101u);
    EXPECT_EQ(m->items[2].items[0].text, "");
    EXPECT_EQ(m->items[2].items[0].id, 107u);
    const auto& help = m->items[3].items;
    ASSERT_EQ(help.size(), 3u);
    EXPECT_EQ(help[0].text, "&Tavrin Help");
    EXPECT_EQ(help[0].id, 700u);
    EXPECT_EQ(help[1].flags, static_cast<UINT>(MF_SEPARATOR));
    EXPECT_EQ(help[2].text, "&About Tavrin...");
    EXPECT_EQ(help[2].id, 701u);
    EXPECT_EQ(rc->menu("NoSuchMenu"), nullptr);
}

struct Ctl {
    const char* cls;
    WORD id;
    DWORD style;
    int x, y, cx, cy;
    const char* text;
};

void expect_dialog(const platform::DialogTemplate* d, const char* caption, RECT r, const std::vector<Ctl>& want) {
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->caption, caption);
    EXPECT_EQ(d->style, 0x90C800C0u);
    EXPECT_EQ(d->ex_style, 0u);
    EXPECT_EQ(d->x, r.left);
    EXPECT_EQ(d->y, r.top);
    EXPECT_EQ(d->cx, r.right);
    EXPECT_EQ(d->cy, r.bottom);
    EXPECT_EQ(d->font_points, 8);
    EXPECT_EQ(d->font_face, "MS Sans Serif");
    EXPECT_EQ(d->language, 0x0409);
    ASSERT_EQ(d->controls.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        const auto& c = d->controls[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(c.class_name, want[i].cls);
        EXPECT_EQ(c.id, want[i].id);
        EXPECT_EQ(c.style, want[i].style);
        EXPECT_EQ(c.x, want[i].x);
        EXPECT_EQ(c.y, want[i].y);
        EXPECT_EQ(c.cx, want[i].cx);
        EXPECT_EQ(c.cy, want[i].cy);
        if (want[i].text != nullptr) {
            EXPECT_EQ(c.text, want[i].text);
        }
    }
}

TEST(ResourceScript, HelpAndAboutBoxesOfTheRealScript) {
    const auto* rc = platform::embedded_resources();
    ASSERT_NE(rc, nullptr);
    expect_dialog(rc->dialog("TAVRINHELPBOX"), "Tavrin Help", RECT{0, 0, 332, 82},
                  {{"button", 1, 0x50010001, 140, 60, 50, 14, "OK"},
                   {"static", 0xFFFF, 0x50020000, 5, 25, 310, 10,
                    "and output ports from the Input and Output menus.  The selected ports will have a checkmark "},
                   {"static", 75, 0x50020000, 5, 35, 318, 8,
                    "beside them. Send the test data from the input port to the output port by pressing the "
                    "\"Test\" button. "},
                   {"static", 0xFFFF, 0x50020000, 5, 45, 324, 10,
                    "Press the \"Cancel\" button to discontinue a test for any reason.  "},
                   {"static", 0xFFFF, 0x50020000, 5, 5, 325, 8,
                    "This program sends a MIDI message from the selected output port to the selected input "
                    "port.  The "},
                   {"static", 0xFFFF, 0x50020000, 5, 15, 325, 8,
                    "program then verifies the data and communicates the result to the user.  Select the desired "
                    "MIDI input"}});
    expect_dialog(rc->dialog("aboutbox"), "About Tavrin", RECT{22, 17, 149, 76},
                  {{"static", 0xFFFF, 0x50020001, 1, 5, 147, 8, nullptr},
                   {"static", 0xFFFF, 0x50020001, 1, 14, 147, 8, nullptr},
                   {"static", 0xFFFF, 0x50020001, 0, 20, 147, 8, "Version 1.1"},
                   {"button", 1, 0x50030001, 60, 55, 32, 15, "OK"},
                   {"static", 0xFFFF, 0x50020001, 0, 30, 145, 8, nullptr},
                   {"static", 0xFFFF, 0x50020001, 0, 40, 145, 8, nullptr}});
    const auto* icon = rc->icon(MAKEINTRESOURCEA(IDI_TAVRIN));
    ASSERT_NE(icon, nullptr);
    // One 32x32 image of 16 colours at 4 bits per pixel.
    EXPECT_EQ((*icon)[4], 1);
    EXPECT_EQ((*icon)[6], 32);
    EXPECT_EQ((*icon)[7], 32);
    EXPECT_EQ((*icon)[8], 16);
    EXPECT_EQ((*icon)[12], 4);
    EXPECT_EQ(rc->defines.at("IDM_OUTPUT_FIRST"), IDM_OUTPUT_FIRST);
}

TEST(ResourceScript, ErrorsNameTheLine) {
    EXPECT_EQ(read_error("#include \"ids.h\"\nM MENU\nBEGIN\n  MENUITEM \"a\" IDX\nEND\n"), "t.rc:4: expected ','");
    EXPECT_EQ(read_error("M MENU\nBEGIN\n  MENUITEM \"a\", NOPE\nEND\n"), "t.rc:3: unknown name NOPE");
    EXPECT_EQ(read_error("M MENU\nBEGIN\n  MENUITEM \"a, 1\nEND\n"), "t.rc:3: unterminated string");
    EXPECT_EQ(read_error("\n\nM MENU\nBEGIN\n  POPUP \"a\"\n  BEGIN\n"), "t.rc:7: missing END");
    EXPECT_EQ(read_error("D DIALOG 0, 0, 1\nBEGIN\nEND\n"), "t.rc:2: expected ','");
    EXPECT_EQ(read_error("D DIALOG 0,0,1,1\nBEGIN\n RTEXT \"x\", 1, 0,0,1,1\nEND\n"), "t.rc:3: unknown control RTEXT");
    EXPECT_EQ(read_error("#include \"missing.h\"\n"), "t.rc:1: no file \"missing.h\"");
    EXPECT_EQ(read_error("1 ICON \"ids.h\"\n"), "t.rc:1: \"ids.h\" is not an icon file");
    EXPECT_EQ(read_error("X BITMAP \"b.bmp\"\n"), "t.rc:1: unknown resource type BITMAP");
    EXPECT_EQ(read_error("#include \"ids.h\"\n", "#define A (1 |\n"), "ids.h:1: expected a number");
}

TEST(ResourceScript, ControlStatementAndStyleExpressions) {
    const std::string rc =
        "#include \"ids.h\"\n"
        "D DIALOG 1, 2, 3, 4\nSTYLE WS_POPUP | WS_CAPTION\n"
        "BEGIN\n  CONTROL \"Go\", IDX + 1, \"Button\", BS_PUSHBUTTON | WS_TABSTOP, 5, 6, 7, 8\n"
        "  LTEXT \"t\", -1, 0, 0, 1, 1, NOT WS_GROUP\nEND\n";
    const std::string header = "#ifndef G\n#define G\n#define IDX 5\n#endif\n";
    const RcFile files[] = {{"t.rc", bytes(rc)}, {"ids.h", bytes(header)}};
    auto r = platform::read_resource_script("t.rc", files);
    ASSERT_TRUE(r.script) << r.error;
    const auto* d = r.script->dialog("d");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->style, static_cast<DWORD>(WS_POPUP | WS_CAPTION));
    EXPECT_EQ(d->controls[0].class_name, "button");
    EXPECT_EQ(d->controls[0].id, 6);
    EXPECT_EQ(d->controls[0].style, static_cast<DWORD>(WS_CHILD | WS_VISIBLE | WS_TABSTOP));
    EXPECT_EQ(d->controls[1].id, 0xFFFF);
}

// ---- menus and dialogs on a window --------------------------------------

std::vector<MSG>* g_seen = nullptr;
LRESULT CALLBACK main_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (g_seen != nullptr && (msg == WM_INITMENU || msg == WM_COMMAND || msg == WM_TIMER))
        g_seen->push_back(MSG{hwnd, msg, wp, lp, 0, {0, 0}});
    if (msg == WM_TIMER) KillTimer(hwnd, wp);  // one tick is enough
    return DefWindowProcA(hwnd, msg, wp, lp);
}

class Ui : public ::testing::Test {
protected:
    void SetUp() override {
        auto backend = std::make_unique<platform::HeadlessBackend>(platform::HeadlessBackend::Time::Virtual);
        backend->set_activate_on_show(false);
        hb = backend.get();
        platform::install_backend(std::move(backend));
        g_seen = &seen;
        WNDCLASSA wc{};
        wc.lpfnWndProc = main_proc;
        wc.lpszClassName = "UiTest";
        wc.lpszMenuName = "TavrinMenu";
        ASSERT_NE(RegisterClassA(&wc), 0);
        hwnd = CreateWindowExA(0, "UiTest", "ui", 0, 10, 20, 400, 300, nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(hwnd, nullptr);
        ShowWindow(hwnd, SW_SHOWNORMAL);
        bar = GetMenu(hwnd);
        ASSERT_NE(bar, nullptr);
    }
    void TearDown() override {
        g_seen = nullptr;
        platform::install_backend(std::make_unique<platform::HeadlessBackend>());
    }
    void pump() {
        MSG m;
        while (!platform::session().queue().empty() && GetMessageA(&m, nullptr, 0, 0)) DispatchMessageA(&m);
    }
    platform::HeadlessBackend* hb = nullptr;
    HWND hwnd = nullptr;
    HMENU bar = nullptr;
    std::vector<MSG> seen;
};

TEST_F(Ui, MenuCallsByCommandAndByPosition) {
    HMENU inputs = GetSubMenu(bar, 1);
    ASSERT_NE(inputs, nullptr);
    EXPECT_EQ(GetSubMenu(bar, 4), nullptr);
    EXPECT_TRUE(ModifyMenuA(bar, IDM_INPUT_FIRST, MF_BYCOMMAND | MF_STRING, IDM_INPUT_FIRST, "Port A"));
    EXPECT_TRUE(AppendMenuA(inputs, MF_STRING, IDM_INPUT_FIRST + 1, "Port B"));
    char text[32];
    EXPECT_EQ(GetMenuStringA(inputs, 1, text, sizeof text, MF_BYPOSITION), 6);
    EXPECT_STREQ(text, "Port B");
    // By command the search reaches into the popups; Win32's results.
    EXPECT_EQ(CheckMenuItem(bar, IDM_INPUT_FIRST + 1, MF_BYCOMMAND | MF_CHECKED), 0u);
    EXPECT_EQ(CheckMenuItem(bar, IDM_INPUT_FIRST + 1, MF_BYCOMMAND | MF_UNCHECKED), static_cast<DWORD>(MF_CHECKED));
    EXPECT_EQ(CheckMenuItem(bar, 999, MF_BYCOMMAND | MF_CHECKED), static_cast<DWORD>(-1));
    EXPECT_EQ(CheckMenuItem(inputs, 0, MF_BYPOSITION | MF_CHECKED), 0u);
    EXPECT_EQ(GetMenuState(bar, IDM_INPUT_FIRST, MF_BYCOMMAND), static_cast<UINT>(MF_CHECKED));
    EXPECT_EQ(EnableMenuItem(bar, IDM_EXIT, MF_BYCOMMAND | MF_GRAYED), MF_ENABLED);
    EXPECT_EQ(EnableMenuItem(bar, IDM_EXIT, MF_BYCOMMAND | MF_ENABLED), MF_GRAYED);
    EXPECT_EQ(EnableMenuItem(bar, 999, MF_BYCOMMAND), -1);
    EXPECT_EQ(GetMenuItemCount(GetSubMenu(bar, 3)), 3);
    EXPECT_FALSE(ModifyMenuA(bar, 998, MF_BYCOMMAND, 998, "x"));
}

TEST_F(Ui, InitMenuBeforeTheBarOpensAndChoosingPostsTheCommand) {
    EXPECT_TRUE(platform::open_menu_bar(hwnd));
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].message, static_cast<UINT>(WM_INITMENU));
    EXPECT_EQ(seen[0].wParam, reinterpret_cast<WPARAM>(bar));
    seen.clear();
    EXPECT_TRUE(platform::choose_menu_item(hwnd, IDM_ABOUT));
    EXPECT_TRUE(seen.empty());  // posted, not sent
    pump();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].message, static_cast<UINT>(WM_COMMAND));
    EXPECT_EQ(seen[0].wParam, static_cast<WPARAM>(IDM_ABOUT));
}

TEST_F(Ui, SeparatorsPlaceholdersGrayedItemsAndADisabledWindowAreNotChosen) {
    seen.clear();
    EXPECT_FALSE(platform::choose_menu_item(hwnd, IDM_INPUT_FIRST));  // empty text: a separator
    EXPECT_FALSE(platform::choose_menu_item(hwnd, 0));                // the Help separator
    EnableMenuItem(bar, IDM_HELP, MF_BYCOMMAND | MF_GRAYED);
    EXPECT_FALSE(platform::choose_menu_item(hwnd, IDM_HELP));
    EXPECT_FALSE(platform::choose_menu_item(hwnd, 4242));
    ModifyMenuA(bar, IDM_INPUT_FIRST, MF_BYCOMMAND | MF_STRING, IDM_INPUT_FIRST, "Port A");
    EnableWindow(hwnd, FALSE);
    EXPECT_FALSE(platform::choose_menu_item(hwnd, IDM_INPUT_FIRST));
    EXPECT_FALSE(platform::open_menu_bar(hwnd));
    EnableWindow(hwnd, TRUE);
    EXPECT_TRUE(platform::choose_menu_item(hwnd, IDM_INPUT_FIRST));
    pump();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].wParam, static_cast<WPARAM>(IDM_INPUT_FIRST));
}

std::vector<std::pair<UINT, WPARAM>>* g_dlg = nullptr;
INT_PTR CALLBACK ok_only_proc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp) {
    (void)lp;
    if (g_dlg != nullptr && (msg == WM_INITDIALOG || msg == WM_COMMAND)) g_dlg->push_back({msg, wp});
    if (msg == WM_COMMAND && LOWORD(wp) == IDOK) {
        EndDialog(dlg, 1);
        return TRUE;
    }
    return FALSE;
}

TEST_F(Ui, DialogFromTheTemplateIsModalAndOnlyOkEndsIt) {
    std::vector<std::pair<UINT, WPARAM>> dlg;
    g_dlg = &dlg;
    HWND seen_dialog = nullptr;
    bool owner_disabled = false;
    SetTimer(hwnd, 7, 500, nullptr);
    hb->when_quiet([&] {
        seen_dialog = platform::session().active_modal();
        platform::Window* d = platform::session().window(seen_dialog);
        ASSERT_NE(d, nullptr);
        EXPECT_TRUE(d->visible);
        EXPECT_EQ(d->text, "About Tavrin");
        // 22, 17 dialog units from the owner at base units 6 x 13.
        EXPECT_EQ(d->rect.left, 10 + 33);
        EXPECT_EQ(d->rect.top, 20 + 27);
        HWND ok = GetDlgItem(seen_dialog, IDOK);
        ASSERT_NE(ok, nullptr);
        EXPECT_EQ(platform::session().window(ok)->rect.left, 90);  // 60 units
        owner_disabled = !IsWindowEnabled(hwnd);
        EXPECT_TRUE(platform::press_key(VK_ESCAPE));
        platform::request_close(seen_dialog);
    });
    hb->when_quiet([&] {
        EXPECT_NE(platform::session().active_modal(), nullptr);  // Escape and Close left it up
        EXPECT_TRUE(platform::press_key(VK_RETURN));
    });
    seen.clear();
    const INT_PTR result = DialogBoxParamA(nullptr, "aboutbox", hwnd, ok_only_proc, 42);
    g_dlg = nullptr;
    EXPECT_EQ(result, 1);
    EXPECT_TRUE(owner_disabled);
    EXPECT_TRUE(IsWindowEnabled(hwnd));
    EXPECT_FALSE(IsWindow(seen_dialog));
    ASSERT_EQ(dlg.size(), 4u);
    EXPECT_EQ(dlg[0].first, static_cast<UINT>(WM_INITDIALOG));
    EXPECT_EQ(dlg[1].second, static_cast<WPARAM>(MAKEWPARAM(IDCANCEL, BN_CLICKED)));  // Escape
    EXPECT_EQ(dlg[2].second, static_cast<WPARAM>(MAKEWPARAM(IDCANCEL, BN_CLICKED)));  // Close
    EXPECT_EQ(dlg[3].second, static_cast<WPARAM>(MAKEWPARAM(IDOK, BN_CLICKED)));      // Enter
    // The owner's timer kept firing inside the dialog's loop.
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen[0].message, static_cast<UINT>(WM_TIMER));
}

TEST_F(Ui, OkButtonClickEndsTheHelpBoxAndAMissingTemplateShowsNothing) {
    hb->when_quiet([&] {
        HWND d = platform::session().active_modal();
        EXPECT_TRUE(platform::click_button(GetDlgItem(d, IDOK)));
    });
    EXPECT_EQ(DialogBoxParamA(nullptr, "TavrinHelpBox", hwnd, ok_only_proc, 0), 1);
    const size_t windows = platform::session().windows().size();
    EXPECT_EQ(DialogBoxParamA(nullptr, "NoSuchBox", hwnd, ok_only_proc, 0), -1);
    EXPECT_EQ(platform::session().windows().size(), windows);
    EXPECT_TRUE(IsWindowEnabled(hwnd));
}

}  // namespace
