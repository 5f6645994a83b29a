#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "capture_file.h"
#include "config.h"
#include "errorinfo.h"
#include "gui_log.h"
#include "host_tool.h"
#include "ip_address.h"

namespace {

struct Chain {
    ErrorInfo e{};
    ~Chain() { ERRORINFO_Clear(&e, "test", 0); }
    std::string Text() const { return e.message ? e.message : ""; }
};

std::vector<std::string> g_log;

void Collect(const char *, uint32_t, const char *text, uint32_t)
{
    g_log.push_back(text);
}

class ConfigTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_log.clear();
        GUI_SetConsoleAppend(Collect);
    }
    void TearDown() override { GUI_SetConsoleAppend(nullptr); }

    static int Warnings()
    {
        int n = 0;
        for (const std::string &line : g_log)
            n += line.find("WARNING: Unable to parse route") != std::string::npos;
        return n;
    }
};

TUNLEX_Config Zero()
{
    TUNLEX_Config c;
    memset(&c, 0, sizeof c);
    return c;
}

void SetRoute(TUNLEX_Config *c, const char *text, uint32_t network, uint16_t prefix)
{
    ConfigRoute &r = c->routes[c->routeCount++];
    strcpy(r.text, text);
    r.network = network;
    r.prefix = prefix;
}

const char *const kFingerprint = "3f:A1:00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF:01:02";

TUNLEX_Config Example()
{
    TUNLEX_Config c = Zero();
    strcpy(c.user, "alice");
    strcpy(c.server, "vpn.example.net");
    c.port = 8443;
    SetRoute(&c, "10.0.0.0/8", Ip(10, 0, 0, 0), 8);
    SetRoute(&c, "192.168.10.0/24", Ip(192, 168, 10, 0), 24);
    strcpy(c.fingerprint, kFingerprint);
    return c;
}

std::string WithoutCR(std::string s)
{
    std::string out;
    for (char ch : s)
        if (ch != '\r')
            out += ch;
    return out;
}

std::string SaveText(const TUNLEX_Config &cfg)
{
    ScratchFile f("config_save");
    Chain chain;
    EXPECT_EQ(1, CONFIG_Save(&cfg, f.file(), "out.xml", &chain.e)) << chain.Text();
    return WithoutCR(f.OnDisk());
}

int LoadText(const std::string &xml, TUNLEX_Config *dst, Chain *chain)
{
    ScratchFile f("config_load");
    fwrite(xml.data(), 1, xml.size(), f.file());
    fflush(f.file());
    rewind(f.file());
    return CONFIG_Load(dst, f.file(), "f.xml", &chain->e);
}

std::string Doc(const std::string &children, const char *version = "1.0")
{
    return std::string("<Config Version=\"") + version + "\">" + children + "</Config>";
}

std::string Routes(std::initializer_list<const char *> texts)
{
    std::string s;
    for (const char *t : texts)
        s += std::string("<ClientRoute>") + t + "</ClientRoute>";
    return s;
}

void ExpectSameRecord(const TUNLEX_Config &a, const TUNLEX_Config &b)
{
    EXPECT_STREQ(a.server, b.server);
    EXPECT_EQ(a.port, b.port);
    EXPECT_EQ(a.autoReconnect, b.autoReconnect);
    EXPECT_EQ(a.noRoutes, b.noRoutes);
    EXPECT_STREQ(a.user, b.user);
    EXPECT_STREQ(a.password, b.password);
    ASSERT_EQ(a.routeCount, b.routeCount);
    for (int i = 0; i < a.routeCount; i++) {
        EXPECT_STREQ(a.routes[i].text, b.routes[i].text) << "route " << i;
        EXPECT_EQ(a.routes[i].network, b.routes[i].network) << "route " << i;
        EXPECT_EQ(a.routes[i].prefix, b.routes[i].prefix) << "route " << i;
    }
    EXPECT_STREQ(a.fingerprint, b.fingerprint);
    EXPECT_STREQ(a.RadiusState, b.RadiusState);
    EXPECT_STREQ(a.otpPrompt, b.otpPrompt);
    EXPECT_STREQ(a.otp, b.otp);
}

// --- Writer -------------------------------------------------------------------

