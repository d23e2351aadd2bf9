// MqttClientVelmo without a broker: result mapping, the calls before any connection, the TLS settings and
// the connect options as they appear on the wire. A one-shot listener on the loopback records the first
// bytes the client sends (an MQTT CONNECT packet or a TLS ClientHello) and then hangs up, so the connect
// fails right after the bytes have been seen.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/exception.h"
#include "core/log.h"
#include "messaging/mqtt_client.h"
#include "support/test_support.h"

namespace velmo {
namespace {

const char* const kHandshakeError = "Destination unreachable or handshake error";

TEST(MqttResult, FromLibraryReturnCode) {
    struct Case {
        int rc;
        MqttStatus status;
        const char* message;
    } cases[] = {
        {0, MqttStatus::Success, ""},
        {-7, MqttStatus::Success, "Topic containing NULL characters has been truncated"},
        {-3, MqttStatus::Disconnected, "Disconnected"},
        {-1, MqttStatus::Failure, "Failure"},
        {-4, MqttStatus::Failure, "Maximum in-flight messages amount reached"},
        {5, MqttStatus::Failure, "Unknown error code 5"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rc);
        MqttResult r = MqttResult::from_rc(c.rc);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.code, c.rc);
        EXPECT_EQ(r.message, c.message);
    }
}

TEST(MqttClient, CallsBeforeAnyConnectFailWithoutSideEffects) {
    test::LogCapture log;
    MqttClientVelmo client("dev-1", "", 60, 1);
    EXPECT_FALSE(client.isConnected());
    EXPECT_EQ(client.protocol(), "tcp");

    MqttResult r = client.publish({"payload", "sr/dev-1/x", 1, false}, false);
    EXPECT_EQ(r.status, MqttStatus::Failure);
    EXPECT_EQ(r.code, -1);
    EXPECT_EQ(r.message, "MQTT client is not initialized.");
    EXPECT_EQ(client.failed_message_count(), 0u);

    r = client.subscribe("sr/cmd/dev-1/#", 2);
    EXPECT_EQ(r.code, -1);
    EXPECT_TRUE(client.subscriptions().empty());
    EXPECT_TRUE(log.contains(LOG_DEBUG, "Subscribing to sr/cmd/dev-1/#"));

    r = client.disconnect();
    EXPECT_EQ(r.status, MqttStatus::Failure);
    EXPECT_EQ(r.code, -9998);
    EXPECT_EQ(r.message, "Client handler not valid");

    // Never connected: the queue is empty and the flag is clear, so receive does not wait for its timeout.
    MqttMessage m;
    r = client.receive(m, 30);
    EXPECT_EQ(r.status, MqttStatus::Failure);
    EXPECT_EQ(r.code, -9996);
    EXPECT_EQ(r.message, "client has disconnected");

    client.resendFailedMessages();
    EXPECT_EQ(log.count("Resending messages that previously failed to be published."), 0u);
}

TEST(MqttClient, ConfigureSslWithMissingCaRaisesAndKeepsTcp) {
    test::TopDir top;
    MqttClientVelmo client("dev-1", "", 60, 1);
    const std::string missing = top.path() + "/no-such-ca.crt";
    try {
        client.configureSSL(missing, "", "", "");
        FAIL() << "configureSSL did not raise";
    } catch (const VelmoException& e) {
        EXPECT_EQ(std::string(e.what()), "configureSSL: File '" + missing + "' was not found.");
    }
    EXPECT_EQ(client.protocol(), "tcp");
    EXPECT_FALSE(client.isConnected());

    top.write("ca.crt", "not checked before connecting\n");
    client.configureSSL(top.path() + "/ca.crt", "", "", "");
    EXPECT_EQ(client.protocol(), "ssl");
    client.disableSSL();
    EXPECT_EQ(client.protocol(), "tcp");
}

// Accepts one connection on 127.0.0.1, stops listening, reads what the client sends for a short while and
// hangs up.
class OneShotListener {
public:
    OneShotListener() {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(fd_, 4) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            throw std::runtime_error("listener");
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~OneShotListener() {
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) close(fd_);
    }
    int port() const { return port_; }
    // The bytes received; waits for the connection to end.
    const std::string& bytes() {
        if (thread_.joinable()) thread_.join();
        return bytes_;
    }

private:
    void serve() {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 5000) != 1) return;
        int conn = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        close(fd_);  // a retry of the client is refused at once
        fd_ = -1;
        if (conn < 0) return;
        pollfd c{conn, POLLIN, 0};
        char buf[4096];
        // A ClientHello or CONNECT comes in one go; stop at the first pause.
        while (poll(&c, 1, bytes_.empty() ? 3000 : 100) == 1) {
            ssize_t n = read(conn, buf, sizeof buf);
            if (n <= 0) break;
            bytes_.append(buf, static_cast<size_t>(n));
        }
        close(conn);
    }

    int fd_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::string bytes_;
};

