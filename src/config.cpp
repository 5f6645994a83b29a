// The configuration record: validated copy, comparison, merge of the sources,
// log print, route parsing, and the XML file.
#include "config.h"

#include <stdlib.h>
#include <string.h>

#include <tinyxml.h>

#include "errorinfo.h"
#include "gui_log.h"
#include "parse.h"
#include "str.h"

static const char *const kModule = "config";
static const char *const kRoot = "Config";
static const char *const kVersion = "1.0";

// Save reports only into an empty chain, so the innermost cause stays
// visible; the loader appends its messages like every other operation here.
#define CONFIG_FAIL_IF_EMPTY(chain, ...)                                \
    do {                                                                \
        if (ERRORINFO_IsEmpty(chain))                                   \
            ERRORINFO_Set((chain), ERRORINFO_AT(kModule), __VA_ARGS__); \
    } while (0)
#define CONFIG_FAIL(chain, ...) ERRORINFO_Append((chain), ERRORINFO_AT(kModule), __VA_ARGS__)

static void Terminate(char *field, size_t size)
{
    field[size - 1] = '\0';
}

#define TERMINATE(field) Terminate((field), sizeof(field))

int CONFIG_Copy(TUNLEX_Config *dst, const TUNLEX_Config *source, ErrorInfo *chain)
{
    TUNLEX_Config src;      // dst may be the source itself
    if (source)
        src = *source;
    memset(dst, 0, sizeof *dst);
    if (!source || src.server[0] == '\0') {
        CONFIG_FAIL(chain, "No server specified");
        return 0;
    }
    if (src.user[0] == '\0') {
        CONFIG_FAIL(chain, "No Username specified");
        return 0;
    }
    *dst = src;
    TERMINATE(dst->server);
    TERMINATE(dst->user);
    TERMINATE(dst->password);
    TERMINATE(dst->passwordUtf8);
    for (ConfigRoute &route : dst->routes)
        TERMINATE(route.text);
    TERMINATE(dst->fingerprint);
    TERMINATE(dst->RadiusState);
    TERMINATE(dst->otpPrompt);
    TERMINATE(dst->otp);
    TERMINATE(dst->refusedRoutes);
    // Everything that walks the routes trusts the count.
    if (dst->routeCount > CONFIG_MAX_ROUTES)
        dst->routeCount = CONFIG_MAX_ROUTES;
    if (dst->port == 0)
        dst->port = CONFIG_DEFAULT_PORT;
    return 1;
}

static uint16_t EffectivePort(uint16_t port)
{
    return port == 0 ? static_cast<uint16_t>(CONFIG_DEFAULT_PORT) : port;
}

static uint32_t CountedRoutes(const TUNLEX_Config *cfg)
{
    return cfg->routeCount > CONFIG_MAX_ROUTES ? CONFIG_MAX_ROUTES : cfg->routeCount;
}

int CONFIG_Equal(const TUNLEX_Config *a, const TUNLEX_Config *b)
{
    if (strncmp(a->user, b->user, sizeof a->user) != 0 ||
        strncmp(a->server, b->server, sizeof a->server) != 0 ||
        strncmp(a->fingerprint, b->fingerprint, sizeof a->fingerprint) != 0)
        return 0;
    if (a->autoReconnect != b->autoReconnect || a->noRoutes != b->noRoutes)
        return 0;
    if (!a->noRoutes) {
        if (CountedRoutes(a) != CountedRoutes(b))
            return 0;
        for (uint32_t i = 0; i < CountedRoutes(a); i++) {
            if (a->routes[i].network != b->routes[i].network ||
                a->routes[i].prefix != b->routes[i].prefix)
                return 0;
        }
    }
    return EffectivePort(a->port) == EffectivePort(b->port);
}

int CONFIG_MergeSources(const TUNLEX_Config *file, int fileLoaded, const TUNLEX_Config *overrides,
                        const TUNLEX_Config *defaults, int *autoReconnect, TUNLEX_Config *dst)
{
    memset(dst, 0, sizeof *dst);
    if (overrides->server[0]) {
        if (CONFIG_Copy(dst, overrides, nullptr))
            dst->routeCount = 0;
    } else if (file->server[0]) {
        CONFIG_Copy(dst, file, nullptr);
    } else if (defaults->server[0]) {
        CONFIG_Copy(dst, defaults, nullptr);
    }
    if (overrides->port)
        dst->port = overrides->port;
    if (overrides->user[0])
        STR_LCopy(dst->user, overrides->user, sizeof dst->user);
    if (overrides->noRoutes)
        dst->noRoutes = 1;
    if (autoReconnect)
        *autoReconnect = dst->autoReconnect ? 1 : 0;

    const TUNLEX_Config *routes = fileLoaded ? file : defaults;
    if (routes->routeCount) {
        dst->routeCount = static_cast<uint8_t>(CountedRoutes(routes));
        memcpy(dst->routes, routes->routes, sizeof dst->routes);
        for (ConfigRoute &route : dst->routes)
            TERMINATE(route.text);
    } else {
        dst->routeCount = 0;
    }
    // What the route source refused goes with its routes, not with the base.
    STR_LCopy(dst->refusedRoutes, routes->refusedRoutes, sizeof dst->refusedRoutes);
    return 1;
}