TEST_F(ConfigTest, WriterProducesTheFileFormatExactly)
{
    struct Row {
        const char *name;
        TUNLEX_Config cfg;
        const char *text;
    };
    TUNLEX_Config bare = Example();
    bare.port = 0;
    bare.routeCount = 0;
    bare.fingerprint[0] = '\0';
    TUNLEX_Config sixRoutes = Example();
    sixRoutes.routeCount = 6;
    TUNLEX_Config secrets = Zero();
    strcpy(secrets.user, "bob");
    strcpy(secrets.password, "pw");
    strcpy(secrets.otp, "123456");
    strcpy(secrets.RadiusState, "rs");
    strcpy(secrets.otpPrompt, "Code?");
    secrets.autoReconnect = 1;
    secrets.noRoutes = 1;

    const Row rows[] = {
        {"full record", Example(),
         "<Config Version=\"1.0\">\n"
         "    <User>alice</User>\n"
         "    <Server>vpn.example.net</Server>\n"
         "    <Port>8443</Port>\n"
         "    <ClientRoute>10.0.0.0/8</ClientRoute>\n"
         "    <ClientRoute>192.168.10.0/24</ClientRoute>\n"
         "    <SSLFingerprint>3f:A1:00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF:01:02</SSLFingerprint>\n"
         "</Config>\n"},
        {"port 0, no routes, no fingerprint", bare,
         "<Config Version=\"1.0\">\n"
         "    <User>alice</User>\n"
         "    <Server>vpn.example.net</Server>\n"
         "</Config>\n"},
        {"route count 6 writes no routes", sixRoutes,
         "<Config Version=\"1.0\">\n"
         "    <User>alice</User>\n"
         "    <Server>vpn.example.net</Server>\n"
         "    <Port>8443</Port>\n"
         "    <SSLFingerprint>3f:A1:00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF:01:02</SSLFingerprint>\n"
         "</Config>\n"},
        {"secrets and flags are never written", secrets,
         "<Config Version=\"1.0\">\n"
         "    <User>bob</User>\n"
         "</Config>\n"},
        {"empty record", Zero(), "<Config Version=\"1.0\"></Config>\n"},
    };
    for (const Row &row : rows)
        EXPECT_EQ(row.text, SaveText(row.cfg)) << row.name;
}

TEST_F(ConfigTest, SaveToAStreamThatCannotBeWrittenFails)
{
    ScratchFile f("config_ro");
    FILE *ro = fopen(f.path().c_str(), "rb");
    ASSERT_NE(nullptr, ro);
    TUNLEX_Config cfg = Example();
    Chain chain;
    EXPECT_EQ(0, CONFIG_Save(&cfg, ro, "default.xml", &chain.e));
    EXPECT_EQ("Unable to save file \"default.xml\"", chain.Text());
    fclose(ro);

    Chain none;
    EXPECT_EQ(0, CONFIG_Save(&cfg, nullptr, "x.xml", &none.e));
    EXPECT_EQ("Unable to save file \"x.xml\"", none.Text());
}

// --- Round trip -----------------------------------------------------------------

// Every stored field at its limits, and every field that must never be stored.
TUNLEX_Config Loaded()
{
    TUNLEX_Config c = Zero();
    memset(c.server, 'h', sizeof c.server - 1);
    strcpy(c.user, "o'neil & <co> \"x\"");
    memset(c.user + strlen(c.user), 'u', sizeof c.user - 1 - strlen(c.user));
    c.port = 65535;
    SetRoute(&c, "10.0.0.0/8", Ip(10, 0, 0, 0), 8);
    SetRoute(&c, "172.16.0.0/12", Ip(172, 16, 0, 0), 12);
    SetRoute(&c, "1.2.0.0/255.255.0.0", Ip(1, 2, 0, 0), 16);
    SetRoute(&c, "10.2.3.0-10.2.3.255", Ip(10, 2, 3, 0), 24);
    SetRoute(&c, "192.168.7.7", Ip(192, 168, 7, 7), 32);
    strcpy(c.fingerprint, kFingerprint);
    return c;
}

TEST_F(ConfigTest, RoundTripKeepsEveryStoredFieldAndDropsTheSecrets)
{
    TUNLEX_Config out = Loaded();
    strcpy(out.password, "secret");
    strcpy(out.otp, "123456");
    strcpy(out.RadiusState, "state");
    strcpy(out.otpPrompt, "prompt");
    out.autoReconnect = 1;
    out.noRoutes = 1;
    ASSERT_EQ(strlen(out.user), 63u);

    std::string text = SaveText(out);
    TUNLEX_Config in = Zero();
    Chain chain;
    ASSERT_EQ(1, LoadText(text, &in, &chain)) << chain.Text();
    ExpectSameRecord(Loaded(), in);
    EXPECT_EQ(0, Warnings());

    // Port 0 is not written and reads back as 443.
    TUNLEX_Config noPort = Example();
    noPort.port = 0;
    ASSERT_EQ(1, LoadText(SaveText(noPort), &in, &chain));
    EXPECT_EQ(443, in.port);
}

