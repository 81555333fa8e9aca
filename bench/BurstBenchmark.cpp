// A burst of chat lines through the real programs (run it under Wine): ostrel-server.exe,
// ostrel-chat.exe in a window of its own, and a scripted peer that says N lines at once. Times
// the burst from the peer's first line to the program showing the last one (its echo on
// standard output, then the chat log holding it), and the peer's own round trip of the same
// lines through the server as the floor. Runs the burst several times, each in a new program.
//
//   burst_benchmark.exe [--lines N] [--runs R] [--program PATH] [--tls]
//
// --program runs another build of ostrel-chat.exe (an earlier one, to compare). --tls runs the
// Linux build of the server instead (the Windows one has no TLS) and alternates plain bursts
// with bursts over TLS, so that the two are compared in one run against one server.

#include "chat/ScriptedPeer.h"
#include "support/Files.h"
#include "support/HostProcess.h"
#include "support/ProgramRun.h"
#include "support/WindowTesting.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

using namespace testing_support;
using Clock = std::chrono::steady_clock;

namespace
{

const char* const Address = "127.0.0.61";

double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

HWND ChatLogOf(HWND window)
{
    for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
    {
        char name[64] = {};
        GetClassNameA(child, name, sizeof name);
        if (lstrcmpiA(name, "RICHEDIT50W") == 0 && GetDlgCtrlID(child) == 0)
            return child;
    }
    return nullptr;
}

struct Result
{
    double echoed = 0; // until the program has written the last line
    double shown = 0;  // until its chat log holds the last line
    double peer = 0;   // until the peer itself has the last line back from the server
};

// tlsPin: the program connects with TLS, trusting that pin; empty: plain.
bool RunBurst(const std::filesystem::path& programPath, const std::filesystem::path& dir, int run,
              int lines, const std::string& tlsPin, Result& result)
{
    std::filesystem::create_directories(dir / "src");
    for (const char* sound : {"snd_newmessage.mp3", "snd_newuser.mp3"})
        std::filesystem::copy_file(ProgramPath(L"src") / sound, dir / "src" / sound,
                                   std::filesystem::copy_options::overwrite_existing);
    std::ofstream(dir / "data.dat", std::ios::trunc)
        << "server=" << Address << "\nnickname=Reader\n"
        << (tlsPin.empty() ? "" : "tls=on\ntls-pin=" + tlsPin + "\n");

    ProgramRun program(programPath, dir);
    const HWND window = program.WaitForWindow("Ostrel chat client", 30000);
    if (!window || !WaitForText([&] { return program.Out(); }, "Reader joined.", 30000))
    {
        std::fprintf(stderr, "the program did not start: %s\n", program.Err().c_str());
        return false;
    }
    ScriptedPeer peer;
    if (!peer.Connect(oNet::Endpoint(Address, 6112)))
        return false;
    peer.Announce("Burst");
    // The peer says its lines as one writer, as fast as the socket takes them.
    if (!peer.RunUntil([&] { return peer.Saw("Burst joined."); }, std::chrono::seconds(20)))
        return false;
    // The program's own view of the join (and the lists) comes first, then quiet.
    WaitForText([&] { return program.Out(); }, "Burst joined.", 20000);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    // Each run's lines are its own: the server replays the last few to newcomers.
    const std::string prefix = "run " + std::to_string(run) + " line ";
    const std::string last = "[Burst]: " + prefix + std::to_string(lines - 1);
    const auto start = Clock::now();
    for (int i = 0; i < lines; ++i)
        peer.Say(prefix + std::to_string(i));
    bool peerDone = false;
    while (result.echoed == 0 && SecondsSince(start) < 300)
    {
        peer.Frame();
        if (!peerDone && peer.Saw(last))
        {
            peerDone = true;
            result.peer = SecondsSince(start);
        }
        if (program.Out().find(last + "\n") != std::string::npos)
            result.echoed = SecondsSince(start);
    }
    const HWND chatLog = ChatLogOf(window);
    while (result.shown == 0 && SecondsSince(start) < 300)
        if (ContentOf(chatLog).find(last + "\r") != std::string::npos)
            result.shown = SecondsSince(start);
    peer.Disconnect("burst over");
    PostMessageW(window, WM_CLOSE, 0, 0);
    DWORD exitCode = 0;
    program.WaitForExit(exitCode, 30000);
    return result.echoed > 0 && result.shown > 0;
}

} // namespace

