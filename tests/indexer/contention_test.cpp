// Several processes opening one index at the same moment, as servers of two agent sessions
// do on a fresh project: every one of them must come up.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <vector>

#include "indexer/helpers.h"

namespace fs = std::filesystem;
using namespace quillbox;

namespace {

// Forks `n` children that wait on a pipe, then all open `db` at once; returns how many failed.
int open_at_once(const fs::path& db, int n) {
    int gate[2];
    if (::pipe(gate) != 0) return n;
    std::vector<pid_t> kids;
    for (int i = 0; i < n; ++i) {
        pid_t pid = ::fork();
        if (pid == 0) {
            ::close(gate[1]);
            char c;
            (void)::read(gate[0], &c, 1);  // returns when the parent closes its end
            int code = 0;
            try {
                Indexer ix(db);
                ix.record_operation("2026-01-01", "start", "", "", 0);
            } catch (const std::exception& e) {
                std::fprintf(stderr, "open failed: %s\n", e.what());
                code = 1;
            }
            ::_exit(code);
        }
        if (pid > 0) kids.push_back(pid);
    }
    ::close(gate[0]);
    ::close(gate[1]);
    int failed = n - static_cast<int>(kids.size());
    for (pid_t pid : kids) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ++failed;
    }
    return failed;
}

}  // namespace

TEST(StartUp, FourProcessesOpeningAFreshIndexAllComeUp) {
    TempDir dir;
    int failed = 0;
    for (int round = 0; round < 15; ++round) {
        const fs::path db = dir.path / ("index" + std::to_string(round) + ".db");
        failed += open_at_once(db, 4);
        Indexer ix(db);
        EXPECT_EQ(query1(ix, "SELECT count(*) FROM stats"), "4") << "round " << round;
    }
    EXPECT_EQ(failed, 0);
}
