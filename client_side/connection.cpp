// Opening, logging in over and closing the client's connection.
#include "connection.hpp"

#include <netdb.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>

#include "addr_list.hpp"
#include "caret.hpp"
#include "client_state.hpp"
#include "protocol.hpp"
#include "tls_client.hpp"
#include "transport.hpp"

void ServerConnection::open(Fd sock, SslPtr ssl) {
    sock_ = std::move(sock);
    ssl_ = std::move(ssl);
    failed_ = starved_ = false;
    state_ = State::connected;
    incoming_ = Framer();
}

void ServerConnection::close() {
    if (ssl_) tls_close(ssl_.get(), failed_);
    ssl_.reset();
    sock_.reset();
    state_ = State::not_connected;
    lastSession.clear();
}

int ServerConnection::send_message(std::string_view text) {
    if (!ssl_) return secure_send(sock_.get(), text);
    if (check_send_size(text) != 0) return -2;
    const std::string out = std::string(text) + '\0';
    std::size_t sent = 0;
    while (sent < out.size()) {
        const TlsResult r = tls_write(ssl_.get(), out.data() + sent, out.size() - sent);
        if (r.io == TlsIo::done) {
            sent += r.bytes;
            continue;
        }
        // The socket does not wait: a full send buffer is waited out here,
        // as a blocking send would.
        const bool retry = r.io == TlsIo::want_read || r.io == TlsIo::want_write;
        if (retry && wait_for_tls(sock_.get(), r.io, -1)) continue;
        failed_ = true;
        std::printf("ERROR: Error occurred while sending.\n");
        return -1;
    }
    return 0;
}

long ServerConnection::receive(char* buf, std::size_t n) {
    return take(buf, n, false);
}

long ServerConnection::peek(char* buf, std::size_t n) {
    return take(buf, n, true);
}

long ServerConnection::take(char* buf, std::size_t n, bool keep) {
    if (!ssl_) {
        const ssize_t got = ::recv(sock_.get(), buf, n, MSG_DONTWAIT | (keep ? MSG_PEEK : 0));
        if (got < 0) return try_later(errno) ? NOTHING_YET : FAILED;
        return static_cast<long>(got);
    }
    const TlsResult r = keep ? tls_peek(ssl_.get(), buf, n) : tls_read(ssl_.get(), buf, n);
    starved_ = r.io == TlsIo::want_read || r.io == TlsIo::want_write;
    switch (r.io) {
        case TlsIo::done:
            return static_cast<long>(r.bytes);
        case TlsIo::want_read:
        case TlsIo::want_write:
            return NOTHING_YET;
        case TlsIo::closed:
            return CLOSED;
        case TlsIo::failed:
            break;
    }
    failed_ = true;
    return FAILED;
}

bool ServerConnection::buffered() const {
    // After a read that needs more from the socket, what the library holds
    // is only part of a record: select() is told when the rest comes.
    return ssl_ && !starved_ && SSL_has_pending(ssl_.get()) == 1;
}

void ServerConnection::quit() {
    close();
    state_ = State::quit_requested;
}

Fd connect_to_server(const std::string& serverIP, const std::string& serverPort) {
    std::printf("STATUS: Extracting server information...\n");
    std::fflush(stdout);  // resolving and connecting may take a while
    const AddrList list = resolve(serverIP.c_str(), serverPort.c_str(), AF_UNSPEC);
    if (!list) {
        std::printf("ERROR: getaddrinfo failed.\n");
        return Fd();
    }
    for (const addrinfo* a = list.get(); a != nullptr; a = a->ai_next) {
        Fd sock(::socket(a->ai_family, a->ai_socktype, a->ai_protocol));
        if (!sock.valid()) {
            std::printf("STATUS: Creation of socket failed - continuing...\n");
            continue;
        }
        if (::connect(sock.get(), a->ai_addr, a->ai_addrlen) != 0) {
            std::printf("STATUS: Connecting to server failed - continuing...\n");
            continue;
        }
        return sock;
    }
    std::printf("ERROR: Failed to connect.\n");
    return Fd();
}

