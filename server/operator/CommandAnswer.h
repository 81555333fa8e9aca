#pragma once

#include <functional>
#include <string>

// A command's answer as the operator's channels give it: whether the command did what it said,
// then the text. A long answer comes in pieces: text is the first, and more makes each next one
// when called (on the server's thread, once the piece before has been taken), until it gives an
// empty text.
struct CommandAnswer
{
    bool ok = true;
    std::string text;
    std::function<std::string()> more;
};

// Runs one command line on the server's thread and gives its answer.
using CommandHandler = std::function<CommandAnswer(const std::string& line)>;
