#include "session/credentials.h"

#include <unistd.h>

#include "core/exception.h"
#include "core/paths.h"
#include "core/shell.h"
#include "core/utils.h"

namespace velmo {

const char* const kCsrContactAddress = "devices@morvane.example";

std::string client_key_path() { return data_path("client.key"); }
std::string client_csr_path() { return data_path("client.csr"); }
std::string csr_config_path() { return data_path("openssl.conf"); }
std::string default_ca_cert_path() { return client_path("etc/ca.crt.default"); }

void run_command_checked(const std::string& command_line) {
    std::string output;
    if (run_command_output(command_line, &output) != 0)
        throw VelmoException("Execution of '%s' has failed: '%s'.", command_line.c_str(), output.c_str());
}

void generate_client_key(const std::string& curve, const std::string& key_path) {
    run_command_checked("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:" + shell_quote(curve) +
                        " -pkeyopt ec_param_enc:named_curve -out " + shell_quote(key_path));
}

namespace {

// A value as the request configuration reads it back unchanged: characters
// that the configuration syntax gives a meaning ('$' expands a variable, '#'
// starts a comment, quotes and the backslash) are escaped, and control
// characters, which could end the line and add lines of their own, are left out.
std::string csr_config_value(const std::string& value) {
    std::string out;
    for (unsigned char c : value) {
        if (c < ' ' || c == 0x7f) continue;
        if (c == '$' || c == '#' || c == '\\' || c == '"' || c == '\'') out += '\\';
        out += static_cast<char>(c);
    }
    return out;
}

}  // namespace

void gen_csr_config(const std::string& device_id, const std::string& serial, const std::string& config_path) {
    const std::string id = csr_config_value(device_id), serial_value = csr_config_value(serial);
    AtomicFileWriter writer(config_path);
    FILE* f = writer.file();
    if (!f) throw VelmoException("gen_csr_config: Failed to open file '%s'.", config_path.c_str());
    fprintf(f,
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
            "CN = %s\n"
            "emailAddress = %s\n"
            "[ private_oids ]\n"
            "mac_oid    = 1.3.6.1.4.1.57031.443.1.1\n"
            "serial_oid = 1.3.6.1.4.1.57031.443.1.2\n"
            "[ custom_attributes ]\n"
            "mac_oid    = %s\n"
            "serial_oid = %s\n",
            id.c_str(), kCsrContactAddress, id.c_str(), serial_value.c_str());
    if (!writer.commit()) throw VelmoException("gen_csr_config: Failed to open file '%s'.", config_path.c_str());
}

void create_csr(const std::string& config_path, const std::string& key_path, const std::string& csr_path) {
    run_command_checked("openssl req -new -key " + shell_quote(key_path) + " -out " + shell_quote(csr_path) +
                        " -config " + shell_quote(config_path));
}

void create_credentials(const std::string& device_id, const std::string& serial) {
    generate_client_key("P-256", client_key_path());
    gen_csr_config(device_id, serial, csr_config_path());
    create_csr(csr_config_path(), client_key_path(), client_csr_path());
    unlink(csr_config_path().c_str());
}

namespace {

// Runs "<extract> > <scratch>" into a scratch file that is certainly ours.
bool extract_public_key(const std::string& command_line, const std::string& scratch) {
    return scratch_file_create(scratch) && run_command(command_line) == 0;
}

}  // namespace

bool cert_matches_csr(const std::string& csr_path, const std::string& cert_path) {
    const std::string cert_key = system_path("/tmp/") + "cert_pubkey.tmp";
    const std::string csr_key = system_path("/tmp/") + "csr_pubkey.tmp";
    const std::string from_cert = "openssl x509 -in " + shell_quote(cert_path) + " -pubkey -noout -outform pem > " +
                                  shell_quote(cert_key);
    if (!extract_public_key(from_cert, cert_key)) throw VelmoException("Command '%s' failed.", from_cert.c_str());
    const std::string from_csr = "openssl req -in " + shell_quote(csr_path) + " -pubkey -noout -outform pem > " +
                                 shell_quote(csr_key);
    if (!extract_public_key(from_csr, csr_key)) {
        unlink(cert_key.c_str());
        unlink(csr_key.c_str());
        throw VelmoException("Command '%s' failed.", from_csr.c_str());
    }
    int compared = run_command("cmp " + shell_quote(cert_key) + " " + shell_quote(csr_key));
    unlink(cert_key.c_str());
    unlink(csr_key.c_str());
    return compared == 0;
}

bool cert_expires_soon(const std::string& cert_path) {
    return run_command("openssl x509 -checkend 60 -noout -in " + shell_quote(cert_path) +
                       " >/dev/null 2>/dev/null") != 0;
}

}  // namespace velmo
