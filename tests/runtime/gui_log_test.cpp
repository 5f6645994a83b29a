#include "gui_log.h"

#include "capture_file.h"
#include "errorinfo.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace {

struct ConsoleLine {
    std::string stamp;
    uint32_t stampColour;
    std::string text;
    uint32_t colour;
};
std::vector<ConsoleLine> g_console;

void CollectConsole(const char *stamp, uint32_t stampColour, const char *text, uint32_t colour)
{
    g_console.push_back({stamp ? stamp : "", stampColour, text, colour});
}

// Standard error, a log file and the console hook, all captured.
class LogSink : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_console.clear();
        GUI_SetLogFile(log_.file());
        GUI_SetConsoleAppend(CollectConsole);
    }
    void TearDown() override
    {
        GUI_SetLogFile(nullptr);
        GUI_SetConsoleAppend(nullptr);
    }
    // The log is read back through a second stream: what it shows was flushed.
    std::string Log() const { return log_.OnDisk(); }

    ScratchFile log_{"gui_log"};
    StderrCapture err_;
};

const std::regex kStamp(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] )");

TEST_F(LogSink, TraceLinesByModuleLevelAndLength)
{
    struct Row {
        const char *module;
        int level;
        std::string text;
        std::string line;  // "" when dropped
        uint32_t colour;
    } rows[] = {
        {"TCP", 5, "connected", "[  TCP:  5] connected\r\n", GUI_COLOUR_WHITE},
        {"PPP", 6, "ends\n", "[  PPP:  6] ends\n", GUI_COLOUR_WHITE},
        {"PPP", 7, "hidden", "", 0},
        {"PPP", 11, "hidden", "", 0},
        {"PPP", 3, "IPCP: up", "[  PPP:  3] IPCP: up\r\n", GUI_COLOUR_LIGHT_CYAN},
        {"PPP", 2, "IPCP: up", "[  PPP:  2] IPCP: up\r\n", GUI_COLOUR_LIGHT_RED},
        {"PPP", 4, "VSP: opt", "[  PPP:  4] VSP: opt\r\n", GUI_COLOUR_LIGHT_YELLOW},
        {"PPP", 0, "IPCPx", "[  PPP:  0] IPCPx\r\n", GUI_COLOUR_LIGHT_RED},
        {"MODULE", 0, "x", "[MODULE:  0] x\r\n", GUI_COLOUR_LIGHT_RED},
    };
    std::string wantStreams;
    size_t consoleCalls = 0;
    for (const Row &r : rows) {
        GUI_Trace(r.module, r.level, "%s", r.text.c_str());
        wantStreams += r.line;
        EXPECT_EQ(Log(), wantStreams) << r.text;
        EXPECT_EQ(err_.Text(), wantStreams) << r.text;
        if (r.line.empty())
            continue;
        ASSERT_EQ(g_console.size(), ++consoleCalls);
        EXPECT_EQ(g_console.back().text, r.line);
        EXPECT_EQ(g_console.back().colour, r.colour) << r.line;
        EXPECT_TRUE(std::regex_match(g_console.back().stamp, kStamp)) << g_console.back().stamp;
        EXPECT_EQ(g_console.back().stampColour, GUI_COLOUR_WHITE);
    }
}

TEST_F(LogSink, LongLinesAreCutInsideTheirBuffer)
{
    const size_t prefix = strlen("[  PPP:  3] ");
    // Whole line lengths around the 1024-byte buffer, and far beyond it.
    for (size_t whole : {1019u, 1021u, 1022u, 1023u, 1024u, 2000u}) {
        std::string text(whole - prefix, 'a');
        std::string before = err_.Text();
        GUI_Trace("PPP", 3, "%s", text.c_str());
        std::string got = err_.Text().substr(before.size());
        size_t keep = whole <= 1021 ? whole : 1021;
        EXPECT_EQ(got, "[  PPP:  3] " + std::string(keep - prefix, 'a') + "\r\n") << whole;
    }
    // A text ending in its own line end keeps it when it fits.
    std::string fits(1022 - prefix, 'b');
    GUI_Trace("PPP", 3, "%s\n", fits.c_str());
    EXPECT_EQ(g_console.back().text.size(), 1023u);
    EXPECT_EQ(g_console.back().text.back(), '\n');

    std::string big(3000, 'c');
    GUI_Print(0, 0, "%s", big.c_str());
    EXPECT_EQ(g_console.back().text, std::string(1023, 'c'));
}

