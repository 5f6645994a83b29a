// The client's options: the command line, the per-user default configuration
// "default.tlxcf" and the "AutoReconnect" marker, all below
// "<application data>/Quorvanti/TUNLEX". Everything here runs on the GUI
// thread; errors carry the source name "config_i".
#ifndef TLX_CONFIG_I_H
#define TLX_CONFIG_I_H

#include <stdint.h>
#include <stdio.h>
#include <wchar.h>

#include "config.h"

struct ErrorInfo;
struct PcapWriter;

// The options record; the program has one (GUI_Options, gui.h).
struct AppOptions {
    TUNLEX_Config fileConfig;     // the configuration file named on the command line
    TUNLEX_Config overrides;      // "-server", "-server_port", "-user", "-fingerprint", "-no_gateway"
    TUNLEX_Config defaultConfig;  // the per-user default configuration
    int multipleInstances;        // "-multiple_instances"
    int configGiven;              // a configuration file was read
    char configName[1024];        // its name as given, for messages
    int autoReconnect;            // from CONFIG_Merge; toggled by the tray menu
    FILE *logFile;                // "-logfile"
    FILE *dumpFile;               // "-dump_ppp"
    PcapWriter *capture;          // over the dump file
    int logPackets;               // "-log_packets"
};

enum : uint32_t {
    OPTIONS_PATH_SIZE = 261,      // wide characters of every per-user path
    OPTIONS_PASS_STARTUP = 0,     // opens the output files
    OPTIONS_PASS_HANDOVER = 1     // a later instance's command line: no output files
};

int OPTIONS_Init(AppOptions *options);

// The start-up pass of the command line, the default configuration, and the
// capture writer over the dump file.
int OPTIONS_Load(int argc, wchar_t **argv, ErrorInfo *chain, AppOptions *options);

// Arguments from index 1 on; every failure returns 0 at once with its message.
int OPTIONS_ParseArguments(AppOptions *options, ErrorInfo *chain, wchar_t **argv, int argc,
                           uint32_t pass);

// Closes the capture writer and both files.
void OPTIONS_Free(AppOptions *options);

// Always 1: a missing or broken file is reported and leaves *out zeroed.
int OPTIONS_LoadDefaultConfig(TUNLEX_Config *out, ErrorInfo *chain);

// Creates "<application data>/Quorvanti/TUNLEX"; after one failure every
// later call fails at once for the rest of the process.
int OPTIONS_CreateConfigFolder(ErrorInfo *chain);

int OPTIONS_SaveDefaultConfig(ErrorInfo *chain, const TUNLEX_Config *config);

// The marker's failures show only as the result 0.
int OPTIONS_SetAutoReconnect(int on);
int OPTIONS_GetAutoReconnect(void);

// The configuration a connection starts from: overrides > file > default.
// Stores the merged automatic-reconnect flag in the options. Always 1.
int CONFIG_Merge(AppOptions *options, TUNLEX_Config *out);

// The full paths behind the application-data folder ("default.tlxcf",
// "AutoReconnect"); 0 with "Unable to get APPDATA folder" or with the given
// message when the path does not fit.
int OPTIONS_DefaultConfigPath(wchar_t (&path)[OPTIONS_PATH_SIZE], ErrorInfo *chain,
                              const char *tooLong);
int OPTIONS_MarkerPath(wchar_t (&path)[OPTIONS_PATH_SIZE], ErrorInfo *chain, const char *tooLong);

// Test seams: the application-data folder used instead of the system's (null
// restores the system's), and a reset of the folder-failure flag.
void OPTIONS_TestSetAppDataFolder(const wchar_t *folder);
void OPTIONS_TestResetFolderFailure(void);

#endif
