#include "ui/RoundButton.h"

#include "ui/Cursors.h"
#include "ui/GdiObject.h"

ButtonStyle sendButtonStyle;
bool mouseTracked = false;

namespace
{

WNDPROC previousButtonProc = nullptr;

void Paint(HWND button)
{
    ButtonStyle& style = sendButtonStyle;
    GetObjectW(style.font, sizeof(LOGFONTW), &style.logFont);
    style.logFont.lfHeight = 20;
    style.logFont.lfWeight = FW_BOLD;

    // Everything made for this paint goes with it.
    const FontObject captionFont(CreateFontIndirectW(&style.logFont));
    const GdiObject<HBRUSH> brush(CreateSolidBrush(style.backColor));
    const GdiObject<HPEN> pen(CreatePen(PS_SOLID, 1, style.backColor));

    PAINTSTRUCT paint;
    const HDC dc = BeginPaint(button, &paint);
    const HGDIOBJ oldFont = SelectObject(dc, captionFont);
    GetClientRect(button, &style.rect);
    const HGDIOBJ oldBrush = SelectObject(dc, brush);
    const HGDIOBJ oldPen = SelectObject(dc, pen);
    RoundRect(dc, style.rect.left, style.rect.top, style.rect.right, style.rect.bottom,
              style.radius, style.radius);
    SetBkColor(dc, style.backColor);
    SetTextColor(dc, style.textColor);
    DrawTextA(dc, style.caption, lstrlenA(style.caption), &style.rect,
              DT_CENTER | DT_VCENTER | DT_SINGLELINE);

    SelectObject(dc, oldFont);
    SelectObject(dc, oldBrush);
    SelectObject(dc, oldPen);
    EndPaint(button, &paint);
}

void SetBackColor(HWND button, COLORREF color)
{
    sendButtonStyle.backColor = color;
    InvalidateRect(button, nullptr, TRUE);
}

} // namespace

void MakeRoundButton(HWND button)
{
    previousButtonProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(button, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(RoundButtonProc)));
}

LRESULT CALLBACK RoundButtonProc(HWND button, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message)
    {
    case WM_SETCURSOR:
        SetCursor(handCursor);
        return 0;
    case WM_PAINT:
        Paint(button);
        break; // the standard button finishes the paint (it finds nothing left to draw)
    case WM_MOUSEMOVE:
        if (!mouseTracked)
        {
            TRACKMOUSEEVENT track = {};
            track.cbSize = sizeof track;
            track.dwFlags = TME_HOVER | TME_LEAVE;
            track.hwndTrack = button;
            track.dwHoverTime = 1;
            TrackMouseEvent(&track);
            mouseTracked = true;
        }
        return 0;
    case WM_MOUSEHOVER:
        SetBackColor(button, RoundButtonHoverColor);
        return 0;
    case WM_MOUSELEAVE:
        mouseTracked = false;
        SetBackColor(button, RoundButtonNormalColor);
        return 0;
    default:
        break;
    }
    return CallWindowProcW(previousButtonProc, button, message, wParam, lParam);
}
