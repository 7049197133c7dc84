// Prints what wsprintfA writes for fields at and past its 1,024-character
// limit, one line each. Built natively against Tavrin's wsprintfA and with
// MinGW against Windows' (Wine's user32 in scripts/test.d/61-cli-wine.sh):
// the two outputs must be the same. The returned count is left out: Wine
// returns 1024 for a full buffer, where Tavrin returns the characters written.
#include <windows.h>

#include <cstdio>
#include <string>

int main() {
    const char* string_formats[] = {"q%1056sq", "q%-1056sq", "%1100s", "%-1100s", "%1023s", "%1022s", "%s", "q%sq"};
    const int lengths[] = {3, 1021, 1022, 1023, 1025, 2000};
    const char* number_formats[] = {"%1100d", "%-1100d", "%01100d", "%.1100d", "%-.1100d", "q%-.1030d", "%1100x", "q%1100c"};
    static char out[2048];
    for (const char* format : string_formats)
        for (int length : lengths) {
            std::string arg;
            for (int i = 0; i < length; ++i) arg += static_cast<char>('a' + i % 26);
            wsprintfA(out, format, arg.c_str());
            std::printf("%s %d: %s\n", format, length, out);
        }
    for (const char* format : number_formats)
        for (int value : {12345, -77}) {
            wsprintfA(out, format, value);
            std::printf("%s %d: %s\n", format, value, out);
        }
    return 0;
}
