// Result keeps its value or its error in one storage; every copy, move and
// assignment must construct and destroy exactly the side that is live.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "quillforge/result.hpp"

namespace {

// Counts the instances alive, so that a leak or a double destruction shows.
struct Tracked {
    static inline int alive = 0;
    std::string text;

    explicit Tracked(std::string t) : text(std::move(t)) { ++alive; }
    Tracked(const Tracked& other) : text(other.text) { ++alive; }
    Tracked(Tracked&& other) noexcept : text(std::move(other.text)) { ++alive; }
    Tracked& operator=(const Tracked&) = default;
    Tracked& operator=(Tracked&&) = default;
    ~Tracked() { --alive; }
};

using R = qf::Result<Tracked, std::string>;

R good(const char* text) { return Tracked(text); }
R bad(const char* text) { return qf::fail(std::string(text)); }

// What a result holds, as one string: "value:x" or "error:x".
std::string held(const R& result) { return result ? "value:" + result->text : "error:" + result.error(); }

// Every pairing of a value or an error over a value or an error, by copy and by move.
TEST(Result, CopiesMovesAndAssignmentsKeepTheLiveSide) {
    for (int row = 0; row < 8; ++row) {
        const bool target_value = row & 1;
        const bool source_value = row & 2;
        const bool by_move = row & 4;
        {
            R target = target_value ? good("a") : bad("e");
            R source = source_value ? good("b") : bad("f");
            const std::string expected = held(source);
            if (by_move) {
                target = std::move(source);
            } else {
                target = source;
                EXPECT_EQ(held(source), expected) << row;  // a copy leaves its source alone
            }
            EXPECT_EQ(held(target), expected) << row;
            R copied(target);
            R moved(std::move(copied));
            EXPECT_EQ(held(moved), expected) << row;
        }
        EXPECT_EQ(Tracked::alive, 0) << row;
    }
}

TEST(Result, SelfAssignmentKeepsTheValue) {
    {
        R result = good("a");
        R& same = result;
        result = same;
        EXPECT_EQ(held(result), "value:a");
        result = std::move(same);
        EXPECT_EQ(held(result), "value:a");
    }
    EXPECT_EQ(Tracked::alive, 0);
}

}  // namespace