TEST_F(ConfigTest, IndependentParsersReadTheWrittenFile)
{
    std::string python = HostToolPath("python3");
    std::string xmllint = HostToolPath("xmllint");
    if (python.empty() && xmllint.empty())
        GTEST_SKIP() << "no python3 or xmllint on this host";

    ScratchFile f("config_indep");
    TUNLEX_Config cfg = Loaded();
    ASSERT_EQ(1, CONFIG_Save(&cfg, f.file(), "x", nullptr));

    if (!xmllint.empty()) {
        EXPECT_EQ(0, HostToolRun(xmllint + " --noout " + f.path() + " 2>&1", nullptr));
    }
    if (!python.empty()) {
        std::string out;
        std::string script =
            "import sys, xml.etree.ElementTree as E\n"
            "r = E.parse(sys.argv[1]).getroot()\n"
            "print(r.tag, r.get('Version'))\n"
            "for c in r: print(c.tag + '=' + (c.text or ''))\n";
        ScratchFile py("config_reader");
        fputs(script.c_str(), py.file());
        fflush(py.file());
        ASSERT_EQ(0, HostToolRun(python + " " + py.path() + " " + f.path(), &out));
        std::string expected = "Config 1.0\n";
        expected += std::string("User=") + cfg.user + "\n";
        expected += std::string("Server=") + cfg.server + "\n";
        expected += "Port=65535\n";
        for (int i = 0; i < cfg.routeCount; i++)
            expected += std::string("ClientRoute=") + cfg.routes[i].text + "\n";
        expected += std::string("SSLFingerprint=") + kFingerprint + "\n";
        EXPECT_EQ(expected, out);
    }
}

// --- Reader ---------------------------------------------------------------------

TEST_F(ConfigTest, LoadTable)
{
    struct Row {
        const char *name;
        std::string xml;
        const char *message;    // null: the load succeeds
        const char *user;       // expected user on success
        uint16_t port;
        int routes;
        int warnings;
    };
    const std::string ua = "<User>a</User><Server>s</Server>";
    const std::string tooLongUser = "<User>" + std::string(64, 'u') + "</User>";
    const Row rows[] = {
        {"version 1.1", Doc(ua, "1.1"), "Unhandled config version 1.1 in \"f.xml\"", "", 0, 0, 0},
        {"no version", "<Config>" + ua + "</Config>",
         "Unable to determine version of configuration \"f.xml\"", "", 0, 0, 0},
        {"root not Config", "<Settings Version=\"1.0\">" + ua + "</Settings>",
         "Unable to find config section in \"f.xml\"", "", 0, 0, 0},
        {"broken XML", "<Config Version=\"1.0\"><User>a</Config>", "Unable to load config file\"f.xml\"",
         "", 0, 0, 0},
        {"empty file", "", "Unable to load config file\"f.xml\"", "", 0, 0, 0},
        {"port 65535 reads back", Doc(ua + "<Port>65535</Port>"), nullptr, "a", 65535, 0, 0},
        {"port 65536", Doc(ua + "<Port>65536</Port>"), "Invalid portnumber \"65536\"", "", 0, 0, 0},
        {"port 0", Doc(ua + "<Port>0</Port>"), "Invalid portnumber \"0\"", "", 0, 0, 0},
        {"port -1", Doc(ua + "<Port>-1</Port>"), "Invalid portnumber \"-1\"", "", 0, 0, 0},
        {"port word", Doc(ua + "<Port>abc</Port>"), "Invalid portnumber \"abc\"", "", 0, 0, 0},
        {"port 443abc", Doc(ua + "<Port>443abc</Port>"), nullptr, "a", 443, 0, 0},
        {"port empty", Doc(ua + "<Port></Port>"), nullptr, "a", 443, 0, 0},
        {"a word among routes", Doc(ua + Routes({"10.0.0.0/8", "intranet", "192.168.1.0/24"})), nullptr,
         "a", 443, 2, 1},
        {"empty route ends the list", Doc(ua + Routes({"10.0.0.0/8", "", "192.168.1.0/24"})), nullptr,
         "a", 443, 1, 0},
        {"all-nets route", Doc(ua + Routes({"10.0.0.0/8", "0.0.0.0/0"})),
         "Manual route can't contain all-nets (0.0.0.0/0) route \"f.xml\"", "", 0, 0, 0},
        {"all-nets with a dotted mask", Doc(ua + Routes({"0.0.0.0/0.0.0.0"})),
         "Manual route can't contain all-nets (0.0.0.0/0) route \"f.xml\"", "", 0, 0, 0},
        {"six routes", Doc(ua + Routes({"10.1.0.0/16", "10.2.0.0/16", "10.3.0.0/16", "10.4.0.0/16",
                                        "10.5.0.0/16", "10.6.0.0/16"})),
         "Too many client routes (at most 5) in \"f.xml\"", "", 0, 0, 0},
        {"five routes and a bad one", Doc(ua + Routes({"10.1.0.0/16", "10.2.0.0/16", "x", "10.3.0.0/16",
                                                       "10.4.0.0/16", "10.5.0.0/16"})),
         nullptr, "a", 443, 5, 1},
        // Cut to 19 characters this would be 10.0.0.0-10.0.0.127, a valid route.
        {"route text longer than its field", Doc(ua + Routes({"10.0.0.0-10.0.0.1275"})), nullptr, "a",
         443, 0, 1},
        {"text after the route", Doc(ua + Routes({"10.1.2.0/24 office"})), nullptr, "a", 443, 1, 0},
        {"range that is no prefix block", Doc(ua + Routes({"10.0.0.1-10.0.0.5"})), nullptr, "a", 443, 0,
         1},
        {"only Server loads as all zero", Doc("<Server>s</Server>"), nullptr, "", 0, 0, 0},
        {"user too long", Doc(tooLongUser + "<Server>s</Server>"), "Value of User too long in \"f.xml\"",
         "", 0, 0, 0},
        {"order and unknown elements do not matter",
         Doc("<Extra>1</Extra><Port>444</Port><Server>s</Server><User>first</User><User>second</User>"),
         nullptr, "first", 444, 0, 0},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        g_log.clear();
        TUNLEX_Config dst = Example();
        Chain chain;
        int ok = LoadText(row.xml, &dst, &chain);
        if (row.message) {
            EXPECT_EQ(0, ok);
            EXPECT_EQ(row.message, chain.Text());
            ExpectSameRecord(Example(), dst);   // untouched on failure
        } else {
            EXPECT_EQ(1, ok) << chain.Text();
            EXPECT_EQ("", chain.Text());
            EXPECT_STREQ(row.user, dst.user);
            EXPECT_EQ(row.port, dst.port);
            EXPECT_EQ(row.routes, dst.routeCount);
        }
        EXPECT_EQ(row.warnings, Warnings());
    }
}

