#pragma once
// The device's credentials: an EC key and a certificate-signing request made
// with the openssl tool, the issued certificate and its checks.
#include <string>

namespace velmo {

std::string client_key_path();   // _top + _data + "client.key"
std::string client_csr_path();   // _top + _data + "client.csr"
std::string csr_config_path();   // _top + _data + "openssl.conf"
std::string default_ca_cert_path();  // _top + _client + "etc/ca.crt.default"

// Contact address of the service operator written into every CSR.
extern const char* const kCsrContactAddress;

// Runs the line capturing its output; a non-zero status raises
// "Execution of '%s' has failed: '%s'." with the line and the output.
void run_command_checked(const std::string& command_line);

void generate_client_key(const std::string& curve, const std::string& key_path);
void gen_csr_config(const std::string& device_id, const std::string& serial, const std::string& config_path);
void create_csr(const std::string& config_path, const std::string& key_path, const std::string& csr_path);
// Key, configuration, CSR, then the configuration is deleted.
void create_credentials(const std::string& device_id, const std::string& serial);

// True when the certificate's public key is byte for byte the CSR's.
bool cert_matches_csr(const std::string& csr_path, const std::string& cert_path);
// True when the certificate expires within 60 seconds or cannot be read.
bool cert_expires_soon(const std::string& cert_path);

}  // namespace velmo
