#include "platform/base/ProgramInfo.h"
#include "platform/registry/RegTool.h"

#include <iostream>

int main(int argc, char** argv) {
    sp::UsePrivateUmask();
    if (sp::AnswerHelpOrVersion(argc, argv, "skyportal-reg", sp::RegToolUsage()))
        return 0;
    return sp::RunRegTool(std::vector<std::string>(argv + 1, argv + argc), std::cin, std::cout, std::cerr);
}
