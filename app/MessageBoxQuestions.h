#pragma once

#include "app/UserQuestions.h"

// The user asked and told through message boxes without an owner window: a question with Yes and
// No, an error with the caption "Error" and the error icon.
class MessageBoxQuestions final : public UserQuestions
{
public:
    bool AskYesNo(const std::string& caption, const std::string& text) override;
    void ShowError(const std::string& text) override;
};
