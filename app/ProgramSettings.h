#pragma once

#include "app/SettingsFile.h"

// The program's settings file, "data.dat" in the working directory. It exists from static
// initialisation to process exit; every nickname the program stores goes through it.
extern SettingsFile programSettings;
