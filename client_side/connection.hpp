// The client's one connection to the server: an object that owns the
// transport (the socket and, over TLS, its session) and the bytes received
// on it, and knows whether the client is connected (logged in), waiting for
// the answer to its login, not connected, or asked to quit. Opening it, the
// login exchange, the logout request and the login sequence the /login
// command runs are procedures on it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "fd.hpp"
#include "framer.hpp"
#include "tls.hpp"

class LineReader;

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

    // Takes over `sock`, a socket connected to the server, and `ssl`, the
    // TLS session over it (none: plain TCP).
    void open(Fd sock, SslPtr ssl = nullptr);

    // Sends `text` and its NUL as secure_send does, with its results (0 sent,
    // -1 failed, -2 too long) and its lines.
    int send_message(std::string_view text);

    // What receive() and peek() return besides a count of bytes.
    static constexpr long CLOSED = 0;
    static constexpr long FAILED = -1;
    static constexpr long NOTHING_YET = -2;
    // Takes up to `n` bytes that have arrived, without waiting.
    long receive(char* buf, std::size_t n);
    // Looks at up to `n` bytes that have arrived, without taking them.
    long peek(char* buf, std::size_t n);
    // True when TLS holds bytes from the server that select() cannot see:
    // decrypted, or records the library has read but not yet opened.
    bool buffered() const;

    // The keyboard that answers whether to trust a server whose key is not
    // known; none (the default) when the input is a script.
    void ask_with(LineReader* keyboard) { keyboard_ = keyboard; }
    LineReader* keyboard() const { return keyboard_; }

    // The login request has gone out: its reply is awaited.
    void await_login() { state_ = State::logging_in; }
    // The server has accepted the login.
    void logged_in() { state_ = State::connected; }
    // Closes the connection, if any, with close_notify over TLS unless a
    // call failed: the client is not connected and has no current session
    // (it belonged to that login).
    void close();
    // Closes, and ends the client's loop.
    void quit();

private:
    long take(char* buf, std::size_t n, bool keep);

    Fd sock_;
    SslPtr ssl_;            // freed before the socket closes
    bool failed_ = false;   // a TLS call failed: no close_notify
    bool starved_ = false;  // the last TLS read needs more from the socket
    State state_ = State::not_connected;
    Framer incoming_;
    LineReader* keyboard_ = nullptr;
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

// Connects (with `tls`, starts TLS and trusts the server first) and sends
// the login request, printing the progress; serverSocket then waits for
// the reply, or is not connected when that failed.
void login_sequence(ServerConnection& serverSocket, std::string_view clientID,
                    std::string_view password, std::string_view serverIP,
                    std::string_view serverPort, bool tls = false);
