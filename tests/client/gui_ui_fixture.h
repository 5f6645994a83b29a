// The user interface's shared logic under test: a platform table that
// records every call, the one connection context, and a private
// application-data folder per test. Header-only; each test file gets its own.
#pragma once

#include "gui_ui.h"

#include "config_i.h"
#include "errorinfo.h"

#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

namespace {

// What the shared logic asked of the platform, one text per call.
std::mutex g_eventsLock;
std::vector<std::string> g_events;

void Record(const std::string &event)
{
    std::lock_guard<std::mutex> hold(g_eventsLock);
    g_events.push_back(event);
}

std::vector<std::string> TakeEvents()
{
    std::lock_guard<std::mutex> hold(g_eventsLock);
    std::vector<std::string> events;
    events.swap(g_events);
    return events;
}

const GUI_StatusOps kFakeOps = {
    [](const char *title, const char *text) { Record(std::string("balloon ") + title + ": " + text); },
    [](uint32_t id) { Record("icon " + std::to_string(id)); },
    [](const TUNLEX_Config *cfg) {
        Record(std::string("show ") + cfg->server);
        GUI_ApplyConfig(cfg);
    },
    nullptr,
    [] { Record("otp"); },
    [](const char *url, ErrorInfo *) {
        Record(std::string("launch ") + url);
        return 1;
    },
    [] {
        Record("routes");
        return 1;
    },
    [] { Record("restore dialog"); },
    [](const char *text) { Record(std::string("box ") + text); },
    [](TUNLEX_State state, TUNLEX_ErrorKind) { Record("ended " + std::to_string(state)); },
};

// An IPv4 address in network byte order.
uint32_t Address(uint8_t a, uint8_t b, uint8_t c, uint8_t d)
{
    const uint8_t bytes[4] = {a, b, c, d};
    uint32_t address;
    memcpy(&address, bytes, sizeof address);
    return address;
}

TUNLEX_Connection *Connection()
{
    static TUNLEX_Connection *conn = TUNLEX_Create();
    return conn;
}

TUNLEX_Config MakeConfig(const char *server, const char *user, const char *fingerprint)
{
    TUNLEX_Config cfg = {};
    strcpy(cfg.server, server);
    strcpy(cfg.user, user);
    strcpy(cfg.password, "secret");
    strcpy(cfg.fingerprint, fingerprint);
    cfg.routeCount = 2;
    strcpy(cfg.routes[0].text, "10.1.0.0/16");
    cfg.routes[0].network = Address(10, 1, 0, 0);
    cfg.routes[0].prefix = 16;
    strcpy(cfg.routes[1].text, "10.2.0.0/16");
    cfg.routes[1].network = Address(10, 2, 0, 0);
    cfg.routes[1].prefix = 16;
    return cfg;
}

bool Exists(const wchar_t *path)
{
    std::error_code ignored;
    return std::filesystem::exists(std::filesystem::path(path), ignored);
}

class GuiUi : public ::testing::Test {
protected:
    void SetUp() override
    {
        TakeEvents();
        GUI_SetStatusOps(&kFakeOps);
        conn_ = Connection();
        GUI_ActiveConnection = conn_;
        GUI_LastState = {};
        memset(&GUI_Options, 0, sizeof GUI_Options);
        GUI_StartupConfig = {};
        GUI_DialogConfig = {};
        GUI_DisplayedConfig = {};
        conn_->config = {};
        conn_->gatewayUrl[0] = '\0';
        ERRORINFO_Clear(&conn_->error, ERRORINFO_AT("test"));

        // A fresh application-data folder for the default files.
        static uint32_t counter = 0;
        auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        folder_ = std::filesystem::temp_directory_path() /
                  ("gui_ui_test_" + std::to_string(stamp) + "_" + std::to_string(++counter));
        ASSERT_TRUE(std::filesystem::create_directories(folder_));
        wideFolder_ = folder_.wstring();
        OPTIONS_TestSetAppDataFolder(wideFolder_.c_str());
        OPTIONS_TestResetFolderFailure();
    }
    void TearDown() override
    {
        OPTIONS_TestSetAppDataFolder(nullptr);
        GUI_SetStatusOps(nullptr);
        GUI_ActiveConnection = nullptr;
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }

    void State(TUNLEX_State state, TUNLEX_ErrorKind kind = TUNLEX_KIND_UNKNOWN)
    {
        GUI_OnStateChange(conn_, &GUI_LastState, state, kind);
    }

    bool DefaultConfigExists()
    {
        wchar_t path[OPTIONS_PATH_SIZE];
        return OPTIONS_DefaultConfigPath(path, nullptr, "too long") && Exists(path);
    }
    bool MarkerExists()
    {
        wchar_t path[OPTIONS_PATH_SIZE];
        return OPTIONS_MarkerPath(path, nullptr, "too long") && Exists(path);
    }

    TUNLEX_Connection *conn_ = nullptr;
    std::filesystem::path folder_;
    std::wstring wideFolder_;
};

using Events = std::vector<std::string>;

} // namespace
