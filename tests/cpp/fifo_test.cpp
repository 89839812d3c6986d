#include "fifo.hpp"

#include <gtest/gtest.h>

#include "counting_new.hpp"

namespace {

using norvane::fifo_window_buffer;
using Samples = std::vector<double>;

int allocations_of(const Samples& chunk, std::size_t window, const std::string& id, Samples* out = nullptr) {
    counting_new::allocations = 0;
    counting_new::enabled = true;
    Samples result = fifo_window_buffer(chunk, window, id);
    counting_new::enabled = false;
    if (out != nullptr) {
        *out = result;
    }
    return counting_new::allocations;
}

struct Call {
    Samples chunk;
    std::size_t window;
    Samples expected;
};

struct Scenario {
    const char* name;
    std::vector<Call> calls;
};

void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }

class fifo_sequence : public testing::TestWithParam<Scenario> {};

TEST_P(fifo_sequence, returns_expected_window_after_each_call) {
    norvane::reset_all_fifos();
    const Scenario& s = GetParam();
    for (std::size_t i = 0; i < s.calls.size(); ++i) {
        const Call& c = s.calls[i];
        EXPECT_EQ(fifo_window_buffer(c.chunk, c.window, "id"), c.expected) << "call " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    cases, fifo_sequence,
    testing::Values(
        Scenario{"slides_by_window", {{{1, 2}, 3, {1, 2}}, {{3, 4}, 3, {2, 3, 4}}, {{5}, 3, {3, 4, 5}}}},
        Scenario{"window_zero_keeps_history", {{{1, 2}, 0, {1, 2}}, {{3}, 0, {1, 2, 3}}, {{}, 0, {1, 2, 3}}}},
        Scenario{"chunk_longer_than_window", {{{9}, 2, {9}}, {{1, 2, 3, 4, 5}, 2, {4, 5}}}},
        Scenario{"empty_chunk_on_new_id", {{{}, 4, {}}}},
        Scenario{"empty_chunk_trims_to_smaller_window", {{{1, 2, 3, 4}, 0, {1, 2, 3, 4}}, {{}, 2, {3, 4}}}},
        Scenario{"larger_window_grows_again",
                 {{{1, 2, 3}, 2, {2, 3}}, {{4}, 4, {2, 3, 4}}, {{5}, 4, {2, 3, 4, 5}}, {{6}, 4, {3, 4, 5, 6}}}},
        Scenario{"length_equal_to_window_unchanged", {{{1, 2}, 2, {1, 2}}, {{}, 2, {1, 2}}}}),
    [](const testing::TestParamInfo<Scenario>& p) { return std::string(p.param.name); });

TEST(fifo_store, ids_are_compared_byte_for_byte) {
    norvane::reset_all_fifos();
    fifo_window_buffer({1}, 0, "default");
    fifo_window_buffer({2}, 0, "Default");
    fifo_window_buffer({3}, 0, "");
    EXPECT_EQ(fifo_window_buffer({}, 0, "default"), Samples{1});
    EXPECT_EQ(fifo_window_buffer({}, 0, "Default"), Samples{2});
    EXPECT_EQ(fifo_window_buffer({}, 0, ""), Samples{3});
}

TEST(fifo_store, reset_drops_one_id_and_keeps_the_others) {
    norvane::reset_all_fifos();
    norvane::reset_all_fifos();          // on an empty store: nothing happens
    norvane::reset_fifo("never-used");  // unknown id: nothing happens
    fifo_window_buffer({1, 2}, 0, "a");
    fifo_window_buffer({3}, 0, "b");
    norvane::reset_fifo("a");
    EXPECT_EQ(fifo_window_buffer({7}, 0, "a"), Samples{7});
    EXPECT_EQ(fifo_window_buffer({}, 0, "b"), Samples{3});
    norvane::reset_all_fifos();
    EXPECT_EQ(fifo_window_buffer({}, 0, "b"), Samples{});
}

TEST(fifo_store, returned_vector_is_a_copy) {
    norvane::reset_all_fifos();
    Samples out = fifo_window_buffer({1, 2}, 0, "copy");
    out[0] = 99;
    out.push_back(5);
    EXPECT_EQ(fifo_window_buffer({}, 0, "copy"), (Samples{1, 2}));
}

TEST(fifo_store, steady_stream_makes_one_allocation_per_call) {
    norvane::reset_all_fifos();
    const Samples chunk(100, 1.5);
    // Warm up: the buffer grows to its final capacity.
    for (int i = 0; i < 50; ++i) {
        fifo_window_buffer(chunk, 1000, "steady");
    }
    for (int i = 0; i < 20; ++i) {
        Samples out;
        EXPECT_EQ(allocations_of(chunk, 1000, "steady", &out), 1) << "call " << i;
        EXPECT_EQ(out.size(), 1000u);
    }
    // Trimming to a smaller window moves the tail but never reallocates.
    EXPECT_EQ(allocations_of({}, 10, "steady"), 1);
}

TEST(fifo_store, empty_result_makes_no_allocation) {
    norvane::reset_all_fifos();
    fifo_window_buffer({}, 0, "empty");  // creates the entry (a map node)
    Samples out{1};
    EXPECT_EQ(allocations_of({}, 3, "empty", &out), 0);
    EXPECT_TRUE(out.empty());
}

}  // namespace
