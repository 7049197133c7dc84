#include "user/rcscript.h"

#include "user/session.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <strings.h>

namespace platform {
namespace {

// Win32 constants a script may name; <windows.h> itself is not read.
struct Known {
    const char* name;
    long value;
};
constexpr Known kWin32Names[] = {
    {"WS_OVERLAPPED", WS_OVERLAPPED}, {"WS_POPUP", static_cast<long>(WS_POPUP)}, {"WS_CHILD", WS_CHILD},
    {"WS_VISIBLE", WS_VISIBLE},       {"WS_DISABLED", WS_DISABLED},   {"WS_CAPTION", WS_CAPTION},
    {"WS_BORDER", WS_BORDER},         {"WS_DLGFRAME", WS_DLGFRAME},   {"WS_SYSMENU", WS_SYSMENU},
    {"WS_THICKFRAME", WS_THICKFRAME}, {"WS_GROUP", WS_GROUP},         {"WS_TABSTOP", WS_TABSTOP},
    {"BS_PUSHBUTTON", BS_PUSHBUTTON}, {"BS_DEFPUSHBUTTON", BS_DEFPUSHBUTTON},
    {"SS_LEFT", SS_LEFT},             {"SS_CENTER", SS_CENTER},       {"DS_SETFONT", DS_SETFONT},
    {"DS_MODALFRAME", DS_MODALFRAME}, {"IDOK", IDOK},                 {"IDCANCEL", IDCANCEL},
    {"LANG_ENGLISH", 0x09},           {"SUBLANG_ENGLISH_US", 0x01},
};

struct Token {
    enum Kind { Name, Number, String, Punct, End } kind = End;
    std::string text;
    long number = 0;
    int line = 0;
};

[[noreturn]] void fail(const std::string& file, int line, const std::string& what) {
    throw std::runtime_error(file + ":" + std::to_string(line) + ": " + what);
}

std::string upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

class Reader {
public:
    explicit Reader(std::span<const RcFile> files) : files_(files) {}

    ResourceScript read(std::string_view main) {
        tokens_ = tokenize(main, true);
        statements();
        return std::move(out_);
    }

private:
    const RcFile& file(std::string_view name, const std::string& from, int line) {
        for (const auto& f : files_)
            if (f.name == name) return f;
        fail(from, line, "no file \"" + std::string(name) + "\"");
    }

    // ---- tokens and the preprocessor ----
    std::vector<Token> tokenize(std::string_view name, bool is_main) {
        const std::string fname(name);
        const RcFile& f = file(name, fname, 0);
        const std::string src(f.bytes.begin(), f.bytes.end());
        std::vector<Token> out;
        std::vector<bool> skipping;  // #ifdef / #ifndef nesting
        auto skipped = [&] { return std::find(skipping.begin(), skipping.end(), true) != skipping.end(); };
        int line = 1;
        size_t i = 0;
        bool line_start = true;
        while (i < src.size()) {
            const char c = src[i];
            if (c == '\n') { ++line; ++i; line_start = true; continue; }
            if (std::isspace(static_cast<unsigned char>(c))) { ++i; continue; }
            if (src.compare(i, 2, "//") == 0) { i = src.find('\n', i); if (i == std::string::npos) i = src.size(); continue; }
            if (src.compare(i, 2, "/*") == 0) {
                const size_t e = src.find("*/", i + 2);
                if (e == std::string::npos) fail(fname, line, "unterminated comment");
                line += static_cast<int>(std::count(src.begin() + static_cast<long>(i), src.begin() + static_cast<long>(e), '\n'));
                i = e + 2;
                continue;
            }
            if (c == '#' && line_start) {
                size_t e = src.find('\n', i);
                if (e == std::string::npos) e = src.size();
                directive(fname, line, src.substr(i + 1, e - i - 1), skipping, skipped());
                i = e;
                continue;
            }
            line_start = false;
            Token t;
            t.line = line;
            if (c == '"') {
                t.kind = Token::String;
                ++i;
                for (;;) {
                    if (i >= src.size() || src[i] == '\n') fail(fname, line, "unterminated string");
                    if (src[i] == '"') {
                        if (i + 1 < src.size() && src[i + 1] == '"') { t.text += '"'; i += 2; continue; }
                        ++i;
                        break;
                    }
                    t.text += src[i++];
                }
            } else if (std::isdigit(static_cast<unsigned char>(c))) {
                size_t used = 0;
                t.kind = Token::Number;
                t.number = std::stol(src.substr(i, 24), &used, 0);
                i += used;
                while (i < src.size() && (src[i] == 'L' || src[i] == 'l' || src[i] == 'U' || src[i] == 'u')) ++i;
            } else if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
                t.kind = Token::Name;
                while (i < src.size() && (std::isalnum(static_cast<unsigned char>(src[i])) || src[i] == '_')) t.text += src[i++];
            } else if (std::string_view("{}(),|+-").find(c) != std::string_view::npos) {
                t.kind = Token::Punct;
                t.text = std::string(1, c);
                ++i;
            } else {
                fail(fname, line, std::string("unexpected character '") + c + "'");
            }
            if (!skipped()) out.push_back(std::move(t));
        }
        if (!skipping.empty()) fail(fname, line, "#if without #endif");
        files_read_.push_back(fname);
        Token end;
        end.line = line;
        if (is_main) out.push_back(end);
        return out;
    }

