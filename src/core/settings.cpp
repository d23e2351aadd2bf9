#include "core/settings.h"

#include "core/paths.h"
#include "core/settings_file.h"
#include "core/utils.h"

namespace velmo {

void read_agent_settings(AgentSettings& s) {
    FILE* f = fopen(settings_file_path().c_str(), "r");
    // A missing file reads like a file without any key: the lookups see no file.
    s.enabled = settings_read_uint(f, "MOD_VELMO_CLIENT_ENABLED");
    s.skip_bootstrap = settings_read_uint(f, "MOD_VELMO_CLIENT_SKIP_BOOTSTRAP") != 0;
    s.bootstrap_server = settings_read_string(f, "MOD_VELMO_CLIENT_BOOTSTRAPSERVER");
    s.bootstrap_port = settings_read_uint(f, "MOD_VELMO_CLIENT_BOOTSTRAPPORT");
    s.ssl_disabled = settings_read_uint(f, "MOD_VELMO_CLIENT_SSL_DISABLED");
    s.log_level = settings_read_string(f, "MOD_VELMO_CLIENT_LOGLEVEL");
    s.keepalive_interval = settings_read_uint(f, "MOD_VELMO_CLIENT_KEEPALIVE_INTERVAL");
    s.monitoring_enabled = settings_read_uint(f, "MOD_VELMO_CLIENT_MONITORING_ENABLED");
    s.monitoring_interval = settings_read_uint(f, "MOD_VELMO_CLIENT_MONITORING_INTERVAL");
    if (f) fclose(f);
}

bool write_agent_settings(const AgentSettings& s) {
    AtomicFileWriter writer(settings_file_path());
    FILE* f = writer.file();
    if (!f) return false;
    if (s.ssl_disabled) settings_write_bool(f, "MOD_VELMO_CLIENT_SSL_DISABLED", s.ssl_disabled);
    settings_write_bool(f, "MOD_VELMO_CLIENT_ENABLED", s.enabled);
    settings_write_bool(f, "MOD_VELMO_CLIENT_SKIP_BOOTSTRAP", s.skip_bootstrap);
    settings_write_string(f, "MOD_VELMO_CLIENT_BOOTSTRAPSERVER", s.bootstrap_server);
    settings_write_uint(f, "MOD_VELMO_CLIENT_BOOTSTRAPPORT", s.bootstrap_port, true);
    settings_write_string(f, "MOD_VELMO_CLIENT_LOGLEVEL", s.log_level);
    settings_write_uint(f, "MOD_VELMO_CLIENT_KEEPALIVE_INTERVAL", s.keepalive_interval, true);
    settings_write_bool(f, "MOD_VELMO_CLIENT_MONITORING_ENABLED", s.monitoring_enabled);
    settings_write_uint(f, "MOD_VELMO_CLIENT_MONITORING_INTERVAL", s.monitoring_interval, true);
    return writer.commit();
}

void set_bootstrap_server(AgentSettings& s, const std::string& host) { s.bootstrap_server = host; }
void set_bootstrap_port(AgentSettings& s, uint32_t port) { s.bootstrap_port = port; }

}  // namespace velmo
