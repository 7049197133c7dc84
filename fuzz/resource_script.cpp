// The resource-script reader on any script text, beside the program's own
// header and icon: it answers a script or one error line, never crashes.
#include "user/rcscript.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto embedded = platform::embedded_resource_files();
    std::vector<platform::RcFile> files(embedded.begin(), embedded.end());
    const platform::RcFile* script = nullptr;
    for (auto& f : files)
        if (f.name.ends_with(".rc")) {
            f.bytes = std::span(data, size);
            script = &f;
        }
    if (script == nullptr) std::abort();
    const platform::RcResult result = platform::read_resource_script(script->name, files);
    if (result.script.has_value() == !result.error.empty()) {
        std::fprintf(stderr, "resource script: a script and an error, or neither\n");
        std::abort();
    }
    return 0;
}