    void directive(const std::string& fname, int line, const std::string& text,
                   std::vector<bool>& skipping, bool skipped) {
        std::string word;
        size_t i = 0;
        while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
        while (i < text.size() && std::isalpha(static_cast<unsigned char>(text[i]))) word += text[i++];
        while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
        std::string rest = text.substr(i);
        while (!rest.empty() && std::isspace(static_cast<unsigned char>(rest.back()))) rest.pop_back();
        if (word == "endif") {
            if (skipping.empty()) fail(fname, line, "#endif without #if");
            skipping.pop_back();
            return;
        }
        if (word == "ifdef" || word == "ifndef") {
            const bool defined = out_.defines.count(rest) != 0 || guards_.count(rest) != 0;
            skipping.push_back(word == "ifdef" ? !defined : defined);
            return;
        }
        if (skipped) return;
        if (word == "pragma") return;
        if (word == "include") {
            if (!rest.empty() && rest.front() == '<') return;  // Win32's headers: known already
            if (rest.size() < 2 || rest.front() != '"' || rest.back() != '"') fail(fname, line, "bad #include");
            const std::string inc = rest.substr(1, rest.size() - 2);
            if (std::find(files_read_.begin(), files_read_.end(), inc) != files_read_.end()) return;
            file(inc, fname, line);
            std::vector<Token> more = tokenize(inc, false);
            if (!more.empty()) fail(fname, line, "\"" + inc + "\" holds more than preprocessor lines");
            return;
        }
        if (word == "define") {
            size_t n = 0;
            while (n < rest.size() && (std::isalnum(static_cast<unsigned char>(rest[n])) || rest[n] == '_')) ++n;
            const std::string name = rest.substr(0, n);
            if (name.empty()) fail(fname, line, "#define without a name");
            std::string value = rest.substr(n);
            if (const size_t c = value.find("/*"); c != std::string::npos) value.resize(c);
            if (const size_t c = value.find("//"); c != std::string::npos) value.resize(c);
            if (value.find_first_not_of(" \t") == std::string::npos) {
                guards_.insert({name, 0});
                return;
            }
            // The value is an expression of the same kind as in the script.
            std::vector<Token> saved = std::move(tokens_);
            size_t saved_pos = pos_;
            tokens_ = expression_tokens(fname, line, value);
            pos_ = 0;
            const long v = expression(fname);
            if (tokens_[pos_].kind != Token::End) fail(fname, line, "bad value of " + name);
            tokens_ = std::move(saved);
            pos_ = saved_pos;
            out_.defines[name] = v;
            return;
        }
        fail(fname, line, "unknown directive #" + word);
    }

    std::vector<Token> expression_tokens(const std::string& fname, int line, const std::string& text) {
        std::vector<Token> out;
        size_t i = 0;
        while (i < text.size()) {
            const char c = text[i];
            Token t;
            t.line = line;
            if (std::isspace(static_cast<unsigned char>(c))) { ++i; continue; }
            if (std::isdigit(static_cast<unsigned char>(c))) {
                size_t used = 0;
                t.kind = Token::Number;
                t.number = std::stol(text.substr(i), &used, 0);
                i += used;
                while (i < text.size() && std::strchr("LlUu", text[i]) != nullptr) ++i;
            } else if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
                t.kind = Token::Name;
                while (i < text.size() && (std::isalnum(static_cast<unsigned char>(text[i])) || text[i] == '_')) t.text += text[i++];
            } else if (std::strchr("()|+-", c) != nullptr) {
                t.kind = Token::Punct;
                t.text = std::string(1, c);
                ++i;
            } else {
                fail(fname, line, std::string("unexpected character '") + c + "' in #define");
            }
            out.push_back(std::move(t));
        }
        Token end;
        end.line = line;
        out.push_back(end);
        return out;
    }

