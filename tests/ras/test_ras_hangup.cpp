// The guarded hang-up's counts against a library whose connection never goes
// away and whose hang-up may never return.
#include "ras/RasBinding.h"
#include "ras/RasGlobals.h"
#include "ras/TRasThread.h"

#include <gtest/gtest.h>

#include <chrono>
#include <dlfcn.h>
#include <thread>

namespace {

using namespace sp;

class ShimLibrary : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved_ = hRasApi;
        shim_ = ::dlopen(SKYPORTAL_RAS_SHIM, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(shim_, nullptr) << ::dlerror();
        hRasApi = shim_;
        block_ = reinterpret_cast<void (*)(bool)>(::dlsym(shim_, "ShimBlockHangUp"));
        hangUps_ = reinterpret_cast<int (*)(double*)>(::dlsym(shim_, "ShimHangUps"));
        ASSERT_TRUE(block_ && hangUps_);
        double unused = 0;
        (void)hangUps_(&unused);
    }
    void TearDown() override
    {
        if (block_)
            block_(false);
        for (int i = 0; i < 2000 && TRasThread::Alive() > 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        hRasApi = saved_;
        // The shim stays loaded: a straggling worker may still return into it.
    }

    void* saved_ = nullptr;
    void* shim_ = nullptr;
    void (*block_)(bool) = nullptr;
    int (*hangUps_)(double*) = nullptr;
};

TEST_F(ShimLibrary, AConnectionThatNeverGoesAwayIsHungUp21Times10msApart)
{
    const DWORD r = Ras2k::HangUpAndWait(77);
    double span = 0;
    EXPECT_EQ(hangUps_(&span), 21);
    EXPECT_EQ(r, 621u) << "the last call's result";
    EXPECT_GE(span, 20 * 10.0);
}

TEST_F(ShimLibrary, AHangUpThatNeverReturnsGivesZeroAfter121Rounds)
{
    block_(true);
    const DWORD r = Ras98::HangUpAndWait(77);
    EXPECT_EQ(r, 0u);
    EXPECT_EQ(LastRasWaitRounds(), 121);
    EXPECT_EQ(TRasThread::Alive(), 1) << "the worker is left to end by itself";
    block_(false);
}

} // namespace
