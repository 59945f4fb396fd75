#include "platform/registry/RegTool.h"

#include <iostream>

int main(int argc, char** argv) {
    return sp::RunRegTool(std::vector<std::string>(argv + 1, argv + argc), std::cin, std::cout, std::cerr);
}
