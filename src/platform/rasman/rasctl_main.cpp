// rasctl: looks into and steers the remote access service of the machine
// root ($SKYPORTAL_ROOT), for operators, demonstrations and tests.
#include "platform/base/ProgramInfo.h"
#include "platform/rasman/RasCtl.h"

#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    sp::UsePrivateUmask();
    if (sp::AnswerHelpOrVersion(argc, argv, "rasctl", sp::ras::RasCtlUsage()))
        return 0;
    std::vector<std::string> args(argv + 1, argv + argc);
    return sp::ras::RasCtl(args, std::cout, std::cerr);
}