int main(int argc, char** argv)
{
    int lines = 2000;
    int runs = 3;
    bool tls = false;
    std::filesystem::path programPath = ProgramPath(L"ostrel-chat.exe");
    for (int i = 1; i < argc; ++i)
    {
        const std::string name = argv[i];
        if (name == "--tls")
            tls = true;
        else if (i + 1 >= argc)
            break;
        else if (name == "--lines")
            lines = std::stoi(argv[++i]);
        else if (name == "--runs")
            runs = std::stoi(argv[++i]);
        else if (name == "--program")
            programPath = std::filesystem::absolute(argv[++i]);
    }
    WSADATA socketLayer = {};
    WSAStartup(MAKEWORD(2, 2), &socketLayer);
    const std::filesystem::path base =
        std::filesystem::temp_directory_path() / ("ostrel-burst-" + std::to_string(GetTickCount()));
    std::filesystem::create_directories(base);

    std::unique_ptr<ProgramRun> windowsServer;
    std::unique_ptr<HostProcess> linuxServer;
    std::string pin;
    const std::string serverOptions =
        std::string("--listen ") + Address + " --port 6112 --line-rate 0";
    if (tls)
    {
        if (!RunOnHost("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes "
                       "-days 2 -subj /CN=burst -keyout server.key -out server.crt",
                       base))
        {
            std::fprintf(stderr, "openssl could not make a certificate\n");
            return 1;
        }
        linuxServer =
            std::make_unique<HostProcess>(std::string(OSTREL_HOST_SERVER) + " " + serverOptions +
                                              " --tls-cert server.crt --tls-key server.key",
                                          base);
        const std::string marker = "tls-pin= is ";
        if (!WaitForText([&] { return linuxServer->Out(); }, marker, 30000))
        {
            std::fprintf(stderr, "the server did not start: %s\n", linuxServer->Err().c_str());
            return 1;
        }
        const std::string out = linuxServer->Out();
        pin = out.substr(out.find(marker) + marker.size(), 64);
    }
    else
    {
        windowsServer =
            std::make_unique<ProgramRun>(ProgramPath(L"ostrel-server.exe"), base,
                                         std::wstring(serverOptions.begin(), serverOptions.end()));
        if (!WaitForText([&] { return windowsServer->Out(); }, "listening on", 30000))
        {
            std::fprintf(stderr, "the server did not start: %s\n", windowsServer->Err().c_str());
            return 1;
        }
    }

    std::printf("program: %s\nserver: %s\nlines per burst: %d\n", programPath.string().c_str(),
                tls ? "the Linux build, TLS and plain" : "ostrel-server.exe", lines);
    std::printf("| run | connection | program echoed the last line, s | its chat log holds it, s | "
                "lines/s | the peer's own round trip, s |\n|---|---|---|---|---|---|\n");
    std::vector<double> shown[2];
    int run = 0;
    for (int round = 1; round <= runs; ++round)
        for (int encrypted = 0; encrypted < (tls ? 2 : 1); ++encrypted)
        {
            ++run;
            Result result;
            if (!RunBurst(programPath, base / ("run" + std::to_string(run)), run, lines,
                          encrypted ? pin : "", result))
            {
                std::fprintf(stderr, "run %d did not finish\n", run);
                return 1;
            }
            shown[encrypted].push_back(result.shown);
            std::printf("| %d | %s | %.2f | %.2f | %.0f | %.2f |\n", run,
                        encrypted ? "TLS" : "plain", result.echoed, result.shown,
                        lines / result.shown, result.peer);
            std::fflush(stdout);
        }
    for (auto& times : shown)
        std::sort(times.begin(), times.end());
    std::printf("median until the chat log holds the last line: %.2f s plain",
                shown[0][shown[0].size() / 2]);
    if (tls)
        std::printf(", %.2f s over TLS: %.2fx", shown[1][shown[1].size() / 2],
                    shown[1][shown[1].size() / 2] / shown[0][shown[0].size() / 2]);
    std::printf("\n");
    linuxServer.reset();
    windowsServer.reset();
    std::error_code ignored;
    std::filesystem::remove_all(base, ignored);
    WSACleanup();
    return 0;
}
