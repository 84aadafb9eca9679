// Opening, logging in over and closing the client's connection.
#include "connection.hpp"

#include <netdb.h>
#include <sys/socket.h>

#include <cstdio>

#include "addr_list.hpp"
#include "caret.hpp"
#include "client_state.hpp"
#include "protocol.hpp"
#include "transport.hpp"

void ServerConnection::open(Fd sock) {
    sock_ = std::move(sock);
    state_ = State::connected;
    incoming_ = Framer();
}

void ServerConnection::close() {
    sock_.reset();
    state_ = State::not_connected;
    lastSession.clear();
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
    if (secure_send(serverSocket.fd(), request) != 0) {
        serverSocket.close();
        return;
    }
    std::fflush(stdout);  // the reply may take a while
    RecvBuffer reply{};
    if (secure_recv(serverSocket.fd(), reply) != 1) {
        serverSocket.close();
        return;
    }
    const std::string_view text(reply.data());
    if (text == proto::LG_ACK) return;

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

void logout(ServerConnection& serverSocket) {
    if (!serverSocket.connected()) return;
    if (secure_send(serverSocket.fd(), proto::LOGOUT) != 0) {
        std::printf("ERROR: Logout unsuccessful because sending was unsuccessful.\n");
        return;
    }
    serverSocket.close();
    std::printf("STATUS: Successfully logged out from the server.\n");
}

void login_sequence(ServerConnection& serverSocket, std::string_view clientID,
                    std::string_view password, std::string_view serverIP,
                    std::string_view serverPort) {
    std::printf("STATUS: Connecting to the server...\n");
    Fd sock = connect_to_server(std::string(serverIP), std::string(serverPort));
    if (!sock.valid()) return;
    serverSocket.open(std::move(sock));
    std::printf("STATUS: Successfully connected to the server. Sending login info...\n");
    login(serverSocket, clientID, password);
    if (serverSocket.connected()) std::printf("STATUS: Login successful!\n");
}
