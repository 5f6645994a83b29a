// The configuration of one connection and its XML file.
//
// A TUNLEX_Config is a flat record of fixed-size, always terminated text
// fields that is copied by value. The client fills it from the connect dialog,
// the command line and XML files; the tunnel core keeps a copy per connection.
#ifndef TLX_CONFIG_H
#define TLX_CONFIG_H

#include <stdint.h>
#include <stdio.h>

struct ErrorInfo;

// Plain constants (not an enum), so that they mix with integers anywhere.
constexpr uint32_t CONFIG_SERVER_SIZE = 256;
constexpr uint32_t CONFIG_USER_SIZE = 64;
constexpr uint32_t CONFIG_PASSWORD_SIZE = 64;
constexpr uint32_t CONFIG_PASSWORD_UTF8_SIZE = 256;    // 63 UTF-16 units take at most 189 bytes
constexpr uint32_t CONFIG_ROUTE_TEXT_SIZE = 20;     // at most 19 characters
constexpr uint32_t CONFIG_MAX_ROUTES = 5;
constexpr uint32_t CONFIG_FINGERPRINT_SIZE = 256;
constexpr uint32_t CONFIG_RADIUS_STATE_SIZE = 256;
constexpr uint32_t CONFIG_OTP_PROMPT_SIZE = 256;
constexpr uint32_t CONFIG_OTP_SIZE = 64;
constexpr uint32_t CONFIG_REFUSED_ROUTES_SIZE = 160;
constexpr uint16_t CONFIG_DEFAULT_PORT = 443;
constexpr uint32_t CONFIG_MAX_PORT = 65535;         // the reader, the dialog and the command line agree

// One client route.
struct ConfigRoute {
    char text[CONFIG_ROUTE_TEXT_SIZE];  // as written
    uint32_t network;                   // network byte order
    uint16_t prefix;                    // 1..32 once parsed
};

struct TUNLEX_Config {
    char server[CONFIG_SERVER_SIZE];
    uint16_t port;                      // 0 means 443
    uint32_t autoReconnect;
    uint32_t noRoutes;                  // "-no_gateway"
    char user[CONFIG_USER_SIZE];
    // Neither form is ever written to a file. The bytes PAP and CHAP-MD5
    // send, as typed (the ANSI code page on Windows), and the text MS-CHAP
    // hashes in its UTF-16 form; an empty passwordUtf8 means password.
    char password[CONFIG_PASSWORD_SIZE];
    char passwordUtf8[CONFIG_PASSWORD_UTF8_SIZE];
    uint8_t routeCount;                 // 0..5; 0 is the all-nets route
    ConfigRoute routes[CONFIG_MAX_ROUTES];
    char fingerprint[CONFIG_FINGERPRINT_SIZE];
    char RadiusState[CONFIG_RADIUS_STATE_SIZE];
    char otpPrompt[CONFIG_OTP_PROMPT_SIZE];
    char otp[CONFIG_OTP_SIZE];
    // The ClientRoute texts a file named when it kept none of them, each
    // quoted, joined with ", " and cut to fit. Not empty: the file asked for
    // client routes, so the empty route list does not mean all nets here.
    char refusedRoutes[CONFIG_REFUSED_ROUTES_SIZE];
};

// Zeroes dst, refuses a source without server ("No server specified") or user
// ("No Username specified") leaving dst zeroed, else copies with every text
// terminated, the route count clamped to 5 and port 0 turned into 443.
int CONFIG_Copy(TUNLEX_Config *dst, const TUNLEX_Config *src, ErrorInfo *chain);

// User, server and fingerprint (case-sensitive), both flags, the routes'
// networks and prefixes unless no-routes is set, and the ports (0 == 443).
int CONFIG_Equal(const TUNLEX_Config *a, const TUNLEX_Config *b);

// The record a connection uses: overrides > file > default for the base, then
// the override port, user and no-routes flag, then the file's routes when a
// file was loaded, else the default's. The merged auto-reconnect flag is
// stored into *autoReconnect (may be null). Always 1. CONFIG_Merge of the
// client's options record is this call over the options' three records.
int CONFIG_MergeSources(const TUNLEX_Config *file, int fileLoaded, const TUNLEX_Config *overrides,
                        const TUNLEX_Config *defaults, int *autoReconnect, TUNLEX_Config *dst);

// 0 with "No client route of the configuration could be taken: ..." when
// the record would take the all-nets route only because every client route
// its file named was refused; 1 otherwise (no-routes set, routes kept, or no
// route named at all).
int CONFIG_CheckRoutes(const TUNLEX_Config *cfg, ErrorInfo *chain);

// The record in the log, line by line (the password is never printed).
void CONFIG_Print(const TUNLEX_Config *cfg);

// Writes the record as an XML configuration to an open stream; name serves
// the message only. 1 written, 0 with "Unable to save file \"name\"".
int CONFIG_Save(const TUNLEX_Config *cfg, FILE *file, const char *name, ErrorInfo *chain);

// Reads an XML configuration from an open stream into dst, which is written
// only on success. path serves the messages only. Each element the format
// does not know is named in a WARNING line and otherwise ignored.
int CONFIG_Load(TUNLEX_Config *dst, FILE *file, const char *path, ErrorInfo *chain);

// An address, address/prefix, address/mask or address-address that is one
// prefix block; text after the range is ignored. The route keeps the text as
// written when it fits its field, else its canonical "a.b.c.d/n". 1 parsed,
// 0 refused (with a warning in the log; the route is then untouched).
int TUNLEX_ParseRoute(const char *text, ConfigRoute *route);

#endif
