#pragma once
// The structural operations' suites; their log records are dropped.

#include "common/fixture.h"

namespace qbtest {

class StructureTest : public ProjectTest {
protected:
    StructureTest() : ProjectTest("qb-structure-", Logs::discard) {}
};

}  // namespace qbtest
