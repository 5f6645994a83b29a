// The client's check of the route service's pipe before its hello: the
// verdict as a table over the facts it reads, and the facts of a pipe this
// process serves itself.
#include "pipe_peer_check.h"

#include <gtest/gtest.h>

#include <string>

#include "fake_route_service.h"
#include "pipe_client.h"

namespace {

TEST(PipePeerCheck, OnlyTheSystemAccountAnElevatedAdministratorOrThisProcessPass)
{
    struct Row {
        PIPECHECK_Facts facts;  // known, pid, same process, system user, elevated, administrators
        int trusted;
    } rows[] = {
        {{1, 900, 0, 1, 0, 0}, 1},  // LocalSystem (Linux: root)
        {{1, 900, 0, 1, 1, 1}, 1},
        {{1, 900, 0, 0, 1, 1}, 1},  // an elevated administrator
        {{1, 900, 0, 0, 0, 1}, 0},  // an administrator's filtered token: not elevated
        {{1, 900, 0, 0, 1, 0}, 0},  // elevated without the administrators enabled
        {{1, 900, 0, 0, 0, 0}, 0},  // an ordinary user
        {{1, 900, 1, 0, 0, 0}, 1},  // this very process (a test's stand-in)
        {{0, 900, 1, 1, 1, 1}, 0},  // nothing could be read
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(testing::Message() << r.facts.known << r.facts.sameProcess << r.facts.userIsSystem
                                        << r.facts.elevated << r.facts.adminMember);
        EXPECT_EQ(r.trusted, PIPECHECK_Judge(&r.facts));
    }
    EXPECT_EQ(0, PIPECHECK_Judge(nullptr));
}

TEST(PipePeerCheck, TheRefusalSaysWhoHoldsThePipe)
{
    PIPECHECK_Facts user = {1, 4242, 0, 0, 0, 0};
    char text[256];
    PIPECHECK_Describe(&user, text, sizeof text);
    EXPECT_NE(std::string(text).find("held by process 4242, which runs neither as the system account nor as an "
                                     "elevated administrator; not using it."),
              std::string::npos)
        << text;
    PIPECHECK_Facts unknown = {};
    PIPECHECK_Describe(&unknown, text, sizeof text);
    EXPECT_NE(std::string(text).find("cannot be identified"), std::string::npos) << text;
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
    EXPECT_EQ(1, PIPECHECK_Verify(handle, &code));
    PIPECLIENT_Close(handle);
}

}  // namespace
