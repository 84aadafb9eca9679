#include "tls_server.hpp"

#include <openssl/err.h>
#include <openssl/x509.h>

#include <array>

namespace {

// Sessions resumed by id belong to this application only.
constexpr std::array<unsigned char, 10> SESSION_CONTEXT{'c', 'o', 'n', 'f', 'e',
                                                        'r', 'e', 'n', 'c', 'e'};

}  // namespace

SslCtxPtr load_server_context(const std::string& chain, const std::string& key, std::string& why) {
    SslCtxPtr ctx = tls_context(true);
    if (!ctx) {
        why = "no TLS context: " + tls_error();
        return nullptr;
    }
    if (SSL_CTX_use_certificate_chain_file(ctx.get(), chain.c_str()) != 1) {
        why = "cannot load the certificate chain " + chain + ": " + tls_error();
        return nullptr;
    }
    ERR_clear_error();
    if (SSL_CTX_use_PrivateKey_file(ctx.get(), key.c_str(), SSL_FILETYPE_PEM) != 1 &&
        ERR_GET_REASON(ERR_peek_error()) != X509_R_KEY_VALUES_MISMATCH) {
        why = "cannot load the key " + key + ": " + tls_error();
        return nullptr;
    }
    // Loading may have found the mismatch already; this says it plainly.
    if (ERR_peek_error() != 0 || SSL_CTX_check_private_key(ctx.get()) != 1) {
        why = "the key " + key + " does not match the certificate in " + chain;
        tls_error();
        return nullptr;
    }
    SSL_CTX_set_session_id_context(ctx.get(), SESSION_CONTEXT.data(), SESSION_CONTEXT.size());
    return ctx;
}

std::string context_fingerprint(SSL_CTX* ctx) {
    return key_fingerprint(SSL_CTX_get0_certificate(ctx));
}
