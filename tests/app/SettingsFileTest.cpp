#include "app/SettingsFile.h"
#include "support/Files.h"

#include <gtest/gtest.h>

#include <filesystem>

using testing_support::NamesIn;
using testing_support::OnDisk;
using testing_support::ReadBytes;
using testing_support::TempDir;
using testing_support::UnreplaceableFile;
using testing_support::UnwritableFile;
using testing_support::WriteBytes;

namespace
{

class SettingsFileTest : public ::testing::Test
{
protected:
    // A settings file whose lines are given with "\n" and stored with the platform's breaks.
    SettingsFile With(const std::string& lines)
    {
        WriteBytes(path, OnDisk(lines));
        return SettingsFile(path);
    }
    std::string Content() const { return ReadBytes(path); }

    TempDir dir;
    std::string path = dir.File("data.dat");
};

TEST_F(SettingsFileTest, MissingFileIsCreatedEmptyAndTakesAFirstEntry)
{
    ASSERT_FALSE(std::filesystem::exists(path));
    SettingsFile settings(path);
    ASSERT_TRUE(std::filesystem::exists(path));
    EXPECT_EQ(Content(), "");
    EXPECT_FALSE(settings.HasKey("nickname"));
    EXPECT_EQ(settings.GetValue("nickname"), "");

    EXPECT_TRUE(settings.SetValue("nickname", "Alice"));
    EXPECT_EQ(Content(), "nickname=Alice" + testing_support::LineBreak);
    EXPECT_TRUE(settings.HasKey("nickname"));
    EXPECT_EQ(settings.GetValue("nickname"), "Alice");
}

TEST_F(SettingsFileTest, ExistingFileIsLeftAsItIsByConstruction)
{
    WriteBytes(path, "server=10.0.0.1");
    SettingsFile settings(path);
    EXPECT_EQ(Content(), "server=10.0.0.1");
    EXPECT_EQ(settings.GetValue("server"), "10.0.0.1");
}

struct Lookup
{
    const char* file;
    const char* key;
    bool has;
    const char* value;
};

TEST_F(SettingsFileTest, LooksUpKeysOnTheKeySideOfEachLine)
{
    const Lookup cases[] = {
        {"nickname=a\nnickname=b\n", "nickname", true, "b"}, // last matching line wins
        {"nickname = bob\n", "nickname", true, " bob"},      // nothing is trimmed
        {"a=b=c\n", "a", true, "b=c"},                       // value keeps its "="
        {"a=b=c\n", "b", false, ""},                         // the value is not searched
        {"server=127.0.0.1\nnickname=myserver\n", "server", true, "127.0.0.1"},
        {"server=nickname.example\n", "nickname", false, ""},
        {"nickname\n", "nickname", true, "nickname"}, // no "=": the whole line
        {"nickname=\n", "nickname", true, ""},
        {"Nickname=x\n", "nickname", false, ""},   // case-sensitive
        {"mynickname=x\n", "nickname", true, "x"}, // substring of the key side
        {"a=1\nb=2", "b", true, "2"},              // last line without a break
        {"x=1\n", "", true, "1"},                  // empty key matches all
        {"", "", false, ""},
    };
    for (const auto& c : cases)
    {
        SettingsFile settings = With(c.file);
        EXPECT_EQ(settings.HasKey(c.key), c.has) << c.file << " / " << c.key;
        EXPECT_EQ(settings.GetValue(c.key), c.value) << c.file << " / " << c.key;
    }
}

TEST_F(SettingsFileTest, ConnectionSettingsAreReadAndWrittenByTheirExactKey)
{
    using Match = SettingsFile::Match;
    // Neither a longer key, nor a line without "=", nor spaces around the key stand in.
    SettingsFile settings =
        With("tls=on\nmytls-pin=aa\ntls-pin =bb\ntls-pin\nnickname=tls-pin=cc\n");
    EXPECT_EQ(settings.GetValue("tls", Match::ExactKey), "on");
    EXPECT_FALSE(settings.HasKey("tls-pin", Match::ExactKey));
    EXPECT_EQ(settings.GetValue("tls-pin", Match::ExactKey), "");
    EXPECT_TRUE(settings.SetValue("tls-pin", "dd", Match::ExactKey));
    EXPECT_EQ(Content(), OnDisk("tls=on\nmytls-pin=aa\ntls-pin =bb\ntls-pin\nnickname=tls-pin=cc\n"
                                "tls-pin=dd\n"));
    EXPECT_TRUE(settings.SetValue("tls-pin", "ee", Match::ExactKey));
    EXPECT_EQ(settings.GetValue("tls-pin", Match::ExactKey), "ee");
    EXPECT_EQ(settings.GetValue("tls", Match::ExactKey), "on");
}

// A switch (tls=, reconnect=): on or off in any case, blanks around it allowed, off when absent
// or empty, read by its exact key; anything else is refused with a sentence saying so.
TEST_F(SettingsFileTest, SwitchesTakeOnOrOffInAnyCaseAndRefuseAnythingElse)
{
    struct Case
    {
        const char* lines;
        bool valid;
        bool on;
    };
    const Case cases[] = {
        {"", true, false},
        {"tls=\n", true, false},
        {"tls=off\n", true, false},
        {"tls=on\n", true, true},
        {"tls= ON \t\n", true, true},
        {"mytls=on\nnickname=tls=on\n", true, false},
        {"tls=yes\n", false, false},
    };
    for (const Case& c : cases)
    {
        SettingsFile settings = With(c.lines);
        bool on = !c.on;
        std::string problem;
        EXPECT_EQ(settings.GetSwitch("tls", on, problem), c.valid) << c.lines;
        EXPECT_EQ(on, c.on) << c.lines;
        EXPECT_EQ(problem.empty(), c.valid) << c.lines;
    }
    SettingsFile settings = With("reconnect=Sometimes\n");
    bool on = true;
    std::string problem;
    EXPECT_FALSE(settings.GetSwitch("reconnect", on, problem));
    EXPECT_EQ(problem, "The setting reconnect= in data.dat takes on or off, not \"sometimes\".");
}

struct Update
{
    const char* before;
    const char* key;
    const char* value;
    const char* after;
};

TEST_F(SettingsFileTest, SetValueRewritesEveryMatchingLineOrAppends)
{
    const Update cases[] = {
        {"nickname=a\nnickname=b\n", "nickname", "c", "nickname=c\nnickname=c\n"},
        {"\nserver=1\n\nnickname=a\n\n", "nickname", "z", "\nserver=1\n\nnickname=z\n\n"},
        {"server=127.0.0.1\nnickname=old\n", "nickname", "myserver",
         "server=127.0.0.1\nnickname=myserver\n"},
        {"server=nickname.example\n", "nickname", "bob", "server=nickname.example\nnickname=bob\n"},
        {"nickname = bob\n", "nickname", "x", "nickname =x\n"},
        {"nickname\n", "nickname", "x", "x\n"},    // no "=": replaced whole
        {"a=1\nb=2", "b", "3", "a=1\nb=3\n"},      // rewrite adds the missing break
        {"a=1\nb=2", "c", "3", "a=1\nb=2\nc=3\n"}, // append starts a line of its own
        {"server=10.0.0.5", "nickname", "U", "server=10.0.0.5\nnickname=U\n"},
        {"a=1\n", "k", "v1\nv2", "a=1\nk=v1\nv2\n"}, // a line feed in a value
        {"a=1\n", "nickname", "", "a=1\nnickname=\n"},
    };
    for (const auto& c : cases)
    {
        SettingsFile settings = With(c.before);
        EXPECT_TRUE(settings.SetValue(c.key, c.value)) << c.before;
        EXPECT_EQ(Content(), OnDisk(c.after)) << c.before;
    }
}

TEST_F(SettingsFileTest, FailedRewriteLeavesTheFileWholeAndAnUnchangedValueWritesNothing)
{
    const std::string original = OnDisk("server=10.0.0.5\nnickname=Alice\n");
    WriteBytes(path, original);
    SettingsFile settings(path);
    {
        // The file may be written where it is, but no new content can take its place.
        UnreplaceableFile guard(path);
        if (!guard.Works())
            GTEST_SKIP() << "this machine cannot keep a file from being replaced";
        EXPECT_FALSE(settings.SetValue("nickname", "Bob"));
        EXPECT_EQ(Content(), original);
        // Storing the value it already has needs no write, so it succeeds all the same.
        EXPECT_TRUE(settings.SetValue("nickname", "Alice"));
        EXPECT_EQ(Content(), original);
    }
    EXPECT_EQ(NamesIn(dir.Path()), std::vector<std::string>{"data.dat"}) << "nothing left beside";

    EXPECT_TRUE(settings.SetValue("nickname", "Bob"));
    EXPECT_EQ(Content(), OnDisk("server=10.0.0.5\nnickname=Bob\n"));
    EXPECT_EQ(NamesIn(dir.Path()), std::vector<std::string>{"data.dat"});
}

TEST_F(SettingsFileTest, LineWithoutSeparatorStopsMatchingOnceReplaced)
{
    SettingsFile settings = With("nickname\n");
    ASSERT_TRUE(settings.SetValue("nickname", "x"));
    EXPECT_FALSE(settings.HasKey("nickname"));
    EXPECT_EQ(settings.GetValue("nickname"), "");
}

TEST_F(SettingsFileTest, InstancesOnOneFileSeeEachOthersWritesAndHandEdits)
{
    SettingsFile programWide(path);
    SettingsFile local(path);
    ASSERT_TRUE(programWide.SetValue("nickname", "Alice"));
    EXPECT_EQ(local.GetValue("nickname"), "Alice");

    WriteBytes(path, OnDisk("server=example.invalid\nnickname=Bob\n"));
    EXPECT_EQ(programWide.GetValue("server"), "example.invalid");
    EXPECT_EQ(local.GetValue("nickname"), "Bob");
}

TEST_F(SettingsFileTest, UnwritableFileIsReadButNeverChanged)
{
    const std::string original = OnDisk("server=127.0.0.1\nnickname=Alice\n");
    WriteBytes(path, original);
    SettingsFile settings(path);
    UnwritableFile guard(path);
    if (!guard.Works())
        GTEST_SKIP() << "this machine cannot make a file unwritable for this process";

    EXPECT_TRUE(settings.HasKey("nickname"));
    EXPECT_EQ(settings.GetValue("nickname"), "Alice");
    EXPECT_FALSE(settings.SetValue("nickname", "Bob")) << "rewrite path";
    EXPECT_FALSE(settings.SetValue("color", "blue")) << "append path";
    EXPECT_EQ(Content(), original);
}

TEST_F(SettingsFileTest, UnreadableLocationGivesNothingAndRefusesWrites)
{
    // A directory stands where the file should be: it can be neither read nor written as one.
    std::filesystem::create_directory(path);
    SettingsFile settings(path);
    EXPECT_FALSE(settings.HasKey("nickname"));
    EXPECT_EQ(settings.GetValue("nickname"), "");
    EXPECT_FALSE(settings.SetValue("nickname", "Alice"));
    EXPECT_TRUE(std::filesystem::is_directory(path));
}

TEST_F(SettingsFileTest, ReadsLinesEndingInLineFeedOnlyToo)
{
    // A file written by another tool with bare line feeds reads the same on every platform.
    WriteBytes(path, "server=10.1.2.3\nnickname=Zed\n");
    SettingsFile settings(path);
    EXPECT_EQ(settings.GetValue("server"), "10.1.2.3");
    EXPECT_EQ(settings.GetValue("nickname"), "Zed");
}

} // namespace
