#include "gui_ui_fixture.h"

#include "gui_resource.h"
#include "log_capture.h"

namespace {

// ---- Statistics labels ----

TEST(GuiLabels, FormatsCutAndAlign)
{
    const struct {
        uint64_t bytes;
        const char *text;
    } megabytes[] = {
        {0, "0.0"},
        {1048575, "0.9"},
        {1048576, "1.0"},
        {1572863, "1.4"},                   // cut, not rounded
        {~0ull, "17592186044415.9"},        // no overflow of bytes * 10
    };
    char text[GUI_LABEL_TEXT_SIZE];
    for (const auto &c : megabytes) {
        GUI_FormatMegabytes(text, sizeof text, c.bytes);
        EXPECT_STREQ(text, c.text) << c.bytes;
    }

    const struct {
        uint32_t rate;
        const char *text;
    } rates[] = {{1023, "         0"}, {1024, "         1"}, {0xFFFFFFFFu, "   4194303"}};
    for (const auto &c : rates) {
        GUI_FormatKilobytesPerSecond(text, sizeof text, c.rate);
        EXPECT_STREQ(text, c.text) << c.rate;
    }

    char address[GUI_ADDRESS_TEXT_SIZE];
    GUI_FormatAddress(address, sizeof address, Address(192, 168, 10, 1));
    EXPECT_STREQ(address, "192.168.10.1");
    GUI_FormatAddress(address, sizeof address, Address(255, 255, 255, 255));
    EXPECT_STREQ(address, "255.255.255.255");
}

TEST(GuiLabels, OnlyChangedValuesAreShown)
{
    GUI_LabelMemory shown = {};
    TUNLEX_Statistics stats = {};
    TUNLEX_NetworkConfig net = {};
    EXPECT_EQ(GUI_TrafficChanges(&shown, &stats), 0u);     // zero at start: nothing to show
    EXPECT_EQ(GUI_AddressChanges(&shown, &net), 0u);

    stats.bytesSent = 1048576;
    stats.receiveRate = 2048;
    EXPECT_EQ(GUI_TrafficChanges(&shown, &stats), (1u << 0) | (1u << 3));
    EXPECT_EQ(GUI_TrafficChanges(&shown, &stats), 0u);
    EXPECT_EQ(GUI_TrafficChanges(&shown, nullptr), 0u);

    net.ClientIP = Address(10, 0, 0, 2);
    net.DNS2 = Address(8, 8, 8, 8);
    EXPECT_EQ(GUI_AddressChanges(&shown, &net), (1u << 4) | (1u << 7));
    EXPECT_EQ(GUI_AddressChanges(&shown, &net), 0u);

    char text[GUI_LABEL_TEXT_SIZE];
    GUI_LabelText(&shown, IDC_BYTES_SENT - 1000, text, sizeof text);
    EXPECT_STREQ(text, "1.0");
    GUI_LabelText(&shown, IDC_RECEIVE_RATE - 1000, text, sizeof text);
    EXPECT_STREQ(text, "         2");
    GUI_LabelText(&shown, IDC_CLIENT_IP - 1000, text, sizeof text);
    EXPECT_STREQ(text, "10.0.0.2");
}

// ---- Connect dialog ----

TEST_F(GuiUi, PinnedServerIsReadOnlyAndCustomServerDropsPinAndRoutes)
{
    GUI_Options.defaultConfig = MakeConfig("gw.example", "alice", "aa:bb:cc");
    GUI_InitConfigs();
    EXPECT_STREQ(GUI_DisplayedConfig.server, "gw.example");

    GUI_ConnectFields fields;
    GUI_ViewConfig(&GUI_DisplayedConfig, &fields);
    EXPECT_STREQ(fields.port, "443");
    EXPECT_STREQ(fields.user, "alice");
    EXPECT_EQ(fields.customServer, 0);
    EXPECT_EQ(fields.customEnabled, 1);
    EXPECT_EQ(fields.serverReadOnly, 1);

    // Pinned: the fingerprint and the routes go with the server.
    TUNLEX_Config dialog = {};
    GUI_ReadConnectFields(&fields, &dialog, &GUI_DisplayedConfig);
    EXPECT_STREQ(dialog.fingerprint, "aa:bb:cc");
    EXPECT_EQ(dialog.routeCount, 2);
    EXPECT_EQ(dialog.routes[1].prefix, 16);

    // Custom server: editable, and a connect carries neither.
    EXPECT_EQ(GUI_CustomServerChanged(&fields, 1), 0);
    EXPECT_EQ(fields.serverReadOnly, 0);
    strcpy(fields.address, "other.example");
    strcpy(fields.port, "8443");
    GUI_ReadConnectFields(&fields, &dialog, &GUI_DisplayedConfig);
    EXPECT_STREQ(dialog.server, "other.example");
    EXPECT_EQ(dialog.port, 8443);
    EXPECT_STREQ(dialog.fingerprint, "");
    EXPECT_EQ(dialog.routeCount, 0);

    // Unchecking again puts back the displayed server and port.
    EXPECT_EQ(GUI_CustomServerChanged(&fields, 0), 1);
    EXPECT_EQ(fields.serverReadOnly, 1);
    EXPECT_STREQ(fields.address, "gw.example");
    EXPECT_STREQ(fields.port, "443");

    // No routes with the no-routes flag, even for the pinned server.
    GUI_DisplayedConfig.noRoutes = 1;
    GUI_ReadConnectFields(&fields, &dialog, &GUI_DisplayedConfig);
    EXPECT_STREQ(dialog.fingerprint, "aa:bb:cc");
    EXPECT_EQ(dialog.routeCount, 0);
    EXPECT_EQ(dialog.noRoutes, 1u);
}

// After the dialog shows a second configuration, unticking "custom server"
// puts back that configuration's server and port, so its pin and routes
// go with its own server, never with the start-up one.
TEST_F(GuiUi, UntickingCustomServerPutsBackTheDisplayedServer)
{
    GUI_Options.defaultConfig = MakeConfig("gw.example", "alice", "aa:bb:cc");
    GUI_InitConfigs();
    TUNLEX_Config second = MakeConfig("second.example", "bob", "dd:ee:ff");
    second.port = 10443;
    GUI_ApplyConfig(&second);

    GUI_ConnectFields fields;
    GUI_ViewConfig(&GUI_DisplayedConfig, &fields);
    EXPECT_EQ(GUI_CustomServerChanged(&fields, 1), 0);
    EXPECT_EQ(GUI_CustomServerChanged(&fields, 0), 1);
    EXPECT_STREQ(fields.address, "second.example");
    EXPECT_STREQ(fields.port, "10443");
    TUNLEX_Config dialog = {};
    GUI_ReadConnectFields(&fields, &dialog, &GUI_DisplayedConfig);
    EXPECT_STREQ(dialog.server, "second.example");
    EXPECT_EQ(dialog.port, 10443);
    EXPECT_STREQ(dialog.fingerprint, "dd:ee:ff");
}

TEST_F(GuiUi, WithoutFingerprintCheckBoxIsFixedAndRoutesStayBehind)
{
    TUNLEX_Config cfg = MakeConfig("gw.example", "bob", "");
    GUI_ShowConfig(&cfg);
    GUI_ConnectFields fields;
    GUI_ViewConfig(&GUI_DisplayedConfig, &fields);
    EXPECT_EQ(fields.customServer, 1);
    EXPECT_EQ(fields.customEnabled, 0);
    EXPECT_EQ(fields.serverReadOnly, 0);

    TUNLEX_Config dialog = {};
    GUI_ReadConnectFields(&fields, &dialog, &GUI_DisplayedConfig);
    EXPECT_EQ(dialog.routeCount, 0);
    EXPECT_STREQ(dialog.fingerprint, "");

    // A configuration without user cannot be shown: empty fields, port 443.
    TUNLEX_Config noUser = MakeConfig("gw.example", "", "aa");
    GUI_ShowConfig(&noUser);
    GUI_ViewConfig(&GUI_DisplayedConfig, &fields);
    EXPECT_STREQ(fields.address, "");
    EXPECT_STREQ(fields.port, "443");
}

TEST_F(GuiUi, PortTextOutsideOneTo65535ConnectsTo443)
{
    const struct {
        const char *text;
        uint16_t port;
    } cases[] = {{"8443", 8443}, {"65535", 65535}, {"", 443},   {"abc", 443},
                 {"0", 443},     {"-5", 443},      {"65536", 443}, {"70000", 443}};
    GUI_ConnectFields fields = {};
    TUNLEX_Config dialog = {};
    for (const auto &c : cases) {
        strcpy(fields.port, c.text);
        GUI_ReadConnectFields(&fields, &dialog, &GUI_DisplayedConfig);
        EXPECT_EQ(dialog.port, c.port) << c.text;
    }
}

TEST_F(GuiUi, ConnectClearsStaleOtpStateAndOtpAnswerCarriesIt)
{
    TUNLEX_Config cfg = MakeConfig("gw.example", "carol", "");
    strcpy(cfg.RadiusState, "state-1");
    strcpy(cfg.otpPrompt, "Code from token:");
    // Both forms of a password the code page cannot spell.
    strcpy(cfg.password, "??????");
    strcpy(cfg.passwordUtf8, u8"\u043f\u0430\u0440\u043e\u043b\u044c");
    GUI_ShowConfig(&cfg);
    GUI_DialogConfig = cfg;

    // The user field is empty, so the core refuses the configuration: an
    // "Error" balloon, no message box, nothing started.
    GUI_ConnectFields fields;
    GUI_ViewConfig(&GUI_DisplayedConfig, &fields);
    fields.user[0] = '\0';
    TakeEvents();
    GUI_ConnectPressed(&fields);
    EXPECT_EQ(TakeEvents(), (Events{"balloon Error: No Username specified"}));
    EXPECT_STREQ(GUI_DialogConfig.RadiusState, "");
    EXPECT_STREQ(GUI_DialogConfig.otpPrompt, "");

    char prompt[GUI_OTP_PROMPT_SIZE];
    GUI_OtpPrompt(prompt, sizeof prompt);
    EXPECT_STREQ(prompt, "Code from token:");
    GUI_OtpAccepted("123456", &fields);
    EXPECT_STREQ(GUI_DialogConfig.RadiusState, "state-1");
    EXPECT_STREQ(GUI_DialogConfig.otpPrompt, "Code from token:");
    EXPECT_STREQ(GUI_DialogConfig.otp, "123456");
    EXPECT_STREQ(GUI_DialogConfig.password, "??????");
    EXPECT_STREQ(GUI_DialogConfig.passwordUtf8, cfg.passwordUtf8);

    GUI_OtpRefused();
    EXPECT_STREQ(GUI_DialogConfig.RadiusState, "");
    EXPECT_STREQ(GUI_DialogConfig.otp, "");
    EXPECT_STREQ(GUI_DisplayedConfig.RadiusState, "");
    EXPECT_STREQ(GUI_DisplayedConfig.otpPrompt, "");
}

// ---- State and exit callbacks ----

TEST_F(GuiUi, ReconnectCycleShowsEachBalloonOnce)
{
    LogCapture log;
    conn_->config = MakeConfig("gw.example", "dave", "aa:bb");
    conn_->config.port = 443;
    // Port 0 and 443 count as equal: the default stays as it is.
    GUI_Options.defaultConfig = conn_->config;
    GUI_Options.defaultConfig.port = 0;
    conn_->netcfg.ClientIP = Address(10, 0, 0, 5);
    conn_->netcfg.MTU = 1400;

    State(TUNLEX_STATE_CONNECTING, TUNLEX_KIND_SOCKET_CLOSED);
    State(TUNLEX_STATE_CONNECTING, TUNLEX_KIND_PPP_PHASE);
    State(TUNLEX_STATE_PPP_UP);
    State(TUNLEX_STATE_CONNECTED);
    State(TUNLEX_STATE_CONNECTED);
    ERRORINFO_Set(&conn_->error, ERRORINFO_AT("test"), "Connection reset by gateway");
    State(TUNLEX_STATE_ERROR, TUNLEX_KIND_SSL);
    State(TUNLEX_STATE_ERROR, TUNLEX_KIND_SSL);
    State(TUNLEX_STATE_CONNECTING);
    EXPECT_EQ(TakeEvents(), (Events{"balloon Connecting: Connecting to \"gw.example\":443", "icon 110",
                                    "routes", "balloon Connected: Assigned IP \"10.0.0.5\"", "icon 109",
                                    "balloon Disconnected: Connection reset by gateway", "icon 108",
                                    "balloon Connecting: Connecting to \"gw.example\":443", "icon 110"}));
    EXPECT_EQ(GUI_LastState.state, TUNLEX_STATE_CONNECTING);

    std::string text = log.Text();
    EXPECT_EQ(text.find("Updating default configuration:"), std::string::npos);
    EXPECT_FALSE(DefaultConfigExists());
    // The network lines come with every report of states 2 and 3.
    size_t headers = 0;
    for (size_t at = 0; (at = text.find("---------------------------", at)) != std::string::npos; ++at)
        ++headers;
    EXPECT_EQ(headers, 3u);
    EXPECT_NE(text.find("ClientIP  : 10.0.0.5\n"), std::string::npos);
    EXPECT_NE(text.find("MTU       : 1400\n"), std::string::npos);
    EXPECT_NE(text.find("Disconnected: Connection reset by gateway\n"), std::string::npos);

    // Disconnected shows a balloon only after a running connection.
    ERRORINFO_Clear(&conn_->error, ERRORINFO_AT("test"));
    State(TUNLEX_STATE_DISCONNECTED);
    EXPECT_EQ(TakeEvents(), (Events{"balloon Disconnected: The client is disconnected", "icon 108"}));
    State(TUNLEX_STATE_ERROR);
    State(TUNLEX_STATE_DISCONNECTED);
    State(TUNLEX_STATE_OTP_PROMPTED);
    State(TUNLEX_STATE_DISCONNECTED);
    EXPECT_EQ(TakeEvents(), (Events{"balloon Disconnected: Connection terminated", "icon 108", "otp"}));
}

TEST_F(GuiUi, FirstConnectionStoresDefaultAndOpensGatewayPage)
{
    LogCapture log;
    conn_->config = MakeConfig("gw.example", "erin", "11:22");
    strcpy(conn_->gatewayUrl, "HTTPS://gw.example/portal");
    State(TUNLEX_STATE_CONNECTED);
    Events events = TakeEvents();
    EXPECT_EQ(events.size(), 5u);
    EXPECT_EQ(events[3], "show gw.example");
    EXPECT_EQ(events[4], "launch HTTPS://gw.example/portal");
    EXPECT_NE(log.Text().find("Updating default configuration:"), std::string::npos);
    EXPECT_TRUE(CONFIG_Equal(&GUI_Options.defaultConfig, &conn_->config));
    EXPECT_TRUE(DefaultConfigExists());
    EXPECT_STREQ(GUI_DisplayedConfig.fingerprint, "11:22");

    // Another scheme is refused before the shell is asked; the connection goes on.
    strcpy(conn_->gatewayUrl, "file:///etc/passwd");
    State(TUNLEX_STATE_ERROR);
    TakeEvents();
    State(TUNLEX_STATE_CONNECTED);
    events = TakeEvents();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back(), "balloon Warning: URL validation failed, missing \"HTTP(S)\" prefix");
    EXPECT_NE(log.Text().find("WARNING: URL validation failed"), std::string::npos);
}