TEST_F(LogSink, PrintAndDebugReachEveryDestinationUnchanged)
{
    GUI_Print(0, 1, "plain %d\n", 1);
    GUI_Print(1, 2, "stamped\r\n");
    GUI_Print(0, 7, "no line end");
    GUI_Debug("DEBUG: %s\n", "pipe");
    const char *want = "plain 1\nstamped\r\nno line endDEBUG: pipe\n";
    EXPECT_EQ(err_.Text(), want);
    EXPECT_EQ(Log(), want);

    ASSERT_EQ(g_console.size(), 4u);
    EXPECT_EQ(g_console[0].stamp, "");
    EXPECT_EQ(g_console[0].colour, GUI_COLOUR_ORANGE);
    EXPECT_TRUE(std::regex_match(g_console[1].stamp, kStamp));
    EXPECT_EQ(g_console[1].colour, GUI_COLOUR_RED);
    EXPECT_EQ(g_console[2].colour, GUI_COLOUR_GREEN);
    EXPECT_TRUE(std::regex_match(g_console[3].stamp, kStamp));
    EXPECT_EQ(g_console[3].colour, GUI_COLOUR_LIGHT_BLUE);
}

// The quiet debug line is GUI_Debug's line everywhere but on the terminal.
TEST_F(LogSink, QuietDebugSkipsOnlyStandardError)
{
    GUI_DebugQuiet("DEBUG: %s\n", "stopping");
    EXPECT_EQ(err_.Text(), "");
    EXPECT_EQ(Log(), "DEBUG: stopping\n");
    ASSERT_EQ(g_console.size(), 1u);
    EXPECT_TRUE(std::regex_match(g_console[0].stamp, kStamp));
    EXPECT_EQ(g_console[0].stampColour, GUI_COLOUR_WHITE);
    EXPECT_EQ(g_console[0].text, "DEBUG: stopping\n");
    EXPECT_EQ(g_console[0].colour, GUI_COLOUR_LIGHT_BLUE);
}

TEST_F(LogSink, ErrorChainsByLengthAndLevel)
{
    const std::string x(1500, 'x'), y(1500, 'y');
    struct Row {
        int level;
        std::vector<const char *> entries;
        std::string log;
        std::string stderrText;
        const char *console;  // first entry
    } rows[] = {
        {2, {"no route"}, "[ERROR]: no route\r\n", "", "ERROR: no route\n"},
        {0, {"done\n"}, "[INFO]: done\n", "", "INFO: done\n"},
        {1, {"a", "b", "c\n"}, "[WARNING]: a\r\n[WARNING 2]: b\n[WARNING 3]: c\n\n",
         "[WARNING 2]: b\n[WARNING 3]: c\n\n", "WARNING: a\n"},
        {9, {"odd"}, "[]: odd\r\n", "", ": odd\n"},
        {2, {}, "", "", nullptr},
        // Cut to the line, line ends kept.
        {2, {x.c_str(), y.c_str()},
         "[ERROR]: " + x.substr(0, 1012) + "\r\n" + "[ERROR 2]: " + y.substr(0, 1011) + "\n",
         "[ERROR 2]: " + y.substr(0, 1011) + "\n", nullptr},
    };
    for (const Row &r : rows) {
        ScratchFile log("gui_chain");
        GUI_SetLogFile(log.file());
        StderrCapture err;
        g_console.clear();
        ErrorInfo chain{nullptr, "", 0, nullptr};
        for (const char *e : r.entries)
            ERRORINFO_Append(&chain, "test", 1, "%s", e);

        GUI_PrintErrorChain(r.level, &chain);
        EXPECT_EQ(log.OnDisk(), r.log);
        EXPECT_EQ(err.Text(), r.stderrText);
        EXPECT_EQ(g_console.size(), r.entries.size());
        if (!r.entries.empty()) {
            if (r.console) {
                EXPECT_EQ(g_console[0].text, r.console);
            }
            EXPECT_EQ(g_console[0].colour, GUI_COLOUR_RED);
            EXPECT_EQ(g_console[0].stampColour, GUI_COLOUR_RED);
            for (size_t i = 1; i < g_console.size(); i++)
                EXPECT_EQ(g_console[i].colour, GUI_COLOUR_GREEN);
        }
        EXPECT_EQ(ERRORINFO_Count(&chain), r.entries.size());
        ERRORINFO_Clear(&chain, "test", 2);
        GUI_SetLogFile(nullptr);
    }
    GUI_PrintErrorChain(2, nullptr);
}

