// wsprintfA: the conversions Win32 offers (%s %c %d %i %u %x %X %%, with the
// flags - 0 and a width and precision: a string's most characters, a
// number's fewest digits), never writing more than Win32's limit
// of 1024 characters, the terminator included. A field that reaches the limit
// is laid out as Win32 does (Wine's wsprintfA, asked with widths and strings
// past the limit): its padding gives way first, then a number's leading zeros,
// and only then is the text itself cut.
#include <windows.h>

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <string_view>

namespace {

constexpr size_t kLimit = 1024;
constexpr size_t kNoPrecision = static_cast<size_t>(-1);

class Out {
public:
    explicit Out(char* dst) : dst_(dst) {}
    void put(char c) {
        if (len_ + 1 < kLimit) dst_[len_++] = c;
    }
    void put(std::string_view s) {
        for (char c : s) put(c);
    }
    void pad(size_t n, char c) {
        for (size_t i = 0; i < n && len_ + 1 < kLimit; ++i) put(c);
    }
    size_t room() const { return kLimit - 1 - len_; }
    int finish() {
        dst_[len_] = '\0';
        return static_cast<int>(len_);
    }

private:
    char* dst_;
    size_t len_ = 0;
};

// One field: sign, `zeros` leading zeros, body, padded to `width`, within the
// room left.
void emit_field(Out& out, std::string_view body, std::string_view sign, size_t width, bool left, bool zero,
                size_t zeros = 0) {
    const size_t room = out.room();
    sign = sign.substr(0, room);
    body = body.substr(0, room - sign.size());
    zeros = std::min(zeros, room - sign.size() - body.size());
    const size_t len = body.size() + sign.size() + zeros;
    const size_t fill = std::min(width > len ? width - len : 0, room - len);
    if (left) {
        out.put(sign);
        out.pad(zeros, '0');
        out.put(body);
        out.pad(fill, ' ');
    } else if (zero) {
        out.put(sign);
        out.pad(fill + zeros, '0');
        out.put(body);
    } else {
        out.pad(fill, ' ');
        out.put(sign);
        out.pad(zeros, '0');
        out.put(body);
    }
}

// A width or precision read digit by digit; it stops growing long before it
// could overflow (every field that wide fills the buffer the same way).
size_t more_digits(size_t n, char digit) {
    constexpr size_t kMax = size_t{1} << 40;
    return n >= kMax ? n : n * 10 + static_cast<size_t>(digit - '0');
}

std::string_view to_digits(unsigned long long v, unsigned base, bool upper, char* buf, size_t cap) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    size_t i = cap;
    do {
        buf[--i] = digits[v % base];
        v /= base;
    } while (v != 0 && i > 0);
    return std::string_view(buf + i, cap - i);
}

// A number's field: at least `precision` digits (Win32 reads a precision of
// 0 as 1), and then the 0 flag pads no more, as in C.
void emit_number(Out& out, std::string_view digits, std::string_view sign, size_t width, size_t precision, bool left,
                 bool zero) {
    if (precision == kNoPrecision) {
        emit_field(out, digits, sign, width, left, zero);
        return;
    }
    emit_field(out, digits, sign, width, left, false, precision > digits.size() ? precision - digits.size() : 0);
}

}  // namespace

extern "C" int WINAPIV wsprintfA(LPSTR dst, LPCSTR fmt, ...) {
    if (dst == nullptr) return 0;
    Out out(dst);
    if (fmt == nullptr) return out.finish();
    va_list args;
    va_start(args, fmt);
    for (const char* p = fmt; *p != '\0'; ++p) {
        if (*p != '%') {
            out.put(*p);
            continue;
        }
        const char* start = p++;
        bool left = false, zero = false;
        for (;; ++p) {
            if (*p == '-') left = true;
            else if (*p == '0') zero = true;
            else break;
        }
        size_t width = 0;
        while (*p >= '0' && *p <= '9') width = more_digits(width, *p++);
        size_t precision = kNoPrecision;
        if (*p == '.') {
            ++p;
            precision = 0;
            while (*p >= '0' && *p <= '9') precision = more_digits(precision, *p++);
        }
        bool wide_int = false;
        if (*p == 'l') {
            ++p;
        } else if (*p == 'I' && p[1] == '6' && p[2] == '4') {
            wide_int = true;
            p += 3;
        }
        char buf[32];
        switch (*p) {
        case '%':
            out.put('%');
            break;
        case 'c': {
            char c = static_cast<char>(va_arg(args, int));
            emit_field(out, std::string_view(&c, 1), "", width, left, false);
            break;
        }
        case 's': {
            const char* s = va_arg(args, const char*);
            if (s == nullptr) s = "(null)";
            size_t n = 0;
            while (n < precision && s[n] != '\0' && n < kLimit) ++n;
            emit_field(out, std::string_view(s, n), "", width, left, false);
            break;
        }
        case 'd':
        case 'i': {
            long long v = wide_int ? va_arg(args, long long) : va_arg(args, int);
            unsigned long long mag = v < 0 ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
            emit_number(out, to_digits(mag, 10, false, buf, sizeof buf), v < 0 ? "-" : "", width, precision, left,
                        zero);
            break;
        }
        case 'u':
        case 'x':
        case 'X': {
            unsigned long long v = wide_int ? va_arg(args, unsigned long long) : va_arg(args, unsigned int);
            unsigned base = *p == 'u' ? 10 : 16;
            emit_number(out, to_digits(v, base, *p == 'X', buf, sizeof buf), "", width, precision, left, zero);
            break;
        }
        case '\0':
            --p;  // a lone % at the end is dropped
            break;
        default:
            // Not a conversion: the text stands as written.
            out.put(std::string_view(start, static_cast<size_t>(p - start + 1)));
            break;
        }
    }
    va_end(args);
    return out.finish();
}
