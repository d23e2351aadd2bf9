#include <gtest/gtest.h>
#include <unistd.h>

#include "core/exception.h"
#include "core/shell.h"
#include "core/utils.h"
#include "session/credentials.h"
#include "support/test_support.h"

using namespace velmo;

namespace {

// A top directory with the data and scratch directories, and a throw-away CA
// that signs certificates with the real openssl tool.
struct Credentials : ::testing::Test {
    void SetUp() override {
        file_ensure_path_exists(top.path() + "/var/data/velmo_client");
        file_ensure_path_exists(top.path() + "/tmp");
        file_ensure_path_exists(top.path() + "/ca");
        ASSERT_EQ(sh("openssl ecparam -name prime256v1 -genkey -noout -out ca/ca.key && "
                     "openssl req -x509 -new -key ca/ca.key -subj /CN=test-ca -days 2 -out ca/ca.crt"),
                  0);
    }
    int sh(const std::string& script, std::string* out = nullptr) const {
        return run_command_output("cd " + shell_quote(top.path()) + " && " + script, out);
    }
    // Signs the CSR; `faketime` shifts the issuing clock (validity = 1 day from then).
    void sign(const std::string& csr, const std::string& cert, const std::string& faketime = "") const {
        std::string prefix = faketime.empty() ? "" : "faketime -f " + shell_quote(faketime) + " ";
        std::string out;
        ASSERT_EQ(sh(prefix + "openssl x509 -req -in " + csr + " -CA ca/ca.crt -CAkey ca/ca.key -CAcreateserial -days 1 -out " +
                         cert,
                     &out),
                  0)
            << out;
    }
    std::string data(const std::string& name) const { return top.path() + "/var/data/velmo_client/" + name; }
    test::TopDir top;
};

}  // namespace

TEST_F(Credentials, ConfigTemplateIsExact) {
    gen_csr_config("A4:07:1B:C0:00:FF", "", data("openssl.conf"));
    EXPECT_EQ(top.read("var/data/velmo_client/openssl.conf"),
              "oid_section = private_oids\n"
              "[ req ]\n"
              "prompt             = no\n"
              "distinguished_name = dn\n"
              "attributes         = custom_attributes\n"
              "default_md         = sha256\n"
              "[ dn ]\n"
              "C = IE\n"
              "O = Morvane\n"
              "L = Kelbrook\n"
              "ST = Dunmara\n"
              "CN = A4:07:1B:C0:00:FF\n"
              "emailAddress = devices@morvane.example\n"
              "[ private_oids ]\n"
              "mac_oid    = 1.3.6.1.4.1.57031.443.1.1\n"
              "serial_oid = 1.3.6.1.4.1.57031.443.1.2\n"
              "[ custom_attributes ]\n"
              "mac_oid    = A4:07:1B:C0:00:FF\n"
              "serial_oid = \n");
    try {
        gen_csr_config("x", "y", top.path() + "/missing/openssl.conf");
        FAIL();
    } catch (const VelmoException& e) {
        EXPECT_EQ(std::string(e.what()), "gen_csr_config: Failed to open file '" + top.path() + "/missing/openssl.conf'.");
    }
}

TEST_F(Credentials, CreatesAnEcKeyAndACsrWithTheIdentity) {
    create_credentials("A4:07:1B:C0:00:FF", "RV5200-0042");
    EXPECT_FALSE(file_exists(data("openssl.conf"))) << "the configuration is deleted after use";
    std::string text;
    ASSERT_EQ(sh("openssl req -in var/data/velmo_client/client.csr -noout -text -verify", &text), 0) << text;
    EXPECT_NE(text.find("CN = A4:07:1B:C0:00:FF"), std::string::npos) << text;
    EXPECT_NE(text.find("emailAddress = devices@morvane.example"), std::string::npos);
    EXPECT_NE(text.find("1.3.6.1.4.1.57031.443.1.1"), std::string::npos);
    EXPECT_NE(text.find("RV5200-0042"), std::string::npos);
    EXPECT_NE(text.find("prime256v1"), std::string::npos);
    EXPECT_NE(text.find("ecdsa-with-SHA256"), std::string::npos);
}

