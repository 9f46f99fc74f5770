// The web configuration file and basic authentication: every fault named with
// its file and line, relative paths taken from the file's folder, and
// passwords checked by bcrypt once, then by the remembered digest.
#include <crypt.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "basic_auth.h"
#include "credentials.h"
#include "run_program.h"
#include "temp_dir.h"
#include "web_config.h"

namespace {

using exporter::BasicAuth;
using exporter::WebConfig;

// A bcrypt hash of the password, at the lowest cost unless asked, made as a user would.
std::string bcryptOf(const std::string& password, unsigned long cost = 4) {
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    EXPECT_NE(crypt_gensalt_rn("$2y$", cost, nullptr, 0, setting, sizeof setting), nullptr);
    crypt_data data{};
    return crypt_r(password.c_str(), setting, &data);
}

// A self-signed certificate and its key in the folder, made by openssl.
void makeCertificate(const TempDir& dir, const std::string& name) {
    RunResult made = runProgram("/usr/bin/openssl",
                                {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                                 "-nodes", "-days", "1", "-subj", "/CN=127.0.0.1", "-keyout",
                                 dir.path + "/" + name + ".key", "-out", dir.path + "/" + name + ".crt"});
    ASSERT_EQ(made.status, 0) << made.err;
}

TEST(WebConfig, AFileWithCertificateAndUsersIsRead) {
    TempDir dir;
    makeCertificate(dir, "server");
    std::string hash = bcryptOf("secret");
    std::string path =
        dir.write("web.yml", "tls_server_config:\n  cert_file: server.crt\n  key_file: " + dir.path +
                                 "/server.key\nbasic_auth_users:\n  alice: " + hash + "\n");
    WebConfig config;
    std::string error;
    ASSERT_TRUE(exporter::loadWebConfigFile(path, config, error)) << error;
    EXPECT_TRUE(config.tls);
    EXPECT_EQ(config.certFile, dir.path + "/server.crt");  // relative to the file's folder
    EXPECT_EQ(config.keyFile, dir.path + "/server.key");
    EXPECT_EQ(config.certPem.rfind("-----BEGIN CERTIFICATE-----", 0), 0U);
    ASSERT_EQ(config.users.size(), 1U);
    EXPECT_EQ(config.users.at("alice"), hash);
}

TEST(WebConfig, AnEmptyFileAsksForNothing) {
    WebConfig config;
    std::string error;
    ASSERT_TRUE(exporter::parseWebConfig("", "web.yml", config, error)) << error;
    EXPECT_FALSE(config.tls);
    EXPECT_TRUE(config.users.empty());
}

TEST(WebConfig, EveryFaultIsNamedWithItsLine) {
    TempDir dir;
    makeCertificate(dir, "one");
    makeCertificate(dir, "two");
    const std::string hash = "$2y$04$" + std::string(53, 'a');
    struct Case {
        std::string text, error;
    } cases[] = {
        {"colour: blue\n",
         "web.yml:1: unknown key \"colour\" at the top level (known: tls_server_config, basic_auth_users)"},
        {"basic_auth_users:\n  alice: plain\n",
         "web.yml:2: the password hash of alice is not a bcrypt hash ($2y$...)"},
        {"basic_auth_users:\n  alice: $1$abc$def\n",
         "web.yml:2: the password hash of alice is not a bcrypt hash ($2y$...)"},
        {"basic_auth_users:\n  alice: " + hash + "\n  alice: " + hash + "\n",
         "web.yml:3: \"alice\" appears twice in basic_auth_users"},
        {"basic_auth_users:\n  \"a:b\": " + hash + "\n",
         "web.yml:2: user name \"a:b\" is empty or holds a ':'"},
        {"basic_auth_users: [alice]\n", "web.yml:1: basic_auth_users must be a mapping"},
        {"basic_auth_users:\n  bob: " + hash + "\n  alice: $2y$13$" + std::string(53, 'a') + "\n",
         "web.yml:3: the password hash of alice has cost 13, above the highest allowed (12); hash the "
         "password "
         "again with a lower one"},
        {"basic_auth_users:\n  alice: $2b$31$" + std::string(53, 'a') + "\n",
         "web.yml:2: the password hash of alice has cost 31, above the highest allowed (12)"},
        {"tls_server_config:\n  cert_file: one.crt\n",
         "web.yml:2: tls_server_config needs both cert_file and key_file"},
        {"tls_server_config:\n  cert_file: one.crt\n  key_file: missing.key\n",
         "web.yml:2: key_file " + dir.path + "/missing.key cannot be read (or is over 1 MiB)"},
        {"tls_server_config:\n  cert_file: one.crt\n  key_file: one.crt\n",
         "web.yml:2: cert_file " + dir.path + "/one.crt and key_file " + dir.path +
             "/one.crt are not a PEM certificate and its key: "},
        {"tls_server_config:\n  cert_file: one.crt\n  key_file: two.key\n",
         "web.yml:2: cert_file " + dir.path + "/one.crt and key_file " + dir.path +
             "/two.key are not a PEM certificate and its key: "},
        {"tls_server_config:\n  client_auth_type: RequireAndVerifyClientCert\n",
         "web.yml:2: \"client_auth_type\" is not supported by tag_exporter"},
        {"http_server_config:\n  http2: true\n",
         "web.yml:1: \"http_server_config\" is not supported by tag_exporter"},
        {"tls_server_config: [\n", "web.yml:2: flow sequence without a closing bracket"},
        {std::string(40, '[') + std::string(40, ']') + "\n", "web.yml:1: nested more than 32 levels deep"},
        // Invalid YAML is refused as such, not read into a hash or a path.
        {"basic_auth_users:\n  alice: \"" + hash + "\n",
         "web.yml:2: double-quoted scalar without closing quote"},
        {"tls_server_config:\n  cert_file: one" + std::string(1, '\0') + ".crt\n",
         "web.yml:2: a NUL byte, which YAML does not allow"},
        {"basic_auth_users:\n  alice: &h " + hash + "\n  bob: *h\n",
         "web.yml:2: anchors and aliases are not allowed"},
    };
    for (const Case& c : cases) {
        WebConfig config;
        std::string error;
        EXPECT_FALSE(exporter::parseWebConfig(c.text, dir.path + "/web.yml", config, error)) << c.text;
        EXPECT_EQ(error.substr(0, dir.path.size() + 1), dir.path + "/") << error;
        std::string rest = error.substr(std::min(error.size(), dir.path.size() + 1));
        EXPECT_EQ(rest.substr(0, c.error.size()), c.error) << c.text;
    }
}

// Under systemd's LoadCredential= a bare web configuration name is one of
// the unit's credentials; every other path means what it says.
TEST(WebConfig, ARelativePathIsTakenAmongTheCredentials) {
    struct Case {
        std::string path;
        const char* directory;
        std::string expected;
    } cases[] = {
        {"web.yml", "/run/credentials/tag-exporter.service", "/run/credentials/tag-exporter.service/web.yml"},
        {"web.yml", "/run/credentials/tag-exporter.service/",
         "/run/credentials/tag-exporter.service/web.yml"},
        {"tls/web.yml", "/run/c", "/run/c/tls/web.yml"},
        {"/etc/tag_exporter/web.yml", "/run/c", "/etc/tag_exporter/web.yml"},
        {"web.yml", nullptr, "web.yml"},
        {"web.yml", "", "web.yml"},
        {"", "/run/c", ""},  // no web configuration stays none
    };
    for (const Case& c : cases)
        EXPECT_EQ(exporter::credentialPath(c.path, c.directory), c.expected)
            << c.path << " in " << (c.directory ? c.directory : "(unset)");
}

TEST(WebConfig, OnlyBcryptHashesPass) {
    const std::string tail(53, 'a');
    EXPECT_TRUE(exporter::isBcryptHash("$2y$10$" + tail));
    EXPECT_TRUE(exporter::isBcryptHash("$2b$04$" + tail));
    EXPECT_TRUE(exporter::isBcryptHash("$2a$31$" + tail));
    EXPECT_FALSE(exporter::isBcryptHash("$2x$10$" + tail));            // not a variant crypt checks
    EXPECT_FALSE(exporter::isBcryptHash("$2y$03$" + tail));            // cost below 4
    EXPECT_FALSE(exporter::isBcryptHash("$2y$32$" + tail));            // cost above 31
    EXPECT_FALSE(exporter::isBcryptHash("$2y$10$" + tail + "a"));      // one too long
    EXPECT_FALSE(exporter::isBcryptHash("$2y$10$" + tail.substr(1)));  // one too short
    EXPECT_FALSE(exporter::isBcryptHash("$2y$10$" + tail.substr(1) + "!"));
}

TEST(BasicAuth, TheRightPasswordOnlyAndNoUserUnknown) {
    BasicAuth auth({{"alice", bcryptOf("secret")}, {"bob", bcryptOf("other")}});
    EXPECT_TRUE(auth.required());
    EXPECT_TRUE(auth.check("alice", "secret"));
    EXPECT_TRUE(auth.check("bob", "other"));
    EXPECT_FALSE(auth.check("alice", "other"));  // bob's password is not alice's
    EXPECT_FALSE(auth.check("alice", "secre"));
    EXPECT_FALSE(auth.check("alice", "secret "));
    EXPECT_FALSE(auth.check("alice", ""));
    EXPECT_FALSE(auth.check("carol", "secret"));
    EXPECT_FALSE(auth.check("", ""));
    EXPECT_FALSE(BasicAuth({}).required());
}

// bcrypt runs once per good pair; a wrong password always goes to bcrypt
// (never matches the remembered digest), and so does an unknown user,
// against the dummy hash, so that both take the same time.
TEST(BasicAuth, AVerifiedPasswordIsRememberedAndAWrongOneNeverIs) {
    BasicAuth auth({{"alice", bcryptOf("secret")}});
    EXPECT_TRUE(auth.check("alice", "secret"));
    EXPECT_EQ(auth.bcryptChecks(), 1U);
    EXPECT_TRUE(auth.check("alice", "secret"));
    EXPECT_TRUE(auth.check("alice", "secret"));
    EXPECT_EQ(auth.bcryptChecks(), 1U);
    EXPECT_FALSE(auth.check("alice", "wrong"));
    EXPECT_EQ(auth.bcryptChecks(), 2U);
    EXPECT_TRUE(auth.check("alice", "secret"));  // the wrong one did not replace it
    EXPECT_EQ(auth.bcryptChecks(), 2U);
    EXPECT_FALSE(auth.check("mallory", "secret"));
    EXPECT_EQ(auth.bcryptChecks(), 3U);
}

TEST(WebConfig, ACostOfTwelveIsTheHighestAllowed) {
    WebConfig config;
    std::string error;
    EXPECT_TRUE(exporter::parseWebConfig("basic_auth_users:\n  alice: $2y$12$" + std::string(53, 'a') + "\n",
                                         "web.yml", config, error))
        << error;
}

// The dummy hash an unknown user is checked against costs as much as the
// costliest user's, wherever that user sorts.
TEST(BasicAuth, TheDummyHashHasTheHighestCostAmongTheUsers) {
    EXPECT_EQ(BasicAuth({{"alice", bcryptOf("a", 4)}, {"bob", bcryptOf("b", 6)}}).dummyCost(), 6U);
    EXPECT_EQ(BasicAuth({{"alice", bcryptOf("a", 6)}, {"bob", bcryptOf("b", 4)}}).dummyCost(), 6U);
}

// A cheap user's wrong password costs the work of the costliest check: its
// refusal does the same bcrypt work as an unknown user's (unpadded, a cost-4
// check is a sixteenth of one of cost 8). Counted, not timed.
TEST(BasicAuth, ACheapUsersRefusalDoesTheWorkOfAnUnknownUsers) {
    BasicAuth auth({{"alice", bcryptOf("a", 4)}, {"bob", bcryptOf("b", 8)}});
    struct Case {
        const char* user;
        const char* password;
        uint64_t work;
    };
    for (const Case& c : {Case{"mallory", "wrong", 256}, Case{"alice", "wrong", 256},
                          Case{"bob", "wrong", 256}, Case{"alice", "a", 16}, Case{"bob", "b", 256}}) {
        uint64_t before = auth.bcryptWork();
        auth.check(c.user, c.password);
        EXPECT_EQ(auth.bcryptWork() - before, c.work) << c.user << " " << c.password;
    }
}

TEST(BasicAuth, AReloadKeepsWhatWasVerifiedForUnchangedHashesOnly) {
    const std::string alice = bcryptOf("secret"), bob = bcryptOf("other");
    BasicAuth first({{"alice", alice}, {"bob", bob}});
    EXPECT_TRUE(first.check("alice", "secret"));
    EXPECT_TRUE(first.check("bob", "other"));
    EXPECT_FALSE(first.remembered("alice", "wrong"));
    BasicAuth second({{"alice", alice}, {"bob", bcryptOf("other")}}, &first);  // bob's hash made again
    EXPECT_TRUE(second.remembered("alice", "secret"));
    EXPECT_FALSE(second.remembered("bob", "other"));
    EXPECT_TRUE(second.check("alice", "secret"));
    EXPECT_EQ(second.bcryptChecks(), 0U);
    BasicAuth third({{"bob", bob}}, &second);
    EXPECT_FALSE(third.remembered("alice", "secret"));  // alice is gone
    EXPECT_FALSE(third.check("alice", "secret"));
}

TEST(BasicAuth, APasswordHoldingANulIsNeverTheOneBeforeIt) {
    BasicAuth auth({{"alice", bcryptOf("secret")}});
    EXPECT_FALSE(auth.check("alice", std::string("secret\0junk", 11)));
    EXPECT_FALSE(auth.check("alice", std::string("secret\0", 7)));
    EXPECT_TRUE(auth.check("alice", "secret"));
    EXPECT_FALSE(auth.remembered("alice", std::string("secret\0junk", 11)));
}

TEST(BasicAuth, ComparisonIsOfEveryByte) {
    EXPECT_TRUE(exporter::equalInConstantTime("abc", "abc"));
    EXPECT_FALSE(exporter::equalInConstantTime("abc", "abd"));
    EXPECT_FALSE(exporter::equalInConstantTime("abc", "xbc"));
    EXPECT_FALSE(exporter::equalInConstantTime("abc", "abcd"));
    EXPECT_TRUE(exporter::equalInConstantTime("", ""));
}

}  // namespace
