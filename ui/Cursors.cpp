#include "ui/Cursors.h"

const HCURSOR arrowCursor = LoadCursorW(nullptr, IDC_ARROW);
const HCURSOR handCursor = LoadCursorW(nullptr, IDC_HAND);
