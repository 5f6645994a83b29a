// The client's check of the route service's pipe before its hello: the
// verdict as a table over the facts it reads, and the facts of a pipe this
// process serves itself.
#include "pipe_peer_check.h"

#include <gtest/gtest.h>

#include <string>

#include "fake_route_service.h"
#include "pipe_client.h"

namespace {

// The pipe's owner decides, in every case; the token of the process with the
// server's id, which may be another process by now, can only refuse.
TEST(PipePeerCheck, TheOwnerMustBeTrustedAndTheTokenCanOnlyRefuse)
{
    struct Row {
        const char *what;
        PIPECHECK_Facts facts;  // known, pid, same process, owner trusted, owner is self,
                                // token read, system user, elevated, administrators
        int trusted;
    } rows[] = {
        {"owner SYSTEM, token not readable", {1, 900, 0, 1, 0, 0, 0, 0, 0}, 1},
        {"owner Administrators, token not readable", {1, 900, 0, 1, 0, 0, 0, 0, 0}, 1},
        {"owner SYSTEM, token LocalSystem", {1, 900, 0, 1, 0, 1, 1, 0, 0}, 1},
        {"owner Administrators, token an elevated administrator", {1, 900, 0, 1, 0, 1, 0, 1, 1}, 1},
        {"owner a user, token not readable", {1, 900, 0, 0, 0, 0, 0, 0, 0}, 0},
        {"owner a user, id now LocalSystem's", {1, 900, 0, 0, 0, 1, 1, 0, 0}, 0},
        {"owner a user, id now an elevated administrator's", {1, 900, 0, 0, 0, 1, 0, 1, 1}, 0},
        {"owner this account, another process", {1, 900, 0, 0, 1, 1, 0, 0, 0}, 0},
        {"owner SYSTEM, id now an ordinary user's", {1, 900, 0, 1, 0, 1, 0, 0, 0}, 0},
        {"owner SYSTEM, id now an administrator's filtered token", {1, 900, 0, 1, 0, 1, 0, 0, 1}, 0},
        {"owner SYSTEM, id now elevated without the administrators", {1, 900, 0, 1, 0, 1, 0, 1, 0}, 0},
        {"this process, owner this account (a test's stand-in)", {1, 900, 1, 0, 1, 0, 0, 0, 0}, 1},
        {"this process, owner SYSTEM", {1, 900, 1, 1, 0, 0, 0, 0, 0}, 1},
        {"this process's id, owner another user (the id was reused)", {1, 900, 1, 0, 0, 0, 0, 0, 0}, 0},
        {"no owner could be read", {0, 900, 1, 1, 1, 1, 1, 1, 1}, 0},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        EXPECT_EQ(r.trusted, PIPECHECK_Judge(&r.facts));
    }
    EXPECT_EQ(0, PIPECHECK_Judge(nullptr));
}

TEST(PipePeerCheck, TheRefusalSaysWhoHoldsThePipe)
{
    const struct {
        PIPECHECK_Facts facts;
        const char *says;
    } rows[] = {
        {{1, 4242, 0, 1, 0, 1, 0, 0, 0},
         "held by process 4242, which runs neither as the system account nor as an elevated administrator; not "
         "using it."},
        {{1, 4242, 0, 0, 0, 0, 0, 0, 0},
         "(process 4242) was made by an account that is neither the system account nor the administrators; not "
         "using it."},
        {{1, 4242, 1, 0, 0, 0, 0, 0, 0}, "was made by an account that is neither"},
        {{}, "cannot be identified"},
    };
    for (const auto &r : rows) {
        char text[256];
        PIPECHECK_Describe(&r.facts, text, sizeof text);
        EXPECT_NE(std::string(text).find(r.says), std::string::npos) << text;
    }
}

TEST(PipePeerCheck, APipeThisProcessServesIsReadAsItsOwn)
{
    FakeRouteService service;
    ASSERT_TRUE(service.Ok());
    intptr_t handle = PIPECLIENT_NONE;
    uint32_t code = 0;
    ASSERT_EQ(PIPECLIENT_OPENED, PIPECLIENT_Open(1000, &handle, &code)) << code;
    PIPECHECK_Facts facts = {};
    ASSERT_EQ(1, PIPECHECK_ReadFacts(handle, &facts, &code)) << code;
    EXPECT_EQ(1, facts.known);
    EXPECT_EQ(1, facts.sameProcess);
    EXPECT_EQ(1, facts.ownerTrusted || facts.ownerIsSelf);
    EXPECT_EQ(1, PIPECHECK_Verify(handle, &code));
    PIPECLIENT_Close(handle);
}

}  // namespace
