// The client's one connection to the server: opening it, the synchronous
// login exchange, the logout request, and the login sequence the /login
// command runs. serverSocket holds the whole connection state: a socket
// over which the user is logged in, NOT_CONNECTED, or QUIT_REQUESTED.
#pragma once

#include <string>
#include <string_view>

inline constexpr int NOT_CONNECTED = -1;
inline constexpr int QUIT_REQUESTED = -2;

// Resolves the address and port and connects to the first address that
// accepts. Returns the connected socket, or -1.
int connect_to_server(const std::string& serverIP, const std::string& serverPort);

// Closes the connection, if any, marks the client not connected and
// forgets the current session.
void close_connection(int& serverSocket);

// Sends the login request and reads exactly one reply. On any failure the
// connection is closed and serverSocket is NOT_CONNECTED.
void login(int& serverSocket, std::string_view clientID, std::string_view password);

// Sends the logout request and closes the connection; keeps both as they
// are when the request cannot be sent. Does nothing when not connected.
void logout(int& serverSocket);

// Connects and logs in, printing the progress; serverSocket is the new
// connection on success and NOT_CONNECTED otherwise.
void login_sequence(int& serverSocket, std::string_view clientID, std::string_view password,
                    std::string_view serverIP, std::string_view serverPort);
