// The .reg reader over any text: it either refuses the file or gives a tree that the writer writes
// back in a form the reader takes again, to the same tree (the second write is the first, byte for byte).
#include "host/kernel/registry_tree.h"
#include "tests/fuzz/fuzz_support.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    const std::string text(reinterpret_cast<const char*>(Data), Size);
    std::unique_ptr<host::detail::RegKey> root;
    std::string error;
    if (!host::detail::ParseRegFile(text, "fuzz.reg", &root, &error)) {
        FUZZ_CHECK(!error.empty() && error.find('\n') == std::string::npos);
        return 0;
    }
    const std::string written = host::detail::FormatRegFile(*root);
    std::unique_ptr<host::detail::RegKey> again;
    if (!host::detail::ParseRegFile(written, "written.reg", &again, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        FUZZ_CHECK(!"the written file reads back");
    }
    FUZZ_CHECK(host::detail::FormatRegFile(*again) == written);
    return 0;
}
