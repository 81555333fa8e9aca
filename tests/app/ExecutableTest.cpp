// The built chat program's executable: its subsystem, its resources (the icon group and the
// manifest) and that it needs no MinGW library beside it.

#include "support/Files.h"
#include "support/ProgramRun.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace testing_support;

namespace
{

#pragma pack(push, 2)
struct IconGroupEntry
{
    BYTE width;
    BYTE height;
    BYTE colorCount;
    BYTE reserved;
    WORD planes;
    WORD bitCount;
    DWORD bytesInResource;
    WORD id;
};
struct IconGroupHeader
{
    WORD reserved;
    WORD type;
    WORD count;
};
#pragma pack(pop)

class Executable : public ::testing::Test
{
protected:
    void SetUp() override
    {
        module = LoadLibraryExW(path.wstring().c_str(), nullptr,
                                LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        ASSERT_NE(module, nullptr) << path;
    }
    void TearDown() override
    {
        if (module)
            FreeLibrary(module);
    }

    std::string Resource(LPCWSTR name, LPCWSTR type)
    {
        const HRSRC found = FindResourceW(module, name, type);
        if (!found)
            return "";
        const auto* data = static_cast<const char*>(LockResource(LoadResource(module, found)));
        return std::string(data, SizeofResource(module, found));
    }

    const std::filesystem::path path = ProgramPath(L"ostrel-chat.exe");
    HMODULE module = nullptr;
};

TEST_F(Executable, IconGroup101HoldsEightImagesOf32BitsFrom128To16Pixels)
{
    const std::string group = Resource(MAKEINTRESOURCEW(101), RT_GROUP_ICON);
    ASSERT_GE(group.size(), sizeof(IconGroupHeader));
    IconGroupHeader header;
    std::memcpy(&header, group.data(), sizeof header);
    EXPECT_EQ(header.type, 1);
    ASSERT_EQ(header.count, 8);
    ASSERT_EQ(group.size(), sizeof header + 8 * sizeof(IconGroupEntry));

    const int sizes[] = {128, 96, 64, 48, 40, 32, 24, 16};
    for (int i = 0; i < 8; ++i)
    {
        IconGroupEntry entry;
        std::memcpy(&entry, group.data() + sizeof header + i * sizeof entry, sizeof entry);
        EXPECT_EQ(entry.width, sizes[i]);
        EXPECT_EQ(entry.height, sizes[i]);
        EXPECT_EQ(entry.bitCount, 32);
        // Each image is there and is one the system can turn into an icon.
        const std::string image = Resource(MAKEINTRESOURCEW(entry.id), RT_ICON);
        ASSERT_EQ(image.size(), entry.bytesInResource) << sizes[i];
        const HICON icon =
            CreateIconFromResourceEx(reinterpret_cast<PBYTE>(const_cast<char*>(image.data())),
                                     static_cast<DWORD>(image.size()), TRUE, 0x00030000, sizes[i],
                                     sizes[i], LR_DEFAULTCOLOR);
        EXPECT_NE(icon, nullptr) << sizes[i];
        if (icon)
            DestroyIcon(icon);
    }
}

TEST_F(Executable, ManifestAsksForTheInvokersLevelAndNothingElse)
{
    const std::string manifest = Resource(MAKEINTRESOURCEW(1), RT_MANIFEST);
    ASSERT_FALSE(manifest.empty());
    EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
    EXPECT_NE(manifest.find("uiAccess=\"false\""), std::string::npos);
    for (const char* other : {"<dependency", "<compatibility", "<application", "dpiAware", "<file"})
        EXPECT_EQ(manifest.find(other), std::string::npos) << other;
}

TEST_F(Executable, IsAStaticallyLinkedGuiProgram)
{
    const std::string image = ReadBytes(path);
    ASSERT_GT(image.size(), 0x200u);
    LONG peOffset;
    std::memcpy(&peOffset, image.data() + 0x3C, sizeof peOffset);
    IMAGE_NT_HEADERS64 headers;
    std::memcpy(&headers, image.data() + peOffset, sizeof headers);
    EXPECT_EQ(headers.Signature, IMAGE_NT_SIGNATURE);
    EXPECT_EQ(headers.FileHeader.Machine, IMAGE_FILE_MACHINE_AMD64);
    EXPECT_EQ(headers.OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
    for (const char* runtime : {"libstdc++-6.dll", "libgcc_s_seh-1.dll", "libwinpthread-1.dll"})
        EXPECT_EQ(image.find(runtime), std::string::npos) << runtime;
}

} // namespace
