// Skyportal: the program's entry.

#include "app/fGprsMain.h"
#include "dialogs/ProgramFont.h"
#include "platform/base/CommandLine.h"
#include "platform/rasman/DefaultMachine.h"
#include "ras/RasGlobals.h"

#include <QApplication>

int main(int argc, char** argv) {
    sp::SetCommandLine(argc, argv);
    QApplication app(argc, argv);
    // One face for every window, hints included, as the design has it.
    QApplication::setFont(sp::ProgramFont(11));
    sp::InitRasGlobals();
    // A new machine root starts with the simulated network and its modems.
    sp::ras::EnsureDefaultMachine();

    sp::TfrmGprsMain window;
    window.FormCreate();
    (void)QApplication::exec();
    return 0;
}