int CONFIG_CheckRoutes(const TUNLEX_Config *cfg, ErrorInfo *chain)
{
    if (!cfg || cfg->noRoutes || cfg->routeCount != 0 || cfg->refusedRoutes[0] == '\0')
        return 1;
    ERRORINFO_Append(chain, ERRORINFO_AT(kModule), "No client route of the configuration could be taken: %.*s",
                     static_cast<int>(sizeof cfg->refusedRoutes), cfg->refusedRoutes);
    return 0;
}

void CONFIG_Print(const TUNLEX_Config *cfg)
{
    GUI_Print(1, 0, " Server:       %s:%u\r\n", cfg->server, static_cast<unsigned>(cfg->port));
    GUI_Print(1, 0, " User:         %s\r\n", cfg->user);
    GUI_Print(1, 0, " OTP:          %s\r\n", cfg->otp);
    GUI_Print(1, 0, " RadiusState:  %s\r\n", cfg->RadiusState);
    if (cfg->fingerprint[0])
        GUI_Print(1, 0, " Fingerprint: \"%.20s...\"\r\n", cfg->fingerprint);
    if (cfg->noRoutes) {
        GUI_Print(1, 0, " Routes:       No routes\r\n");
    } else if (cfg->routeCount == 0 && cfg->refusedRoutes[0]) {
        GUI_Print(1, 0, " Routes:       None taken of %.*s\r\n",
                  static_cast<int>(sizeof cfg->refusedRoutes), cfg->refusedRoutes);
    } else if (cfg->routeCount == 0) {
        GUI_Print(1, 0, " Routes:       All-Nets route\r\n");
    } else {
        GUI_Print(1, 0, " Routes:       %d routes configured\r\n", static_cast<int>(CountedRoutes(cfg)));
        for (uint32_t i = 0; i < CountedRoutes(cfg); i++)
            GUI_Print(1, 0, "  Route %d: %s\r\n", static_cast<int>(i + 1), cfg->routes[i].text);
    }
}

int TUNLEX_ParseRoute(const char *text, ConfigRoute *route)
{
    IpRange range;
    // Text after a complete range is ignored: users' files carry notes and
    // separators there ("10.1.2.0/24 office").
    if (!IP_ParseRange(&range, text, nullptr, nullptr)) {
        GUI_Print(1, 1, "WARNING: Unable to parse route \"%s\", ignoring\r\n", text);
        return 0;
    }
    uint16_t prefix = IP_RangeToPrefix(&range);
    if (prefix > 32) {
        GUI_Print(1, 1, "WARNING: Unable to parse route size for \"%s\", ignoring\r\n", text);
        return 0;
    }
    // The text is what CONFIG_Save writes back. A cut copy could read as
    // another route next time, so a text that does not fit is stored in the
    // route's own a.b.c.d/n form, which always does.
    if (strlen(text) < sizeof route->text) {
        STR_LCopy(route->text, text, sizeof route->text);
    } else {
        char network[16];
        IP_Format(network, sizeof network, &range.start);
        STR_Snprintf(route->text, sizeof route->text, "%s/%u", network,
                     static_cast<uint32_t>(prefix));
    }
    route->network = range.start;
    route->prefix = prefix;
    return 1;
}

// --- XML file -----------------------------------------------------------------

static void AddTextElement(TiXmlElement *parent, const char *name, const char *text)
{
    TiXmlElement *element = new TiXmlElement(name);
    element->LinkEndChild(new TiXmlText(text));
    parent->LinkEndChild(element);
}

