// TLS pieces both programs share: OpenSSL's objects owned by unique_ptr,
// the fingerprint of a certificate's public key, and single non-blocking
// TLS calls reduced to what the caller does next.
#pragma once

#include <openssl/ssl.h>

#include <cstddef>
#include <memory>
#include <string>

struct SslCtxFree {
    void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
struct SslFree {
    void operator()(SSL* ssl) const { SSL_free(ssl); }
};
struct X509Free {
    void operator()(X509* cert) const { X509_free(cert); }
};
using SslCtxPtr = std::unique_ptr<SSL_CTX, SslCtxFree>;
using SslPtr = std::unique_ptr<SSL, SslFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;

// "SHA256:" and the unpadded base64 of the SHA-256 digest of the key's
// SubjectPublicKeyInfo, as ssh shows keys. Empty when it cannot be made.
std::string key_fingerprint(X509* cert);

// What a TLS call came to. `done` carries a byte count for reads and writes.
enum class TlsIo { done, want_read, want_write, closed, failed };

struct TlsResult {
    TlsIo io;
    std::size_t bytes = 0;
};

// Each call clears the thread's error queue first, so the verdict is this
// call's own. A peer that ends the stream without close_notify reads as
// `closed`, like a plain end of stream.
TlsIo tls_handshake(SSL* ssl, bool server);
TlsResult tls_read(SSL* ssl, char* buf, std::size_t n);
TlsResult tls_peek(SSL* ssl, char* buf, std::size_t n);
TlsResult tls_write(SSL* ssl, const char* buf, std::size_t n);

// Sends close_notify without waiting for the peer's; never after a failure.
void tls_close(SSL* ssl, bool failed);

// The oldest entry of the error queue as text ("" when there is none), and
// the queue cleared.
std::string tls_error();

// A context with the settings both sides use: TLS 1.2 at least, no
// compression, no renegotiation, partial and moving writes, and an end of
// stream without close_notify taken as an end of stream.
SslCtxPtr tls_context(bool server);
