// The `quillbox` program. The Write hook runs before every Write an agent makes, and
// `--version` is asked by scripts: both are answered here with the few libraries they need.
// Every other command loads the rest of the program (libquillbox_cli) and runs there.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>

#include "host/hook.h"
#include "host/revision.h"
#include "quillbox/version.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* CLI_LIBRARY = "libquillbox_cli.so." QUILLBOX_VERSION_MAJOR_TEXT;

// `hook pre-tool-use` with at most a --root, in any order: the root given (empty for none);
// nothing for any other command line, which the whole program answers.
std::optional<std::string> hook_root(int argc, char** argv) {
    if (argc < 3 || std::string_view(argv[1]) != "hook") return std::nullopt;
    bool pre = false;
    std::string root;
    for (int i = 2; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (a == "pre-tool-use" && !pre) {
            pre = true;
        } else if (a == "--root" && i + 1 < argc) {
            root = argv[++i];
        } else if (a.starts_with("--root=")) {
            root = std::string(a.substr(7));
        } else {
            return std::nullopt;
        }
    }
    if (!pre) return std::nullopt;
    return root;
}

// The rest of the program: beside this one in the build tree (../lib), or in its private
// library folder once installed (../lib/quillbox); else wherever the loader finds it.
void* open_cli() {
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        for (const fs::path& dir : {exe.parent_path() / ".." / "lib" / "quillbox", exe.parent_path() / ".." / "lib"}) {
            const fs::path lib = dir / CLI_LIBRARY;
            if (fs::exists(lib, ec))
                if (void* h = ::dlopen(lib.c_str(), RTLD_NOW | RTLD_LOCAL)) return h;
        }
    }
    return ::dlopen(CLI_LIBRARY, RTLD_NOW | RTLD_LOCAL);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::string_view(argv[1]) == "--version") {
        std::cout << "quillbox " << QUILLBOX_VERSION << " (revision " << quillbox::source_revision() << ")\n";
        return 0;
    }
    if (auto root = hook_root(argc, argv)) {
        try {
            return quillbox::host::run_pre_tool_use_hook(*root);
        } catch (const std::exception& e) {
            std::cerr << "quillbox: " << e.what() << "\n";
            return 1;
        }
    }
    void* cli = open_cli();
    if (!cli) {
        std::cerr << "quillbox: cannot load the program library " << CLI_LIBRARY << ": " << ::dlerror() << "\n";
        return 127;
    }
    using Main = int (*)(int, char**);
    auto run = reinterpret_cast<Main>(::dlsym(cli, "quillbox_cli_main"));
    if (!run) {
        std::cerr << "quillbox: " << CLI_LIBRARY << " has no entry point: " << ::dlerror() << "\n";
        return 127;
    }
    return run(argc, argv);
}
