// Entry point of every test program: the run-time (and with it the Qt application) starts once,
// offscreen, before any test runs.
#include "runtime.h"

#include <QByteArray>
#include <QtGlobal>

#include <gtest/gtest.h>

int main(int argc, char **argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", QByteArray("offscreen"));
    testing::InitGoogleTest(&argc, argv);
    if (InitCVIRTE(nullptr, argv, nullptr) == 0)
        return 1;
    return RUN_ALL_TESTS();
}
