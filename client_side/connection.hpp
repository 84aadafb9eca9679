// The client's one connection to the server: an object that owns the socket
// and the bytes received on it, and knows whether the client is connected,
// not connected, or asked to quit. Opening it, the synchronous login
// exchange, the logout request and the login sequence the /login command
// runs are procedures on it.
#pragma once

#include <string>
#include <string_view>

#include "fd.hpp"
#include "framer.hpp"

class ServerConnection {
public:
    enum class State { not_connected, connected, quit_requested };

    State state() const { return state_; }
    bool connected() const { return state_ == State::connected; }
    int fd() const { return sock_.get(); }
    // Server bytes not yet printed; a new connection starts with none.
    Framer& incoming() { return incoming_; }

    // Takes over `sock`, a socket connected to the server.
    void open(Fd sock);
    // Closes the socket, if any: the client is not connected and has no
    // current session (it belonged to that login).
    void close();
    // Closes, and ends the client's loop.
    void quit();

private:
    Fd sock_;
    State state_ = State::not_connected;
    Framer incoming_;
};

// Resolves the address and port and connects to the first address that
// accepts. Returns the connected socket, or an invalid Fd.
Fd connect_to_server(const std::string& serverIP, const std::string& serverPort);

// Sends the login request and reads exactly one reply. On any failure the
// connection is closed.
void login(ServerConnection& serverSocket, std::string_view clientID, std::string_view password);

// Sends the logout request and closes the connection; keeps both as they
// are when the request cannot be sent. Does nothing when not connected.
void logout(ServerConnection& serverSocket);

// Connects and logs in, printing the progress; serverSocket is connected on
// success and not connected otherwise.
void login_sequence(ServerConnection& serverSocket, std::string_view clientID,
                    std::string_view password, std::string_view serverIP,
                    std::string_view serverPort);