int u8(const std::string& b, size_t i) { return static_cast<unsigned char>(b.at(i)); }
int u16(const std::string& b, size_t i) { return u8(b, i) << 8 | u8(b, i + 1); }

// What a TLS ClientHello offers: the protocol versions and the cipher suites.
struct ClientHello {
    std::set<int> versions;  // from supported_versions, or the client version when that is absent
    std::set<int> suites;
};

ClientHello parse_client_hello(const std::string& b) {
    ClientHello h;
    if (u8(b, 0) != 0x16 || u8(b, 5) != 0x01) throw std::runtime_error("not a ClientHello");
    const int client_version = u16(b, 9);
    size_t i = 43;
    i += 1 + static_cast<size_t>(u8(b, i));  // session id
    const size_t suites_len = static_cast<size_t>(u16(b, i));
    for (size_t k = 0; k < suites_len; k += 2) h.suites.insert(u16(b, i + 2 + k));
    i += 2 + suites_len;
    i += 1 + static_cast<size_t>(u8(b, i));  // compression methods
    const size_t end = i + 2 + static_cast<size_t>(u16(b, i));
    for (i += 2; i + 4 <= end; i += 4 + static_cast<size_t>(u16(b, i + 2))) {
        if (u16(b, i) != 0x002b) continue;  // supported_versions: a length byte, then two bytes each
        for (size_t k = 0; k < static_cast<size_t>(u8(b, i + 4)); k += 2) h.versions.insert(u16(b, i + 5 + k));
    }
    if (h.versions.empty()) h.versions.insert(client_version);
    return h;
}

// The fields of an MQTT 3.1.1 CONNECT packet that the session sets.
struct ConnectPacket {
    int level = 0;
    int flags = 0;
    int keepalive = 0;
    std::string client_id, will_topic, will_message;
};

ConnectPacket parse_connect(const std::string& b) {
    if (u8(b, 0) != 0x10) throw std::runtime_error("not a CONNECT packet");
    size_t i = 1;
    while (u8(b, i) & 0x80) ++i;  // remaining length
    ++i;
    auto str = [&](size_t& at) {
        const size_t n = static_cast<size_t>(u16(b, at));
        std::string s = b.substr(at + 2, n);
        at += 2 + n;
        return s;
    };
    ConnectPacket p;
    if (str(i) != "MQTT") throw std::runtime_error("protocol name");
    p.level = u8(b, i);
    p.flags = u8(b, i + 1);
    p.keepalive = u16(b, i + 2);
    i += 4;
    p.client_id = str(i);
    if (p.flags & 0x04) {
        p.will_topic = str(i);
        p.will_message = str(i);
    }
    return p;
}

TEST(MqttClientWire, PlainConnectCarriesSessionOptionsAndWill) {
    test::LogCapture log;
    MqttClientVelmo client("A4:07:1B:C0:00:FF", "", 45, 1);
    client.setWill({"{\"online\":false}", "sr/A4:07:1B:C0:00:FF/notify/online", 1, true});
    OneShotListener server;
    MqttResult r = client.connect("127.0.0.1", server.port(), 2);
    EXPECT_EQ(r.status, MqttStatus::Failure);
    EXPECT_EQ(r.message, kHandshakeError);
    EXPECT_FALSE(client.isConnected());
    EXPECT_EQ(log.count("Connection to '127.0.0.1' established."), 0u);

    ConnectPacket p = parse_connect(server.bytes());
    EXPECT_EQ(p.level, 4);
    EXPECT_EQ(p.flags & 0x02, 0) << "clean session must be off";
    EXPECT_EQ(p.flags & 0x04, 0x04) << "will flag";
    EXPECT_EQ((p.flags >> 3) & 3, 1) << "will QoS";
    EXPECT_EQ(p.flags & 0x20, 0x20) << "will retain";
    EXPECT_EQ(p.flags & 0xC0, 0) << "no user name or password";
    EXPECT_EQ(p.keepalive, 45);
    EXPECT_EQ(p.client_id, "A4:07:1B:C0:00:FF");
    EXPECT_EQ(p.will_topic, "sr/A4:07:1B:C0:00:FF/notify/online");
    EXPECT_EQ(p.will_message, "{\"online\":false}");
}

