#include "tray_icon.h"

#include "capture_file.h"

#include <gtest/gtest.h>

namespace {

// A console has no notification area: the shell takes every icon and shows
// a balloon as one line on standard error.
TEST(TrayIconConsole, BalloonsBecomeLinesOnStandardError)
{
    CTrayIcon icon;
    StderrCapture err;
    EXPECT_FALSE(icon.ShowBalloon("Info", "not shown"));
    EXPECT_TRUE(icon.SetVisible(true));
    EXPECT_TRUE(icon.ShowBalloon("Connected", "Assigned IP \"10.8.0.2\""));
    icon.SetIcon(TRAY_LoadIcon(109), true);
    EXPECT_EQ(icon.Icon(), TRAY_LoadIcon(109));
    EXPECT_NE(TRAY_LoadIcon(109), TRAY_LoadIcon(108));
    EXPECT_EQ(err.Text(), "Notification: Connected: Assigned IP \"10.8.0.2\"\n");
}

} // namespace
