// Options of the client program: the command line, the per-user default
// configuration and the automatic-reconnect marker, in a scratch folder that
// stands in for the application-data folder.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "config_i.h"
#include "errorinfo.h"
#include "gui_log.h"
#include "log_capture.h"
#include "pcap_writer.h"

namespace fs = std::filesystem;

namespace {

struct Chain {
    ErrorInfo e{};
    ~Chain() { ERRORINFO_Clear(&e, "test", 0); }
    std::string Text() const { return e.message ? e.message : ""; }
};

// A wide argument vector with the program name in front.
class Args {
public:
    Args(std::initializer_list<std::wstring> args)
    {
        text_.push_back(L"vantorelle_tunlex");
        for (const std::wstring &a : args)
            text_.push_back(a);
        for (std::wstring &t : text_)
            ptrs_.push_back(&t[0]);
        ptrs_.push_back(nullptr);
    }
    wchar_t **argv() { return ptrs_.data(); }
    int argc() const { return static_cast<int>(text_.size()); }

private:
    std::vector<std::wstring> text_;
    std::vector<wchar_t *> ptrs_;
};

std::string ReadAll(const fs::path &p)
{
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const fs::path &p, const std::string &text)
{
    std::ofstream out(p, std::ios::binary);
    out << text;
}

class Options : public ::testing::Test {
protected:
    void SetUp() override
    {
        static int serial = 0;
        root_ = fs::temp_directory_path() /
                ("tlx_options_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                 "_" + std::to_string(++serial));
        fs::remove_all(root_);
        fs::create_directories(root_ / "appdata");
        appData_ = (root_ / "appdata").wstring() + L"/";  // one trailing separator is removed
        OPTIONS_TestSetAppDataFolder(appData_.c_str());
        OPTIONS_TestResetFolderFailure();
        memset(&opt_, 0, sizeof opt_);
        OPTIONS_Init(&opt_);
    }
    void TearDown() override
    {
        OPTIONS_Free(&opt_);
        OPTIONS_TestSetAppDataFolder(nullptr);
        OPTIONS_TestResetFolderFailure();
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }
    fs::path Folder() const { return root_ / "appdata" / "Quorvanti" / "TUNLEX"; }
    int Parse(Args &a, Chain &c, uint32_t pass = OPTIONS_PASS_STARTUP)
    {
        return OPTIONS_ParseArguments(&opt_, &c.e, a.argv(), a.argc(), pass);
    }
    fs::path WriteConfig(const std::string &name, const char *server)
    {
        TUNLEX_Config cfg = {};
        snprintf(cfg.server, sizeof cfg.server, "%s", server);
        snprintf(cfg.user, sizeof cfg.user, "alice");
        cfg.port = 8443;
        fs::path p = root_ / name;
        FILE *f = fopen(p.string().c_str(), "wb");
        EXPECT_NE(f, nullptr);
        EXPECT_EQ(CONFIG_Save(&cfg, f, "test", nullptr), 1);
        fclose(f);
        return p;
    }

    fs::path root_;
    std::wstring appData_;
    AppOptions opt_;
};

const char kUsage[] =
    "Usage: vantorelle_tunlex  [-logfile <file.txt>] [-dump_ppp <file.pcap>] [-log_packets] "
    "[-server <address>] [-server_port <port> [-user <user>] [-no_gateway] "
    "[-fingerprint <aa:bb:cc:..>] [-multiple_instances] [configuration.xml]";

TEST_F(Options, EveryOptionFillsItsField)
{
    Chain c;
    Args a{L"-log_packets", L"-server", L"vpn.example.test", L"-server_port", L"65535", L"-user",
           L"bob", L"-fingerprint", L"aa:bb", L"-no_gateway", L"-multiple_instances"};
    ASSERT_EQ(Parse(a, c), 1) << c.Text();
    EXPECT_EQ(opt_.logPackets, 1);
    EXPECT_STREQ(opt_.overrides.server, "vpn.example.test");
    EXPECT_EQ(opt_.overrides.port, 65535);
    EXPECT_STREQ(opt_.overrides.user, "bob");
    EXPECT_STREQ(opt_.overrides.fingerprint, "aa:bb");
    EXPECT_EQ(opt_.overrides.noRoutes, 1u);
    EXPECT_EQ(opt_.multipleInstances, 1);
    EXPECT_EQ(opt_.configGiven, 0);
    EXPECT_EQ(opt_.logFile, nullptr);

    Args none{};
    Chain c2;
    EXPECT_EQ(Parse(none, c2), 1);
    EXPECT_EQ(c2.Text(), "");
}

TEST_F(Options, BadCommandLinesFailWithTheirMessage)
{
    const std::wstring longServer(256, L'x');  // no room for the NUL in 256 bytes
    const struct {
        std::vector<std::wstring> args;
        std::string message;
    } cases[] = {
        {{L"-?"}, kUsage},
        {{L"-help"}, kUsage},
        {{L"--help"}, kUsage},
        {{L"-server_port", L"0"}, "Invalid portnumber"},
        {{L"-server_port", L"65536"}, "Invalid portnumber"},
        {{L"-server_port", L"port"}, "Invalid portnumber"},
        {{L"-user"}, "Unexpected end of parameter list"},
        {{L"-server", L"a", L"-logfile"}, "Unexpected end of parameter list"},
        {{L"-Server", L"a"}, "Unknown argument \"-Server\""},
        {{L"-HELP"}, "Unknown argument \"-HELP\""},
        {{L"-log_packets", L"-server", longServer}, "Unable convert argument 3 to ASCII"},
        {{L"-user", std::wstring(64, L'u')}, "Unable convert argument 2 to ASCII"},
        {{L"-user", std::wstring(63, L'u'), L"-nope"}, "Unknown argument \"-nope\""},
        {{L"missing.tlxcf"}, "Unable to open configuration file"},
    };
    for (const auto &tc : cases) {
        AppOptions fresh = {};
        Chain c;
        std::vector<std::wstring> text = {L"vantorelle_tunlex"};
        text.insert(text.end(), tc.args.begin(), tc.args.end());
        std::vector<wchar_t *> argv;
        for (std::wstring &t : text)
            argv.push_back(&t[0]);
        EXPECT_EQ(OPTIONS_ParseArguments(&fresh, &c.e, argv.data(), static_cast<int>(argv.size()),
                                         OPTIONS_PASS_STARTUP),
                  0)
            << tc.message;
        EXPECT_EQ(c.Text(), tc.message);
        OPTIONS_Free(&fresh);
    }
}

TEST_F(Options, AFailureStopsBeforeLaterArguments)
{
    Chain c;
    Args a{L"-bogus", L"-log_packets", L"-server", L"x"};
    EXPECT_EQ(Parse(a, c), 0);
    EXPECT_EQ(opt_.logPackets, 0);
    EXPECT_STREQ(opt_.overrides.server, "");
}

TEST_F(Options, ConfigurationFilesAreReadOnceAndMerged)
{
    fs::path one = WriteConfig("one.tlxcf", "file.example.test");
    fs::path two = WriteConfig("two.tlxcf", "other.example.test");
    fs::path broken = root_ / "broken.tlxcf";
    WriteAll(broken, "<not xml");

    Chain c;
    Args a{one.wstring(), L"-user", L"override"};
    ASSERT_EQ(Parse(a, c), 1) << c.Text();
    EXPECT_EQ(opt_.configGiven, 1);
    EXPECT_STREQ(opt_.fileConfig.server, "file.example.test");

    TUNLEX_Config merged = {};
    EXPECT_EQ(CONFIG_Merge(&opt_, &merged), 1);
    EXPECT_STREQ(merged.server, "file.example.test");
    EXPECT_STREQ(merged.user, "override");
    EXPECT_EQ(merged.port, 8443);

    AppOptions twice = {};
    Chain c2;
    Args b{one.wstring(), two.wstring()};
    EXPECT_EQ(OPTIONS_ParseArguments(&twice, &c2.e, b.argv(), b.argc(), OPTIONS_PASS_HANDOVER), 0);
    EXPECT_EQ(c2.Text(), "Multiple configurations given");

    AppOptions bad = {};
    Chain c3;
    Args d{broken.wstring()};
    EXPECT_EQ(OPTIONS_ParseArguments(&bad, &c3.e, d.argv(), d.argc(), OPTIONS_PASS_STARTUP), 0);
    EXPECT_NE(c3.Text(), "");
    EXPECT_EQ(bad.configGiven, 0);
}

TEST_F(Options, OutputFilesOpenOnlyAtStartUpAndOnlyOnce)
{
    fs::path log = root_ / "client.log";
    fs::path dump = root_ / "ppp.pcap";
    {
        Chain c;
        Args a{L"-logfile", log.wstring(), L"-dump_ppp", dump.wstring()};
        ASSERT_EQ(Parse(a, c, OPTIONS_PASS_HANDOVER), 1) << c.Text();
        EXPECT_EQ(opt_.logFile, nullptr);
        EXPECT_FALSE(fs::exists(log));
        EXPECT_FALSE(fs::exists(dump));
    }
    Chain c;
    Args a{L"-logfile", log.wstring(), L"-dump_ppp", dump.wstring()};
    ASSERT_EQ(OPTIONS_Load(a.argc(), a.argv(), &c.e, &opt_), 1) << c.Text();
    ASSERT_NE(opt_.logFile, nullptr);
    ASSERT_NE(opt_.capture, nullptr);
    EXPECT_EQ(fs::file_size(dump), PCAP_HEADER_SIZE);

    // A second program given the same log file is refused while this one writes it.
    AppOptions second = {};
    Chain c2;
    Args b{L"-logfile", log.wstring()};
    EXPECT_EQ(OPTIONS_ParseArguments(&second, &c2.e, b.argv(), b.argc(), OPTIONS_PASS_STARTUP), 0);
    EXPECT_EQ(c2.Text(), "Unable to open file \"" + log.string() + "\" for output");
    OPTIONS_Free(&second);

    // The log sink is let go of the stream before it is closed.
    GUI_SetLogFile(opt_.logFile);
    OPTIONS_Free(&opt_);
    EXPECT_EQ(GUI_GetLogFile(), nullptr);
    EXPECT_EQ(opt_.logFile, nullptr);
    EXPECT_EQ(opt_.dumpFile, nullptr);
    EXPECT_EQ(fs::file_size(dump), PCAP_HEADER_SIZE);
}

TEST_F(Options, DefaultConfigurationRoundTripCarriesTheMarker)
{
    TUNLEX_Config cfg = {};
    snprintf(cfg.server, sizeof cfg.server, "gw.example.test");
    snprintf(cfg.user, sizeof cfg.user, "carol");
    snprintf(cfg.password, sizeof cfg.password, "never-stored");
    snprintf(cfg.fingerprint, sizeof cfg.fingerprint, "01:02:03");
    cfg.port = 4433;
    Chain c;
    ASSERT_EQ(OPTIONS_SaveDefaultConfig(&c.e, &cfg), 1) << c.Text();
    EXPECT_TRUE(fs::exists(Folder() / "default.tlxcf"));
    EXPECT_EQ(ReadAll(Folder() / "default.tlxcf").find("never-stored"), std::string::npos);

    TUNLEX_Config back;
    memset(&back, 0x55, sizeof back);
    EXPECT_EQ(OPTIONS_LoadDefaultConfig(&back, &c.e), 1);
    EXPECT_EQ(CONFIG_Equal(&back, &cfg), 1);
    EXPECT_EQ(back.autoReconnect, 0u);
    EXPECT_STREQ(back.password, "");

    ASSERT_EQ(OPTIONS_SetAutoReconnect(1), 1);
    EXPECT_EQ(OPTIONS_LoadDefaultConfig(&back, &c.e), 1);
    EXPECT_EQ(back.autoReconnect, 1u);
    EXPECT_EQ(c.Text(), "");
}

TEST_F(Options, MissingOrBrokenDefaultConfigurationIsZeroedAndReported)
{
    TUNLEX_Config out;
    Chain c;
    {
        LogCapture log;
        memset(&out, 0x55, sizeof out);
        EXPECT_EQ(OPTIONS_LoadDefaultConfig(&out, &c.e), 1);
        EXPECT_EQ(log.Text(), "Unable to find default config: N/A\n");
    }
    EXPECT_EQ(out.server[0], '\0');
    EXPECT_EQ(out.port, 0);

    ASSERT_EQ(OPTIONS_CreateConfigFolder(&c.e), 1);
    WriteAll(Folder() / "default.tlxcf", "<TUNLEX><broken");
    {
        LogCapture log;
        memset(&out, 0x55, sizeof out);
        EXPECT_EQ(OPTIONS_LoadDefaultConfig(&out, &c.e), 1);
        EXPECT_EQ(log.Text().rfind("Unable to parse default config: ", 0), 0u) << log.Text();
    }
    EXPECT_EQ(out.server[0], '\0');
    EXPECT_EQ(c.Text(), "");
}

TEST_F(Options, MarkerSwitchesOnlyWhenNeeded)
{
    fs::path marker = Folder() / "AutoReconnect";
    EXPECT_EQ(OPTIONS_GetAutoReconnect(), 0);
    EXPECT_EQ(OPTIONS_SetAutoReconnect(0), 1);  // already off
    EXPECT_EQ(OPTIONS_SetAutoReconnect(1), 1);
    EXPECT_TRUE(fs::exists(marker));
    WriteAll(marker, "kept");
    EXPECT_EQ(OPTIONS_SetAutoReconnect(1), 1);  // already on: untouched
    EXPECT_EQ(ReadAll(marker), "kept");
    EXPECT_EQ(OPTIONS_GetAutoReconnect(), 1);
    EXPECT_EQ(OPTIONS_SetAutoReconnect(0), 1);
    EXPECT_FALSE(fs::exists(marker));
    EXPECT_EQ(OPTIONS_GetAutoReconnect(), 0);
}

TEST_F(Options, FolderFailureIsRememberedForTheProcess)
{
    // The application-data "folder" is a file: the first level cannot be made.
    fs::path file = root_ / "not_a_folder";
    WriteAll(file, "x");
    std::wstring wide = file.wstring();
    OPTIONS_TestSetAppDataFolder(wide.c_str());
    Chain c;
    EXPECT_EQ(OPTIONS_CreateConfigFolder(&c.e), 0);
    EXPECT_EQ(c.Text().rfind("Unable to create path for default config", 0), 0u) << c.Text();

    // A good folder does not help any more.
    OPTIONS_TestSetAppDataFolder(appData_.c_str());
    TUNLEX_Config cfg = {};
    snprintf(cfg.server, sizeof cfg.server, "s");
    snprintf(cfg.user, sizeof cfg.user, "u");
    Chain c2;
    EXPECT_EQ(OPTIONS_SaveDefaultConfig(&c2.e, &cfg), 0);
    EXPECT_EQ(c2.Text(), "Previus create default config path failed");
    EXPECT_EQ(OPTIONS_SetAutoReconnect(1), 0);
    EXPECT_EQ(OPTIONS_GetAutoReconnect(), 0);
    EXPECT_FALSE(fs::exists(Folder()));

    OPTIONS_TestResetFolderFailure();
    std::wstring missing = (root_ / "missing").wstring();
    OPTIONS_TestSetAppDataFolder(missing.c_str());
    Chain c3;
    EXPECT_EQ(OPTIONS_CreateConfigFolder(&c3.e), 0);
    EXPECT_EQ(c3.Text(), "Unable to access AppData folder");
}

}  // namespace

namespace {

// Who sees the refusal of a configuration that kept none of its client
// routes: the command line's file, and the remembered default.tlxcf when no
// file is given (with or without -server); -no_gateway and a file of its own
// routes still connect, and so does a file without any ClientRoute.
TEST_F(Options, AConfigurationThatKeptNoClientRouteIsRefusedWhereverItComesFrom)
{
    const std::string head = "<Config Version=\"1.0\"><User>alice</User><Server>gw.example.test</Server>";
    fs::create_directories(Folder());
    const fs::path refused = root_ / "refused.tlxcf", good = root_ / "good.tlxcf",
                   full = root_ / "full.tlxcf";
    WriteAll(refused, head + "<ClientRoute>198.51.100.0/33</ClientRoute></Config>");
    WriteAll(good, head + "<ClientRoute>10.1.0.0/16</ClientRoute></Config>");
    WriteAll(full, head + "</Config>");
    const struct {
        const char *name;
        bool refusedDefault;
        std::vector<std::wstring> args;
        int ok;
    } rows[] = {
        {"the file's routes all refused", false, {refused.wstring()}, 0},
        {"the same with -no_gateway", false, {refused.wstring(), L"-no_gateway"}, 1},
        {"a file without ClientRoute: all nets", false, {full.wstring()}, 1},
        {"the default's routes all refused", true, {}, 0},
        {"the default's, with a server of the command line", true, {L"-server", L"cli.example.test"}, 0},
        {"the default's, behind a file of its own routes", true, {good.wstring()}, 1},
        {"the default's, behind a file without ClientRoute", true, {full.wstring()}, 1},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove(Folder() / "default.tlxcf");
        if (row.refusedDefault)
            fs::copy_file(refused, Folder() / "default.tlxcf");
        OPTIONS_Free(&opt_);
        memset(&opt_, 0, sizeof opt_);
        OPTIONS_Init(&opt_);
        std::vector<std::wstring> words = {L"vantorelle_tunlex"};
        words.insert(words.end(), row.args.begin(), row.args.end());
        std::vector<wchar_t *> argv;
        for (std::wstring &w : words)
            argv.push_back(&w[0]);
        argv.push_back(nullptr);
        Chain c;
        ASSERT_EQ(OPTIONS_Load(static_cast<int>(words.size()), argv.data(), &c.e, &opt_), 1) << c.Text();
        TUNLEX_Config merged = {};
        CONFIG_Merge(&opt_, &merged);
        Chain check;
        EXPECT_EQ(CONFIG_CheckRoutes(&merged, &check.e), row.ok);
        EXPECT_EQ(check.Text(), row.ok ? "" : "No client route of the configuration could be taken: "
                                              "\"198.51.100.0/33\"");
    }
}

}  // namespace
