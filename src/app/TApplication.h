#pragma once

#include <QApplication>

#include <functional>
#include <string>

namespace sp {

// The program's application object. Qt has no catch-all in its event loop,
// so an exception that leaves an event handler is caught here and handed to
// the handler the main window installs; the loop goes on.
class TApplication : public QApplication {
    Q_OBJECT

public:
    using ExceptionHandler = std::function<void(const std::string& what)>;

    TApplication(int& argc, char** argv);

    // Without a handler the exception is dropped as it is.
    void SetExceptionHandler(ExceptionHandler handler) { FOnException = std::move(handler); }

    bool notify(QObject* receiver, QEvent* event) override;

private:
    ExceptionHandler FOnException;
};

} // namespace sp