TEST_F(GuiUi, OtpRequestShowsGatewayStateOnceAndErrorClearsIt)
{
    conn_->config = MakeConfig("gw.example", "frank", "");
    strcpy(conn_->config.RadiusState, "rs-42");
    strcpy(conn_->config.otpPrompt, "Enter the code:");
    State(TUNLEX_STATE_OTP_PROMPTED);
    State(TUNLEX_STATE_OTP_PROMPTED);
    EXPECT_EQ(TakeEvents(), (Events{"show gw.example", "otp"}));
    EXPECT_STREQ(GUI_DisplayedConfig.RadiusState, "rs-42");
    char prompt[GUI_OTP_PROMPT_SIZE];
    GUI_OtpPrompt(prompt, sizeof prompt);
    EXPECT_STREQ(prompt, "Enter the code:");

    State(TUNLEX_STATE_ERROR);
    EXPECT_STREQ(conn_->config.RadiusState, "");
    EXPECT_STREQ(conn_->config.otpPrompt, "");
    EXPECT_STREQ(conn_->config.user, "frank");
}

TEST_F(GuiUi, ExitBalloonFollowsTheKind)
{
    const struct {
        TUNLEX_State state;
        TUNLEX_ErrorKind kind;
        const char *message;
        Events events;
    } cases[] = {
        {TUNLEX_STATE_ERROR, TUNLEX_KIND_PPP_PHASE, "SSL Fingerprint missmatch",
         {"balloon Error: Server SSL Certificate doesn't match downloaded configuration", "ended 5"}},
        {TUNLEX_STATE_ERROR, TUNLEX_KIND_AUTHENTICATION, nullptr,
         {"balloon Error: Verify that the right username and password is used, and that the user may log in",
          "restore dialog", "ended 5"}},
        {TUNLEX_STATE_ERROR, TUNLEX_KIND_ROUTE_TIMEOUT, nullptr,
         {"balloon Error: Unable to setup config routes", "ended 5"}},
        {TUNLEX_STATE_ERROR, TUNLEX_KIND_SSL, "TLS alert", {"balloon Error: TLS alert", "ended 5"}},
        {TUNLEX_STATE_ERROR, TUNLEX_KIND_UNKNOWN, nullptr, {"balloon Error: Unknown Error", "ended 5"}},
        {TUNLEX_STATE_DISCONNECTED, TUNLEX_KIND_UNKNOWN, "stale", {"ended 0"}},
    };
    for (const auto &c : cases) {
        ERRORINFO_Clear(&conn_->error, ERRORINFO_AT("test"));
        if (c.message)
            ERRORINFO_Set(&conn_->error, ERRORINFO_AT("test"), "%s", c.message);
        GUI_OnConnectionExit(conn_, nullptr, c.state, c.kind);
        EXPECT_EQ(TakeEvents(), c.events) << c.kind;
    }
}

