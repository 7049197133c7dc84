// wsprintfA against the C library's snprintf, one conversion at a time with
// text around it, for every conversion, flag, width, precision and size
// prefix it offers. Only where Win32 documents a difference (the precision 0
// of a number, which Win32 reads as 1) is the C format adjusted.
#include "fuzz/reader.h"

#include <windows.h>

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
    char want[kLimit];
    int n = 0, c_n = 0;
    const long long wide = static_cast<long long>(in.u16()) << 48 | static_cast<long long>(in.u16()) << 32 |
                           static_cast<long long>(in.u16()) << 16 | in.u16();
    const int narrow = static_cast<int>(wide);
    const std::string text(in.rest());
    const char* str = text.c_str();  // ends at the first NUL of the input's rest
    switch (conversion) {
    case 's':
        n = wsprintfA(got, format.c_str(), str);
        c_n = std::snprintf(want, sizeof want, c_format.c_str(), str);
        break;
    case 'c':
        n = wsprintfA(got, format.c_str(), narrow);
        c_n = std::snprintf(want, sizeof want, c_format.c_str(), narrow);
        break;
    case '%':
        n = wsprintfA(got, format.c_str());
        c_n = std::snprintf(want, sizeof want, c_format.c_str(), 0);
        break;
    default:
        if (prefix == 2) {
            n = wsprintfA(got, format.c_str(), wide);
            c_n = std::snprintf(want, sizeof want, c_format.c_str(), wide);
        } else {
            n = wsprintfA(got, format.c_str(), narrow);
            c_n = std::snprintf(want, sizeof want, c_format.c_str(), narrow);
        }
        break;
    }
    const int expected = c_n < static_cast<int>(kLimit) ? c_n : static_cast<int>(kLimit) - 1;
    if (n != expected || std::memcmp(got, want, static_cast<std::size_t>(n) + 1) != 0) {
        std::fprintf(stderr, "wsprintfA(\"%s\") gave %d bytes \"%.*s\"; snprintf(\"%s\") %d bytes \"%.*s\"\n",
                     format.c_str(), n, n, got, c_format.c_str(), expected, expected, want);
        std::abort();
    }
    for (std::size_t i = kLimit; i < sizeof got; ++i)
        if (static_cast<unsigned char>(got[i]) != 0x55) std::abort();  // written past Win32's limit
    return 0;
}
