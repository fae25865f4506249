#pragma once
// The blockops suites: most keep every log record, down to debug; the structural
// operations' suites drop them.

#include "common/fixture.h"

namespace qbtest {

class Project : public ProjectTest {
protected:
    Project() : ProjectTest("qb-blockops-", Logs::capture) {}
};

class StructureTest : public ProjectTest {
protected:
    StructureTest() : ProjectTest("qb-structure-", Logs::discard) {}
};

}  // namespace qbtest