std::vector<std::string> g_balloons;

TEST_F(LogSink, NotifyRaisesABalloonAndLogsNothing)
{
    g_balloons.clear();
    GUI_Notify(2, "lost");  // no notifier yet: nothing happens
    GUI_SetNotifyHandler([](const char *title, const char *text) {
        g_balloons.push_back(std::string(title) + "|" + text);
    });
    GUI_Notify(0, "a");
    GUI_Notify(1, "b");
    GUI_Notify(2, "c");
    GUI_Notify(5, "d");
    GUI_Notify(2, "");
    GUI_Notify(2, nullptr);
    GUI_SetNotifyHandler(nullptr);
    EXPECT_EQ(g_balloons, (std::vector<std::string>{"Info|a", "Warning|b", "Error|c", "|d"}));
    EXPECT_EQ(Log(), "");
    EXPECT_EQ(err_.Text(), "");
    EXPECT_TRUE(g_console.empty());
}

std::vector<std::string> g_tapped;

TEST_F(LogSink, TraceTapSeesEveryLevel)
{
    g_tapped.clear();
    GUI_SetTraceTap([](const char *module, int level, const char *text) {
        g_tapped.push_back(std::string(module) + ":" + std::to_string(level) + ":" + text);
    });
    GUI_Trace("PPP", 11, "state %d", 3);
    GUI_Trace("PPP", 2, "drop");
    GUI_SetTraceTap(nullptr);
    GUI_Trace("PPP", 10, "gone");
    EXPECT_EQ(g_tapped, (std::vector<std::string>{"PPP:11:state 3", "PPP:2:drop"}));
    EXPECT_EQ(Log(), "[  PPP:  2] drop\r\n");
}

TEST_F(LogSink, LinesOfTwoThreadsStayWhole)
{
    GUI_SetConsoleAppend(nullptr);
    const int kLines = 2000;
    auto writer = [](char id) {
        std::string text(200, id);
        for (int i = 0; i < kLines; i++)
            GUI_Trace("T", 1, "%s", text.c_str());
    };
    std::thread a(writer, 'a'), b(writer, 'b');
    a.join();
    b.join();
    for (const std::string &all : {Log(), err_.Text()}) {
        std::string lineA = "[    T:  1] " + std::string(200, 'a') + "\r\n";
        std::string lineB = "[    T:  1] " + std::string(200, 'b') + "\r\n";
        ASSERT_EQ(all.size(), 2 * kLines * lineA.size());
        int countA = 0, countB = 0;
        for (size_t at = 0; at < all.size(); at += lineA.size()) {
            std::string line = all.substr(at, lineA.size());
            countA += line == lineA;
            countB += line == lineB;
        }
        EXPECT_EQ(countA, kLines);
        EXPECT_EQ(countB, kLines);
    }
}

} // namespace
