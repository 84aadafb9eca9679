// The client's TLS handshake and its trust in the server: a certificate
// valid for the host typed, or else a key the user has accepted before
// (the file of known servers) or accepts now at the keyboard.
#include "tls_client.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "known_servers.hpp"
#include "line_reader.hpp"

namespace {

bool is_address(const std::string& host) {
    in6_addr any{};
    return ::inet_pton(AF_INET, host.c_str(), &any) == 1 ||
           ::inet_pton(AF_INET6, host.c_str(), &any) == 1;
}

// A session that checks the certificate against CONFERENCE_TLS_CA, or the
// system's trust store, and against `host`, but only records the verdict:
// it is judged after the handshake, when the known servers can still
// accept a certificate no authority signed.
SslPtr new_session(int sock, const std::string& host) {
    const SslCtxPtr ctx = tls_context(false);
    if (!ctx) {
        std::printf("ERROR: TLS could not be set up: %s.\n", tls_error().c_str());
        return nullptr;
    }
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, nullptr);
    const char* ca = std::getenv("CONFERENCE_TLS_CA");
    if (ca != nullptr && *ca != '\0') {
        if (SSL_CTX_load_verify_locations(ctx.get(), ca, nullptr) != 1) {
            std::printf("ERROR: Cannot load the certificates in %s: %s.\n", ca,
                        tls_error().c_str());
            return nullptr;
        }
    } else {
        SSL_CTX_set_default_verify_paths(ctx.get());
    }
    SslPtr ssl(SSL_new(ctx.get()));  // holds the context from here on
    if (!ssl || SSL_set_fd(ssl.get(), sock) != 1) {
        std::printf("ERROR: TLS could not be set up: %s.\n", tls_error().c_str());
        return nullptr;
    }
    if (is_address(host)) {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl.get()), host.c_str());
    } else {
        SSL_set_tlsext_host_name(ssl.get(), host.c_str());
        SSL_set1_host(ssl.get(), host.c_str());
    }
    return ssl;
}

// Runs the handshake within TLS_HANDSHAKE_TIMEOUT; says why it failed.
bool handshake(SSL* ssl, int sock) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point until = Clock::now() + TLS_HANDSHAKE_TIMEOUT;
    for (;;) {
        const TlsIo io = tls_handshake(ssl, false);
        if (io == TlsIo::done) return true;
        const int err = errno;
        std::string why = tls_error();
        if (io == TlsIo::want_read || io == TlsIo::want_write) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
            if (left.count() > 0 && wait_for_tls(sock, io, static_cast<int>(left.count()))) {
                continue;
            }
            why = "no answer from the server in " + std::to_string(TLS_HANDSHAKE_TIMEOUT.count()) +
                  " seconds";
        } else if (io == TlsIo::closed) {
            why = "the server closed the connection";
        } else if (why.empty()) {
            why = err != 0 ? std::strerror(err) : "the connection failed";
        }
        std::printf("ERROR: The TLS handshake failed: %s.\n", why.c_str());
        return false;
    }
}

// Asks the user whether `key` is the server's; "yes" adds it to `path`.
bool ask_user(LineReader& keyboard, const std::string& path, const std::string& entry) {
    std::string_view answer;
    if (keyboard.ask("Trust this key and remember it (yes/no)? ", answer) !=
            LineReader::Result::line ||
        answer != "yes") {
        return false;
    }
    const int err = remember_server(path, entry);
    if (err == 0) {
        std::printf("STATUS: Added '%s' to %s.\n", entry.c_str(), path.c_str());
    } else {
        std::printf("ERROR: Could not add the server to %s: %s.\n", path.c_str(),
                    std::strerror(err));
    }
    return true;
}

// Whether the server that completed the handshake may have the password.
bool trusted(SSL* ssl, const std::string& host, const std::string& port, LineReader* keyboard) {
    const X509Ptr cert(SSL_get1_peer_certificate(ssl));
    const long verdict = SSL_get_verify_result(ssl);
    if (cert && verdict == X509_V_OK) {
        std::printf("STATUS: The server's certificate is valid for %s.\n", host.c_str());
        return true;
    }
    const std::string key = cert ? key_fingerprint(cert.get()) : std::string();
    if (key.empty()) {
        std::printf("ERROR: The server's key cannot be read.\n");
        return false;
    }
    const std::string path = known_servers_path();
    const std::string entry = known_server_line(host, port, key);
    const KnownServer known = find_known_server(path, host, port, key);
    if (known.status == KnownServer::same_key) {
        std::printf("STATUS: The server's key is the one accepted before (%s, line %d).\n",
                    path.c_str(), known.line);
        return true;
    }
    if (known.status == KnownServer::changed_key) {
        std::printf(
            "ERROR: @@@ THE KEY OF THE SERVER AT %s PORT %s HAS CHANGED! @@@\n"
            "ERROR: Someone could be intercepting the connection (a man-in-the-middle attack),\n"
            "ERROR: or the server's key has been replaced. The key it offers now is\n"
            "ERROR:     %s\n"
            "ERROR: Line %d of %s holds another key for this server.\n"
            "ERROR: If the change is expected, remove that line and log in again.\n",
            host.c_str(), port.c_str(), key.c_str(), known.line, path.c_str());
        return false;
    }
    const char* kind = keyboard != nullptr ? "STATUS" : "ERROR";
    std::printf("%s: The server's certificate is not trusted for %s (%s),\n", kind, host.c_str(),
                X509_verify_cert_error_string(verdict));
    std::printf("%s: and the server at %s port %s is not a known server.\n", kind, host.c_str(),
                port.c_str());
    std::printf("%s: Its key fingerprint is %s.\n", kind, key.c_str());
    if (keyboard != nullptr) return ask_user(*keyboard, path, entry);
    std::printf("ERROR: If this is the server's key, add this line to %s:\n%s\n", path.c_str(),
                entry.c_str());
    return false;
}

}  // namespace

bool wait_for_tls(int sock, TlsIo io, int timeout_ms) {
    pollfd ready{sock, static_cast<short>(io == TlsIo::want_write ? POLLOUT : POLLIN), 0};
    const int got = ::poll(&ready, 1, timeout_ms);
    return got > 0 || (got < 0 && errno == EINTR);
}

SslPtr start_tls(int sock, const std::string& host, const std::string& port, LineReader* keyboard) {
    // OpenSSL writes with write(2): a server that has gone would raise SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    const int flags = ::fcntl(sock, F_GETFL);
    if (flags < 0 || ::fcntl(sock, F_SETFL, flags | O_NONBLOCK) != 0) {
        std::printf("ERROR: TLS could not be set up: %s.\n", std::strerror(errno));
        return nullptr;
    }
    SslPtr ssl = new_session(sock, host);
    if (!ssl) return nullptr;
    if (!handshake(ssl.get(), sock)) return nullptr;
    if (!trusted(ssl.get(), host, port, keyboard)) {
        tls_close(ssl.get(), false);
        std::printf("ERROR: Login abandoned; the password was not sent.\n");
        return nullptr;
    }
    std::printf("STATUS: The connection is encrypted (%s).\n", SSL_get_version(ssl.get()));
    return ssl;
}
