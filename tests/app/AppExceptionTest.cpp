// An exception that leaves an event handler reaches the application object's
// handler, and the event loop goes on. This program makes its own
// application object, the program's.

#include "app/TApplication.h"

#include <QTimer>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

class TThrower : public QObject {
public:
    bool event(QEvent* e) override {
        if (e->type() == QEvent::User)
            throw std::runtime_error("thrown from a handler");
        if (e->type() == QEvent::Type(QEvent::User + 1))
            throw 42;
        return QObject::event(e);
    }
};

sp::TApplication* g_app = nullptr;

} // namespace

TEST(AppException, AnExceptionFromAHandlerIsHandedOnAndTheLoopGoesOn) {
    std::vector<std::string> seen;
    g_app->SetExceptionHandler([&](const std::string& what) { seen.push_back(what); });
    TThrower thrower;
    bool later = false;
    QCoreApplication::postEvent(&thrower, new QEvent(QEvent::User));
    QCoreApplication::postEvent(&thrower, new QEvent(QEvent::Type(QEvent::User + 1)));
    QTimer::singleShot(0, [&] {
        later = true;
        QCoreApplication::quit();
    });
    QTimer::singleShot(5000, [] { QCoreApplication::exit(1); });
    EXPECT_EQ(QCoreApplication::exec(), 0);
    EXPECT_TRUE(later);
    EXPECT_EQ(seen, (std::vector<std::string>{"thrown from a handler", "unknown exception"}));
    g_app->SetExceptionHandler({});
}

TEST(AppException, WithoutAHandlerTheExceptionIsDropped) {
    TThrower thrower;
    bool later = false;
    QCoreApplication::postEvent(&thrower, new QEvent(QEvent::User));
    QTimer::singleShot(0, [&] { later = true; });
    // Handled within this call: the exception went nowhere and the loop went on.
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    EXPECT_TRUE(later);
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    sp::TApplication app(argc, argv);
    g_app = &app;
    return RUN_ALL_TESTS();
}
