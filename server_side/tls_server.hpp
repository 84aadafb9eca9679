// The server's TLS identity: the context new TLS connections are made from,
// loaded from a certificate chain and its key, and loaded again on reload.
#pragma once

#include <string>

#include "tls.hpp"

// Loads the chain (leaf first) and its key into a new server context,
// checking that they match. On failure returns null and says why in `why`.
SslCtxPtr load_server_context(const std::string& chain, const std::string& key, std::string& why);

// The fingerprint of the public key of the context's certificate.
std::string context_fingerprint(SSL_CTX* ctx);