// ---- Tray menu ----

TEST_F(GuiUi, TrayMenuFollowsStateAndAutoReconnect)
{
    const uint32_t ids[GUI_TRAY_MENU_ITEMS] = {1, 0, 2, 3, 0, 6, 0, 4, 0, 104, 0, 5};
    GUI_MenuItem items[GUI_TRAY_MENU_ITEMS];
    for (uint32_t state = 0; state <= 5; ++state) {
        for (int autoReconnect = 0; autoReconnect <= 1; ++autoReconnect) {
            GUI_TrayMenu(state, autoReconnect, items);
            for (uint32_t i = 0; i < GUI_TRAY_MENU_ITEMS; ++i) {
                EXPECT_EQ(items[i].id, ids[i]);
                EXPECT_EQ((items[i].flags & GUI_MENU_SEPARATOR) != 0, ids[i] == 0);
            }
            EXPECT_EQ(items[0].flags, GUI_MENU_DEFAULT);
            EXPECT_EQ((items[2].flags & GUI_MENU_GRAYED) != 0, state != 0) << state;
            EXPECT_EQ((items[3].flags & GUI_MENU_GRAYED) != 0, state == 0) << state;
            EXPECT_EQ((items[5].flags & GUI_MENU_CHECKED) != 0, autoReconnect == 1);
        }
    }
    EXPECT_STREQ(items[7].text, "Diagnostic Console...");
    EXPECT_STREQ(items[9].text, "About...");
}

