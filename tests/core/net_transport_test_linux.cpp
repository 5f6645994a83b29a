// The transport on Linux: the openssl tool as an independent reader of the
// certificate whose fingerprint the client reports.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include <string>

#include "net_ssl.h"
#include "tls_test_server.h"
#include "transport_fixture.h"

namespace {

using namespace transporttest;

TEST_F(Transport, FingerprintIsWhatTheOpensslToolReadsFromTheCertificate)
{
    std::string text;
    ASSERT_NO_FATAL_FAILURE(ClientFingerprint(&text));

    char path[] = "/tmp/tlx_cert_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    std::string pem = TestCertificate::Get().Pem();
    ASSERT_EQ(write(fd, pem.data(), pem.size()), static_cast<ssize_t>(pem.size()));
    close(fd);
    std::string cmd = std::string("openssl x509 -noout -fingerprint -sha1 -in ") + path;
    FILE *p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    char line[256] = {};
    ASSERT_NE(fgets(line, sizeof line, p), nullptr);
    pclose(p);
    unlink(path);
    const char *eq = strchr(line, '=');
    ASSERT_NE(eq, nullptr) << line;
    std::string tool(eq + 1);
    tool.erase(tool.find_last_not_of("\r\n") + 1);
    EXPECT_EQ(strcasecmp(text.c_str(), tool.c_str()), 0) << text << " vs " << tool;
}

}  // namespace
