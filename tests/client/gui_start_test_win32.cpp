// Program start on Windows: the single-instance check and the hand-over
// window in this process, the system error texts, and the program's
// resources as the built executable carries them.
#include <gtest/gtest.h>

#include <windows.h>

#include <stdlib.h>
#include <string.h>

#include <string>

#include "errorinfo.h"
#include "gui_resource.h"
#include "gui_win32.h"
#include "log_capture.h"

namespace {

struct Chain {
    ErrorInfo e{};
    ~Chain() { ERRORINFO_Clear(&e, "test", 0); }
    std::string Text() const { return e.message ? e.message : ""; }
};

const char kName[] = "Quorvanti - Vantorelle SSL VPN";

LRESULT SendHandover(HWND window, ULONG_PTR id, const void *data, DWORD size)
{
    COPYDATASTRUCT cds;
    cds.dwData = id;
    cds.cbData = size;
    cds.lpData = const_cast<void *>(data);
    return SendMessageA(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&cds));
}

TEST(SingleInstance, FirstInstanceOwnsTheNameLaterOnesHandOver)
{
    AppOptions options = {};
    Chain first;
    ASSERT_EQ(GUI_CheckSingleInstance(&options, &first.e), 1) << first.Text();
    HWND window = FindWindowA(kName, nullptr);
    ASSERT_NE(window, nullptr);

    // The name is taken now: without a server a later start only complains.
    Chain second;
    EXPECT_EQ(GUI_CheckSingleInstance(&options, &second.e), 0);
    EXPECT_EQ(second.Text(), "Application already running");

    // With a server it hands its command line over and ends without a message
    // (this program's own command line means nothing to the receiver).
    snprintf(options.overrides.server, sizeof options.overrides.server, "gw.example.test");
    Chain third;
    {
        LogCapture log;
        EXPECT_EQ(GUI_CheckSingleInstance(&options, &third.e), 0);
        EXPECT_EQ(log.Text().find("Received New Configuration"), std::string::npos);
    }
    EXPECT_EQ(third.Text(), "");

    InstanceArguments args;
    ASSERT_EQ(GUI_FillInstanceArguments(&args, L"tunlex.exe -server gw -user erin"), 1);
    {
        LogCapture log;
        SendHandover(window, 0xC0FFEE, &args, sizeof args);
        EXPECT_EQ(log.Text().rfind("Received New Configuration\r\n", 0), 0u) << log.Text();
    }
    {
        LogCapture log;
        SendHandover(window, 0xC0FFEF, &args, sizeof args);
        SendHandover(window, 0xC0FFEE, &args, sizeof args - 2);
        ASSERT_EQ(GUI_FillInstanceArguments(&args, L"tunlex.exe -user erin"), 1);
        SendHandover(window, 0xC0FFEE, &args, sizeof args);  // no server: nothing shown
        EXPECT_EQ(log.Text(), "");
    }
}

TEST(SystemErrorText, SystemWordingWithoutLineEnds)
{
    std::string text = GUI_SystemErrorText(ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;
    // A text with an insert comes back as written: no arguments are read.
    text = GUI_SystemErrorText(ERROR_BAD_EXE_FORMAT);
    EXPECT_NE(text.find("%1"), std::string::npos) << text;
}

// The executable's resources, read as data from the built program.
class ProgramResources : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char *bin = getenv("TLX_BINARY_DIR");
        if (!bin)
            GTEST_SKIP() << "TLX_BINARY_DIR names the build (set by CTest)";
        std::string exe = std::string(bin) + "/vantorelle_tunlex.exe";
        module_ = LoadLibraryExA(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        if (!module_)
            GTEST_SKIP() << exe << " is not built";
    }
    void TearDown() override
    {
        if (module_)
            FreeLibrary(module_);
    }
    std::string Resource(LPCSTR name, LPCSTR type)
    {
        HRSRC found = FindResourceA(module_, name, type);
        if (!found)
            return "";
        HGLOBAL loaded = LoadResource(module_, found);
        const char *bytes = static_cast<const char *>(LockResource(loaded));
        return bytes ? std::string(bytes, SizeofResource(module_, found)) : "";
    }
    HMODULE module_ = nullptr;
};

TEST_F(ProgramResources, IconsBannerManifestAndVersion)
{
    for (int id : {IDI_APP, IDI_DISCONNECTED, IDI_CONNECTED, IDI_CONNECTING})
        EXPECT_FALSE(Resource(MAKEINTRESOURCEA(id), RT_GROUP_ICON).empty()) << id;
    EXPECT_FALSE(Resource(MAKEINTRESOURCEA(IDB_BANNER), RT_BITMAP).empty());

    std::string manifest = Resource(MAKEINTRESOURCEA(1), RT_MANIFEST);
    EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
    EXPECT_NE(manifest.find("Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""),
              std::string::npos);
    for (const char *os : {"e2011457-1546-43c5-a5fe-008deee3d3f0", "35138b9a-5d96-4fbd-8e2d-a2440225f93a",
                           "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38", "1f676c76-80e1-4239-95bb-83d0f6d0da78",
                           "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a"})
        EXPECT_NE(manifest.find(os), std::string::npos) << os;

    std::string version = Resource(MAKEINTRESOURCEA(1), RT_VERSION);
    const uint32_t signature = 0xFEEF04BD;
    size_t at = version.find(std::string(reinterpret_cast<const char *>(&signature), 4));
    ASSERT_NE(at, std::string::npos);
    VS_FIXEDFILEINFO info;
    ASSERT_LE(at + sizeof info, version.size());
    memcpy(&info, version.data() + at, sizeof info);
    EXPECT_EQ(info.dwFileVersionMS, 0x00020002u);
    EXPECT_EQ(info.dwFileVersionLS, 0x00010001u);
    EXPECT_EQ(info.dwProductVersionMS, 0x00020002u);
    EXPECT_EQ(info.dwProductVersionLS, 0x00010001u);
}

}  // namespace
