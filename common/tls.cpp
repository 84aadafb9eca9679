#include "tls.hpp"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <array>
#include <cerrno>
#include <vector>

std::string key_fingerprint(X509* cert) {
    const int len = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(cert), nullptr);
    if (len <= 0) return {};
    std::vector<unsigned char> der(static_cast<std::size_t>(len));
    unsigned char* p = der.data();
    i2d_X509_PUBKEY(X509_get_X509_PUBKEY(cert), &p);
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int size = 0;
    if (EVP_Digest(der.data(), der.size(), digest.data(), &size, EVP_sha256(), nullptr) != 1)
        return {};
    std::array<unsigned char, 4 * EVP_MAX_MD_SIZE / 3 + 4> text{};
    const int n = EVP_EncodeBlock(text.data(), digest.data(), static_cast<int>(size));
    std::string b64(reinterpret_cast<const char*>(text.data()), static_cast<std::size_t>(n));
    while (!b64.empty() && b64.back() == '=') b64.pop_back();
    return "SHA256:" + b64;
}

namespace {

TlsIo verdict(SSL* ssl, int ret) {
    switch (SSL_get_error(ssl, ret)) {
        case SSL_ERROR_WANT_READ:
            return TlsIo::want_read;
        case SSL_ERROR_WANT_WRITE:
            return TlsIo::want_write;
        case SSL_ERROR_ZERO_RETURN:
            return TlsIo::closed;
        case SSL_ERROR_SYSCALL:
            // A signal is no failure: the call is simply made again.
            if (errno == EINTR) return TlsIo::want_read;
            return TlsIo::failed;
        default:
            return TlsIo::failed;
    }
}

TlsResult transfer(SSL* ssl, int (*call)(SSL*, void*, std::size_t, std::size_t*), void* buf,
                   std::size_t n) {
    ERR_clear_error();
    errno = 0;
    std::size_t moved = 0;
    const int ret = call(ssl, buf, n, &moved);
    if (ret == 1) return {TlsIo::done, moved};
    return {verdict(ssl, ret)};
}

int write_ex(SSL* ssl, void* buf, std::size_t n, std::size_t* moved) {
    return SSL_write_ex(ssl, buf, n, moved);
}

}  // namespace

TlsIo tls_handshake(SSL* ssl, bool server) {
    ERR_clear_error();
    errno = 0;
    const int ret = server ? SSL_accept(ssl) : SSL_connect(ssl);
    return ret == 1 ? TlsIo::done : verdict(ssl, ret);
}

TlsResult tls_read(SSL* ssl, char* buf, std::size_t n) {
    return transfer(ssl, SSL_read_ex, buf, n);
}

TlsResult tls_peek(SSL* ssl, char* buf, std::size_t n) {
    return transfer(ssl, SSL_peek_ex, buf, n);
}

TlsResult tls_write(SSL* ssl, const char* buf, std::size_t n) {
    // SSL_write_ex only reads the buffer.
    return transfer(ssl, write_ex, const_cast<char*>(buf), n);
}

void tls_close(SSL* ssl, bool failed) {
    if (failed) return;
    ERR_clear_error();
    SSL_shutdown(ssl);
    ERR_clear_error();
}

std::string tls_error() {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return {};
    std::array<char, 256> text{};
    ERR_error_string_n(code, text.data(), text.size());
    return text.data();
}

SslCtxPtr tls_context(bool server) {
    SslCtxPtr ctx(SSL_CTX_new(server ? TLS_server_method() : TLS_client_method()));
    if (!ctx) return ctx;
    SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
    SSL_CTX_set_options(
        ctx.get(), SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION | SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_mode(ctx.get(),
                     SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    return ctx;
}
