#include "app/TApplication.h"

#include <exception>

namespace sp {

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        if (FOnException)
            FOnException(e.what());
    } catch (...) {
        if (FOnException)
            FOnException("unknown exception");
    }
    return false;
}

} // namespace sp
