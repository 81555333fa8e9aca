// The decision about a server's key, on a real settings file, with the user's answers given
// beforehand: every branch, what the user is asked and told, and what is stored.

#include "app/ServerTrust.h"
#include "support/Files.h"
#include "support/StreamCapture.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

using namespace testing_support;
using oNet::Trust;

namespace
{

const std::string PinA = "6f1c0c5a8f3c3e4e0b5e9f5d4d3c2b1a0f9e8d7c6b5a49382716f5e4d3c2b1a0";
const std::string PinB = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";

std::string Upper(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// Answers questions from a list and keeps everything shown.
class GivenAnswers final : public UserQuestions
{
public:
    bool AskYesNo(const std::string& caption, const std::string& text) override
    {
        asked.push_back(caption + ": " + text);
        EXPECT_FALSE(answers.empty()) << "an unexpected question: " << text;
        if (answers.empty())
            return false;
        const bool answer = answers.front();
        answers.pop_front();
        return answer;
    }
    void ShowError(const std::string& text) override { errors.push_back(text); }

    std::deque<bool> answers;
    std::vector<std::string> asked;
    std::vector<std::string> errors;
};

class ServerTrustTest : public ::testing::Test
{
protected:
    void With(const std::string& lines) { WriteBytes(dir.File("data.dat"), OnDisk(lines)); }
    std::string Content() const { return ReadBytes(dir.File("data.dat")); }

    TempDir dir;
    SettingsFile settings{dir.File("data.dat")};
    GivenAnswers user;
    ServerTrust trust{settings, "chat.example", user};
    StreamCapture capture;
};

// A stored pin decides without a question: the same key (whatever the case of its digits) is
// trusted; another is refused with both pins shown, and nothing is stored.
TEST_F(ServerTrustTest, StoredPinTrustsItsKeyAndRefusesAnother)
{
    struct Case
    {
        std::string stored;
        Trust trust;
        std::string shownAsTrusted;
    };
    const Case cases[] = {
        {" " + Upper(PinA) + " ", Trust::Trusted, ""},
        {Upper(PinB), Trust::NotTrusted, PinB},
        {"not-hex", Trust::NotTrusted, "not-hex (not a pin)"},
    };
    for (const Case& c : cases)
    {
        With("tls=on\ntls-pin=" + c.stored + "\n");
        user.errors.clear();
        capture.Clear();
        EXPECT_EQ(trust(PinA), c.trust) << c.stored;
        EXPECT_TRUE(user.asked.empty()) << "nobody is asked about a stored pin";
        EXPECT_EQ(Content(), OnDisk("tls=on\ntls-pin=" + c.stored + "\n"));
        if (c.trust == Trust::Trusted)
        {
            EXPECT_TRUE(user.errors.empty());
            continue;
        }
        ASSERT_EQ(user.errors.size(), 1u);
        EXPECT_EQ(user.errors[0],
                  "The identity of the server chat.example has changed: its key is not the one "
                  "you trusted.\n\nPin you trusted:\n" +
                      c.shownAsTrusted + "\n\nPin the server has now:\n" + PinA +
                      "\n\nSomeone may be listening in. If the server's operator has changed its "
                      "key, remove the line tls-pin= from data.dat and connect again.");
        EXPECT_EQ(capture.Err(),
                  "The server's pin " + PinA + " is not the trusted " + c.stored + ".\n");
    }
}

// On first use the user is asked; yes stores the pin (beside lines that only look like it), and
// from then on that key is trusted without a question and another is refused.
TEST_F(ServerTrustTest, FirstUseAnsweredYesIsStoredAndDecidesFromThenOn)
{
    With("mytls-pin=" + PinB + "\nnickname=tls-pin=" + PinB + "\n");
    user.answers = {true};
    EXPECT_EQ(trust(PinA), Trust::TrustedOnAsking);
    ASSERT_EQ(user.asked.size(), 1u);
    EXPECT_EQ(user.asked[0], "New server: This is the first encrypted connection to the server "
                             "chat.example. The pin of its key is:\n\n" +
                                 PinA +
                                 "\n\nIf the server's operator has given you its pin, the two "
                                 "must be the same. Trust this server and connect?");
    EXPECT_EQ(Content(), OnDisk("mytls-pin=" + PinB + "\nnickname=tls-pin=" + PinB +
                                "\ntls-pin=" + PinA + "\n"));
    EXPECT_EQ(trust(Upper(PinA)), Trust::Trusted);
    EXPECT_EQ(trust(PinB), Trust::NotTrusted);
    EXPECT_EQ(user.asked.size(), 1u);
    EXPECT_EQ(user.errors.size(), 1u) << "the refusal";
}

// A yes that cannot be stored trusts the key for this run, and says the pin was not stored; a
// no trusts nothing, stores nothing, and is asked again next time.
TEST_F(ServerTrustTest, FirstUseNotStoredOrAnsweredNo)
{
    With("tls=on\n");
    user.answers = {false, false};
    EXPECT_EQ(trust(PinA), Trust::NotTrusted);
    EXPECT_EQ(capture.Err(), "The server's pin " + PinA + " was not trusted.\n");
    EXPECT_EQ(trust(PinA), Trust::NotTrusted);
    EXPECT_EQ(user.asked.size(), 2u);
    EXPECT_TRUE(user.errors.empty());
    EXPECT_EQ(Content(), OnDisk("tls=on\n"));

    UnwritableFile locked(dir.File("data.dat"));
    if (!locked.Works())
        GTEST_SKIP() << "the file cannot be made unwritable here";
    user.answers = {true};
    EXPECT_EQ(trust(PinA), Trust::TrustedOnAsking);
    EXPECT_EQ(user.errors,
              std::vector<std::string>{"Unable to write the server's pin to data.dat."});
    EXPECT_EQ(trust(PinA), Trust::Trusted) << "trusted for this run";
    EXPECT_EQ(user.asked.size(), 3u);
    EXPECT_EQ(Content(), OnDisk("tls=on\n"));
}

} // namespace
