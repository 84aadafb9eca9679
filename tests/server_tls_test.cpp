// The server's TLS listener in the test's own process, beside its plain one:
// peers made here with OpenSSL, and `openssl s_client`, which no one here wrote.
#include <gmock/gmock.h>
#include <netinet/in.h>

#include "log.hpp"
#include "server.hpp"
#include "support.hpp"
#include "tls.hpp"

using namespace std::chrono_literals;
using testing::HasSubstr;

namespace {

// Runs the server's passes until `done` or the wait ends.
template <class F>
bool until(F done) {
    for (auto end = support::deadline(); !done(); server_pass(5ms))
        if (support::left_ms(end) == 0) return false;
    return true;
}

// A TLS client of the server in this process, on a non-blocking socket.
class TlsPeer {
public:
    explicit TlsPeer(int port, int rcvbuf = 0) {
        sock_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
        if (rcvbuf > 0) ::setsockopt(sock_.get(), SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
        sockaddr_in a{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
        ::connect(sock_.get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
        ssl_.reset(SSL_new(ctx_.get()));
        SSL_set_fd(ssl_.get(), sock_.get());
        SSL_set_connect_state(ssl_.get());
    }
    bool handshake() {
        TlsIo io = TlsIo::want_read;
        until([&] {
            io = tls_handshake(ssl_.get(), false);
            return io != TlsIo::want_read && io != TlsIo::want_write;
        });
        return io == TlsIo::done;
    }
    std::string key() {
        const X509Ptr cert(SSL_get1_peer_certificate(ssl_.get()));
        return cert ? key_fingerprint(cert.get()) : "";
    }
    // Each call is a record of its own (or more, past 16 KiB).
    bool send(const std::string& bytes) {
        std::size_t off = 0;
        TlsIo io = TlsIo::done;
        until([&] {
            const TlsResult r = tls_write(ssl_.get(), bytes.data() + off, bytes.size() - off);
            off += r.bytes;
            io = r.io;
            return off == bytes.size() || io == TlsIo::failed || io == TlsIo::closed;
        });
        return off == bytes.size();
    }
    std::optional<std::string> next() {
        std::optional<std::string> got;
        until([&] {
            std::string_view msg;
            if (in_.next(msg) == Framer::Status::message) got = std::string(msg);
            if (got) return true;
            const TlsResult r = tls_read(ssl_.get(), in_.space(), in_.space_size());
            in_.commit(r.bytes);
            return r.io == TlsIo::closed || r.io == TlsIo::failed;
        });
        return got;
    }
    int fd() const { return sock_.get(); }

private:
    SslCtxPtr ctx_ = tls_context(false);
    Fd sock_;
    SslPtr ssl_;
    Framer in_{65536};
};

// Key pairs made once: "a" with a certificate over 8 KiB (hundreds of
// names), "b" an ordinary one.
support::TempDir* keys;
std::string make_key(const std::string& name, const std::string& san) {
    const std::string base = keys->path + "/" + name;
    std::system(("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 "
                 "-subj /CN=" +
                 name + " -addext subjectAltName=" + san + " -keyout " + base + ".key -out " +
                 base + ".pem 2>/dev/null")
                    .c_str());
    return base;
}

class Tls : public testing::Test {
protected:
    static void SetUpTestSuite() {
        keys = new support::TempDir;
        std::string names = "IP:127.0.0.1";
        for (int i = 0; i < 400; ++i) names += ",DNS:host" + std::to_string(i) + ".example.invalid";
        make_key("a", names);
        make_key("b", "IP:127.0.0.1");
    }
    static void TearDownTestSuite() { delete keys; }
    void SetUp() override {
        dir.write("accounts.csv", "alice,pw1\nbob,pw2\n");
        for (const char* f : {"a.pem", "a.key", "b.pem", "b.key"}) copy(f, f);
        copy("a.pem", "cert.pem");
        copy("a.key", "key.pem");
        ASSERT_EQ(::chdir(dir.path.c_str()), 0);
        testing::internal::CaptureStdout();
        ServerOptions options;
        options.clock = [this] { return now; };
        options.tls_port = "0";
        options.tls_cert = "cert.pem";
        options.tls_key = "key.pem";
        ASSERT_GT(port = server_start("0", options), 0);
        tls_port = server_tls_port();
    }
    void TearDown() override {
        server_stop();
        log();
        testing::internal::GetCapturedStdout();
        if (HasFailure()) std::fprintf(stderr, "%s", seen.c_str());
        ASSERT_EQ(::chdir("/"), 0);
    }
    void copy(const std::string& from, const std::string& to) {
        std::ifstream in(keys->path + "/" + from, std::ios::binary);
        dir.write(to, std::string(std::istreambuf_iterator<char>(in), {}));
    }
    std::string log() {
        log_flush();
        seen += testing::internal::GetCapturedStdout();
        testing::internal::CaptureStdout();
        return seen;
    }
    bool log_until(const std::string& text) {
        return until([&] { return log().find(text) != std::string::npos; });
    }
    std::unique_ptr<support::Client> plain() {
        return std::make_unique<support::Client>(port, [] { server_pass(5ms); });
    }
    std::unique_ptr<TlsPeer> logged_in(const char* id, const char* pw) {
        auto peer = std::make_unique<TlsPeer>(tls_port);
        EXPECT_TRUE(peer->handshake());
        peer->send("LOGIN#" + std::string(id) + "#" + pw + '\0');
        EXPECT_EQ(peer->next(), "LG_ACK");
        return peer;
    }
    support::TempDir dir;
    Clock::time_point now = Clock::now();
    int port = 0, tls_port = 0;
    std::string seen;
};

// A member over TLS and a plain one in one session. Small records come in a
// burst, then one write larger than the server's receive buffer: all of it
// is served with no further input, though select sees none of what the
// library has already decrypted.
TEST_F(Tls, MembersOverTlsAndPlainShareASession) {
    auto alice = logged_in("alice", "pw1");
    EXPECT_THAT(log(), HasSubstr("Certificate key fingerprint: " + alice->key() + "\n"));
    alice->send(std::string("NEWCONF#lobby") + '\0');
    EXPECT_EQ(alice->next(), "NEWCONF_ACK#lobby");
    auto bob = plain();
    bob->send("LOGIN#bob#pw2");
    bob->send("JOIN#lobby");
    EXPECT_EQ(bob->next(), "LG_ACK");
    EXPECT_EQ(bob->next(), "JOIN_ACK#lobby");
    EXPECT_EQ(alice->next(), "[lobby] bob has joined the session.");
    bob->send("MSG#lobby#hi");
    EXPECT_EQ(alice->next(), "[lobby] bob says: hi");
    EXPECT_EQ(bob->next(), "[lobby] bob says: hi");
    for (int i = 0; i < 200; ++i) alice->send("MSG#lobby#" + std::to_string(i) + '\0');
    std::string big;
    const std::string text(400, 'x');
    for (int i = 0; i < 100; ++i) big += "MSG#lobby#" + text + '\n';
    alice->send(big);
    for (int i = 0; i < 200; ++i)
        ASSERT_EQ(bob->next(), "[lobby] alice says: " + std::to_string(i));
    for (int i = 0; i < 100; ++i) ASSERT_EQ(bob->next(), "[lobby] alice says: " + text) << i;
}

// The handshake's 10 KiB certificate goes out through a socket that takes
// a few KiB at a time.
TEST_F(Tls, LongChainThroughASmallSendBuffer) {
    TlsPeer peer(tls_port, 2048);
    ASSERT_TRUE(until([] { return slots[1].open(); }));
    const int small = 2048;
    ::setsockopt(slots[1].fd.get(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    ASSERT_TRUE(peer.handshake());
    peer.send(std::string("LOGIN#bob#pw2") + '\0');
    EXPECT_EQ(peer.next(), "LG_ACK");
}

// A silent peer, plain bytes on the TLS port and TLS on the plain port each
// cost their own connection and a line of the log, nothing more.
TEST_F(Tls, WrongPeersCostOnlyTheirConnection) {
    support::Client silent(tls_port), wrong(tls_port, [] { server_pass(5ms); });
    wrong.send("LOGIN#alice#pw1");
    EXPECT_TRUE(wrong.closed());
    EXPECT_TRUE(log_until("ERROR: TLS handshake on socket"));
    TlsPeer to_plain(port);
    EXPECT_FALSE(to_plain.handshake());
    EXPECT_THAT(log(), HasSubstr("spoke TLS to the plain port. closed.\nclose socket"));
    auto alice = logged_in("alice", "pw1");
    now += 61s;
    EXPECT_TRUE(log_until("did not log in within 60 seconds.\n"));
    alice->send(std::string("QRY") + '\0');
    EXPECT_EQ(alice->next(), "QRY_ACK#alice");
    EXPECT_THAT(log(), testing::Not(HasSubstr("Error occurred")));
}

// SIGHUP reads the certificate and key again: new connections get the new
// key, live ones go on; a pair that does not match leaves the last in force.
TEST_F(Tls, ReloadGivesNewConnectionsTheNewKey) {
    auto alice = logged_in("alice", "pw1");
    const std::string old_key = alice->key();
    copy("b.pem", "cert.pem");
    copy("b.key", "key.pem");
    ::raise(SIGHUP);
    auto bob = logged_in("bob", "pw2");
    EXPECT_NE(bob->key(), old_key);
    EXPECT_THAT(log(), HasSubstr("Certificate key fingerprint: " + bob->key() + "\n"));
    copy("a.key", "key.pem");
    ::raise(SIGHUP);
    EXPECT_TRUE(
        log_until("WARNING: the TLS certificate was not reloaded: the key key.pem does "
                  "not match the certificate in cert.pem. The one in force stays.\n"));
    TlsPeer third(tls_port);
    ASSERT_TRUE(third.handshake());
    EXPECT_EQ(third.key(), bob->key());
    alice->send(std::string("QRY") + '\0');
    EXPECT_EQ(alice->next(), "QRY_ACK#alice:bob");
}

// openssl s_client ends its lines with LF: it logs in and chats with a plain member.
TEST_F(Tls, OpensslClientChatsWithAPlainMember) {
    support::Child client({"/usr/bin/openssl", "s_client", "-quiet", "-connect",
                           "127.0.0.1:" + std::to_string(tls_port)},
                          dir.path);
    const auto shows = [&](const std::string& text) {
        return until([&] { return client.wait_for(text, 0); });
    };
    client.send("LOGIN#alice#pw1\nNEWCONF#lobby\n");
    EXPECT_TRUE(shows(std::string("LG_ACK") + '\0' + "NEWCONF_ACK#lobby"));
    auto bob = plain();
    bob->send("LOGIN#bob#pw2");
    bob->send("JOIN#lobby");
    EXPECT_TRUE(shows("[lobby] bob has joined the session."));
    client.send("MSG#lobby#from s_client\n");
    EXPECT_EQ(bob->next(), "LG_ACK");
    EXPECT_EQ(bob->next(), "JOIN_ACK#lobby");
    EXPECT_EQ(bob->next(), "[lobby] alice says: from s_client");
}

// Command lines that do not start the server: status and the line that says why.
struct Start {
    const char* name;
    std::vector<std::string> args;
    int status;
    std::string line;
};
void PrintTo(const Start& row, std::ostream* os) {
    *os << row.name;
}
class Starts : public Tls, public testing::WithParamInterface<Start> {};

TEST_P(Starts, RefuseWithAReason) {
    Fd taken(::dup(slots[0].fd.get()));  // the fixture's port stays in use
    std::vector<std::string> args{"conference-server"};
    for (const auto& a : GetParam().args) args.push_back(a == "taken" ? std::to_string(port) : a);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    const std::size_t from = log().size();
    EXPECT_EQ(server_main(static_cast<int>(argv.size()), argv.data()), GetParam().status);
    EXPECT_THAT(log().substr(from), HasSubstr(GetParam().line));
}
INSTANTIATE_TEST_SUITE_P(
    Server, Starts,
    testing::Values(
        Start{"Help", {"-h"}, 0, "\nUSE: conference-server <TCP port number to listen on>\n"},
        Start{"TlsPortAlone", {"--tls-port", "6697", "5000"}, 1, "go together."},
        Start{"NoPort", {"--tls-only", "--tls-cert", "b.pem", "--tls-key", "b.key"}, 1, "USE: "},
        Start{"KeyOfAnother",
              {"--tls-only", "--tls-cert", "b.pem", "--tls-key", "a.key", "taken"},
              1,
              "ERROR: the key a.key does not match the certificate in b.pem\n"},
        Start{"NoChain",
              {"--tls-only", "--tls-cert", "none.pem", "--tls-key", "a.key", "taken"},
              1,
              "ERROR: cannot load the certificate chain none.pem: "},
        Start{"PortInUse", {"taken"}, 2, " is in use.\n"}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