TEST_F(GuiUi, AutoReconnectToggleReachesOptionConnectionAndMarker)
{
    GUI_ToggleAutoReconnect();
    EXPECT_EQ(GUI_Options.autoReconnect, 1);
    EXPECT_EQ(conn_->config.autoReconnect, 1u);
    EXPECT_TRUE(MarkerExists());
    GUI_ToggleAutoReconnect();
    EXPECT_EQ(GUI_Options.autoReconnect, 0);
    EXPECT_EQ(conn_->config.autoReconnect, 0u);
    EXPECT_FALSE(MarkerExists());
}

TEST(GuiUrl, PrefixAndShellReasons)
{
    ErrorInfo chain = {};
    EXPECT_EQ(GUI_CheckUrlPrefix("hTTp://gw/", &chain), 1);
    EXPECT_EQ(GUI_CheckUrlPrefix("https://gw/", &chain), 1);
    EXPECT_TRUE(ERRORINFO_IsEmpty(&chain));
    for (const char *bad : {"http:/gw", "ftp://gw", "", "javascript:alert(1)"}) {
        EXPECT_EQ(GUI_CheckUrlPrefix(bad, &chain), 0) << bad;
        EXPECT_STREQ(chain.message, "URL validation failed, missing \"HTTP(S)\" prefix");
    }
    ERRORINFO_Clear(&chain, ERRORINFO_AT("test"));
    EXPECT_STREQ(GUI_ShellOpenReason(2), "The specified file was not found.");
    EXPECT_STREQ(GUI_ShellOpenReason(32), "The specified DLL was not found.");
    EXPECT_STREQ(GUI_ShellOpenReason(33), "Unknown reason");
    EXPECT_STREQ(GUI_ShellOpenReason(-1), "Unknown reason");
}

} // namespace