    // ---- the statements ----
    const Token& peek() const { return tokens_[pos_]; }
    const Token& next() {
        const Token& t = tokens_[pos_];
        if (t.kind != Token::End) ++pos_;
        return t;
    }
    bool is_word(const Token& t, const char* w) const { return t.kind == Token::Name && strcasecmp(t.text.c_str(), w) == 0; }
    bool is_punct(const Token& t, char c) const { return t.kind == Token::Punct && t.text[0] == c; }
    [[noreturn]] void error(const std::string& what) { fail(main_, peek().line, what); }
    void expect_punct(char c) {
        if (!is_punct(peek(), c)) error(std::string("expected '") + c + "'");
        next();
    }
    void comma() { expect_punct(','); }
    std::string string() {
        if (peek().kind != Token::String) error("expected a quoted text");
        return next().text;
    }
    void begin() {
        if (is_word(peek(), "BEGIN") || is_punct(peek(), '{')) { next(); return; }
        error("expected BEGIN");
    }
    bool end() {
        if (is_word(peek(), "END") || is_punct(peek(), '}')) { next(); return true; }
        if (peek().kind == Token::End) error("missing END");
        return false;
    }

    long term(const std::string& fname) {
        const Token& t = next();
        if (t.kind == Token::Number) return t.number;
        if (is_punct(t, '-')) return -term(fname);
        if (is_punct(t, '(')) {
            const long v = expression(fname);
            if (!is_punct(peek(), ')')) fail(fname, peek().line, "expected ')'");
            next();
            return v;
        }
        if (is_word(t, "NOT")) return ~term(fname);
        if (t.kind == Token::Name) {
            if (auto it = out_.defines.find(t.text); it != out_.defines.end()) return it->second;
            for (const auto& k : kWin32Names)
                if (t.text == k.name) return k.value;
            fail(fname, t.line, "unknown name " + t.text);
        }
        fail(fname, t.line, t.kind == Token::End ? "expected a number" : "expected a number, not '" + t.text + "'");
    }
    long expression(const std::string& fname) {
        long v = term(fname);
        for (;;) {
            if (is_punct(peek(), '|')) { next(); v |= term(fname); }
            else if (is_punct(peek(), '+')) { next(); v += term(fname); }
            else if (is_punct(peek(), '-')) { next(); v -= term(fname); }
            else return v;
        }
    }
    long number() { return expression(main_); }

    void statements() {
        while (peek().kind != Token::End) {
            if (is_word(peek(), "LANGUAGE")) {
                next();
                language_ = language();
                continue;
            }
            const Token name = next();
            if (name.kind != Token::Name && name.kind != Token::Number && name.kind != Token::String)
                fail(main_, name.line, "expected a resource name");
            const Token& type = next();
            if (is_word(type, "MENU")) menu(name);
            else if (is_word(type, "DIALOG")) dialog(name);
            else if (is_word(type, "ICON")) icon(name);
            else fail(main_, type.line, "unknown resource type " + (type.text.empty() ? "(end)" : type.text));
        }
    }

    WORD language() {
        const long primary = number();
        comma();
        const long sub = number();
        return static_cast<WORD>((sub << 10) | primary);
    }

    // A resource is named by a string (kept upper case) or by a number.
    std::string key(const Token& t, long* numeric) {
        *numeric = -1;
        if (t.kind == Token::Number) { *numeric = t.number; return {}; }
        if (t.kind == Token::Name) {
            if (auto it = out_.defines.find(t.text); it != out_.defines.end()) { *numeric = it->second; return {}; }
        }
        return upper(t.text);
    }

    void menu(const Token& name) {
        long numeric = 0;
        MenuTemplate m;
        m.name = key(name, &numeric);
        if (numeric >= 0) fail(main_, name.line, "menus are named by text here");
        begin();
        menu_items(m.items);
        if (m.items.empty()) fail(main_, name.line, "empty menu " + m.name);
        out_.menus.push_back(std::move(m));
    }
    void menu_items(std::vector<MenuNode>& items) {
        while (!end()) {
            const Token& t = next();
            MenuNode node;
            if (is_word(t, "POPUP")) {
                node.text = string();
                node.flags = MF_POPUP;
                begin();
                menu_items(node.items);
            } else if (is_word(t, "MENUITEM")) {
                if (is_word(peek(), "SEPARATOR")) {
                    next();
                    node.flags = MF_SEPARATOR;
                } else {
                    node.text = string();
                    comma();
                    node.id = static_cast<UINT>(number());
                }
            } else {
                fail(main_, t.line, "expected POPUP, MENUITEM or END");
            }
            items.push_back(std::move(node));
        }
    }

