// The client's one connection to the server: an object that owns the socket
// and the bytes received on it, and knows whether the client is connected
// (logged in), waiting for the answer to its login, not connected, or asked
// to quit. Opening it, the login exchange, the logout request and the login
// sequence the /login command runs are procedures on it.
#pragma once

#include <string>
#include <string_view>

#include "fd.hpp"
#include "framer.hpp"

class ServerConnection {
public:
    enum class State { not_connected, logging_in, connected, quit_requested };

    State state() const { return state_; }
    bool connected() const { return state_ == State::connected; }
    bool logging_in() const { return state_ == State::logging_in; }
    // True while there is a socket: logging in or connected.
    bool has_socket() const { return sock_.valid(); }
    int fd() const { return sock_.get(); }
    // Server bytes not yet printed; a new connection starts with none.
    Framer& incoming() { return incoming_; }

    // Takes over `sock`, a socket connected to the server.
    void open(Fd sock);
    // The login request has gone out: its reply is awaited.
    void await_login() { state_ = State::logging_in; }
    // The server has accepted the login.
    void logged_in() { state_ = State::connected; }
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

// Sends the login request; the connection then waits for the reply, which
// take_login_reply reads. When sending fails the connection is closed.
void login(ServerConnection& serverSocket, std::string_view clientID, std::string_view password);

// Takes what has arrived of the login reply, never a byte past it (what
// follows is the receiver's). Once the reply is whole it is carried out:
// the client is connected, or the refusal is printed and the connection
// closed; so is a connection that ends first. Returns false while the
// reply is incomplete.
bool take_login_reply(ServerConnection& serverSocket);

// Gives up a login the server has not answered: says so and closes.
void abandon_login(ServerConnection& serverSocket);

// Sends the logout request and closes the connection; keeps both as they
// are when the request cannot be sent. Does nothing without a connection.
void logout(ServerConnection& serverSocket);

// Connects and sends the login request, printing the progress; serverSocket
// then waits for the reply, or is not connected when that failed.
void login_sequence(ServerConnection& serverSocket, std::string_view clientID,
                    std::string_view password, std::string_view serverIP,
                    std::string_view serverPort);