TEST(MqttClientWire, ProtocolFollowsSslSetting) {
    test::TopDir top;
    const std::string ca = top.path() + "/ca.crt";
    // The trust store is read when the handshake is prepared; any certificate will do for that.
    const char* self_signed = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=t "
                              "-days 1 -keyout /dev/null -out ";
    ASSERT_EQ(system((std::string(self_signed) + ca + " 2>/dev/null").c_str()), 0);

    MqttClientVelmo client("dev-1", "", 60, 1);
    struct Step {
        const char* name;
        std::function<void()> configure;
        int first_byte;  // 0x16 TLS handshake record, 0x10 MQTT CONNECT
    } steps[] = {
        {"fresh object", [] {}, 0x10},
        {"configureSSL", [&] { client.configureSSL(ca, "", "", ""); }, 0x16},
        {"disableSSL", [&] { client.disableSSL(); }, 0x10},
        {"configureSSL again", [&] { client.configureSSL(ca, "", "", ""); }, 0x16},
    };
    for (auto& step : steps) {
        SCOPED_TRACE(step.name);
        step.configure();
        OneShotListener server;
        MqttResult r = client.connect("127.0.0.1", server.port(), 2);
        EXPECT_EQ(r.status, MqttStatus::Failure);
        EXPECT_EQ(r.message, kHandshakeError);
        ASSERT_FALSE(server.bytes().empty());
        EXPECT_EQ(u8(server.bytes(), 0), step.first_byte);
    }
}

TEST(MqttClientWire, TlsOffersTheOneTls12CipherSuite) {
    test::TopDir top;
    const std::string ca = top.path() + "/ca.crt";
    ASSERT_EQ(system(("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=t -days 1 "
                      "-keyout /dev/null -out " + ca + " 2>/dev/null").c_str()),
              0);
    MqttClientVelmo client("dev-1", "", 60, 1);
    // A certificate that cannot be loaded stops the client before its ClientHello; configuring again
    // without one must not keep it.
    client.configureSSL(ca, top.path() + "/missing.crt", top.path() + "/missing.key", "");
    {
        OneShotListener server;
        EXPECT_EQ(client.connect("127.0.0.1", server.port(), 2).message, kHandshakeError);
        EXPECT_TRUE(server.bytes().empty() || u8(server.bytes(), 0) != 0x16);
    }
    client.configureSSL(ca, "", "", "");
    OneShotListener server;
    EXPECT_EQ(client.connect("127.0.0.1", server.port(), 2).message, kHandshakeError);
    ClientHello hello = parse_client_hello(server.bytes());
    EXPECT_EQ(hello.versions, std::set<int>{0x0303}) << "TLS 1.2 only";
    std::set<int> offered_suites;
    for (int suite : hello.suites)
        if (suite != 0x00ff) offered_suites.insert(suite);  // not the renegotiation SCSV
    EXPECT_EQ(offered_suites, std::set<int>{0xc02b}) << "ECDHE-ECDSA-AES128-GCM-SHA256 only";
}

TEST(MqttClient, FailedPublicationsAreStoredUnlessNoStore) {
    test::LogCapture log;
    MqttClientVelmo client("dev-1", "", 60, 1);
    {
        OneShotListener server;  // hangs up on the CONNECT
        ASSERT_EQ(client.connect("127.0.0.1", server.port(), 2).message, kHandshakeError);
    }
    // The failed connect leaves the library client: publications now fail as disconnected.
    const MqttMessage first{"one", "sr/dev-1/a", 1, false};
    const MqttMessage second{std::string("t\0o", 3), "sr/dev-1/b", 2, true};
    MqttResult r = client.publish(first, false);
    EXPECT_EQ(r.status, MqttStatus::Disconnected);
    EXPECT_EQ(r.code, -3);
    EXPECT_EQ(client.failed_message_count(), 1u);
    r = client.publish({"gone", "sr/dev-1/c", 1, false}, true);
    EXPECT_EQ(r.status, MqttStatus::Disconnected);
    EXPECT_EQ(client.failed_message_count(), 1u);
    client.publish(second, false);
    ASSERT_EQ(client.failed_message_count(), 2u);

    log.clear();
    client.resendFailedMessages();
    EXPECT_EQ(log.count("Resending messages that previously failed to be published."), 1u);
    // Both fail again and are stored anew; nothing was logged as published.
    EXPECT_EQ(client.failed_message_count(), 2u);
    EXPECT_EQ(log.count("MQTT Publish: QoS 1, retained 0, topic sr/dev-1/a"), 0u);
    client.resendFailedMessages();
    EXPECT_EQ(client.failed_message_count(), 2u);
}

}  // namespace
}  // namespace velmo
