#include <gtest/gtest.h>

#include <QCoreApplication>

#include <chrono>

#include "ras/TRasThread.h"

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    // Waiting rounds are shortened for the tests (their counts are not), yet
    // long enough for a daemon under the sanitizers to start within them.
    sp::SetRasRoundLength(std::chrono::milliseconds(40));
    return RUN_ALL_TESTS();
}
