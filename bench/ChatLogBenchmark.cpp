// The chat log's cost per line as it grows, on a real main window (run it under Wine), against a
// reference in the same run: a second rich edit control of the same size and format, in a window
// beside the main one (give it a screen at least 2,420 pixels wide), taking the same lines by the
// bare insertion. Lines arrive in bursts of 100, as from the network; after each burst the log is
// painted, as the chat client's frame has it painted when the socket runs dry. Around the 1,000th
// and the 10,000th line it times:
// - AppendChatLine within a burst (painting held, at most every 50 ms, and once at the burst's
//   end): the cost of the burst divided by its lines, the median of five bursts;
// - AppendChatLine painted after every line, as the log was before it held its painting;
// - the reference: the bare insertion painted after every line.
// Also times each step of the bare insertion and reports the process's memory. Prints a summary
// and, with --csv FILE, the cost per line of each block of 250 lines for a chart.
//
// With --long, it appends 50,000 lines to the main window alone (the log keeps the newest
// 5,000), in bursts of 100 painted at each burst's end, and reports the cost per line around
// lines 1,000, 10,000 and 50,000 (over 1,000 lines each, so that the trimming of the oldest 500,
// twice in that span once the log is full, is counted) and the working set after 5,000 and after
// 50,000 lines.
//
//   chat_log_benchmark.exe [--csv FILE]
//   chat_log_benchmark.exe --long

#include "app/ProgramSettings.h"
#include "ui/MainWindow.h"

#include <windows.h>

#include <psapi.h>
#include <richedit.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <numeric>
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

double WorkingSetMb()
{
    PROCESS_MEMORY_COUNTERS memory = {};
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);
    return memory.WorkingSetSize / 1048576.0;
}

