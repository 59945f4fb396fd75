// A simulated AT modem on a pseudo-terminal, for trying the serial driver by
// hand and in the end-to-end runs. Prints its port, answers until SIGTERM or
// SIGINT, then prints the commands it received, one per line, on stderr.
//   fake-at-modem [--dial-answer TEXT] [--init-answer TEXT] [--silent] [--cpin WORD]
//                 [--creg N] [--cgreg N] [--register-after MS] [--csq N] [--csq-silent]
//                 [--operator NAME] [--ussd TEXT] [--ussd-coding gsm7|ucs2|text] [--ussd-silent]
#include "FakeModem.h"

#include "platform/base/ProgramInfo.h"
#include "platform/rasman/ModemAnswers.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <iostream>

int main(int argc, char** argv)
{
    constexpr const char* kUsage =
        "usage: fake-at-modem [--dial-answer TEXT] [--init-answer TEXT] [--silent] [--cpin WORD]\n"
        "                     [--creg N] [--cgreg N] [--register-after MS] [--csq N] [--csq-silent]\n"
        "                     [--operator NAME] [--ussd TEXT] [--ussd-coding gsm7|ucs2|text] [--ussd-silent]\n";
    if (sp::AnswerHelpOrVersion(argc, argv, "fake-at-modem",
                                std::string(kUsage) +
                                "A simulated AT modem on a pseudo-terminal: prints its port, answers until\n"
                                "Ctrl-C or SIGTERM, then prints the commands it received on standard error.\n"))
        return 0;
    FakeModem::Behaviour b;
    std::string ussd = "Balance: 12.34";
    auto coding = sp::ras::UssdCoding::Gsm7Packed;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool more = i + 1 < argc;
        if (a == "--dial-answer" && more)
            b.dialAnswer = argv[++i];
        else if (a == "--init-answer" && more)
            b.initAnswer = argv[++i];
        else if (a == "--silent")
            b.mode = FakeModem::Mode::Silent;
        else if (a == "--cpin" && more)
            b.cpin = argv[++i];
        else if (a == "--creg" && more)
            b.creg = std::atoi(argv[++i]);
        else if (a == "--cgreg" && more)
            b.cgreg = std::atoi(argv[++i]);
        else if (a == "--register-after" && more)
            b.registerAfterMs = std::atoi(argv[++i]);
        else if (a == "--csq" && more)
            b.csq = std::atoi(argv[++i]);
        else if (a == "--csq-silent")
            b.csqSilent = true;
        else if (a == "--operator" && more)
            b.cops = argv[++i];
        else if (a == "--ussd" && more)
            ussd = argv[++i];
        else if (a == "--ussd-coding" && more) {
            const std::string c = argv[++i];
            coding = c == "ucs2" ? sp::ras::UssdCoding::Ucs2
                     : c == "text" ? sp::ras::UssdCoding::Text
                                   : sp::ras::UssdCoding::Gsm7Packed;
        } else if (a == "--ussd-silent")
            b.ussdSilent = true;
        else {
            std::cerr << kUsage;
            return 2;
        }
    }
    const sp::ras::EncodedUssd e = sp::ras::EncodeUssd(ussd, coding);
    b.ussdText = e.text;
    b.ussdDcs = e.dcs;
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
