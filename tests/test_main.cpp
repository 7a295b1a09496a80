// Entry point of every test program: the run-time (and with it the Qt application) starts once,
// offscreen, before any test runs.
#include "runtime.h"

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char **argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    testing::InitGoogleTest(&argc, argv);
    if (InitCVIRTE(nullptr, argv, nullptr) == 0)
        return 1;
    return RUN_ALL_TESTS();
}
