// The whole system as people use it: the real chat program under Wine, the real ostrel-server,
// and a scripted peer on the networking library, each scenario in its own working directory and
// on its own loopback address. The test drives the program's window from outside, as a user
// would (typing into the message box, pressing Enter, using the nickname dialog), and checks
// what the user sees (texts, and the colours on the screen) and what the peer receives.

#include "chat/ScriptedPeer.h"
#include "support/Files.h"
#include "support/HostProcess.h"
#include "support/ProgramRun.h"
#include "support/WindowTesting.h"

#include <algorithm>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace testing_support;
using namespace std::chrono;

namespace
{

const COLORREF OwnBlue = RGB(65, 136, 254);
const COLORREF OtherGreen = RGB(0, 138, 80);
const COLORREF ServerRed = RGB(255, 85, 85);

struct ChildSearch
{
    const char* className;
    int id;
    HWND found;
};

BOOL CALLBACK TakeChild(HWND child, LPARAM context)
{
    auto* search = reinterpret_cast<ChildSearch*>(context);
    if (lstrcmpiA(ClassNameOf(child).c_str(), search->className) == 0 &&
        GetDlgCtrlID(child) == search->id)
    {
        search->found = child;
        return FALSE;
    }
    return TRUE;
}

// A control of another process's window, found by class and id (grandchildren included).
HWND FindControl(HWND window, const char* className, int id)
{
    ChildSearch search{className, id, nullptr};
    EnumChildWindows(window, TakeChild, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

class Scenario : public ::testing::Test
{
protected:
    // Starts the real server on the address, and the program with these settings lines.
    void Start(const char* address, const std::string& settings,
               const std::wstring& serverOptions = L"")
    {
        serverAddress = address;
        server = std::make_unique<ProgramRun>(ProgramPath(L"ostrel-server.exe"), serverDir.Path(),
                                              L"--listen " +
                                                  std::wstring(address, address + strlen(address)) +
                                                  L" --port 6112 " + serverOptions);
        ASSERT_TRUE(WaitForText([&] { return server->Out(); }, "listening on")) << server->Err();

        CopySounds();
        WriteBytes(dir.File("data.dat"),
                   OnDisk("server=" + std::string(address) + "\n" + settings));
    }

    void CopySounds()
    {
        std::filesystem::create_directories(dir.Path() / "src");
        for (const char* sound : {"snd_newmessage.mp3", "snd_newuser.mp3"})
            std::filesystem::copy_file(ProgramPath(L"src") / sound, dir.Path() / "src" / sound,
                                       std::filesystem::copy_options::skip_existing);
    }

    // Starts the Linux build of the server (the Windows one has no TLS) on the address with a
    // throwaway certificate made by openssl, and writes the program's settings. The pin the
    // server logs goes to pin.
    void StartSecure(const char* address, const std::string& settings, std::string& pin)
    {
        serverAddress = address;
        certificates++;
        const std::string name = "server" + std::to_string(certificates);
        ASSERT_TRUE(RunOnHost("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 "
                              "-nodes -days 2 -subj /CN=ostrel-test -keyout " +
                                  name + ".key -out " + name + ".crt",
                              serverDir.Path()))
            << ReadBytes(serverDir.File("host-command.out"));
        StartHostServer(name, pin);
        CopySounds();
        WriteBytes(dir.File("data.dat"),
                   OnDisk("server=" + std::string(address) + "\n" + settings));
    }

    // (Re)starts the Linux build of the server on serverAddress with the certificate of that
    // name, and gives its pin.
    void StartHostServer(const std::string& certificate, std::string& pin)
    {
        ASSERT_TRUE(std::filesystem::exists(OSTREL_HOST_SERVER))
            << "the Linux build of the server is needed: cmake --build --preset native";
        hostServer.reset(); // one at a time: the same address and port
        hostServer = std::make_unique<HostProcess>(
            std::string(OSTREL_HOST_SERVER) + " --listen " + serverAddress +
                " --port 6112 --tls-cert " + certificate + ".crt --tls-key " + certificate + ".key",
            serverDir.Path());
        const std::string marker = "tls-pin= is ";
        ASSERT_TRUE(WaitForText([&] { return hostServer->Out(); }, marker)) << hostServer->Err();
        const std::string out = hostServer->Out();
        pin = out.substr(out.find(marker) + marker.size(), 64);
    }

    // Starts the program and waits for a message box of it instead of its window.
    HWND StartProgramForBox()
    {
        program = std::make_unique<ProgramRun>(ProgramPath(L"ostrel-chat.exe"), dir.Path());
        return FindMessageBoxOf(program->ProcessId(), 30000);
    }

    void ConnectPeer(const std::string& name)
    {
        ASSERT_TRUE(peer.Connect(oNet::Endpoint(serverAddress, 6112)));
        peer.Announce(name);
        ASSERT_TRUE(PeerWaits([&] { return peer.Saw(name + " joined."); }));
    }

    void StartProgram()
    {
        program = std::make_unique<ProgramRun>(ProgramPath(L"ostrel-chat.exe"), dir.Path());
        window = program->WaitForWindow("Ostrel chat client", 20000);
        ASSERT_NE(window, nullptr) << program->Out() << program->Err();
        messageBox = FindControl(window, "Edit", 3);
        chatLog = FindControl(window, "RICHEDIT50W", 0);
        usersList = FindControl(window, "RICHEDIT50W", 4);
        label = FindControl(window, "Static", 0);
        ASSERT_TRUE(messageBox && chatLog && usersList && label);
    }

    // Runs the peer's frames until the condition holds.
    bool PeerWaits(const std::function<bool()>& done, int seconds = 20)
    {
        const auto deadline = steady_clock::now() + std::chrono::seconds(seconds);
        while (!done())
        {
            if (steady_clock::now() > deadline)
                return false;
            if (peer.IsConnected())
                peer.Frame();
            else
                std::this_thread::sleep_for(milliseconds(5));
        }
        return true;
    }

    // Types the text into the message box, one key at a time, and presses Enter.
    void Type(const std::string& text)
    {
        for (char c : text)
            PostMessageW(messageBox, WM_CHAR, static_cast<unsigned char>(c), 1);
        PostMessageW(messageBox, WM_KEYDOWN, VK_RETURN, 1);
        PostMessageW(messageBox, WM_CHAR, 13, 1);
    }

    std::string Nickname() { return ReadBytes(dir.File("data.dat")); }

    // The program shows the box that refuses a server whose key changed, naming both pins; once
    // it is dismissed the program ends with 1, its settings as they were and nothing sent to the
    // host's server.
    void ExpectChangedKeyRefused(HWND box, const std::string& refusalStart, const std::string& pin,
                                 const std::string& newPin, const std::string& settings)
    {
        ASSERT_NE(box, nullptr) << program->Out() << program->Err();
        const std::string refusal = MessageBoxText(box);
        EXPECT_NE(refusal.find(refusalStart), std::string::npos) << refusal;
        EXPECT_NE(refusal.find(pin), std::string::npos) << refusal;
        EXPECT_NE(refusal.find(newPin), std::string::npos) << refusal;
        EXPECT_EQ(TextOf(box), "Error");
        DismissMessageBox(box);
        DWORD exitCode = 99;
        ASSERT_TRUE(program->WaitForExit(exitCode, 20000));
        EXPECT_EQ(exitCode, 1u);
        EXPECT_EQ(ReadBytes(dir.File("data.dat")), settings);
        EXPECT_EQ(hostServer->Out().find("joined as"), std::string::npos) << hostServer->Out();
    }

    // Closes the window as its close box does, and waits for the program to end.
    DWORD CloseProgram()
    {
        PostMessageW(window, WM_CLOSE, 0, 0);
        DWORD exitCode = 99;
        EXPECT_TRUE(program->WaitForExit(exitCode, 60000));
        return exitCode;
    }

    TempDir dir;
    TempDir serverDir;
    const char* serverAddress = nullptr;
    std::unique_ptr<ProgramRun> server;
    std::unique_ptr<HostProcess> hostServer;
    int certificates = 0;
    std::unique_ptr<ProgramRun> program;
    ScriptedPeer peer;
    HWND window = nullptr, messageBox = nullptr, chatLog = nullptr, usersList = nullptr,
         label = nullptr;
};

TEST_F(Scenario, FirstRunStoresAGeneratedNicknameThatEveryoneSees)
{
    Start("127.0.0.40", "");
    ConnectPeer("Peer");
    StartProgram();
    ASSERT_TRUE(PeerWaits([&] { return peer.Saw("] [SERVER]: User#"); }));

    const std::string joined = peer.lines.back();
    const std::string name = joined.substr(joined.find("User#"), 10);
    EXPECT_EQ(joined.substr(joined.find("User#")), name + " joined.");
    EXPECT_NE(ReadBytes(dir.File("data.dat")).find("nickname=" + name), std::string::npos);
    EXPECT_EQ(ContentOf(label), name + ": ");
    EXPECT_TRUE(PeerWaits([&] { return peer.usersOnline.find(name) != std::string::npos; }));
    EXPECT_TRUE(WaitForText([&] { return ContentOf(usersList); }, name));
    EXPECT_EQ(CloseProgram(), 0u);
}

TEST_F(Scenario, StoredNicknameIsUsedAndTheGeneratedOneNeverReachesTheServer)
{
    Start("127.0.0.41", "nickname=Keeper\n");
    ConnectPeer("Peer");
    StartProgram();
    ASSERT_TRUE(PeerWaits([&] { return peer.Saw("Keeper joined."); }));
    EXPECT_EQ(ContentOf(label), "Keeper: ");
    EXPECT_TRUE(PeerWaits([&] { return peer.usersOnline == "Keeper\r\nPeer"; }))
        << peer.usersOnline;
    EXPECT_EQ(CloseProgram(), 0u);
    ASSERT_TRUE(PeerWaits([&] { return peer.Saw("Keeper left."); }));
    for (const auto& line : peer.lines)
        EXPECT_EQ(line.find("User#"), std::string::npos) << line;
    EXPECT_EQ(server->Out().find("User#"), std::string::npos) << server->Out();
}

TEST_F(Scenario, ConversationShowsOwnLinesBluePeersGreenAndServerRed)
{
    Start("127.0.0.42", "nickname=Ann\n");
    StartProgram();
    ASSERT_TRUE(WaitForText([&] { return ContentOf(chatLog); }, "Ann joined."));
    ConnectPeer("Peer");
    ASSERT_TRUE(WaitForText([&] { return ContentOf(chatLog); }, "Peer joined."));
    EXPECT_GT(PixelsOfColor(chatLog, ServerRed), 0);
    EXPECT_EQ(PixelsOfColor(chatLog, OwnBlue), 0);
    EXPECT_EQ(PixelsOfColor(chatLog, OtherGreen), 0);

    Type("hello from Ann");
    ASSERT_TRUE(PeerWaits([&] { return peer.Saw("] [Ann]: hello from Ann"); }));
    ASSERT_TRUE(WaitForText([&] { return ContentOf(chatLog); }, "[Ann]: hello from Ann"));
    EXPECT_EQ(ContentOf(messageBox), "") << "the box is emptied once the line is taken";
    EXPECT_TRUE(PeerWaits([&] { return PixelsOfColor(chatLog, OwnBlue) > 0; }, 5))
        << "the own line shows blue";
    EXPECT_EQ(PixelsOfColor(chatLog, OtherGreen), 0);

    peer.Say("hi Ann, Peer here");
    ASSERT_TRUE(PeerWaits(
        [&] { return ContentOf(chatLog).find("[Peer]: hi Ann, Peer here") != std::string::npos; }));
    EXPECT_TRUE(PeerWaits([&] { return PixelsOfColor(chatLog, OtherGreen) > 0; }, 5))
        << "the peer's line shows green";

    EXPECT_NE(program->Out().find("[Peer]: hi Ann, Peer here\n"), std::string::npos)
        << program->Out();
    EXPECT_EQ(CloseProgram(), 0u);
}

TEST_F(Scenario, NicknameChangedInTheDialogReachesThePeerAndTheSettings)
{
    Start("127.0.0.43", "nickname=Old\n");
    ConnectPeer("Peer");
    StartProgram();
    ASSERT_TRUE(PeerWaits([&] { return peer.Saw("Old joined."); }));

    PostMessageW(window, WM_COMMAND, 10, 0);
    HWND dialog = nullptr;
    ASSERT_TRUE(WaitForText(
        [&] {
            const auto dialogs = program->WindowsOf("Choose nickname dialog");
            dialog = dialogs.empty() ? nullptr : dialogs.front();
            return std::string(dialog ? "open" : "");
        },
        "open"));
    // The dialog shows first and makes its controls right after.
    HWND edit = nullptr, ok = nullptr;
    ASSERT_TRUE(WaitForText(
        [&] {
            edit = FindControl(dialog, "Edit", 0);
            ok = FindControl(dialog, "Button", 0);
            return std::string(edit && ok ? "ready" : "");
        },
        "ready"));
    EXPECT_EQ(ContentOf(edit), "Old");
    SendMessageA(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("Newer"));
    PostMessageW(ok, BM_CLICK, 0, 0);

    ASSERT_TRUE(PeerWaits([&] { return peer.Saw("Old is now known as Newer."); }));
    EXPECT_TRUE(PeerWaits([&] { return peer.usersOnline == "Newer\r\nPeer"; })) << peer.usersOnline;
    EXPECT_EQ(ReadBytes(dir.File("data.dat")), OnDisk("server=127.0.0.43\nnickname=Newer\n"));
    EXPECT_TRUE(WaitForText([&] { return ContentOf(label); }, "Newer: "));
    EXPECT_TRUE(program->WindowsOf("Choose nickname dialog").empty());
    EXPECT_EQ(CloseProgram(), 0u);
}

TEST_F(Scenario, ServerStoppingEndsTheProgramWithBothReasonLines)
{
    Start("127.0.0.44", "nickname=Sam\n");
    StartProgram();
    ASSERT_TRUE(WaitForText([&] { return ContentOf(chatLog); }, "Sam joined."));
    server.reset(); // ends the server process

    DWORD exitCode = 99;
    ASSERT_TRUE(program->WaitForExit(exitCode, 20000));
    EXPECT_EQ(exitCode, 0u);
    const std::string out = program->Out();
    const std::size_t first = out.find("Lost connection. Reason: ");
    ASSERT_NE(first, std::string::npos) << out;
    EXPECT_NE(out.find("Lost connection. Reason: Main window closed\n", first + 1),
              std::string::npos)
        << out;
    EXPECT_EQ(FindMessageBoxOf(program->ProcessId(), 0), nullptr);
}

// Enough lines that they come in many reads and the chat log is painted several times while
// they arrive (it holds its painting for up to 50 ms at a time).
TEST_F(Scenario, BurstOfLinesIsShownWholeAndInOrder)
{
    constexpr int Lines = 250;
    // The peer sends far faster than a person types: the server's flood control is off.
    Start("127.0.0.45", "nickname=Reader\n", L"--line-rate 0");
    StartProgram();
    ASSERT_TRUE(WaitForText([&] { return ContentOf(chatLog); }, "Reader joined."));
    ConnectPeer("Burst");
    for (int i = 0; i < Lines; ++i)
        peer.Say("line " + std::to_string(i));
    const std::string last = "[Burst]: line " + std::to_string(Lines - 1);
    ASSERT_TRUE(PeerWaits([&] { return peer.Saw(last); }, 60));
    ASSERT_TRUE(WaitForText([&] { return program->Out(); }, last + "\n", 60000));

    const std::string log = ContentOf(chatLog);
    std::size_t at = 0;
    for (int i = 0; i < Lines; ++i)
    {
        at = log.find("[Burst]: line " + std::to_string(i) + "\r", at);
        ASSERT_NE(at, std::string::npos) << "line " << i << " missing or out of order";
    }
    EXPECT_EQ(CloseProgram(), 0u);
    EXPECT_NE(program->Out().find("Lost connection. Reason: Main window closed\n"),
              std::string::npos);
}

// The chat log's text as lines, and the one at the top of its view (lines this short do not
// wrap, so a line of the view is a line of the log).
std::vector<std::string> LinesOf(HWND chatLog)
{
    std::vector<std::string> lines;
    const std::string text = ContentOf(chatLog);
    for (std::size_t at = 0; at < text.size();)
    {
        const std::size_t end = std::min(text.find("\r\n", at), text.size());
        lines.push_back(text.substr(at, end - at));
        at = end + 2;
    }
    return lines;
}

std::string TopLineOf(HWND chatLog)
{
    const auto lines = LinesOf(chatLog);
    const auto first =
        static_cast<std::size_t>(SendMessageW(chatLog, EM_GETFIRSTVISIBLELINE, 0, 0));
    return first < lines.size() ? lines[first] : "";
}

// Whether the newest line is in view: the log shows some 34 lines, and its scroll bar cannot be
// read from another process.
bool ShowsTheEnd(HWND chatLog)
{
    const auto first =
        static_cast<std::size_t>(SendMessageW(chatLog, EM_GETFIRSTVISIBLELINE, 0, 0));
    const std::size_t lines = LinesOf(chatLog).size();
    return first + 40 >= lines;
}

// A program left open for long: the log keeps the newest 5,000 lines, trimming the oldest 500 at
// a time, and the view stays where the user left it: on the lines they scrolled up to read, or
// on the newest line.
TEST_F(Scenario, LongConversationKeepsTheNewestLinesAndTheViewWhereTheUserLeftIt)
{
    Start("127.0.0.46", "nickname=Reader\n", L"--line-rate 0 --history 0");
    StartProgram();
    ASSERT_TRUE(WaitForText([&] { return ContentOf(chatLog); }, "Reader joined."));
    ConnectPeer("Talker");
    int said = 0;
    const auto say = [&](int count) {
        for (const int end = said + count; said < end; ++said)
            peer.Say("line " + std::to_string(said));
        const std::string last = "[Talker]: line " + std::to_string(said - 1) + "\n";
        // The program's output grows long: it is read a few times a second, not at every frame.
        auto nextLook = steady_clock::now();
        ASSERT_TRUE(PeerWaits(
            [&] {
                if (steady_clock::now() < nextLook)
                    return false;
                nextLook = steady_clock::now() + milliseconds(200);
                return program->Out().find(last) != std::string::npos;
            },
            120));
    };
    say(700);
    EXPECT_TRUE(PeerWaits([&] { return ShowsTheEnd(chatLog); }, 5))
        << "the newest line in view while the user reads it";

    // The user scrolls up to read line 600 and some after it; the talk goes on past 5,500.
    SendMessageW(chatLog, WM_VSCROLL, SB_TOP, 0);
    SendMessageW(chatLog, EM_LINESCROLL, 0, 602);
    const std::string reading = TopLineOf(chatLog);
    ASSERT_NE(reading.find("[Talker]: line 600"), std::string::npos) << reading;
    say(4900);
    std::vector<std::string> lines = LinesOf(chatLog);
    EXPECT_LE(lines.size(), 5500u);
    EXPECT_GE(lines.size(), 5000u);
    EXPECT_EQ(lines.front().find("line 0\r"), std::string::npos) << lines.front();
    EXPECT_NE(lines.back().find("[Talker]: line 5599"), std::string::npos) << lines.back();
    EXPECT_EQ(TopLineOf(chatLog), reading) << "the lines being read stay in view";
    EXPECT_FALSE(ShowsTheEnd(chatLog));

    // Back at the end, the newest line stays in view through the next trimming.
    SendMessageW(chatLog, WM_VSCROLL, SB_BOTTOM, 0);
    say(600);
    lines = LinesOf(chatLog);
    EXPECT_LE(lines.size(), 5500u);
    EXPECT_NE(lines.back().find("[Talker]: line 6199"), std::string::npos) << lines.back();
    EXPECT_TRUE(PeerWaits([&] { return ShowsTheEnd(chatLog); }, 5));
    EXPECT_EQ(CloseProgram(), 0u);
}

// Encrypted, as a new user meets it: asked once about the server's key, which is then trusted
// and stored; a plain client shares the room; the next start asks nothing; another key is
// refused with both pins, and nothing is sent or stored.
TEST_F(Scenario, EncryptedConnectionAsksOnceAndRefusesAnotherKey)
{
    std::string pin;
    StartSecure("127.0.0.53", "tls=on\nnickname=Tina\n", pin);
    ASSERT_EQ(pin.size(), 64u) << hostServer->Out();
    HWND box = StartProgramForBox();
    ASSERT_NE(box, nullptr) << program->Err();
    const std::string question = MessageBoxText(box);
    EXPECT_NE(question.find("first encrypted connection to the server 127.0.0.53"),
              std::string::npos)
        << question;
    EXPECT_NE(question.find(pin), std::string::npos) << question;
    EXPECT_EQ(program->Out(), "") << "nothing before the answer";
    PostMessageW(box, WM_COMMAND, IDYES, 0);
    window = program->WaitForWindow("Ostrel chat client", 20000);
    ASSERT_NE(window, nullptr) << program->Out() << program->Err();
    messageBox = FindControl(window, "Edit", 3);
    EXPECT_EQ(ReadBytes(dir.File("data.dat")),
              OnDisk("server=127.0.0.53\ntls=on\nnickname=Tina\ntls-pin=" + pin + "\n"));

    // A plain client in the same room.
    ConnectPeer("Plain");
    ASSERT_TRUE(PeerWaits([&] { return peer.usersOnline == "Plain\r\nTina"; })) << peer.usersOnline;
    Type("sent under TLS");
    ASSERT_TRUE(PeerWaits([&] { return peer.Saw("] [Tina]: sent under TLS"); }));
    peer.Say("read under TLS");
    EXPECT_TRUE(PeerWaits(
        [&] { return program->Out().find("[Plain]: read under TLS\n") != std::string::npos; }));
    EXPECT_EQ(CloseProgram(), 0u);

    // Trusted now: no question.
    program = std::make_unique<ProgramRun>(ProgramPath(L"ostrel-chat.exe"), dir.Path());
    window = program->WaitForWindow("Ostrel chat client", 20000);
    ASSERT_NE(window, nullptr) << program->Err();
    EXPECT_EQ(FindMessageBoxOf(program->ProcessId(), 0), nullptr);
    ASSERT_TRUE(PeerWaits([&] { return peer.Saw("Tina joined."); }))
        << "the peer came after the first";
    EXPECT_EQ(CloseProgram(), 0u);

    // The server's key replaced: refused, with both pins, and nothing stored or sent.
    const std::string settings = ReadBytes(dir.File("data.dat"));
    std::string newPin;
    StartSecure("127.0.0.53", "", newPin);
    WriteBytes(dir.File("data.dat"), settings);
    ASSERT_NE(newPin, pin);
    ExpectChangedKeyRefused(StartProgramForBox(), "has changed", pin, newPin, settings);
}

TEST_F(Scenario, EncryptedConnectionNotTrustedOrImpossibleEndsTheProgramStoringNothing)
{
    std::string pin;
    StartSecure("127.0.0.54", "tls=on\n", pin);
    HWND box = StartProgramForBox();
    ASSERT_NE(box, nullptr) << program->Err();
    PostMessageW(box, WM_COMMAND, IDNO, 0);
    DWORD exitCode = 99;
    ASSERT_TRUE(program->WaitForExit(exitCode, 20000));
    EXPECT_EQ(exitCode, 1u);
    EXPECT_EQ(ReadBytes(dir.File("data.dat")), OnDisk("server=127.0.0.54\ntls=on\n"));

    // A server without TLS.
    Start("127.0.0.55", "tls=on\n");
    box = StartProgramForBox();
    ASSERT_NE(box, nullptr) << program->Err();
    EXPECT_EQ(MessageBoxText(box).find("Unable to make a secure connection to the server.\n\n"), 0u)
        << MessageBoxText(box);
    DismissMessageBox(box);
    ASSERT_TRUE(program->WaitForExit(exitCode, 20000));
    EXPECT_EQ(exitCode, 1u);
    EXPECT_EQ(ReadBytes(dir.File("data.dat")), OnDisk("server=127.0.0.55\ntls=on\n"));
}

// Whether the text holds the piece as often as asked, or more.
bool HoldsTimes(const std::string& text, const std::string& piece, int times)
{
    std::size_t at = 0;
    for (int found = 0; found < times; ++found, ++at)
        if ((at = text.find(piece, at)) == std::string::npos)
            return false;
    return true;
}

// With reconnect=on the program rides out a server restart: the window stays, the log says the
// connection was lost and when it is back, the users list is emptied and filled again, what the
// user typed meanwhile stays in the box (Send sends nothing), and the nickname is announced again
// without the user doing anything.
TEST_F(Scenario, ServerRestartIsRiddenOutWithTheTypedTextKeptAndTheNicknameAnnouncedAgain)
{
    Start("127.0.0.71", "nickname=Rex\nreconnect=on\n");
    StartProgram();
    ASSERT_TRUE(WaitForText([&] { return ContentOf(chatLog); }, "Rex joined."));
    ASSERT_TRUE(WaitForText([&] { return ContentOf(usersList); }, "Rex"));

    server.reset(); // ends the server process
    ASSERT_TRUE(WaitForText([&] { return ContentOf(chatLog); },
                            "The connection to the server was lost. Trying again in 1 second."))
        << ContentOf(chatLog);
    EXPECT_TRUE(WaitForText(
        [&] { return std::string(ContentOf(usersList).empty() ? "empty" : ""); }, "empty"))
        << ContentOf(usersList);
    EXPECT_TRUE(program->Running());

    // Typed and sent while the server is away: nothing goes, nothing is lost.
    for (char c : std::string("typed while away"))
        PostMessageW(messageBox, WM_CHAR, static_cast<unsigned char>(c), 1);
    ASSERT_TRUE(WaitForText([&] { return ContentOf(messageBox); }, "typed while away"));
    SendMessageW(messageBox, WM_KEYDOWN, VK_RETURN, 1);
    // At least one try fails while the server is down, each written as at start.
    ASSERT_TRUE(WaitForText([&] { return program->Out(); }, "Failed to connect.\n"))
        << program->Out();
    EXPECT_EQ(ContentOf(messageBox), "typed while away");

    Start("127.0.0.71", "nickname=Rex\nreconnect=on\n");
    ASSERT_TRUE(
        WaitForText([&] { return ContentOf(chatLog); }, "Connected to the server again.", 40000))
        << ContentOf(chatLog);
    EXPECT_TRUE(WaitForText([&] { return ContentOf(usersList); }, "Rex"));
    EXPECT_TRUE(WaitForText([&] { return server->Out(); }, "joined as Rex")) << server->Out();
    EXPECT_TRUE(HoldsTimes(ContentOf(chatLog), "Rex joined.", 2)) << ContentOf(chatLog);
    EXPECT_TRUE(HoldsTimes(program->Out(), "Successfully connected to server 127.0.0.71.", 2))
        << program->Out();
    EXPECT_EQ(ContentOf(messageBox), "typed while away") << "not sent on its own";

    // Sent now, it reaches the room.
    ConnectPeer("Peer");
    SendMessageW(messageBox, WM_KEYDOWN, VK_RETURN, 1);
    ASSERT_TRUE(PeerWaits([&] { return peer.Saw("] [Rex]: typed while away"); }));
    EXPECT_TRUE(WaitForText(
        [&] { return std::string(ContentOf(messageBox).empty() ? "empty" : ""); }, "empty"));
    EXPECT_EQ(CloseProgram(), 0u);
    EXPECT_EQ(program->Err(), "");
}

// Encrypted, every connection made again makes a handshake of its own and checks the server's
// key: the same key is trusted without a word; a changed one is refused as at start, with both
// pins, and ends the program with exit code 1, storing nothing.
TEST_F(Scenario, EncryptedReconnectionChecksTheKeyEachTimeAndRefusesAChangedOne)
{
    std::string pin;
    StartSecure("127.0.0.72", "", pin);
    ASSERT_EQ(pin.size(), 64u) << hostServer->Out();
    const std::string settings =
        OnDisk("server=127.0.0.72\ntls=on\nreconnect=on\nnickname=Tess\ntls-pin=" + pin + "\n");
    WriteBytes(dir.File("data.dat"), settings);
    StartProgram();
    ASSERT_TRUE(WaitForText([&] { return ContentOf(chatLog); }, "Tess joined."));

    // Restarted with the same key.
    std::string samePin;
    StartHostServer("server1", samePin);
    ASSERT_EQ(samePin, pin);
    ASSERT_TRUE(
        WaitForText([&] { return ContentOf(chatLog); }, "Connected to the server again.", 40000))
        << ContentOf(chatLog) << program->Err();
    EXPECT_TRUE(WaitForText([&] { return hostServer->Out(); }, "joined as Tess"))
        << hostServer->Out();
    EXPECT_EQ(FindMessageBoxOf(program->ProcessId(), 0), nullptr);

    // Restarted with another key.
    ASSERT_TRUE(RunOnHost("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes "
                          "-days 2 -subj /CN=ostrel-test -keyout other.key -out other.crt",
                          serverDir.Path()));
    std::string newPin;
    StartHostServer("other", newPin);
    ASSERT_NE(newPin, pin);
    ExpectChangedKeyRefused(FindMessageBoxOf(program->ProcessId(), 40000),
                            "The identity of the server 127.0.0.72 has changed", pin, newPin,
                            settings);
}

// A room on two servers, as an operator sets it up: a redis-server of the test's own and two
// servers that join the room kept there (the Linux build: the Windows one has no Redis), each on
// a loopback address of its own. The program talks to one, the peer to the other, and they chat
// both ways; when the peer's server stops, its member leaves the program's list.
TEST_F(Scenario, TwoServersThroughRedisMakeOneRoom)
{
    ASSERT_TRUE(std::filesystem::exists(OSTREL_HOST_SERVER))
        << "the Linux build of the server is needed: cmake --build --preset native";
    for (const char* folder : {"redis", "one", "two"})
        std::filesystem::create_directories(serverDir.Path() / folder);
    // The socket is named from each one's folder: a Wine folder's host path is too long for one.
    HostProcess redis("redis-server --port 0 --unixsocket redis.sock --unixsocketperm 700 "
                      "--save '' --appendonly no",
                      serverDir.Path() / "redis");
    ASSERT_TRUE(WaitForText([&] { return redis.Out(); }, "ready to accept connections"))
        << redis.Out() << redis.Err();
    const std::string server =
        std::string(OSTREL_HOST_SERVER) + " --port 6112 --redis unix:../redis/redis.sock --listen ";
    HostProcess one(server + "127.0.0.90 --node one", serverDir.Path() / "one");
    auto two =
        std::make_unique<HostProcess>(server + "127.0.0.91 --node two", serverDir.Path() / "two");
    ASSERT_TRUE(WaitForText([&] { return one.Out(); }, "listening on")) << one.Err();
    ASSERT_TRUE(WaitForText([&] { return two->Out(); }, "listening on")) << two->Err();

    serverAddress = "127.0.0.91";
    CopySounds();
    WriteBytes(dir.File("data.dat"), OnDisk("server=127.0.0.90\nnickname=Ann\n"));
    StartProgram();
    ASSERT_TRUE(WaitForText([&] { return ContentOf(chatLog); }, "Ann joined."));
    ConnectPeer("Peer");
    ASSERT_TRUE(WaitForText([&] { return ContentOf(chatLog); }, "Peer joined."))
        << "a join on the other server";
    EXPECT_TRUE(WaitForText([&] { return ContentOf(usersList); }, "Peer"));
    EXPECT_TRUE(PeerWaits([&] { return peer.usersOnline == "Ann\r\nPeer"; })) << peer.usersOnline;

    Type("hello from server one");
    ASSERT_TRUE(PeerWaits([&] { return peer.Saw("] [Ann]: hello from server one"); }));
    peer.Say("hi from server two");
    ASSERT_TRUE(PeerWaits([&] {
        return program->Out().find("[Peer]: hi from server two\n") != std::string::npos;
    })) << program->Out();
    EXPECT_TRUE(WaitForText([&] { return ContentOf(chatLog); }, "[Peer]: hi from server two"));
    EXPECT_TRUE(WaitForText([&] { return one.Out(); }, "joined as Ann")) << one.Out();

    // The peer's server stops: it says goodbye, and its member leaves the room on the other.
    two.reset();
    EXPECT_TRUE(WaitForText([&] { return ContentOf(chatLog); }, "Peer left (server shut down)."))
        << ContentOf(chatLog);
    EXPECT_TRUE(WaitForText(
        [&] {
            const std::string users = ContentOf(usersList);
            const bool alone =
                users.find("Ann") != std::string::npos && users.find("Peer") == std::string::npos;
            return std::string(alone ? "alone" : "");
        },
        "alone"))
        << ContentOf(usersList);
    EXPECT_EQ(CloseProgram(), 0u);
}

} // namespace
