#pragma once
// The blockops suites: most keep every log record, down to debug; the structural
// operations' suites drop them.

#include "common/fixture.h"
#include "host/tools.h"

namespace qbtest {

// `s` `n` times over.
inline std::string repeat(std::string_view s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

class Project : public ProjectTest {
protected:
    Project() : ProjectTest("qb-blockops-", Logs::capture) {}
};

class StructureTest : public ProjectTest {
protected:
    StructureTest() : ProjectTest("qb-structure-", Logs::discard) {}
};

// The structural suites that call every tool through the host's tool table, with the
// project's session in the tool context.
class ToolsTest : public StructureTest {
protected:
    void SetUp() override {
        StructureTest::SetUp();
        quillbox::host::register_all_tools(registry);
        ctx.session = session.get();
    }

    quillbox::host::ToolRegistry registry;
    quillbox::host::ToolContext ctx;
};

}  // namespace qbtest