TEST_F(ConfigTest, RoutesKeepTheirNetworkPrefixAndOrder)
{
    TUNLEX_Config dst = Zero();
    Chain chain;
    ASSERT_EQ(1, LoadText(Doc("<User>a</User><Server>s</Server>" +
                              Routes({"10.0.0.0/8", "bad", "192.168.1.0/24"})),
                          &dst, &chain));
    ASSERT_EQ(2, dst.routeCount);
    EXPECT_STREQ("10.0.0.0/8", dst.routes[0].text);
    EXPECT_EQ(Ip(10, 0, 0, 0), dst.routes[0].network);
    EXPECT_EQ(8, dst.routes[0].prefix);
    EXPECT_STREQ("192.168.1.0/24", dst.routes[1].text);
    EXPECT_EQ(Ip(192, 168, 1, 0), dst.routes[1].network);
    EXPECT_EQ(24, dst.routes[1].prefix);
    EXPECT_NE(std::string::npos, g_log.at(0).find("WARNING: Unable to parse route \"bad\", ignoring\r\n"));
}

// Route texts of users' split-tunnel files: each gives its route, and a
// save and reload keeps what it means (a text too long for the record is
// stored in its canonical form, never cut).
TEST_F(ConfigTest, SplitTunnelRouteTextsKeepTheirRouteThroughSaveAndReload)
{
    struct Row {
        const char *text;
        uint32_t network;
        uint16_t prefix;
        const char *stored;
    } rows[] = {
        {"192.168.100.0/255.255.255.0", Ip(192, 168, 100, 0), 24, "192.168.100.0/24"},
        {"172.16.0.0/255.240.0.0", Ip(172, 16, 0, 0), 12, "172.16.0.0/12"},
        {"10.1.2.0/24 office", Ip(10, 1, 2, 0), 24, "10.1.2.0/24 office"},
        {"10.1.2.0/24;", Ip(10, 1, 2, 0), 24, "10.1.2.0/24;"},
        {"10.0.0.0-10.0.0.255 lab", Ip(10, 0, 0, 0), 24, "10.0.0.0/24"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.text);
        g_log.clear();
        TUNLEX_Config first = Zero();
        Chain chain;
        ASSERT_EQ(1, LoadText(Doc("<User>a</User><Server>s</Server>" + Routes({row.text})), &first,
                              &chain))
            << chain.Text();
        EXPECT_EQ(0, Warnings());
        ASSERT_EQ(1, first.routeCount);
        EXPECT_EQ(row.network, first.routes[0].network);
        EXPECT_EQ(row.prefix, first.routes[0].prefix);
        EXPECT_STREQ(row.stored, first.routes[0].text);

        TUNLEX_Config again = Zero();
        ASSERT_EQ(1, LoadText(SaveText(first), &again, &chain)) << chain.Text();
        ASSERT_EQ(1, again.routeCount);
        EXPECT_EQ(row.network, again.routes[0].network);
        EXPECT_EQ(row.prefix, again.routes[0].prefix);
        EXPECT_STREQ(row.stored, again.routes[0].text);
        EXPECT_EQ(1, CONFIG_Equal(&first, &again));
    }
}

