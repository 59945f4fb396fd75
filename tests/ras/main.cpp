#include <gtest/gtest.h>

#include <QCoreApplication>

#include <chrono>

#include "ras/TRasThread.h"

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    // Waiting rounds are shortened for the tests; their counts are not.
    sp::SetRasRoundLength(std::chrono::milliseconds(5));
    return RUN_ALL_TESTS();
}
