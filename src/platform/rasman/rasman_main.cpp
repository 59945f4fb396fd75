// rasman: the remote access service daemon of one machine root
// ($SKYPORTAL_ROOT). The client library starts it when nobody answers.
#include "platform/base/ProgramInfo.h"
#include "platform/rasman/ServiceLoop.h"

namespace {

constexpr const char* kUsage =
    "usage: rasman\n"
    "The remote access service of the machine root ($SKYPORTAL_ROOT, else\n"
    "$XDG_DATA_HOME/skyportal, else ~/.local/share/skyportal): the phonebook, the\n"
    "devices, the connections and their counters, on the socket <root>/run/rasman.sock.\n"
    "The client library and rasctl start it when nobody answers; `rasctl service stop`\n"
    "ends it. It writes its log to standard error.\n";

} // namespace

int main(int argc, char** argv)
{
    sp::UsePrivateUmask();
    if (sp::AnswerHelpOrVersion(argc, argv, "rasman", kUsage))
        return 0;
    return sp::ras::RunService();
}