    void dialog(const Token& name) {
        DialogTemplate d;
        long numeric = 0;
        d.name = key(name, &numeric);
        if (numeric >= 0) d.name = "#" + std::to_string(numeric);
        d.language = language_;
        d.x = static_cast<int>(number());
        comma();
        d.y = static_cast<int>(number());
        comma();
        d.cx = static_cast<int>(number());
        comma();
        d.cy = static_cast<int>(number());
        d.style = WS_POPUP | WS_BORDER | WS_SYSMENU;  // a template without STYLE
        while (!is_word(peek(), "BEGIN") && !is_punct(peek(), '{')) {
            const Token& t = next();
            if (is_word(t, "STYLE")) d.style = static_cast<DWORD>(number());
            else if (is_word(t, "EXSTYLE")) d.ex_style = static_cast<DWORD>(number());
            else if (is_word(t, "CAPTION")) d.caption = string();
            else if (is_word(t, "LANGUAGE")) d.language = language();
            else if (is_word(t, "FONT")) {
                d.font_points = static_cast<int>(number());
                comma();
                d.font_face = string();
            } else fail(main_, t.line, "unknown dialog statement " + (t.text.empty() ? "(end)" : t.text));
        }
        // As the resource compiler does: a FONT statement sets DS_SETFONT.
        if (d.font_points != 0) d.style |= DS_SETFONT;
        begin();
        while (!end()) d.controls.push_back(control());
        out_.dialogs.push_back(std::move(d));
    }

    DialogControl control() {
        const Token& kind = next();
        DialogControl c;
        DWORD defaults = 0;
        if (is_word(kind, "DEFPUSHBUTTON")) { c.class_name = "button"; defaults = BS_DEFPUSHBUTTON | WS_TABSTOP; }
        else if (is_word(kind, "PUSHBUTTON")) { c.class_name = "button"; defaults = BS_PUSHBUTTON | WS_TABSTOP; }
        else if (is_word(kind, "LTEXT")) { c.class_name = "static"; defaults = SS_LEFT | WS_GROUP; }
        else if (is_word(kind, "CTEXT")) { c.class_name = "static"; defaults = SS_CENTER | WS_GROUP; }
        else if (!is_word(kind, "CONTROL")) fail(main_, kind.line, "unknown control " + (kind.text.empty() ? "(end)" : kind.text));
        c.text = string();
        comma();
        c.id = static_cast<WORD>(number());
        comma();
        if (c.class_name.empty()) {  // CONTROL text, id, class, style, x, y, cx, cy [, exstyle]
            c.class_name = string();
            for (char& ch : c.class_name) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
            comma();
            c.style = static_cast<DWORD>(number());
            comma();
        }
        c.x = static_cast<int>(number()); comma();
        c.y = static_cast<int>(number()); comma();
        c.cx = static_cast<int>(number()); comma();
        c.cy = static_cast<int>(number());
        if (is_punct(peek(), ',')) {
            next();
            if (is_word(kind, "CONTROL")) c.ex_style = static_cast<DWORD>(number());
            else {
                c.style = static_cast<DWORD>(number());
                if (is_punct(peek(), ',')) { next(); c.ex_style = static_cast<DWORD>(number()); }
            }
        }
        c.style |= defaults | WS_CHILD | WS_VISIBLE;
        return c;
    }

    void icon(const Token& name) {
        long numeric = 0;
        std::string k = key(name, &numeric);
        const int line = peek().line;
        const std::string path = string();
        const RcFile& f = file(path, main_, line);
        std::vector<std::uint8_t> bytes(f.bytes.begin(), f.bytes.end());
        // An icon directory: reserved 0, type 1, at least one image.
        if (bytes.size() < 22 || bytes[0] != 0 || bytes[1] != 0 || bytes[2] != 1 || bytes[3] != 0 ||
            (bytes[4] | bytes[5] << 8) == 0)
            fail(main_, line, "\"" + path + "\" is not an icon file");
        if (numeric >= 0) out_.icons[static_cast<UINT>(numeric)] = std::move(bytes);
        else out_.named_icons[k] = std::move(bytes);
    }

