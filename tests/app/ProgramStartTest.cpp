// The chat program started as a process, as a user starts it: what it shows, writes and
// returns on its start-up and shut-down paths. Each case has its own working directory and its
// own loopback address for the server (the program's port is always 6112).

#include "support/Files.h"
#include "support/LoopbackPeer.h"
#include "support/ProgramRun.h"
#include "support/WindowTesting.h"

#include <gtest/gtest.h>

#include <iphlpapi.h>

#include <cstdint>
#include <string>
#include <vector>

using namespace testing_support;

namespace
{

const char* const MainWindowClass = "Ostrel chat client";

int CountOf(const std::string& text, const std::string& piece)
{
    int count = 0;
    for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
        ++count;
    return count;
}

// The text field of a Nickname packet as the server receives it.
std::string AnnouncedNickname(const Bytes& packet)
{
    if (packet.size() < 6 || packet[1] != 5)
        return "<not a nickname packet>";
    return std::string(packet.begin() + 6, packet.end());
}

// The nickname label's text in a main window of another process.
std::string LabelText(HWND window)
{
    for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        if (ClassNameOf(child) == "Static")
            return TextOf(child);
    return "<no label>";
}

class ProgramStart : public ::testing::Test
{
protected:
    void WriteSettings(const std::string& lines)
    {
        WriteBytes(dir.File("data.dat"), OnDisk(lines));
    }
    std::string Settings() const { return ReadBytes(dir.File("data.dat")); }