int CONFIG_Save(const TUNLEX_Config *cfg, FILE *file, const char *name, ErrorInfo *chain)
{
    // Local terminated copies: the record may come from anywhere.
    char text[CONFIG_SERVER_SIZE];
    TiXmlDocument doc;
    TiXmlElement *root = new TiXmlElement(kRoot);
    doc.LinkEndChild(root);
    root->SetAttribute("Version", kVersion);
    root->LinkEndChild(new TiXmlText(""));
    if (cfg->user[0]) {
        STR_LCopy(text, cfg->user, sizeof cfg->user);
        AddTextElement(root, "User", text);
    }
    if (cfg->server[0]) {
        STR_LCopy(text, cfg->server, sizeof cfg->server);
        AddTextElement(root, "Server", text);
    }
    if (cfg->port) {
        STR_Snprintf(text, sizeof text, "%u", static_cast<uint32_t>(cfg->port));
        AddTextElement(root, "Port", text);
    }
    if (cfg->routeCount >= 1 && cfg->routeCount <= CONFIG_MAX_ROUTES) {
        for (uint32_t i = 0; i < cfg->routeCount; i++) {
            STR_LCopy(text, cfg->routes[i].text, sizeof cfg->routes[i].text);
            AddTextElement(root, "ClientRoute", text);
        }
    }
    if (cfg->fingerprint[0]) {
        STR_LCopy(text, cfg->fingerprint, sizeof cfg->fingerprint);
        AddTextElement(root, "SSLFingerprint", text);
    }
    int ok = file && doc.SaveFile(file) && fflush(file) == 0 && !ferror(file);
    if (!ok) {
        CONFIG_FAIL_IF_EMPTY(chain, "Unable to save file \"%s\"", name ? name : "");
        return 0;
    }
    return 1;
}

static const char *FirstText(TiXmlHandle root, const char *name)
{
    TiXmlElement *element = root.FirstChildElement(name).ToElement();
    return element ? element->GetText() : nullptr;
}

// Copies an element's text into a field; a text that does not fit is refused
// rather than cut (a cut server or user names somebody else).
static int TakeText(char *field, size_t size, TiXmlHandle root, const char *name, const char *path,
                    ErrorInfo *chain)
{
    const char *text = FirstText(root, name);
    if (!text)
        return 1;
    if (strlen(text) >= size) {
        CONFIG_FAIL(chain, "Value of %s too long in \"%s\"", name, path);
        return 0;
    }
    STR_LCopy(field, text, static_cast<uint32_t>(size));
    return 1;
}

static int TakePort(TUNLEX_Config *cfg, TiXmlHandle root, ErrorInfo *chain)
{
    const char *text = FirstText(root, "Port");
    if (!text)
        return 1;
    long value = strtol(text, nullptr, 10);
    if (value < 1 || value > static_cast<long>(CONFIG_MAX_PORT)) {
        CONFIG_FAIL(chain, "Invalid portnumber \"%s\"", text);
        return 0;
    }
    cfg->port = static_cast<uint16_t>(value);
    return 1;
}

// Adds "\"text\"" to the list of refused routes; a list that is full ends
// in "..." instead.
static void NoteRefused(TUNLEX_Config *cfg, const char *text)
{
    char *list = cfg->refusedRoutes;
    size_t size = sizeof cfg->refusedRoutes, used = strlen(list);
    if (used >= 3 && strcmp(list + used - 3, "...") == 0)
        return;
    char item[CONFIG_REFUSED_ROUTES_SIZE];
    snprintf(item, sizeof item, "%s\"%s\"", used ? ", " : "", text);
    if (used + strlen(item) < size - 5) {
        memcpy(list + used, item, strlen(item) + 1);
        return;
    }
    memcpy(list + used, used ? ", ..." : "...", used ? 6 : 4);
}

static int TakeRoutes(TUNLEX_Config *cfg, TiXmlElement *root, const char *path, ErrorInfo *chain)
{
    cfg->routeCount = 0;
    cfg->refusedRoutes[0] = '\0';
    for (TiXmlElement *e = root->FirstChildElement("ClientRoute"); e;
         e = e->NextSiblingElement("ClientRoute")) {
        const char *text = e->GetText();
        if (!text)
            break;
        if (text[0] == '\0')
            continue;
        ConfigRoute route;
        memset(&route, 0, sizeof route);
        if (!TUNLEX_ParseRoute(text, &route)) {
            NoteRefused(cfg, text);
            continue;
        }
        // Prefix 0 is only ever 0.0.0.0/0 here; the all-nets route is the
        // empty route list, and the route check could never confirm it.
        if (route.prefix == 0) {
            CONFIG_FAIL(chain, "Manual route can't contain all-nets (0.0.0.0/0) route \"%s\"", path);
            return 0;
        }
        if (cfg->routeCount == CONFIG_MAX_ROUTES) {
            CONFIG_FAIL(chain, "Too many client routes (at most %u) in \"%s\"",
                        static_cast<unsigned>(CONFIG_MAX_ROUTES), path);
            return 0;
        }
        cfg->routes[cfg->routeCount++] = route;
    }
    // A file that keeps some of its routes just goes without the others.
    if (cfg->routeCount)
        cfg->refusedRoutes[0] = '\0';
    return 1;
}

enum : size_t {
    // Far beyond any configuration; a larger file is refused, not parsed.
    CONFIG_MAX_FILE = 1024 * 1024,
    // The parser may step up to three bytes past the end of its text (a
    // UTF-8 lead byte as the last byte); these NULs keep every such read
    // inside the buffer.
    CONFIG_FILE_PADDING = 16
};

