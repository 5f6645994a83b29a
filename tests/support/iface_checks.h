// Checks of an interface record the lookup filled. Header-only.
#pragma once

#include <gtest/gtest.h>

#include <string.h>

#include "tunlex.h"

inline bool FieldTerminated(const char *field, size_t size)
{
    return strnlen(field, size) < size;
}

// Every text field ends inside its array, whatever it was filled from.
inline void ExpectTerminated(const TUNLEX_InterfaceInfo &info)
{
    EXPECT_TRUE(FieldTerminated(info.friendlyName, sizeof info.friendlyName));
    EXPECT_TRUE(FieldTerminated(info.adapterName, sizeof info.adapterName));
    EXPECT_TRUE(FieldTerminated(info.description, sizeof info.description));
}
