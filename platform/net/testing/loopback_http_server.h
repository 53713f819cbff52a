// Test helper: an HTTP server on 127.0.0.1 (a free port) that runs on its own thread for the life
// of the object, and a self-signed certificate for it. Only test binaries include this.
#pragma once

#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

namespace platform::testing {

class LoopbackHTTPServer {
 public:
  LoopbackHTTPServer() : server_(std::make_unique<httplib::Server>()) {}
  explicit LoopbackHTTPServer(std::unique_ptr<httplib::Server> server)
      : server_(std::move(server)) {}
  ~LoopbackHTTPServer() { stop(); }

  httplib::Server& server() { return *server_; }

  // Binds 127.0.0.1 on a free port and starts serving; returns false when that fails.
  bool start() {
    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0) return false;
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    // Bounded wait for the listener thread to come up.
    for (int i = 0; i < 5000 && !server_->is_running(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return server_->is_running();
  }
  void stop() {
    if (thread_.joinable()) {
      server_->stop();
      thread_.join();
    }
  }
  int port() const { return port_; }
  std::string url(const std::string& path, const std::string& scheme = "http") const {
    return scheme + "://127.0.0.1:" + std::to_string(port_) + path;
  }

 private:
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;
};

// Writes a fresh self-signed certificate for 127.0.0.1 (usable as its own trust anchor) and its
// key as PEM files; returns false when OpenSSL refuses.
inline bool writeSelfSignedCertificate(const std::string& certPath, const std::string& keyPath) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  bool ok = key && cert;
  if (ok) {
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
    for (auto [nid, value] : {std::pair{NID_subject_alt_name, "IP:127.0.0.1"},
                              std::pair{NID_basic_constraints, "critical,CA:TRUE"}}) {
      X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
      ok = ok && ext && X509_add_ext(cert, ext, -1) == 1;
      if (ext) X509_EXTENSION_free(ext);
    }
    ok = ok && X509_sign(cert, key, EVP_sha256()) > 0;
  }
  if (ok) {
    FILE* certFile = std::fopen(certPath.c_str(), "w");
    FILE* keyFile = std::fopen(keyPath.c_str(), "w");
    ok = certFile && keyFile && PEM_write_X509(certFile, cert) == 1 &&
         PEM_write_PrivateKey(keyFile, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    if (certFile) std::fclose(certFile);
    if (keyFile) std::fclose(keyFile);
  }
  X509_free(cert);
  EVP_PKEY_free(key);
  return ok;
}

}  // namespace platform::testing
