// When the cached marker may stand in for a file.

#include <gtest/gtest.h>

#include "quillbox/tracker.h"

using quillbox::AgentView;

namespace {

struct FakeClock {
    double now = 1'700'000'000.25;
    AgentView::Clock fn() {
        return [this] { return now; };
    }
};

}  // namespace

TEST(AgentView, TurnLimit) {
    AgentView t;
    EXPECT_FALSE(t.should_return_cache("a.md"));
    t.record_read("a.md");
    for (int i = 0; i < 14; ++i) t.advance_turn();
    EXPECT_TRUE(t.should_return_cache("a.md"));
    t.advance_turn();
    EXPECT_FALSE(t.should_return_cache("a.md"));
    t.record_read("a.md");  // a fresh full read starts the count again
    EXPECT_TRUE(t.should_return_cache("a.md"));
    EXPECT_FALSE(t.should_return_cache("./a.md"));  // keys are not normalised
}

TEST(AgentView, RepeatedCallsWithinTheWindow) {
    FakeClock clock;
    AgentView t;
    t.set_clock(clock.fn());
    t.record_read("a.md");
    clock.now += 1;
    t.record_recent_call("a.md");
    EXPECT_TRUE(t.should_return_cache("a.md"));  // two timestamps
    clock.now += 1;
    t.record_recent_call("a.md");
    EXPECT_FALSE(t.should_return_cache("a.md"));  // three: the agent is looping
    clock.now += 120;
    EXPECT_FALSE(t.should_return_cache("a.md"));  // the decision itself prunes nothing
    t.record_recent_call("a.md");
    EXPECT_TRUE(t.should_return_cache("a.md"));  // old ones left the window
    t.record_read("a.md");
    EXPECT_TRUE(t.should_return_cache("a.md"));
}

TEST(AgentView, WindowCutoffIsStrict) {
    FakeClock clock;
    AgentView t(15, 10.0, 2);
    t.set_clock(clock.fn());
    t.record_read("a.md");
    clock.now += 10.0;  // exactly one window later: the first timestamp is dropped
    t.record_recent_call("a.md");
    EXPECT_TRUE(t.should_return_cache("a.md"));
    clock.now += 9.5;
    t.record_recent_call("a.md");
    EXPECT_FALSE(t.should_return_cache("a.md"));
}

TEST(AgentView, ResetFileAndResetAll) {
    AgentView t;
    t.record_read("a.md");
    t.record_read("b.md");
    t.advance_turn();
    t.reset_file("a.md");
    t.reset_file("never.md");
    EXPECT_FALSE(t.should_return_cache("a.md"));
    EXPECT_TRUE(t.should_return_cache("b.md"));
    t.forget_files();
    EXPECT_FALSE(t.should_return_cache("b.md"));
    EXPECT_EQ(t.turn_counter(), 0);
}
