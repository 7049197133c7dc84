// wsprintfA against the C library's snprintf, one conversion at a time with
// text around it, for every conversion, flag, width, precision and size
// prefix it offers. Where Win32 differs, the C result is adjusted: the
// precision 0 of a number reads as 1, and at the limit of 1024 characters a
// field's padding gives way first, then a number's leading zeros, before its
// text is cut (as Wine's wsprintfA lays it out; C cuts the output's end).
#include "fuzz/reader.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr std::size_t kLimit = 1024;

std::string literal(fuzz::Reader& in) {
    std::string s;
    for (auto c : in.text(in.byte() % 8))
        if (c != '%' && c != '\0') s += c;
    return s;
}

// What C's snprintf writes for one conversion, whole.
template <typename Arg>
std::string c_text(const std::string& conversion, Arg arg) {
    const int n = std::snprintf(nullptr, 0, conversion.c_str(), arg);
    std::string s(static_cast<std::size_t>(std::max(n, 0)) + 1, '\0');
    std::snprintf(s.data(), s.size(), conversion.c_str(), arg);
    s.resize(s.size() - 1);
    return s;
}

// A field C wrote (`field`: `content` padded, with zeros after the sign when
// `zero_pad`) laid out in `room` characters: its padding gives way, then a
// number's zeros after its sign, then its end.
std::string at_the_limit(const std::string& field, const std::string& content, std::size_t room, bool left,
                         bool zero_pad, bool number) {
    if (field.size() <= room) return field;
    const std::size_t sign = number && !content.empty() && content[0] == '-' ? 1 : 0;
    std::size_t zeros = 0;  // but the last digit
    while (number && sign + zeros + 1 < content.size() && content[sign + zeros] == '0') ++zeros;
    std::size_t pad = field.size() - content.size();
    std::size_t over = field.size() - room;
    const std::size_t less_pad = std::min(over, pad), less_zeros = std::min(over - less_pad, zeros);
    pad -= less_pad;
    over -= less_pad + less_zeros;
    std::string body = content.substr(0, sign) + content.substr(sign + less_zeros);
    body.resize(body.size() - std::min(over, body.size()));
    if (zero_pad) return body.substr(0, sign) + std::string(pad, '0') + body.substr(sign);
    const std::string fill(pad, ' ');
    return left ? body + fill : fill + body;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Reader in(data, size);
    const std::uint8_t shape = in.byte();
    const char conversion = "sc%diuxX"[in.byte() % 8];
    const bool number = std::strchr("diuxX", conversion) != nullptr;
    const bool left = shape & 1, zero = shape & 2;
    const bool has_width = shape & 4, has_precision = shape & 8;
    const unsigned width = has_width ? in.u16() % 1100 : 0;
    const unsigned precision = has_precision ? in.u16() % 1100 : 0;
    const unsigned prefix = number ? (shape >> 4) % 3 : 0;  // none, l, I64
    const std::string before = literal(in), after = literal(in);

    std::string conv = "%", c_conv = "%";
    if (conversion != '%') {
        if (left) conv += '-', c_conv += '-';
        if (zero && !(number && has_precision)) c_conv += '0';  // C drops 0 beside a number's precision
        if (zero) conv += '0';
        if (has_width) conv += std::to_string(width), c_conv += std::to_string(width);
        if (has_precision) {
            conv += '.' + std::to_string(precision);
            c_conv += '.' + std::to_string(number && precision == 0 ? 1 : precision);
        }
        conv += prefix == 1 ? "l" : prefix == 2 ? "I64" : "";
        c_conv += prefix == 2 ? "ll" : "";
    }
    conv += conversion;
    c_conv += conversion;
    const std::string format = before + conv + after, c_format = before + c_conv + after;

    char got[kLimit + 16];
    std::memset(got, 0x55, sizeof got);
    int n = 0;
    std::string want;
    const long long wide = static_cast<long long>(in.u16()) << 48 | static_cast<long long>(in.u16()) << 32 |
                           static_cast<long long>(in.u16()) << 16 | in.u16();
    const int narrow = static_cast<int>(wide);
    const std::string text(in.rest());
    const char* str = text.c_str();  // ends at the first NUL of the input's rest
    // The conversion's field as C writes it, with and without its flags and width.
    const std::string bare = conversion == '%' ? c_conv : "%" + c_conv.substr(c_conv.find_first_not_of("%-0123456789"));
    const bool zero_pad = number && zero && !left && !has_precision;
    const auto expect = [&](auto arg) {
        const std::string field = conversion == '%' ? "%" : c_text(c_conv, arg);
        const std::string content = conversion == '%' ? field : c_text(bare, arg);
        const std::size_t room = kLimit - 1 - std::min(before.size(), kLimit - 1);
        want = before + at_the_limit(field, content, room, left, zero_pad, number) + after;
        want.resize(std::min(want.size(), kLimit - 1));
    };
    switch (conversion) {
    case 's':
        n = wsprintfA(got, format.c_str(), str);
        expect(str);
        break;
    case 'c':
        n = wsprintfA(got, format.c_str(), narrow);
        expect(narrow);
        break;
    case '%':
        n = wsprintfA(got, format.c_str());
        expect(0);
        break;
    default:
        if (prefix == 2) {
            n = wsprintfA(got, format.c_str(), wide);
            expect(wide);
        } else {
            n = wsprintfA(got, format.c_str(), narrow);
            expect(narrow);
        }
        break;
    }
    if (n != static_cast<int>(want.size()) || std::memcmp(got, want.c_str(), want.size() + 1) != 0) {
        std::fprintf(stderr, "wsprintfA(\"%s\") gave %d bytes \"%.*s\"; expected (from snprintf(\"%s\")) %zu bytes \"%s\"\n",
                     format.c_str(), n, n, got, c_format.c_str(), want.size(), want.c_str());
        std::abort();
    }
    for (std::size_t i = kLimit; i < sizeof got; ++i)
        if (static_cast<unsigned char>(got[i]) != 0x55) std::abort();  // written past Win32's limit
    return 0;
}