// The rest of the stream, line ends made "\n" as the XML reader expects,
// followed by CONFIG_FILE_PADDING NULs. Null when it cannot be read or is
// too large; the caller frees the text.
static char *ReadWhole(FILE *file)
{
    size_t size = 0, capacity = 4096;
    char *text = static_cast<char *>(malloc(capacity + CONFIG_FILE_PADDING));
    if (!text)
        return nullptr;
    for (;;) {
        if (size == capacity) {
            if (capacity >= CONFIG_MAX_FILE) {
                free(text);
                return nullptr;
            }
            capacity *= 2;
            char *bigger = static_cast<char *>(realloc(text, capacity + CONFIG_FILE_PADDING));
            if (!bigger) {
                free(text);
                return nullptr;
            }
            text = bigger;
        }
        size_t got = fread(text + size, 1, capacity - size, file);
        size += got;
        if (got == 0)
            break;
    }
    if (ferror(file) || size > CONFIG_MAX_FILE) {
        free(text);
        return nullptr;
    }
    // "\r\n" and a lone "\r" become "\n", in place.
    size_t out = 0;
    for (size_t i = 0; i < size; i++) {
        if (text[i] == '\r') {
            text[out++] = '\n';
            if (i + 1 < size && text[i + 1] == '\n')
                i++;
        } else {
            text[out++] = text[i];
        }
    }
    memset(text + out, 0, CONFIG_FILE_PADDING);
    return text;
}

// The whole file parsed from memory. TinyXML's own file reader hands its
// parser a buffer with one NUL after the text, which a multi-byte lead byte
// at the end reads past.
static int ParseFile(TiXmlDocument *doc, FILE *file)
{
    char *text = file ? ReadWhole(file) : nullptr;
    if (!text)
        return 0;
    doc->Parse(text, nullptr, TIXML_DEFAULT_ENCODING);
    free(text);
    return doc->Error() ? 0 : 1;
}

static const char *const kElements[] = {"User", "Server", "Port", "ClientRoute", "SSLFingerprint"};

static bool IsKnownElement(const char *name)
{
    for (const char *known : kElements)
        if (strcmp(name, known) == 0)
            return true;
    return false;
}

static void WarnUnknown(const TiXmlElement *e, const char *path)
{
    GUI_Print(1, 1, "WARNING: Unknown element <%.64s> in \"%s\", ignoring\r\n", e->Value(), path);
}

// A misspelt element is otherwise silent, and the file then means
// something else than its writer meant (no client route: all nets).
// Inside an unknown element only that element is named.
static void WarnUnknownElements(const TiXmlDocument &doc, const TiXmlElement *root, const char *path)
{
    for (const TiXmlElement *top = doc.FirstChildElement(); top; top = top->NextSiblingElement())
        if (top != root)
            WarnUnknown(top, path);
    for (const TiXmlElement *e = root->FirstChildElement(); e; e = e->NextSiblingElement()) {
        if (!IsKnownElement(e->Value())) {
            WarnUnknown(e, path);
            continue;
        }
        for (const TiXmlElement *inner = e->FirstChildElement(); inner;
             inner = inner->NextSiblingElement())
            WarnUnknown(inner, path);
    }
}

int CONFIG_Load(TUNLEX_Config *dst, FILE *file, const char *path, ErrorInfo *chain)
{
    if (!path)
        path = "";
    TiXmlDocument doc;
    if (!ParseFile(&doc, file)) {
        CONFIG_FAIL(chain, "Unable to load config file\"%s\"", path);
        return 0;
    }
    TUNLEX_Config cfg;
    memset(&cfg, 0, sizeof cfg);

    TiXmlElement *root = TiXmlHandle(&doc).FirstChildElement(kRoot).ToElement();
    if (!root) {
        CONFIG_FAIL(chain, "Unable to find config section in \"%s\"", path);
        return 0;
    }
    const char *version = root->Attribute("Version");
    if (!version) {
        CONFIG_FAIL(chain, "Unable to determine version of configuration \"%s\"", path);
        return 0;
    }
    if (strcmp(version, kVersion) != 0) {
        CONFIG_FAIL(chain, "Unhandled config version %s in \"%s\"", version, path);
        return 0;
    }
    WarnUnknownElements(doc, root, path);
    TiXmlHandle h(root);
    if (!TakeText(cfg.user, sizeof cfg.user, h, "User", path, chain) ||
        !TakeText(cfg.server, sizeof cfg.server, h, "Server", path, chain) ||
        !TakePort(&cfg, h, chain) || !TakeRoutes(&cfg, root, path, chain) ||
        !TakeText(cfg.fingerprint, sizeof cfg.fingerprint, h, "SSLFingerprint", path, chain))
        return 0;

    // A file without server or user loads as an all-zero record.
    CONFIG_Copy(dst, &cfg, nullptr);
    return 1;
}
