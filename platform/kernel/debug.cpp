// Debugger output goes to stderr, and is kept for tests to read.
#include "kernel/kernel.h"

#include <windows.h>

#include <cstdio>
#include <mutex>

namespace platform {
namespace {

struct DebugLog {
    std::mutex mutex;
    std::string text;
};

DebugLog& log() {
    static DebugLog l;
    return l;
}

}  // namespace

std::string debug_output() {
    std::lock_guard lock(log().mutex);
    return log().text;
}

void clear_debug_output() {
    std::lock_guard lock(log().mutex);
    log().text.clear();
}

}  // namespace platform

extern "C" void WINAPI OutputDebugStringA(LPCSTR text) {
    if (text == nullptr) return;
    auto& l = platform::log();
    std::lock_guard lock(l.mutex);
    l.text += text;
    std::fputs(text, stderr);
}
