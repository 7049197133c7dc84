// Observation and fault injection for the kernel subset, for tests and tools.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

namespace platform {

// Everything written with OutputDebugStringA since the last clear.
std::string debug_output();
void clear_debug_output();

// The next GlobalAlloc / GlobalLock fails, once.
void fail_next_global_alloc();
void fail_next_global_lock();
// Blocks currently allocated with GlobalAlloc.
std::size_t global_blocks_in_use();

// The instance handle of the program's module.
HINSTANCE module_instance();

}  // namespace platform