void login(ServerConnection& serverSocket, std::string_view clientID, std::string_view password) {
    const std::string request = proto::join_fields(proto::LOGIN, {clientID, password});
    if (serverSocket.send_message(request) != 0) {
        serverSocket.close();
        return;
    }
    serverSocket.await_login();
}

namespace {

// Carries out a whole login reply.
void login_reply(ServerConnection& serverSocket, std::string_view text) {
    if (text == proto::LG_ACK) {
        serverSocket.logged_in();
        std::printf("STATUS: Login successful!\n");
        return;
    }
    const auto refused = [&](std::string_view code) {
        return text == proto::join_fields(proto::LG_NACK, {code});
    };
    if (refused(proto::LG_MAX_USERS)) {
        std::printf(
            "ERROR: Login unsuccessful. Server has reached max number of users it can "
            "service.\n");
    } else if (refused(proto::LG_ALREADY_ONLINE)) {
        std::printf("ERROR: Login request rejected. User already logged in.\n");
    } else if (refused(proto::LG_SOCKET_IN_USE)) {
        std::printf(
            "ERROR: Login unsuccessful. Client port number already in use. Try to log in "
            "again.\n");
    } else if (refused(proto::LG_BAD_CREDENTIALS)) {
        std::printf(
            "ERROR: Login unsuccessful. ClientID/password combination not recognized by the "
            "server.\n");
    } else {
        print_unrecognized(text);
    }
    serverSocket.close();
}

}  // namespace

bool take_login_reply(ServerConnection& serverSocket) {
    Framer& incoming = serverSocket.incoming();
    // A look first, then only the bytes up to the reply's end are taken.
    long got = serverSocket.peek(incoming.space(), incoming.space_size());
    if (got == ServerConnection::NOTHING_YET) return false;
    if (got > 0) {
        const std::string_view seen(incoming.space(), static_cast<std::size_t>(got));
        const std::size_t end = seen.find_first_of(std::string_view("\0\n", 2));
        const std::size_t take = end == std::string_view::npos ? seen.size() : end + 1;
        got = serverSocket.receive(incoming.space(), take);
    }
    if (got <= 0) {
        std::printf(got == ServerConnection::CLOSED
                        ? "ERROR: The other side has closed the connection on us.\n"
                        : "ERROR: Error occurred while receiving.\n");
        serverSocket.close();
        return true;
    }
    incoming.commit(static_cast<std::size_t>(got));
    std::string_view reply;
    switch (incoming.next(reply)) {
        case Framer::Status::need_more:
            return false;
        case Framer::Status::overflow:
            std::printf("ERROR: Receive buffer of size %d bytes exceeded.\n",
                        static_cast<int>(proto::RECV_LIMIT));
            serverSocket.close();
            return true;
        case Framer::Status::message:
            break;
    }
    login_reply(serverSocket, reply);
    return true;
}

void abandon_login(ServerConnection& serverSocket) {
    std::printf("ERROR: No answer from the server. Login abandoned.\n");
    serverSocket.close();
}

void logout(ServerConnection& serverSocket) {
    if (!serverSocket.has_socket()) return;
    if (serverSocket.send_message(proto::LOGOUT) != 0) {
        std::printf("ERROR: Logout unsuccessful because sending was unsuccessful.\n");
        return;
    }
    serverSocket.close();
    std::printf("STATUS: Successfully logged out from the server.\n");
}

void login_sequence(ServerConnection& serverSocket, std::string_view clientID,
                    std::string_view password, std::string_view serverIP,
                    std::string_view serverPort, bool tls) {
    std::printf("STATUS: Connecting to the server...\n");
    const std::string host(serverIP);
    const std::string port(serverPort);
    Fd sock = connect_to_server(host, port);
    if (!sock.valid()) return;
    SslPtr ssl;
    if (tls) {
        ssl = start_tls(sock.get(), host, port, serverSocket.keyboard());
        if (!ssl) return;
    }
    serverSocket.open(std::move(sock), std::move(ssl));
    std::printf("STATUS: Successfully connected to the server. Sending login info...\n");
    login(serverSocket, clientID, password);
}
