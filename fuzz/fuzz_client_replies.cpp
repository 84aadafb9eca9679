// Fuzz target for the client's reply interpreter: the input is what the
// server sends, as it arrives on the connection (messages ended by NUL or
// LF, a final NUL added so the last one ends too). Each message framed
// apart must print something, with no control byte but TAB and LF; then
// receiver() takes the same bytes off a socket, must keep the connection
// and print, and once the server closes, one more call must drop it.
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "connection.hpp"
#include "fd.hpp"
#include "framer.hpp"
#include "receiver.hpp"

namespace {

[[noreturn]] void fail(const char* what, long a = 0) {
    std::fflush(stdout);
    std::fprintf(stderr, "reply interpreter: %s (%ld)\n", what, a);
    std::abort();
}

// Bytes written to standard output so far (buffered ones included).
long printed() {
    return std::ftell(stdout);
}

// The bytes printed since `from`, read back from the output file.
std::string printed_since(long from) {
    std::fflush(stdout);
    std::string out(static_cast<std::size_t>(printed() - from), '\0');
    if (::pread(fileno(stdout), out.data(), out.size(), from) != static_cast<ssize_t>(out.size())) {
        fail("pread failed");
    }
    return out;
}

void check_safe(const std::string& shown) {
    for (const char c : shown) {
        const auto b = static_cast<unsigned char>(c);
        if ((b < 0x20 && c != '\t' && c != '\n') || b == 0x7f) fail("control byte shown", b);
    }
}

int waiting(int sock) {
    int n = 0;
    if (::ioctl(sock, FIONREAD, &n) != 0) fail("FIONREAD failed");
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Standard output goes to an unlinked temporary file, so what each call
    // prints can be measured by the file position.
    char path[] = "/tmp/fuzz_client_replies.XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd < 0) std::abort();
    ::close(fd);
    if (std::freopen(path, "w+", stdout) == nullptr) std::abort();
    ::unlink(path);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size > 65536) return 0;
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) fail("socketpair failed");
    Fd server(sv[0]);
    ServerConnection serverSocket;
    serverSocket.open(Fd(sv[1]));

    std::string wire(reinterpret_cast<const char*>(data), size);
    wire.push_back('\0');

    Framer apart;
    for (std::string_view rest = wire; !rest.empty();) {
        const std::size_t n = std::min(rest.size(), apart.space_size());
        rest.copy(apart.space(), n);
        apart.commit(n);
        rest.remove_prefix(n);
        std::string_view message;
        Framer::Status status;
        while ((status = apart.next(message)) != Framer::Status::need_more) {
            if (status != Framer::Status::message) continue;
            const long before = printed();
            handle_reply(message);
            if (printed() <= before) fail("a message printed nothing");
            check_safe(printed_since(before));
        }
    }
    std::size_t off = 0;
    while (off < wire.size()) {
        const ssize_t n = ::send(server.get(), wire.data() + off, wire.size() - off, MSG_NOSIGNAL);
        if (n <= 0) fail("send to the client failed");
        off += static_cast<std::size_t>(n);
    }

    // Each call takes at least one byte, so this many calls are enough.
    const long start = printed();
    for (std::size_t calls = 0; waiting(serverSocket.fd()) > 0; ++calls) {
        if (calls > wire.size()) fail("receiver takes nothing");
        receiver(serverSocket);
        if (!serverSocket.connected()) fail("connection dropped on a message", long(calls));
    }
    if (printed() <= start) fail("the messages printed nothing");

    server.reset();
    const long before = printed();
    receiver(serverSocket);
    if (serverSocket.connected()) fail("connection kept after the server closed");
    if (printed() <= before) fail("closing printed nothing");

    // Keep the output file small.
    if (printed() > (1L << 22)) {
        std::fflush(stdout);
        if (::ftruncate(fileno(stdout), 0) != 0) fail("ftruncate failed");
        std::rewind(stdout);
    }
    return 0;
}
