#include "app/ProgramSettings.h"

SettingsFile programSettings("data.dat");
SettingsNicknameStore programNicknames(programSettings);
