// The servers whose keys the user has accepted, as ssh keeps known hosts:
// one line "HOST PORT FINGERPRINT" per server in
// $XDG_CONFIG_HOME/conference/known_servers (~/.config/conference/ when
// XDG_CONFIG_HOME is not set). Lines starting with # and blank lines are
// ignored.
#pragma once

#include <string>
#include <string_view>

// The file's path; empty when the user has no home directory.
std::string known_servers_path();

// What the file says about a server and a key.
struct KnownServer {
    enum Status { unknown, same_key, changed_key };
    Status status = unknown;
    int line = 0;  // the line of the entry found, counted from 1
};

// Looks `host` and `port` up in the file at `path`; a missing file knows
// no server. Any of the server's lines with `fingerprint` accepts it.
KnownServer find_known_server(const std::string& path, std::string_view host, std::string_view port,
                              std::string_view fingerprint);

// The file's line for a server and its key.
std::string known_server_line(std::string_view host, std::string_view port,
                              std::string_view fingerprint);

// Appends `line` to the file, creating its directories (mode 0700) and the
// file itself (0600) when missing. Returns 0, or the errno of the failure.
int remember_server(const std::string& path, std::string_view line);