// Identity values come from the router's status tool: whatever they hold,
// the request is made and carries them, and no configuration line is added.
TEST_F(Credentials, HostileIdentityValuesNeitherBreakNorExtendTheRequest) {
    struct Case {
        std::string serial, shown;
    } cases[] = {
        {"RV$5200", "RV$5200"},
        {"${ENV::HOME}", "${ENV::HOME}"},
        {"RV#52 \\x \"q\" 'q'", "RV#52 \\x \"q\" 'q'"},
        {"RV5200\n[ dn ]\nO = Evil", "RV5200[ dn ]O = Evil"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.serial);
        unlink(data("client.csr").c_str());
        ASSERT_NO_THROW(create_credentials("A4:07:1B:C0:00:FF", c.serial));
        std::string text;
        ASSERT_EQ(sh("openssl req -in var/data/velmo_client/client.csr -noout -text", &text), 0) << text;
        EXPECT_NE(text.find(c.shown), std::string::npos) << text;
        size_t subject = text.find("Subject:");
        ASSERT_NE(subject, std::string::npos) << text;
        EXPECT_EQ(text.substr(subject, text.find('\n', subject) - subject),
                  "Subject: C = IE, O = Morvane, L = Kelbrook, ST = Dunmara, CN = A4:07:1B:C0:00:FF, "
                  "emailAddress = devices@morvane.example");
    }
}

TEST_F(Credentials, CommandFailureCarriesTheToolsOutput) {
    try {
        generate_client_key("NO-SUCH-CURVE", data("client.key"));
        FAIL();
    } catch (const VelmoException& e) {
        std::string what = e.what();
        EXPECT_TRUE(string_starts_with(what, "Execution of 'openssl genpkey -algorithm EC -pkeyopt "
                                             "ec_paramgen_curve:NO-SUCH-CURVE -pkeyopt ec_param_enc:named_curve -out " +
                                                 data("client.key") + "' has failed: '"))
            << what;
        EXPECT_LE(what.size(), 299u);
        EXPECT_GT(what.size(), 200u) << "the tool's own error text is included";
    }
}

TEST_F(Credentials, CertificateMustCarryTheCsrsPublicKey) {
    create_credentials("A4:07:1B:C0:00:FF", "S1");
    sign("var/data/velmo_client/client.csr", "var/data/velmo_client/client.crt");
    EXPECT_TRUE(cert_matches_csr(data("client.csr"), data("client.crt")));

    ASSERT_EQ(sh("openssl ecparam -name prime256v1 -genkey -noout -out other.key && "
                 "openssl req -new -key other.key -subj /CN=other -out other.csr"),
              0);
    sign("other.csr", "other.crt");
    EXPECT_FALSE(cert_matches_csr(data("client.csr"), top.path() + "/other.crt"));
    EXPECT_FALSE(top.exists("tmp/cert_pubkey.tmp"));
    EXPECT_FALSE(top.exists("tmp/csr_pubkey.tmp"));

    top.write("garbage.crt", "not a certificate");
    EXPECT_THROW(cert_matches_csr(data("client.csr"), top.path() + "/garbage.crt"), VelmoException);
    try {
        cert_matches_csr(top.path() + "/missing.csr", data("client.crt"));
        FAIL();
    } catch (const VelmoException& e) {
        EXPECT_EQ(std::string(e.what()), "Command 'openssl req -in " + top.path() +
                                             "/missing.csr -pubkey -noout -outform pem > " + top.path() +
                                             "/tmp/csr_pubkey.tmp' failed.");
    }
    EXPECT_FALSE(top.exists("tmp/cert_pubkey.tmp"));
    EXPECT_FALSE(top.exists("tmp/csr_pubkey.tmp"));
}

TEST_F(Credentials, ExpiryMarginIsSixtySeconds) {
    create_credentials("A4:07:1B:C0:00:FF", "S1");
    // Issued a day minus 30 s (or minus 120 s) ago with one day of validity.
    sign("var/data/velmo_client/client.csr", "soon.crt", "-86370s");
    sign("var/data/velmo_client/client.csr", "later.crt", "-86280s");
    EXPECT_TRUE(cert_expires_soon(top.path() + "/soon.crt"));
    EXPECT_FALSE(cert_expires_soon(top.path() + "/later.crt"));
    EXPECT_TRUE(cert_expires_soon(top.path() + "/missing.crt"));
}
