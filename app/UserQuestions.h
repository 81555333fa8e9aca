#pragma once

#include <string>

// How the program asks the user a question and tells of an error: message boxes in the program,
// answers given beforehand in tests.
class UserQuestions
{
public:
    // True when the user answers yes.
    virtual bool AskYesNo(const std::string& caption, const std::string& text) = 0;
    virtual void ShowError(const std::string& text) = 0;

protected:
    ~UserQuestions() = default;
};
