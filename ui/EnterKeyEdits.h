#pragma once

#include <windows.h>

// Edit boxes in which Enter acts instead of typing: in the message box it sends the message
// (the main window's command 3, marked with lParam 13), in the nickname dialog it confirms.
// Neither leaves a carriage return behind or beeps; every other key works as usual.

void MakeMessageEdit(HWND edit);
void MakeDialogEdit(HWND edit);

LRESULT CALLBACK MessageEditProc(HWND edit, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK DialogEditProc(HWND edit, UINT message, WPARAM wParam, LPARAM lParam);
