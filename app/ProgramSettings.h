#pragma once

#include "app/SettingsFile.h"
#include "ui/NicknameStore.h"

// The program's settings file, "data.dat" in the working directory. It exists from static
// initialisation to process exit; every nickname the program stores goes through it.
extern SettingsFile programSettings;

// A settings file's "nickname" entry, as the main window keeps the nickname.
class SettingsNicknameStore final : public NicknameStore
{
public:
    explicit SettingsNicknameStore(SettingsFile& settings) : settings(settings) {}

    bool HasNickname() override { return settings.HasKey("nickname"); }
    std::string StoredNickname() override { return settings.GetValue("nickname"); }
    bool StoreNickname(const std::string& nickname) override
    {
        return settings.SetValue("nickname", nickname);
    }

private:
    SettingsFile& settings;
};

// The main window's store: the program's settings file.
extern SettingsNicknameStore programNicknames;
