#pragma once

#include <windows.h>

// The program's two cursors, loaded once at start, before any window exists: the arrow for the
// main window and the hand for the Send button.
extern const HCURSOR arrowCursor;
extern const HCURSOR handCursor;