// Files the parser must not read past: a UTF-8 byte-order mark with a 4-byte
// lead byte as the last byte, lead bytes at the end of a name or attribute,
// and line ends of every kind, which are read as "\n".
TEST_F(ConfigTest, LoadReadsNoFurtherThanTheFile)
{
    const std::string bom = "\xEF\xBB\xBF";
    const std::string cut33 = bom + "<Config Version=\"1.0\"><User>a\xF0";
    ASSERT_EQ(33u, cut33.size());
    for (const std::string &xml : {cut33, bom + "<Config Version=\"1.0\xF0", bom + "<\xF0",
                                   std::string("<Config Version=\"1.0\"><User>\xE2"), bom}) {
        TUNLEX_Config dst = Example();
        Chain chain;
        EXPECT_EQ(0, LoadText(xml, &dst, &chain));
        EXPECT_EQ("Unable to load config file\"f.xml\"", chain.Text());
        ExpectSameRecord(Example(), dst);
    }
    TUNLEX_Config dst = Zero();
    Chain chain;
    ASSERT_EQ(1, LoadText(bom + "<Config Version=\"1.0\">\r\n<User>a</User>\r<Server>s\r\nt</Server>"
                                "</Config>",
                          &dst, &chain))
        << chain.Text();
    EXPECT_STREQ("a", dst.user);
    EXPECT_STREQ("s t", dst.server);   // a line end inside a text reads as one blank
}

TEST_F(ConfigTest, ParseRouteWarnings)
{
    ConfigRoute r;
    memset(&r, 0, sizeof r);
    EXPECT_EQ(0, TUNLEX_ParseRoute("10.0.0.1-10.0.0.5", &r));
    EXPECT_EQ(0, TUNLEX_ParseRoute("300.0.0.0/8", &r));
    ASSERT_EQ(2u, g_log.size());
    EXPECT_NE(std::string::npos,
              g_log[0].find("WARNING: Unable to parse route size for \"10.0.0.1-10.0.0.5\", ignoring\r\n"));
    EXPECT_NE(std::string::npos, g_log[1].find("WARNING: Unable to parse route \"300.0.0.0/8\", ignoring\r\n"));
    EXPECT_EQ(0, r.prefix);
    EXPECT_EQ('\0', r.text[0]);
}

TEST_F(ConfigTest, LoadWithoutStreamFails)
{
    TUNLEX_Config dst = Example();
    Chain chain;
    EXPECT_EQ(0, CONFIG_Load(&dst, nullptr, "gone.xml", &chain.e));
    EXPECT_EQ("Unable to load config file\"gone.xml\"", chain.Text());
    ExpectSameRecord(Example(), dst);
}

// --- Copy, Equal, Merge -----------------------------------------------------------

