// The chat log's cost per line as it grows, on a real main window (run it under Wine): the
// time of AppendChatLine around the 1,000th and the 10,000th line, against the bare rich edit
// insertion of the same line into a second rich edit control in the same run, and the process's
// memory after the last line. The second control sits in a window beside the main one, so give
// it a screen at least 2,420 pixels wide. Also times each step of the bare insertion, the
// one-line scroll, and the ANSI text length the log does not use. Prints a summary and, with
// --csv FILE, the median cost of each block of 250 lines for a chart.
//
//   chat_log_benchmark.exe [--lines N] [--csv FILE]

#include "ui/MainWindow.h"

#include <windows.h>

#include <psapi.h>
#include <richedit.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace
{

double Now()
{
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / frequency.QuadPart;
}

void PumpMessages()
{
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
    {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

std::string LineNumber(int i)
{
    char text[160];
    std::snprintf(
        text, sizeof text,
        "[%02d:%02d:%02d] [%s]: message number %d, long enough to look like a line people write",
        (i / 3600) % 24, (i / 60) % 60, i % 60, i % 3 ? "Alice" : "Bob", i);
    return text;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    int lines = 10050;
    std::string csvPath;
    for (int i = 1; i + 1 < argc; i += 2)
    {
        if (std::string(argv[i]) == "--lines")
            lines = std::stoi(argv[i + 1]);
        else if (std::string(argv[i]) == "--csv")
            csvPath = argv[i + 1];
    }

    {
        std::ofstream settings("data.dat", std::ios::trunc);
        settings << "nickname=Bob\n";
    }
    MainWindow window;
    if (!window.Create(L"Ostrel Chat Client", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 1200, 650))
        return 1;
    // The reference: a rich edit made as the chat log is, of the same size and default format,
    // in a window of its own beside the main window (so that neither covers the other and both
    // repaint alike), taking the same lines with only the insertion: caret to the end, replace
    // the selection. No colours; its scroll is timed apart.
    RECT logRect;
    GetWindowRect(window.chatLog, &logRect);
    RECT mainRect;
    GetWindowRect(window.hwnd, &mainRect);
    const HWND bareWindow =
        CreateWindowExW(0, L"STATIC", L"reference", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                        mainRect.right + 10, mainRect.top, mainRect.right - mainRect.left,
                        mainRect.bottom - mainRect.top, nullptr, nullptr, nullptr, nullptr);
    POINT logOrigin = {logRect.left, logRect.top};
    ScreenToClient(window.hwnd, &logOrigin);
    const HWND bare =
        CreateWindowExW(0, L"RICHEDIT50W", L"",
                        WS_CHILD | WS_VISIBLE | WS_BORDER | WS_VSCROLL | ES_MULTILINE |
                            ES_AUTOVSCROLL | ES_READONLY,
                        logOrigin.x, logOrigin.y, logRect.right - logRect.left,
                        logRect.bottom - logRect.top, bareWindow, nullptr, nullptr, nullptr);
    SendMessageW(bare, EM_EXLIMITTEXT, 0, 0x7FFFFFFF);
    CHARFORMATW defaultFormat = {};
    defaultFormat.cbSize = sizeof defaultFormat;
    SendMessageW(window.chatLog, EM_GETCHARFORMAT, SCF_DEFAULT,
                 reinterpret_cast<LPARAM>(&defaultFormat));
    SendMessageW(bare, EM_SETCHARFORMAT, SCF_DEFAULT, reinterpret_cast<LPARAM>(&defaultFormat));
    PumpMessages();

    PROCESS_MEMORY_COUNTERS before = {};
    GetProcessMemoryInfo(GetCurrentProcess(), &before, sizeof before);

    std::vector<double> appendCost(lines), bareCost(lines);
    // The bare insertion's three steps, each timed on its own, then the one-line scroll the log
    // makes after each line, and the ANSI text length the log does not use: where the costs are,
    // and where a cost that grows with the log would come from.
    std::vector<std::vector<double>> stepCost(5, std::vector<double>(lines));
    for (int i = 0; i < lines; ++i)
    {
        const std::string line = LineNumber(i);
        const double start = Now();
        window.AppendChatLine(line);
        const double appended = Now();
        const std::string withBreak = line + "\n";
        GETTEXTLENGTHEX lengthOf = {GTL_NUMCHARS | GTL_PRECISE, 1200};
        const LRESULT end =
            SendMessageW(bare, EM_GETTEXTLENGTHEX, reinterpret_cast<WPARAM>(&lengthOf), 0);
        const double measured = Now();
        SendMessageA(bare, EM_SETSEL, end, end);
        const double selected = Now();
        SendMessageA(bare, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(withBreak.c_str()));
        const double inserted = Now();
        appendCost[i] = (appended - start) * 1e3;
        bareCost[i] = (inserted - appended) * 1e3;
        stepCost[0][i] = (measured - appended) * 1e3;
        stepCost[1][i] = (selected - measured) * 1e3;
        stepCost[2][i] = (inserted - selected) * 1e3;
        SendMessageA(bare, EM_LINESCROLL, 0, 1);
        const double scrolled = Now();
        stepCost[3][i] = (scrolled - inserted) * 1e3;
        GetWindowTextLengthA(bare);
        stepCost[4][i] = (Now() - scrolled) * 1e3;
        PumpMessages(); // the window repaints between lines, as the program's loop lets it
    }

    PROCESS_MEMORY_COUNTERS memory = {};
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);

    const auto around = [&](const std::vector<double>& costs, int line) {
        const int from = std::max(0, line - 50), to = std::min(lines, line + 50);
        return Median(std::vector<double>(costs.begin() + from, costs.begin() + to));
    };
    const double at1000 = around(appendCost, 1000),
                 at10000 = around(appendCost, std::min(lines - 1, 10000));
    const double bare10000 = around(bareCost, std::min(lines - 1, 10000));
    std::printf("lines: %d\n", lines);
    std::printf("| measure | AppendChatLine | bare insertion | ratio |\n|---|---|---|---|\n");
    std::printf("| median ms around line 1,000 | %.3f | %.3f | %.2f |\n", at1000,
                around(bareCost, 1000), at1000 / around(bareCost, 1000));
    std::printf("| median ms around line 10,000 | %.3f | %.3f | %.2f |\n", at10000, bare10000,
                at10000 / bare10000);
    std::printf("append at 10,000 / append at 1,000: %.2f\n", at10000 / at1000);
    const char* stepNames[5] = {"EM_GETTEXTLENGTHEX, characters", "EM_SETSEL to the end",
                                "EM_REPLACESEL", "(after it) EM_LINESCROLL by one line",
                                "(not used) GetWindowTextLengthA"};
    std::printf("\n| step of the bare insertion | median ms around line 1,000 | around line %d "
                "|\n|---|---|---|\n",
                std::min(lines - 1, 10000));
    for (int step = 0; step < 5; ++step)
        std::printf("| %s | %.3f | %.3f |\n", stepNames[step], around(stepCost[step], 1000),
                    around(stepCost[step], std::min(lines - 1, 10000)));
    std::printf("working set before the first line: %.1f MB, private memory: %.1f MB\n",
                before.WorkingSetSize / 1048576.0, before.PagefileUsage / 1048576.0);
    std::printf("working set after the last line: %.1f MB, private memory: %.1f MB (both logs)\n",
                memory.WorkingSetSize / 1048576.0, memory.PagefileUsage / 1048576.0);

    if (!csvPath.empty())
    {
        std::ofstream csv(csvPath);
        csv << "line,append_ms,bare_ms\n";
        for (int block = 0; block + 250 <= lines; block += 250)
            csv << block + 125 << ','
                << Median(std::vector<double>(appendCost.begin() + block,
                                              appendCost.begin() + block + 250))
                << ','
                << Median(std::vector<double>(bareCost.begin() + block,
                                              bareCost.begin() + block + 250))
                << '\n';
    }
    DestroyWindow(bareWindow);
    DestroyWindow(window.hwnd);
    return 0;
}