namespace {

// A refused certificate: behind the state's own line, what the gateway
// showed and where the compared fingerprint lives, for each source the
// merge takes it from.
TEST_F(GuiUi, RefusedCertificateSaysWhereThePinLives)
{
    enum Source { DEFAULT_FILE, CONFIG_FILE, COMMAND_LINE };
    const struct {
        Source source;
        const char *says;
    } rows[] = {
        {DEFAULT_FILE, "The client remembered the fingerprint in \""},
        {CONFIG_FILE, "The fingerprint comes from the SSLFingerprint of the configuration file "
                      "\"/tmp/office.tlxcf\": removing it there"},
        {COMMAND_LINE, "The fingerprint comes from -fingerprint on the command line"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.says);
        memset(&GUI_Options, 0, sizeof GUI_Options);
        GUI_LastState = {};
        GUI_Options.defaultConfig = MakeConfig("gw.example", "alice", "aa:bb:cc");
        if (row.source == CONFIG_FILE) {
            GUI_Options.fileConfig = MakeConfig("office.example", "alice", "dd:ee");
            strcpy(GUI_Options.configName, "/tmp/office.tlxcf");
        }
        if (row.source == COMMAND_LINE)
            GUI_Options.overrides = MakeConfig("cli.example", "alice", "ff:00");
        ERRORINFO_Set(&conn_->error, ERRORINFO_AT("test"), "SSL Fingerprint missmatch");
        ERRORINFO_Append(&conn_->error, ERRORINFO_AT("test"),
                         "The gateway's certificate has the fingerprint 12:34");
        LogCapture log;
        State(TUNLEX_STATE_ERROR, TUNLEX_KIND_PPP_PHASE);
        const std::string text = log.Text();
        size_t first = text.find("SSL Fingerprint missmatch");
        size_t shown = text.find("The gateway's certificate has the fingerprint 12:34\n");
        size_t where = text.find(row.says);
        ASSERT_NE(first, std::string::npos) << text;
        ASSERT_NE(shown, std::string::npos) << text;
        ASSERT_NE(where, std::string::npos) << text;
        EXPECT_LT(first, shown);
        EXPECT_LT(shown, where);
        if (row.source == DEFAULT_FILE) {
            const std::string path = (folder_ / "Quorvanti" / "TUNLEX" / "default.tlxcf").string();
            EXPECT_NE(text.find(path + "\": removing that file"), std::string::npos) << text;
        }
        if (row.source != COMMAND_LINE) {
            EXPECT_NE(text.find("-server and -fingerprint, starts afresh"), std::string::npos) << text;
        }
        TakeEvents();
    }
    // Another error says nothing of fingerprints.
    GUI_LastState = {};
    ERRORINFO_Set(&conn_->error, ERRORINFO_AT("test"), "SSL Connection failure");
    LogCapture log;
    State(TUNLEX_STATE_ERROR, TUNLEX_KIND_SSL);
    EXPECT_EQ(log.Text().find("fingerprint"), std::string::npos) << log.Text();
}

// A pinned configuration whose every client route was refused carries that
// into the dialog's connect, which is then refused as a whole.
TEST_F(GuiUi, APinnedConfigurationThatKeptNoRouteIsNotConnected)
{
    GUI_Options.defaultConfig = MakeConfig("gw.example", "alice", "aa:bb:cc");
    GUI_Options.defaultConfig.routeCount = 0;
    strcpy(GUI_Options.defaultConfig.refusedRoutes, "\"198.51.100.0/33\"");
    GUI_InitConfigs();
    GUI_ConnectFields fields;
    GUI_ViewConfig(&GUI_DisplayedConfig, &fields);
    TUNLEX_Config dialog = {};
    GUI_ReadConnectFields(&fields, &dialog, &GUI_DisplayedConfig);
    EXPECT_STREQ(dialog.refusedRoutes, "\"198.51.100.0/33\"");
    ErrorInfo chain = {};
    EXPECT_EQ(TUNLEX_SetConfig(conn_, &dialog, &chain), 0);
    EXPECT_STREQ(chain.message,
                 "No client route of the configuration could be taken: \"198.51.100.0/33\"");
    ERRORINFO_Clear(&chain, nullptr, 0);
    // A custom server goes without the pinned routes, as before.
    GUI_CustomServerChanged(&fields, 1);
    GUI_ReadConnectFields(&fields, &dialog, &GUI_DisplayedConfig);
    EXPECT_STREQ(dialog.refusedRoutes, "");
}

}  // namespace
