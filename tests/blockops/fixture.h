#pragma once
// The blockops suites keep every log record, down to debug.

#include "common/fixture.h"

namespace qbtest {

class Project : public ProjectTest {
protected:
    Project() : ProjectTest("qb-blockops-", Logs::capture) {}
};

}  // namespace qbtest
