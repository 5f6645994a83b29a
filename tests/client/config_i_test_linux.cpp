// The options module's Linux folder: settings are saved on an account whose
// ~/.config (or $XDG_CONFIG_HOME) does not exist yet.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "config.h"
#include "config_i.h"
#include "errorinfo.h"

namespace {

namespace fs = std::filesystem;

TEST(OptionsLinux, MissingSettingsFoldersAreMadeWithTheirParents)
{
    fs::path root = fs::temp_directory_path() / ("tlx_xdg_" + std::to_string(getpid()));
    fs::remove_all(root);
    const char *saved = getenv("XDG_CONFIG_HOME");
    std::string old = saved ? saved : "";
    std::string oldHome = getenv("HOME") ? getenv("HOME") : "";
    for (const char *variable : {"XDG_CONFIG_HOME", "HOME"}) {
        SCOPED_TRACE(variable);
        fs::remove_all(root);
        fs::path base = root / "no" / "such" / "home";
        if (std::string(variable) == "HOME") {
            unsetenv("XDG_CONFIG_HOME");
            setenv("HOME", base.c_str(), 1);
            base /= ".config";
        } else {
            setenv("XDG_CONFIG_HOME", base.c_str(), 1);
        }
        OPTIONS_TestSetAppDataFolder(nullptr);
        OPTIONS_TestResetFolderFailure();
        TUNLEX_Config cfg = {};
        snprintf(cfg.server, sizeof cfg.server, "vpn.example.net");
        snprintf(cfg.user, sizeof cfg.user, "alice");
        ErrorInfo chain = {};
        EXPECT_EQ(OPTIONS_SaveDefaultConfig(&chain, &cfg), 1)
            << (chain.message ? chain.message : "");
        ERRORINFO_Clear(&chain, "test", 0);
        EXPECT_TRUE(fs::exists(base / "Quorvanti" / "TUNLEX" / "default.tlxcf"));
        EXPECT_EQ(fs::status(root / "no").permissions() & fs::perms::all, fs::perms::owner_all);
    }
    setenv("HOME", oldHome.c_str(), 1);
    if (saved)
        setenv("XDG_CONFIG_HOME", old.c_str(), 1);
    else
        unsetenv("XDG_CONFIG_HOME");
    OPTIONS_TestResetFolderFailure();
    fs::remove_all(root);
}

}  // namespace