// The main window alone, far past what its log keeps.
int RunLong()
{
    {
        std::ofstream settings("data.dat", std::ios::trunc);
        settings << "nickname=Bob\n";
    }
    MainWindow window{programNicknames};
    if (!window.Create(L"Ostrel Chat Client", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 1200, 650))
        return 1;
    PumpMessages();
    constexpr int Lines = 50000, Block = 100, Span = 1000;
    const int marks[] = {1000, 10000, Lines - Span};
    std::vector<double> perLine(Lines, 0);
    double atFive = 0;
    for (int block = 0; block < Lines; block += Block)
    {
        const double start = Now();
        for (int i = block; i < block + Block; ++i)
            window.AppendChatLine(LineNumber(i));
        window.RepaintChatLog();
        const double cost = (Now() - start) * 1e3 / Block;
        std::fill(perLine.begin() + block, perLine.begin() + block + Block, cost);
        PumpMessages();
        if (block + Block == 5000)
            atFive = WorkingSetMb();
    }
    const double atFifty = WorkingSetMb();
    std::printf("lines: %d, in bursts of %d; the log keeps %zu, trimming %zu at a time\n", Lines,
                Block, MainWindow::ChatLogMaxLines, MainWindow::ChatLogTrimLines);
    std::printf("| ms per line, over %d lines from | mean (trimming included) | median burst |\n"
                "|---|---|---|\n",
                Span);
    double means[3];
    for (int m = 0; m < 3; ++m)
    {
        const auto from = perLine.begin() + marks[m];
        means[m] = std::accumulate(from, from + Span, 0.0) / Span;
        std::printf("| line %d | %.3f | %.3f |\n", marks[m], means[m],
                    Median(std::vector<double>(from, from + Span)));
    }
    std::printf("line %d against line %d: %.2fx\n", marks[2], marks[0], means[2] / means[0]);
    std::printf("working set after 5,000 lines: %.1f MB, after %d: %.1f MB: %.2fx\n", atFive, Lines,
                atFifty, atFifty / atFive);
    DestroyWindow(window.hwnd);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const int lines = 10600;
    std::string csvPath;
    for (int i = 1; i < argc; ++i)
    {
        if (std::string(argv[i]) == "--long")
            return RunLong();
        if (std::string(argv[i]) == "--csv" && i + 1 < argc)
            csvPath = argv[++i];
    }

    {
        std::ofstream settings("data.dat", std::ios::trunc);
        settings << "nickname=Bob\n";
    }
    MainWindow window{programNicknames};
    if (!window.Create(L"Ostrel Chat Client", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 1200, 650))
        return 1;
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

    // Lines go in blocks of 100. The block before each mark is appended painted after every
    // line; every other block is one burst, and the five from the mark on are the ones measured.
    // The reference takes the block before the mark and the one at it painted after every line;
    // otherwise it just fills. The main log takes each block before the reference does, so that
    // the reference's work does not count towards the log's 50 ms.
    constexpr int Block = 100;
    constexpr int MeasuredBursts = 5;
    const int marks[] = {1000, 10000};
    std::vector<double> painted(lines, 0), bursting(lines, 0), bareCost(lines, 0);
    std::vector<std::vector<double>> stepCost(4, std::vector<double>(lines, 0));
    SendMessageW(bare, WM_SETREDRAW, FALSE, 0);
    for (int block = 0; block + Block <= lines; block += Block)
    {
        bool paintEachLine = false, paintBare = false;
        for (int mark : marks)
        {
            paintEachLine = paintEachLine || block == mark - Block;
            paintBare = paintBare || block == mark - Block || block == mark;
        }
        const double burstStart = Now();
        for (int i = block; i < block + Block; ++i)
        {
            const double start = Now();
            window.AppendChatLine(LineNumber(i));
            if (paintEachLine)
            {
                window.RepaintChatLog();
                painted[i] = (Now() - start) * 1e3;
            }
        }
        // The end of a burst: the frame has the log painted.
        window.RepaintChatLog();
        const double perLine = (Now() - burstStart) * 1e3 / Block;
        for (int i = block; i < block + Block; ++i)
            bursting[i] = perLine;
        PumpMessages();

        if (paintBare)
            SendMessageW(bare, WM_SETREDRAW, TRUE, 0);
        for (int i = block; i < block + Block; ++i)
        {
            const std::string withBreak = LineNumber(i) + "\n";
            const double start = Now();
            GETTEXTLENGTHEX lengthOf = {GTL_NUMCHARS | GTL_PRECISE, 1200};
            const LRESULT end =
                SendMessageW(bare, EM_GETTEXTLENGTHEX, reinterpret_cast<WPARAM>(&lengthOf), 0);
            const double lengthKnown = Now();
            SendMessageA(bare, EM_SETSEL, end, end);
            const double selected = Now();
            SendMessageA(bare, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(withBreak.c_str()));
            const double inserted = Now();
            if (paintBare)
                UpdateWindow(bare);
            const double done = Now();
            bareCost[i] = (done - start) * 1e3;
            stepCost[0][i] = (lengthKnown - start) * 1e3;
            stepCost[1][i] = (selected - lengthKnown) * 1e3;
            stepCost[2][i] = (inserted - selected) * 1e3;
            stepCost[3][i] = (done - inserted) * 1e3;
            // The view follows the newest line, outside the timed insertion.
            SendMessageA(bare, EM_LINESCROLL, 0, 1);
            if (paintBare)
                UpdateWindow(bare);
        }
        if (paintBare)
            SendMessageW(bare, WM_SETREDRAW, FALSE, 0);
        PumpMessages();
    }

    PROCESS_MEMORY_COUNTERS memory = {};
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);

    const auto medianOf = [&](const std::vector<double>& costs, int from, int to) {
        return Median(std::vector<double>(costs.begin() + from, costs.begin() + to));
    };
    std::printf("lines: %d, in bursts of %d\n", lines, Block);
    std::printf("| ms per line | around line %d | around line %d | growth |\n|---|---|---|---|\n",
                marks[0], marks[1]);
    double at[2][3];
    for (int m = 0; m < 2; ++m)
    {
        at[m][0] = medianOf(bursting, marks[m], marks[m] + MeasuredBursts * Block);
        at[m][1] = medianOf(painted, marks[m] - Block, marks[m]);
        at[m][2] = medianOf(bareCost, marks[m] - Block, marks[m] + Block);
    }
    const char* names[3] = {"AppendChatLine within a burst, painting held",
                            "AppendChatLine painted after every line (as before)",
                            "bare insertion painted after every line (reference)"};
    for (int row = 0; row < 3; ++row)
        std::printf("| %s | %.3f | %.3f | %.2f |\n", names[row], at[0][row], at[1][row],
                    at[1][row] / at[0][row]);
    std::printf("within a burst against the bare insertion painted per line: %.2f at line %d, "
                "%.2f at line %d\n",
                at[0][0] / at[0][2], marks[0], at[1][0] / at[1][2], marks[1]);
    const char* stepNames[4] = {"EM_GETTEXTLENGTHEX, characters", "EM_SETSEL to the end",
                                "EM_REPLACESEL", "painting the line (UpdateWindow)"};
    std::printf("\n| step of the bare insertion, painted | median ms around line %d | around "
                "line %d |\n|---|---|---|\n",
                marks[0], marks[1]);
    for (int step = 0; step < 4; ++step)
        std::printf("| %s | %.3f | %.3f |\n", stepNames[step],
                    medianOf(stepCost[step], marks[0] - Block, marks[0] + Block),
                    medianOf(stepCost[step], marks[1] - Block, marks[1] + Block));
    std::printf("working set before the first line: %.1f MB, private memory: %.1f MB\n",
                before.WorkingSetSize / 1048576.0, before.PagefileUsage / 1048576.0);
    std::printf("working set after the last line: %.1f MB, private memory: %.1f MB (both logs)\n",
                memory.WorkingSetSize / 1048576.0, memory.PagefileUsage / 1048576.0);

    if (!csvPath.empty())
    {
        // Each block's cost per line within bursts, and the bare insertion's without painting.
        std::ofstream csv(csvPath);
        csv << "line,append_ms,bare_ms\n";
        for (int block = 0; block + 250 <= lines; block += 250)
        {
            std::vector<double> burstCosts, bareCosts;
            for (int i = block; i < block + 250; ++i)
                if (std::none_of(std::begin(marks), std::end(marks),
                                 [&](int mark) { return i >= mark - Block && i < mark; }))
                {
                    burstCosts.push_back(bursting[i]);
                    bareCosts.push_back(bareCost[i]);
                }
            if (!burstCosts.empty())
                csv << block + 125 << ',' << Median(burstCosts) << ',' << Median(bareCosts) << '\n';
        }
    }
    DestroyWindow(bareWindow);
    DestroyWindow(window.hwnd);
    return 0;
}