TEST_F(ConfigTest, CopyValidatesTerminatesAndDefaults)
{
    TUNLEX_Config src = Example();
    src.port = 0;
    src.routeCount = 9;
    memset(src.user, 'u', sizeof src.user);          // no terminator anywhere
    memset(src.otp, 'o', sizeof src.otp);
    memset(src.routes[2].text, 'r', sizeof src.routes[2].text);
    TUNLEX_Config dst;
    Chain chain;
    ASSERT_EQ(1, CONFIG_Copy(&dst, &src, &chain.e));
    EXPECT_EQ(443, dst.port);
    EXPECT_EQ(5, dst.routeCount);
    EXPECT_EQ(63u, strlen(dst.user));
    EXPECT_EQ(63u, strlen(dst.otp));
    EXPECT_EQ(19u, strlen(dst.routes[2].text));
    EXPECT_EQ("", chain.Text());

    // Copying a record onto itself keeps it.
    TUNLEX_Config self = Example();
    ASSERT_EQ(1, CONFIG_Copy(&self, &self, nullptr));
    ExpectSameRecord(Example(), self);

    struct Row {
        const char *user;
        const char *server;
        const char *message;
    };
    const Row refused[] = {
        {"alice", "", "No server specified"},
        {"", "vpn", "No Username specified"},
    };
    for (const Row &row : refused) {
        TUNLEX_Config bad = Example();
        strcpy(bad.user, row.user);
        strcpy(bad.server, row.server);
        TUNLEX_Config out = Example();
        Chain c;
        EXPECT_EQ(0, CONFIG_Copy(&out, &bad, &c.e));
        EXPECT_EQ(row.message, c.Text());
        ExpectSameRecord(Zero(), out);
    }
}

TEST_F(ConfigTest, EqualTable)
{
    struct Row {
        const char *name;
        void (*change)(TUNLEX_Config *);
        int equal;
    };
    const Row rows[] = {
        {"same", [](TUNLEX_Config *) {}, 1},
        {"port 0 against 443", [](TUNLEX_Config *c) { c->port = 0; }, 0},  // base port is 8443
        {"password", [](TUNLEX_Config *c) { strcpy(c->password, "other"); }, 1},
        {"route text", [](TUNLEX_Config *c) { strcpy(c->routes[0].text, "10.0.0.0/255.0.0.0"); }, 1},
        {"OTP state", [](TUNLEX_Config *c) { strcpy(c->RadiusState, "x"); strcpy(c->otp, "1"); }, 1},
        {"route network", [](TUNLEX_Config *c) { c->routes[1].network = Ip(192, 168, 11, 0); }, 0},
        {"route prefix", [](TUNLEX_Config *c) { c->routes[1].prefix = 25; }, 0},
        {"route count", [](TUNLEX_Config *c) { c->routeCount = 1; }, 0},
        {"fingerprint case", [](TUNLEX_Config *c) { c->fingerprint[0] = 'F'; }, 0},
        {"user", [](TUNLEX_Config *c) { strcpy(c->user, "Alice"); }, 0},
        {"auto-reconnect", [](TUNLEX_Config *c) { c->autoReconnect = 1; }, 0},
        {"no-routes", [](TUNLEX_Config *c) { c->noRoutes = 1; }, 0},
    };
    for (const Row &row : rows) {
        TUNLEX_Config a = Example();
        TUNLEX_Config b = Example();
        row.change(&b);
        EXPECT_EQ(row.equal, CONFIG_Equal(&a, &b)) << row.name;
        EXPECT_EQ(row.equal, CONFIG_Equal(&b, &a)) << row.name;
    }

    TUNLEX_Config a = Example();
    TUNLEX_Config b = Example();
    a.port = 0;
    b.port = 443;
    EXPECT_EQ(1, CONFIG_Equal(&a, &b));
    b.port = 444;
    EXPECT_EQ(0, CONFIG_Equal(&a, &b));

    // With no-routes set on both, the routes are not compared.
    a = Example();
    b = Example();
    a.noRoutes = b.noRoutes = 1;
    b.routeCount = 0;
    EXPECT_EQ(1, CONFIG_Equal(&a, &b));
}

