// dravon.exe: the headless Windows server.
#include "app/CommandLine.h"

#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    for (const auto& argument : arguments) {
        if (argument == "--help") {
            std::cout << dravon::UsageText("dravon");
            return 0;
        }
        if (argument == "--version") {
            std::cout << "dravon " << DRAVON_VERSION << std::endl;
            return 0;
        }
    }
    return 0;
}
