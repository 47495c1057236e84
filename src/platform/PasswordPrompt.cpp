#include "platform/PasswordPrompt.h"

#include <termios.h>
#include <unistd.h>

#include <iostream>

namespace dravon {

namespace {

std::optional<std::string> ReadLine() {
    std::string line;
    if (!std::getline(std::cin, line)) return std::nullopt;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

// Echo is off for the whole prompt and restored even when reading fails.
std::optional<std::string> ReadHidden(const char* prompt) {
    termios saved{};
    tcgetattr(STDIN_FILENO, &saved);
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    std::cerr << prompt << std::flush;
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    auto line = ReadLine();
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::cerr << std::endl;
    return line;
}

} // namespace

std::optional<std::string> ReadPassword() {
    if (!isatty(STDIN_FILENO)) {
        auto line = ReadLine();
        if (!line || line->empty()) return std::nullopt;
        return line;
    }
    auto first = ReadHidden("Password: ");
    if (!first || first->empty()) return std::nullopt;
    auto second = ReadHidden("Password again: ");
    if (second != first) {
        std::cerr << "The passwords differ" << std::endl;
        return std::nullopt;
    }
    return first;
}

} // namespace dravon