TEST_F(ConfigTest, MergePrecedence)
{
    auto make = [](const char *server, const char *user, int routes) {
        TUNLEX_Config c = Zero();
        strcpy(c.server, server);
        strcpy(c.user, user);
        for (int i = 0; i < routes; i++)
            SetRoute(&c, "10.0.0.0/8", Ip(10, static_cast<uint8_t>(i), 0, 0), 16);
        return c;
    };
    TUNLEX_Config file = make("file.example", "fileuser", 1);
    TUNLEX_Config def = make("default.example", "defuser", 2);
    def.autoReconnect = 1;
    def.port = 1000;
    TUNLEX_Config none = Zero();
    TUNLEX_Config over = make("override.example", "ouser", 3);
    TUNLEX_Config userOnly = make("", "cmduser", 0);
    userOnly.port = 2000;
    userOnly.noRoutes = 1;

    struct Row {
        const char *name;
        const TUNLEX_Config *file;
        int fileLoaded;
        const TUNLEX_Config *over;
        const char *server, *user;
        uint16_t port;
        int routes, autoReconnect, noRoutes;
    };
    const Row rows[] = {
        {"override server wins, file routes", &file, 1, &over, "override.example", "ouser", 443, 1, 0, 0},
        {"override server, default routes", &none, 0, &over, "override.example", "ouser", 443, 2, 0, 0},
        {"file over default", &file, 1, &none, "file.example", "fileuser", 443, 1, 0, 0},
        {"default without file", &none, 0, &none, "default.example", "defuser", 1000, 2, 1, 0},
        {"loaded file without routes gives all-nets", &none, 1, &none, "default.example", "defuser", 1000,
         0, 1, 0},
        {"override user, port and no-routes", &file, 1, &userOnly, "file.example", "cmduser", 2000, 1, 0, 1},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        TUNLEX_Config dst = Example();
        int autoReconnect = -1;
        EXPECT_EQ(1, CONFIG_MergeSources(row.file, row.fileLoaded, row.over, &def, &autoReconnect, &dst));
        EXPECT_STREQ(row.server, dst.server);
        EXPECT_STREQ(row.user, dst.user);
        EXPECT_EQ(row.port, dst.port);
        EXPECT_EQ(row.routes, dst.routeCount);
        EXPECT_EQ(row.autoReconnect, autoReconnect);
        EXPECT_EQ(row.noRoutes, static_cast<int>(dst.noRoutes));
    }
}

TEST_F(ConfigTest, PrintLines)
{
    TUNLEX_Config cfg = Example();
    strcpy(cfg.password, "never-shown");
    CONFIG_Print(&cfg);
    cfg.routeCount = 0;
    CONFIG_Print(&cfg);
    cfg.noRoutes = 1;
    cfg.fingerprint[0] = '\0';
    CONFIG_Print(&cfg);
    const std::vector<std::string> expected = {
        " Server:       vpn.example.net:8443\r\n",
        " User:         alice\r\n",
        " OTP:          \r\n",
        " RadiusState:  \r\n",
        " Fingerprint: \"3f:A1:00:11:22:33:44...\"\r\n",
        " Routes:       2 routes configured\r\n",
        "  Route 1: 10.0.0.0/8\r\n",
        "  Route 2: 192.168.10.0/24\r\n",
        " Server:       vpn.example.net:8443\r\n",
        " User:         alice\r\n",
        " OTP:          \r\n",
        " RadiusState:  \r\n",
        " Fingerprint: \"3f:A1:00:11:22:33:44...\"\r\n",
        " Routes:       All-Nets route\r\n",
        " Server:       vpn.example.net:8443\r\n",
        " User:         alice\r\n",
        " OTP:          \r\n",
        " RadiusState:  \r\n",
        " Routes:       No routes\r\n",
    };
    EXPECT_EQ(expected, g_log);
}

}  // namespace

