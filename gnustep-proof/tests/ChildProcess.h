// Runs one case of a proof test in a child process of its own: the library's
// hooks and observers, like on the phone, last as long as the process.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <exception>

namespace thrumline::proof {

// The child reports its failures, and they make the test fail here; nothing
// it raises may unwind into the copy of the test runner it carries.
template <typename Body>
void inChildProcess(const Body& body) {
    std::fflush(nullptr);
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        try {
            body();
        } catch (const std::exception& failure) {
            ADD_FAILURE() << failure.what();
        } catch (...) {
            ADD_FAILURE() << "raised";
        }
        std::fflush(nullptr);
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "the case failed (see above) or died (wait status " << status << ")";
}

}  // namespace thrumline::proof
