// Interim front end: lists a Markdown file's heading blocks.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <exception>
#include <iostream>

#include "quillbox/outline.h"
#include "quillbox/version.h"

int main(int argc, char** argv) {
    CLI::App app{"Quillbox: section-wise Markdown editing for AI coding agents"};
    app.set_version_flag("--version", QUILLBOX_VERSION);
    app.require_subcommand(1);
    std::string file;
    auto* blocks = app.add_subcommand("blocks", "List the heading blocks of a Markdown file");
    blocks->add_option("file", file, "Markdown file")->required();
    CLI11_PARSE(app, argc, argv);
    try {
        for (const auto& b : quillbox::parse_markdown_to_blocks(file)) {
            std::cout << std::string(b.level, '#') << ' ' << b.title << "  lines=" << b.start_line
                      << '-' << b.end_line << '\n';
        }
    } catch (const std::exception& e) {
        std::cerr << "quillbox: " << e.what() << '\n';
        return 1;
    }
    return 0;
}