    TempDir dir;
    const std::filesystem::path program = ProgramPath(L"ostrel-chat.exe");
};

TEST_F(ProgramStart, UnreachableServerIsReportedAndEndsWithExitCodeOne)
{
    WriteSettings("server=127.0.0.9\n");
    ProgramRun run(program, dir.Path());
    ASSERT_TRUE(run.Started());

    const HWND box = FindMessageBoxOf(run.ProcessId(), 15000);
    ASSERT_NE(box, nullptr) << "no message box; output: " << run.Out();
    EXPECT_EQ(MessageBoxText(box), "Unable to reach server!");
    EXPECT_EQ(TextOf(box), "Error");
    EXPECT_EQ(GetWindow(box, GW_OWNER), nullptr);
    EXPECT_TRUE(run.WindowsOf(MainWindowClass).empty());
    DismissMessageBox(box);

    DWORD exitCode = 0;
    ASSERT_TRUE(run.WaitForExit(exitCode));
    EXPECT_EQ(exitCode, 1u);
    EXPECT_EQ(run.Out(), "Failed to connect.\n");
    EXPECT_EQ(Settings(), OnDisk("server=127.0.0.9\n")) << "no nickname is stored";
}

TEST_F(ProgramStart, ClosingTheWindowEndsWithOneReasonLineAndExitCodeZero)
{
    WriteSettings("server=127.0.0.10\n");
    LoopbackPeer server("127.0.0.10", 6112);
    ASSERT_TRUE(server.Listening());
    ProgramRun run(program, dir.Path());
    ASSERT_TRUE(server.Accept(15000));
    const HWND window = run.WaitForWindow(MainWindowClass);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(TextOf(window), "Ostrel Chat Client");

    PostMessageW(window, WM_CLOSE, 0, 0);
    DWORD exitCode = 99;
    ASSERT_TRUE(run.WaitForExit(exitCode));
    EXPECT_EQ(exitCode, 0u);
    EXPECT_EQ(run.Out(), "Successfully connected to server 127.0.0.10.\n\n"
                         "Lost connection. Reason: Main window closed\n");
    EXPECT_EQ(run.Err(), "");
    EXPECT_TRUE(server.SeesClose());
}

TEST_F(ProgramStart, ServerClosingEndsTheProgramWithTwoReasonLines)
{
    WriteSettings("server=127.0.0.11\n");
    LoopbackPeer server("127.0.0.11", 6112);
    ASSERT_TRUE(server.Listening());
    ProgramRun run(program, dir.Path());
    ASSERT_TRUE(server.Accept(15000));
    ASSERT_NE(run.WaitForWindow(MainWindowClass), nullptr);

    // An orderly close: the server has read what the program sent (its nickname) first, so
    // nothing unread makes the close a reset.
    EXPECT_FALSE(server.ReceivePacket().empty());
    server.CloseConnection();
    DWORD exitCode = 99;
    ASSERT_TRUE(run.WaitForExit(exitCode));
    EXPECT_EQ(exitCode, 0u);
    const std::string out = run.Out();
    // The peer's close shows as end of stream, or as a hang-up where the platform reports one.
    const bool endOfStream =
        out.find(
            "Lost connection. Reason: Recv==0\nLost connection. Reason: Main window closed\n") !=
        std::string::npos;
    const bool hangUp =
        out.find(
            "Lost connection. Reason: POLLHUP\nLost connection. Reason: Main window closed\n") !=
        std::string::npos;
    EXPECT_TRUE(endOfStream || hangUp) << out;
    EXPECT_EQ(CountOf(out, "Lost connection. Reason: "), 2) << out;
    EXPECT_EQ(FindMessageBoxOf(run.ProcessId(), 0), nullptr);
}

TEST_F(ProgramStart, WithoutSettingsTheFileIsCreatedAndTheDefaultServerUsed)
{
    LoopbackPeer server("127.0.0.1", 6112);
    if (!server.Listening())
        GTEST_SKIP() << "something else listens on 127.0.0.1:6112";
    ProgramRun run(program, dir.Path());
    ASSERT_TRUE(server.Accept(15000));
    const HWND window = run.WaitForWindow(MainWindowClass);
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(std::filesystem::exists(dir.File("data.dat")));
    EXPECT_EQ(run.Out().find("Successfully connected to server 127.0.0.1.\n"), 0u) << run.Out();
    PostMessageW(window, WM_CLOSE, 0, 0);
    DWORD exitCode = 99;
    ASSERT_TRUE(run.WaitForExit(exitCode));
    EXPECT_EQ(exitCode, 0u);
}

TEST_F(ProgramStart, ServerGivenByNameIsResolved)
{
    WriteSettings("server=localhost\n");
    LoopbackPeer server("127.0.0.1", 6112);
    if (!server.Listening())
        GTEST_SKIP() << "something else listens on 127.0.0.1:6112";
    ProgramRun run(program, dir.Path());
    ASSERT_TRUE(server.Accept(15000));
    const HWND window = run.WaitForWindow(MainWindowClass);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(run.Out().find("Successfully connected to server 127.0.0.1.\n"), 0u) << run.Out();
    PostMessageW(window, WM_CLOSE, 0, 0);
    DWORD exitCode = 99;
    ASSERT_TRUE(run.WaitForExit(exitCode));
    EXPECT_EQ(exitCode, 0u);
}

TEST_F(ProgramStart, FirstRunStoresShowsAndAnnouncesTheGeneratedNickname)
{
    // Written by hand: spaces and a tab around the address, and no line break after it.
    WriteSettings("server= 127.0.0.12 \t");
    LoopbackPeer server("127.0.0.12", 6112);
    ASSERT_TRUE(server.Listening());
    ProgramRun run(program, dir.Path());
    ASSERT_TRUE(server.Accept(15000));

    const std::string nickname = AnnouncedNickname(server.ReceivePacket(10000));
    ASSERT_EQ(nickname.rfind("User#", 0), 0u) << nickname;
    const int number = std::stoi(nickname.substr(5));
    EXPECT_GE(number, 10000);
    EXPECT_LE(number, 42767);
    EXPECT_EQ(Settings(), OnDisk("server= 127.0.0.12 \t\nnickname=" + nickname + "\n"));

    const HWND window = run.WaitForWindow(MainWindowClass);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(LabelText(window), nickname + ": ");
    EXPECT_TRUE(server.ReceivePacket(500).empty()) << "one announcement only";
    PostMessageW(window, WM_CLOSE, 0, 0);
    DWORD exitCode = 99;
    ASSERT_TRUE(run.WaitForExit(exitCode));
    EXPECT_EQ(exitCode, 0u);
}

TEST_F(ProgramStart, StoredNicknameIsUsedAndTheGeneratedOneNeverSent)
{
    // A name that holds the word "server" in small letters is an ordinary one.
    WriteSettings("server=127.0.0.13\nnickname=myserver\n");
    LoopbackPeer server("127.0.0.13", 6112);
    ASSERT_TRUE(server.Listening());
    ProgramRun run(program, dir.Path());
    ASSERT_TRUE(server.Accept(15000));
    EXPECT_EQ(AnnouncedNickname(server.ReceivePacket(10000)), "myserver");

    const HWND window = run.WaitForWindow(MainWindowClass);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(LabelText(window), "myserver: ");
    PostMessageW(window, WM_CLOSE, 0, 0);
    DWORD exitCode = 99;
    ASSERT_TRUE(run.WaitForExit(exitCode));
    // Everything the program sent until it closed: no generated name anywhere.
    const Bytes rest = server.Receive(65536, 2000);
    EXPECT_EQ(AsString(rest).find("User#"), std::string::npos);
    EXPECT_EQ(Settings(), OnDisk("server=127.0.0.13\nnickname=myserver\n"));
}

TEST_F(ProgramStart, StoredNicknameTheServerWouldRefuseIsReplacedByAGeneratedOne)
{
    for (const std::string& stored : {std::string(""), std::string(33, 'x')})
    {
        WriteSettings("server=127.0.0.14\nnickname=" + stored + "\n");
        LoopbackPeer server("127.0.0.14", 6112);
        ASSERT_TRUE(server.Listening());
        ProgramRun run(program, dir.Path());
        ASSERT_TRUE(server.Accept(15000));
        const std::string nickname = AnnouncedNickname(server.ReceivePacket(10000));
        EXPECT_EQ(nickname.rfind("User#", 0), 0u) << stored << ": " << nickname;
        EXPECT_EQ(Settings(), OnDisk("server=127.0.0.14\nnickname=" + nickname + "\n"));
        EXPECT_NE(run.Err().find("The stored nickname cannot be used: A nickname "),
                  std::string::npos)
            << run.Err();

        const HWND window = run.WaitForWindow(MainWindowClass);
        ASSERT_NE(window, nullptr);
        EXPECT_EQ(LabelText(window), nickname + ": ");
        PostMessageW(window, WM_CLOSE, 0, 0);
        DWORD exitCode = 99;
        ASSERT_TRUE(run.WaitForExit(exitCode));
        EXPECT_EQ(exitCode, 0u);
    }
}

// The chat log of a main window of another process.
HWND ChatLogOf(HWND window)
{
    for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        if (lstrcmpiA(ClassNameOf(child).c_str(), "RICHEDIT50W") == 0 && GetDlgCtrlID(child) == 0)
            return child;
    return nullptr;
}

// Whether some connection to the address and port waits for the answer to its first packet
// (SYN_SENT), as a try to a server that does not answer does.
bool ConnectionUnderWay(const char* address, std::uint16_t port)
{
    ULONG size = 0;
    GetTcpTable(nullptr, &size, FALSE);
    std::vector<unsigned char> buffer(size + 4096);
    size = static_cast<ULONG>(buffer.size());
    auto* table = reinterpret_cast<MIB_TCPTABLE*>(buffer.data());
    if (GetTcpTable(table, &size, FALSE) != NO_ERROR)
        return false;
    IN_ADDR remote{};
    inet_pton(AF_INET, address, &remote);
    for (DWORD i = 0; i < table->dwNumEntries; ++i)
    {
        const MIB_TCPROW& row = table->table[i];
        if (row.dwState == MIB_TCP_STATE_SYN_SENT && row.dwRemoteAddr == remote.S_un.S_addr &&
            ntohs(static_cast<u_short>(row.dwRemotePort)) == port)
            return true;
    }
    return false;
}

bool EndsWith(const std::string& text, const std::string& end)
{
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// With reconnect=on, a server that goes and whose address then answers nothing: the window stays
// and answers the user while the program tries to connect again, and closing it ends the program
// at once, with exit code 0, without waiting for the try.
TEST_F(ProgramStart, ClosingWhileWaitingForTheServerEndsAtOnceWithExitCodeZero)
{
    WriteSettings("server=127.0.0.73\nreconnect=on\nnickname=Wren\n");
    auto server = std::make_unique<LoopbackPeer>("127.0.0.73", 6112);
    ASSERT_TRUE(server->Listening());
    ProgramRun run(program, dir.Path());
    ASSERT_TRUE(server->Accept(15000));
    const HWND window = run.WaitForWindow(MainWindowClass);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(AnnouncedNickname(server->ReceivePacket(10000)), "Wren");

    // The server goes; its address stays but answers nothing.
    ASSERT_TRUE(server->StopAnswering());
    server->CloseConnection();
    const HWND chatLog = ChatLogOf(window);
    ASSERT_NE(chatLog, nullptr);
    ASSERT_TRUE(WaitForText([&] { return ContentOf(chatLog); },
                            "The connection to the server was lost. Trying again in 1 second."))
        << run.Out();

    // Until the try (due a second after the loss) is under way, waiting for an answer that does
    // not come, and while it is, the window answers.
    const auto answers = [&] {
        DWORD_PTR result = 0;
        return SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 1000, &result) != 0;
    };
    const DWORD end = GetTickCount() + 10000;
    while (!ConnectionUnderWay("127.0.0.73", 6112) && static_cast<int>(end - GetTickCount()) > 0)
        ASSERT_TRUE(answers()) << "the window did not answer within a second";
    ASSERT_TRUE(ConnectionUnderWay("127.0.0.73", 6112)) << "no try was made";
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(answers()) << "the window did not answer within a second during the try";
    EXPECT_TRUE(ConnectionUnderWay("127.0.0.73", 6112));
    EXPECT_TRUE(run.Running());
    EXPECT_EQ(CountOf(run.Out(), "Successfully connected"), 1) << run.Out();

    PostMessageW(window, WM_CLOSE, 0, 0);
    DWORD exitCode = 99;
    ASSERT_TRUE(run.WaitForExit(exitCode, 5000)) << "the program waited for its try";
    EXPECT_EQ(exitCode, 0u);
    const std::string out = run.Out();
    EXPECT_TRUE(EndsWith(out, "Lost connection. Reason: Main window closed\n")) << out;
    EXPECT_EQ(CountOf(out, "Successfully connected"), 1) << out;
    EXPECT_EQ(run.Err(), "");
}

} // namespace
