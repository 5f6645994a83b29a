// The connection control against the real core and a local listener.
#include "gui_ui_fixture.h"
#include "log_capture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

namespace {

// A listener that never answers: the connection thread waits in the TLS
// handshake until it is stopped.
class SilentListener {
public:
    SilentListener()
    {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr *>(&addr), len) != 0 || listen(fd_, 4) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
            return;
        port_ = ntohs(addr.sin_port);
    }
    ~SilentListener()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    uint16_t port() const { return port_; }

private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

bool WaitForState(TUNLEX_Connection *conn, TUNLEX_State state)
{
    for (int i = 0; i < 200; ++i) {
        if (TUNLEX_GetState(conn) == state)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

using GuiConnection = GuiUi;

size_t Occurrences(const std::string &text, const std::string &line)
{
    size_t n = 0;
    for (size_t at = 0; (at = text.find(line, at)) != std::string::npos; at += line.size())
        ++n;
    return n;
}

// The console form: a balloon is a log line, so an ended connection's
// "Disconnected: ..." is printed once, not once as a balloon and once more.
TEST_F(GuiConnection, ConsolePrintsEachDisconnectedLineOnce)
{
    GUI_SetStatusOps(nullptr);   // the platform's own console operations
    LogCapture log;
    ERRORINFO_Set(&conn_->error, ERRORINFO_AT("test"), "Connection reset by gateway");
    State(TUNLEX_STATE_CONNECTING);
    State(TUNLEX_STATE_ERROR, TUNLEX_KIND_SSL);
    ERRORINFO_Clear(&conn_->error, ERRORINFO_AT("test"));
    State(TUNLEX_STATE_CONNECTING);
    State(TUNLEX_STATE_DISCONNECTED);
    const std::string text = log.Text();
    EXPECT_EQ(Occurrences(text, "Disconnected: Connection reset by gateway\n"), 1u) << text;
    EXPECT_EQ(Occurrences(text, "Disconnected: The client is disconnected\n"), 1u) << text;
}

TEST_F(GuiConnection, ConnectWhileRunningStopsTheOldConnectionFirst)
{
    SilentListener gateway;
    ASSERT_NE(gateway.port(), 0);
    TUNLEX_SetStateCallback(conn_, GUI_OnStateChange, &GUI_LastState);
    TUNLEX_Config cfg = MakeConfig("127.0.0.1", "gina", "");
    cfg.port = gateway.port();
    cfg.routeCount = 0;
    GUI_Options.autoReconnect = 1;      // copied into every configuration handed over

    GUI_Connect(&cfg);
    ASSERT_TRUE(WaitForState(conn_, TUNLEX_STATE_CONNECTING));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));    // its callback has run
    EXPECT_EQ(conn_->config.autoReconnect, 1u);
    EXPECT_EQ(TUNLEX_IsRunning(conn_, nullptr), 1);
    TakeEvents();

    GUI_Connect(&cfg);
    ASSERT_TRUE(WaitForState(conn_, TUNLEX_STATE_CONNECTING));
    Events events = TakeEvents();
    ASSERT_GE(events.size(), 4u);
    // The route table is printed before the old thread is stopped (which
    // reports Disconnected), then again before the new one starts.
    EXPECT_EQ(events[0], "routes");
    EXPECT_EQ(events[1], "balloon Disconnected: The client is disconnected");
    EXPECT_EQ(events[2], "icon 108");
    EXPECT_EQ(events[3], "routes");

    GUI_Disconnect();
    EXPECT_EQ(TUNLEX_GetState(conn_), TUNLEX_STATE_DISCONNECTED);
    EXPECT_EQ(TUNLEX_IsRunning(conn_, nullptr), 0);
    events = TakeEvents();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back(), "icon 108");
    TUNLEX_SetStateCallback(conn_, nullptr, nullptr);
}

} // namespace
