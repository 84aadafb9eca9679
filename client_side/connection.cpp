// Opening, logging in over and closing the client's connection.
#include "connection.hpp"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

#include "caret.hpp"
#include "client_state.hpp"
#include "fd.hpp"
#include "protocol.hpp"
#include "transport.hpp"

namespace {

// Frees the resolver's address list when it goes.
struct AddrList {
    addrinfo* head = nullptr;
    ~AddrList() {
        if (head != nullptr) freeaddrinfo(head);
    }
};

}  // namespace

int connect_to_server(const std::string& serverIP, const std::string& serverPort) {
    std::printf("STATUS: Extracting server information...\n");
    std::fflush(stdout);  // resolving and connecting may take a while
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    AddrList list;
    if (getaddrinfo(serverIP.c_str(), serverPort.c_str(), &hints, &list.head) != 0) {
        std::printf("ERROR: getaddrinfo failed.\n");
        return -1;
    }
    for (addrinfo* a = list.head; a != nullptr; a = a->ai_next) {
        Fd sock(::socket(a->ai_family, a->ai_socktype, a->ai_protocol));
        if (!sock.valid()) {
            std::printf("STATUS: Creation of socket failed - continuing...\n");
            continue;
        }
        if (::connect(sock.get(), a->ai_addr, a->ai_addrlen) != 0) {
            sock.reset();
            std::printf("STATUS: Connecting to server failed - continuing...\n");
            continue;
        }
        return sock.release();
    }
    std::printf("ERROR: Failed to connect.\n");
    return -1;
}

void close_connection(int& serverSocket) {
    if (serverSocket >= 0) ::close(serverSocket);
    serverSocket = NOT_CONNECTED;
    // The session belonged to that login: the next one starts without.
    lastSession.clear();
}

void login(int& serverSocket, std::string_view clientID, std::string_view password) {
    const std::string request = proto::join_fields(proto::LOGIN, {clientID, password});
    if (secure_send(serverSocket, request) != 0) {
        close_connection(serverSocket);
        return;
    }
    std::fflush(stdout);  // the reply may take a while
    RecvBuffer reply{};
    if (secure_recv(serverSocket, reply, proto::BUFFER_SIZE) != 1) {
        close_connection(serverSocket);
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
        std::printf("CRITICAL ERROR: Receive protocol, '%s', not recognized.\n",
                    caret_notation(text).c_str());
    }
    close_connection(serverSocket);
}

void logout(int& serverSocket) {
    if (serverSocket == NOT_CONNECTED) return;
    if (secure_send(serverSocket, proto::LOGOUT) != 0) {
        std::printf("ERROR: Logout unsuccessful because sending was unsuccessful.\n");
        return;
    }
    close_connection(serverSocket);
    std::printf("STATUS: Successfully logged out from the server.\n");
}

void login_sequence(int& serverSocket, std::string_view clientID, std::string_view password,
                    std::string_view serverIP, std::string_view serverPort) {
    std::printf("STATUS: Connecting to the server...\n");
    serverSocket = connect_to_server(std::string(serverIP), std::string(serverPort));
    if (serverSocket == NOT_CONNECTED) return;
    std::printf("STATUS: Successfully connected to the server. Sending login info...\n");
    login(serverSocket, clientID, password);
    if (serverSocket != NOT_CONNECTED) std::printf("STATUS: Login successful!\n");
}
