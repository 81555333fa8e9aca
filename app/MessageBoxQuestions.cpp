#include "app/MessageBoxQuestions.h"

#include <windows.h>

bool MessageBoxQuestions::AskYesNo(const std::string& caption, const std::string& text)
{
    return MessageBoxA(nullptr, text.c_str(), caption.c_str(), MB_YESNO | MB_ICONQUESTION) == IDYES;
}

void MessageBoxQuestions::ShowError(const std::string& text)
{
    MessageBoxA(nullptr, text.c_str(), "Error", MB_ICONERROR);
}