namespace {

// Elements the format does not know: one WARNING each, naming it and the
// file, and the load goes on as before; a file that names client routes and
// keeps none records what it refused.
TEST_F(ConfigTest, UnknownElementsAndRefusedRoutesTable)
{
    const std::string ua = "<User>a</User><Server>s</Server>";
    struct Row {
        const char *name;
        std::string xml;
        std::vector<std::string> unknown;   // named in WARNING lines, in order
        int routes;
        const char *refused;
    };
    const Row rows[] = {
        {"known elements only", Doc(ua + Routes({"10.0.0.0/8"})), {}, 1, ""},
        {"misspelt ClientRoute", Doc(ua + "<ClientRoutes>10.0.0.0/8</ClientRoutes>"), {"ClientRoutes"},
         0, ""},
        {"two unknown, one known", Doc("<Extra>1</Extra>" + ua + "<Usr>b</Usr>"), {"Extra", "Usr"}, 0, ""},
        {"case matters", Doc(ua + "<server>t</server>"), {"server"}, 0, ""},
        {"inside an unknown element only it", Doc(ua + "<Group><ClientRoute>10.0.0.0/8</ClientRoute></Group>"),
         {"Group"}, 0, ""},
        {"inside a known element", Doc(ua + "<Port>444<Note/></Port>"), {"Note"}, 0, ""},
        {"beside the root", Doc(ua) + "<Config Version=\"1.0\"><User>b</User></Config>", {"Config"}, 0, ""},
        {"no ClientRoute: all nets", Doc(ua), {}, 0, ""},
        {"every route refused", Doc(ua + Routes({"198.51.100.0/33"})), {}, 0, "\"198.51.100.0/33\""},
        {"two refused", Doc(ua + Routes({"198.51.100.0/33", "intranet"})), {}, 0,
         "\"198.51.100.0/33\", \"intranet\""},
        {"one kept of two", Doc(ua + Routes({"198.51.100.0/33", "10.0.0.0/8"})), {}, 1, ""},
        {"a refused route after an empty one is not read",
         Doc(ua + Routes({"10.0.0.0/8", "", "198.51.100.0/33"})), {}, 1, ""},
        {"a long refused list is cut",
         Doc(ua + Routes({std::string(60, 'x').c_str(), std::string(60, 'y').c_str(),
                          std::string(60, 'z').c_str()})),
         {}, 0, nullptr},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        g_log.clear();
        TUNLEX_Config dst = Example();
        Chain chain;
        ASSERT_EQ(1, LoadText(row.xml, &dst, &chain)) << chain.Text();
        std::vector<std::string> warned;
        for (const std::string &line : g_log)
            if (line.find("WARNING: Unknown element") != std::string::npos)
                warned.push_back(line);
        ASSERT_EQ(row.unknown.size(), warned.size());
        for (size_t i = 0; i < warned.size(); i++)
            EXPECT_EQ("WARNING: Unknown element <" + row.unknown[i] + "> in \"f.xml\", ignoring\r\n",
                      warned[i]);
        EXPECT_EQ(row.routes, dst.routeCount);
        if (row.refused) {
            EXPECT_STREQ(row.refused, dst.refusedRoutes);
        } else {
            std::string list = dst.refusedRoutes;
            EXPECT_LT(list.size(), sizeof dst.refusedRoutes);
            EXPECT_EQ(0u, list.find("\"" + std::string(60, 'x') + "\", "));
            EXPECT_EQ(list.size() - 5, list.rfind(", ..."));
        }
    }
}

// Only a record that asked for client routes and kept none is refused;
// no-routes and an empty route list (all nets) connect as before. The
// refused list goes with the routes through the merge.
TEST_F(ConfigTest, CheckRoutesAndMergeCarryTheRefusedRoutes)
{
    TUNLEX_Config refused = Zero();
    strcpy(refused.server, "s");
    strcpy(refused.user, "u");
    strcpy(refused.refusedRoutes, "\"198.51.100.0/33\"");
    TUNLEX_Config kept = refused;
    SetRoute(&kept, "10.0.0.0/8", Ip(10, 0, 0, 0), 8);
    TUNLEX_Config noRoutes = refused;
    noRoutes.noRoutes = 1;
    TUNLEX_Config allNets = Zero();
    strcpy(allNets.server, "s");
    strcpy(allNets.user, "u");
    const struct {
        const char *name;
        const TUNLEX_Config *cfg;
        int ok;
    } rows[] = {
        {"all refused", &refused, 0},
        {"some kept", &kept, 1},
        {"no-routes", &noRoutes, 1},
        {"no route named", &allNets, 1},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        Chain chain;
        EXPECT_EQ(row.ok, CONFIG_CheckRoutes(row.cfg, &chain.e));
        EXPECT_EQ(row.ok ? "" : "No client route of the configuration could be taken: \"198.51.100.0/33\"",
                  chain.Text());
    }

    TUNLEX_Config none = Zero(), over = Zero(), dst;
    strcpy(over.server, "cli");
    strcpy(over.user, "u");
    // The default's refusal reaches a start without a file, with or without a server of its own.
    CONFIG_MergeSources(&none, 0, &none, &refused, nullptr, &dst);
    EXPECT_STREQ("\"198.51.100.0/33\"", dst.refusedRoutes);
    CONFIG_MergeSources(&none, 0, &over, &refused, nullptr, &dst);
    EXPECT_STREQ("\"198.51.100.0/33\"", dst.refusedRoutes);
    EXPECT_EQ(0, CONFIG_CheckRoutes(&dst, nullptr));
    // A loaded file's routes replace the default's, and its refusal with them.
    CONFIG_MergeSources(&allNets, 1, &none, &refused, nullptr, &dst);
    EXPECT_STREQ("", dst.refusedRoutes);
    CONFIG_MergeSources(&refused, 1, &none, &kept, nullptr, &dst);
    EXPECT_STREQ("\"198.51.100.0/33\"", dst.refusedRoutes);
    EXPECT_EQ(0, dst.routeCount);

    g_log.clear();
    CONFIG_Print(&refused);
    bool said = false;
    for (const std::string &line : g_log)
        said |= line == " Routes:       None taken of \"198.51.100.0/33\"\r\n";
    EXPECT_TRUE(said);
}

}  // namespace