    std::span<const RcFile> files_;
    std::vector<std::string> files_read_;
    std::map<std::string, int> guards_;
    std::vector<Token> tokens_;
    size_t pos_ = 0;
    WORD language_ = 0;

public:
    std::string main_;

private:
    ResourceScript out_;
};

bool same_name(const std::string& stored_upper, LPCSTR name) {
    return name != nullptr && !IS_INTRESOURCE(name) && strcasecmp(stored_upper.c_str(), name) == 0;
}

}  // namespace

const MenuTemplate* ResourceScript::menu(LPCSTR name) const {
    for (const auto& m : menus)
        if (same_name(m.name, name)) return &m;
    return nullptr;
}

const DialogTemplate* ResourceScript::dialog(LPCSTR name) const {
    if (name == nullptr) return nullptr;
    const std::string numbered = IS_INTRESOURCE(name) ? "#" + std::to_string(reinterpret_cast<ULONG_PTR>(name)) : "";
    for (const auto& d : dialogs)
        if (same_name(d.name, name) || (!numbered.empty() && d.name == numbered)) return &d;
    return nullptr;
}

const std::vector<std::uint8_t>* ResourceScript::icon(LPCSTR name) const {
    if (name == nullptr) return nullptr;
    if (IS_INTRESOURCE(name)) {
        auto it = icons.find(static_cast<UINT>(reinterpret_cast<ULONG_PTR>(name)));
        return it == icons.end() ? nullptr : &it->second;
    }
    if (name[0] == '#') {  // "#100" names icon 100
        auto it = icons.find(static_cast<UINT>(std::strtoul(name + 1, nullptr, 10)));
        return it == icons.end() ? nullptr : &it->second;
    }
    auto it = named_icons.find(upper(name));
    return it == named_icons.end() ? nullptr : &it->second;
}

RcResult read_resource_script(std::string_view main, std::span<const RcFile> files) {
    RcResult result;
    try {
        Reader reader(files);
        reader.main_ = std::string(main);
        result.script = reader.read(main);
    } catch (const std::exception& e) {
        result.error = e.what();
    }
    return result;
}

const ResourceScript* embedded_resources() {
    static const std::optional<ResourceScript> script = [] {
        RcResult r = read_resource_script("tavrin.rc", embedded_resource_files());
        if (!r.script) std::fprintf(stderr, "resources: %s\n", r.error.c_str());
        return std::move(r.script);
    }();
    return script ? &*script : nullptr;
}

namespace {

HMENU build_menu(Session& s, const std::vector<MenuNode>& nodes) {
    auto menu = std::make_unique<Menu>();
    for (const auto& n : nodes) {
        MenuItem item;
        item.text = n.text;
        item.id = n.id;
        item.flags = n.flags;
        if (n.flags & MF_POPUP) item.popup = build_menu(s, n.items);
        menu->items.push_back(std::move(item));
    }
    return s.add_menu(std::move(menu));
}

// Icon handles carry their resource number; the script keeps the bytes.
constexpr std::uintptr_t kIconBase = 0x7A0000;
const ResourceScript* g_icon_script = nullptr;

}  // namespace

void use_resource_script(ResourceHooks& hooks, const ResourceScript* script) {
    if (script == nullptr) {
        hooks.load_menu = nullptr;
        hooks.load_icon = nullptr;
        hooks.load_dialog = nullptr;
        return;
    }
    g_icon_script = script;
    hooks.load_menu = [script](HINSTANCE, LPCSTR name) -> HMENU {
        const MenuTemplate* m = script->menu(name);
        return m != nullptr ? build_menu(session(), m->items) : nullptr;
    };
    hooks.load_dialog = [script](HINSTANCE, LPCSTR name) { return script->dialog(name); };
    hooks.load_icon = [script](HINSTANCE, LPCSTR name) -> HICON {
        if (!IS_INTRESOURCE(name) || script->icon(name) == nullptr) return nullptr;
        return to_handle<HICON>(kIconBase + reinterpret_cast<ULONG_PTR>(name));
    };
}

std::span<const std::uint8_t> icon_image(HICON icon) {
    const std::uintptr_t id = handle_id(icon);
    if (g_icon_script == nullptr || id < kIconBase || id > kIconBase + 0xFFFF) return {};
    const auto* bytes = g_icon_script->icon(MAKEINTRESOURCEA(id - kIconBase));
    return bytes != nullptr ? std::span<const std::uint8_t>(*bytes) : std::span<const std::uint8_t>();
}

}  // namespace platform
