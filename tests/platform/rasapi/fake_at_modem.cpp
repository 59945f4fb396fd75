// A simulated AT modem on a pseudo-terminal, for trying the serial driver by
// hand and in the end-to-end runs. Prints its port, answers until SIGTERM or
// SIGINT, then prints the commands it received, one per line, on stderr.
//   fake-at-modem [--dial-answer TEXT] [--init-answer TEXT] [--silent]
#include "FakeModem.h"

#include "platform/base/ProgramInfo.h"

#include <csignal>
#include <cstring>
#include <iostream>

int main(int argc, char** argv)
{
    if (sp::AnswerHelpOrVersion(argc, argv, "fake-at-modem",
                                "usage: fake-at-modem [--dial-answer TEXT] [--init-answer TEXT] [--silent]\n"
                                "A simulated AT modem on a pseudo-terminal: prints its port, answers until\n"
                                "Ctrl-C or SIGTERM, then prints the commands it received on standard error.\n"))
        return 0;
    FakeModem::Behaviour b;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--dial-answer" && i + 1 < argc)
            b.dialAnswer = argv[++i];
        else if (a == "--init-answer" && i + 1 < argc)
            b.initAnswer = argv[++i];
        else if (a == "--silent")
            b.mode = FakeModem::Mode::Silent;
        else {
            std::cerr << "usage: fake-at-modem [--dial-answer TEXT] [--init-answer TEXT] [--silent]\n";
            return 2;
        }
    }
    // Blocked before the modem's thread starts, so only sigwait takes them.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    FakeModem modem(b);
    std::cout << modem.Port() << std::endl;
    int sig = 0;
    sigwait(&stop, &sig);
    for (const std::string& c : modem.Commands())
        std::cerr << c << "\n";
    return 0;
}
