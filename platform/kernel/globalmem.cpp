// Global memory blocks. A movable block is known by a handle of its own and
// its address stays fixed from lock to unlock (it never actually moves here).
#include "kernel/kernel.h"

#include <windows.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

namespace platform {
namespace {

struct Block {
    std::unique_ptr<std::byte[]> data;
    std::size_t size = 0;
    unsigned locks = 0;
    bool movable = false;
};

class GlobalHeap {
public:
    HGLOBAL alloc(UINT flags, std::size_t size) {
        std::lock_guard lock(mutex_);
        if (fail_alloc_) {
            fail_alloc_ = false;
            return nullptr;
        }
        Block b;
        b.movable = (flags & GMEM_MOVEABLE) != 0;
        b.size = size;
        if (size > 0 || !b.movable) {
            // Always zero-filled: GMEM_ZEROINIT is what Tavrin asks, and stale
            // bytes are never worth handing out.
            b.data = std::make_unique<std::byte[]>(size > 0 ? size : 1);
        }
        std::uintptr_t key;
        if (b.movable) {
            key = next_handle_;
            next_handle_ += 8;
        } else {
            key = reinterpret_cast<std::uintptr_t>(b.data.get());
        }
        blocks_.emplace(key, std::move(b));
        return reinterpret_cast<HGLOBAL>(key);
    }

    void* lock(HGLOBAL h) {
        std::lock_guard guard(mutex_);
        auto it = blocks_.find(reinterpret_cast<std::uintptr_t>(h));
        if (it == blocks_.end() || it->second.data == nullptr) return nullptr;
        if (fail_lock_) {
            fail_lock_ = false;
            return nullptr;
        }
        if (it->second.movable) ++it->second.locks;
        return it->second.data.get();
    }

    BOOL unlock(HGLOBAL h) {
        std::lock_guard guard(mutex_);
        auto it = blocks_.find(reinterpret_cast<std::uintptr_t>(h));
        if (it == blocks_.end() || it->second.locks == 0) return FALSE;
        return --it->second.locks > 0 ? TRUE : FALSE;
    }

    HGLOBAL free(HGLOBAL h) {
        if (h == nullptr) return nullptr;
        std::lock_guard guard(mutex_);
        return blocks_.erase(reinterpret_cast<std::uintptr_t>(h)) != 0 ? nullptr : h;
    }

    void fail_next_alloc() {
        std::lock_guard guard(mutex_);
        fail_alloc_ = true;
    }
    void fail_next_lock() {
        std::lock_guard guard(mutex_);
        fail_lock_ = true;
    }
    std::size_t in_use() {
        std::lock_guard guard(mutex_);
        return blocks_.size();
    }

private:
    std::mutex mutex_;
    std::map<std::uintptr_t, Block> blocks_;
    std::uintptr_t next_handle_ = 0x40008;
    bool fail_alloc_ = false;
    bool fail_lock_ = false;
};

GlobalHeap& heap() {
    static GlobalHeap h;
    return h;
}

}  // namespace

void fail_next_global_alloc() { heap().fail_next_alloc(); }
void fail_next_global_lock() { heap().fail_next_lock(); }
std::size_t global_blocks_in_use() { return heap().in_use(); }

HINSTANCE module_instance() { return reinterpret_cast<HINSTANCE>(static_cast<std::uintptr_t>(0x400000)); }

}  // namespace platform

extern "C" {

HGLOBAL WINAPI GlobalAlloc(UINT flags, SIZE_T bytes) { return platform::heap().alloc(flags, bytes); }
LPVOID WINAPI GlobalLock(HGLOBAL h) { return platform::heap().lock(h); }
BOOL WINAPI GlobalUnlock(HGLOBAL h) { return platform::heap().unlock(h); }
HGLOBAL WINAPI GlobalFree(HGLOBAL h) { return platform::heap().free(h); }

}  // extern "C"
