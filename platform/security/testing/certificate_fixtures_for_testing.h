// Test helper: certificates made at test time with the `openssl` command in a scratch folder: a
// CA, a "localhost" leaf it signs (for the server name "localhost") and a self-signed
// "localhost" leaf, each as PEM and DER. Every certificate is valid from its making for 30 days
// (madeAt() is the wall time just before; tests under a mock clock set it from there).
// Test-only; not thread-safe.
#pragma once

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/core/value.h"
#include "platform/foundation/testing/scratch_dir_for_testing.h"

namespace platform {

class CertificateFixturesForTesting {
 public:
  // The subjects as `openssl x509 -noout -subject` prints them.
  static constexpr const char* kCASubject = "subject=CN = Lumora Test CA";
  static constexpr const char* kLeafSubject = "subject=O = Lumora Test Leaf, CN = localhost";
  static constexpr const char* kSelfSignedSubject =
      "subject=O = Lumora Self-Signed, CN = localhost";

  CertificateFixturesForTesting() : madeAt_(static_cast<double>(std::time(nullptr))) {
    const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    std::ofstream(dir_ / "leaf.ext") << "basicConstraints=CA:FALSE\n"
                                        "keyUsage=critical,digitalSignature\n"
                                        "extendedKeyUsage=serverAuth\n"
                                        "subjectAltName=DNS:localhost\n";
    ok_ =
        run("req -x509" + ec + " -days 30 -keyout " + path("ca.key") + " -out " + path("ca.pem") +
            " -subj '/CN=Lumora Test CA'" + " -addext 'basicConstraints=critical,CA:TRUE'" +
            " -addext 'keyUsage=critical,keyCertSign,cRLSign'") &&
        run("req" + ec + " -keyout " + path("leaf.key") + " -out " + path("leaf.csr") +
            " -subj '/O=Lumora Test Leaf/CN=localhost'") &&
        run("x509 -req -days 30 -in " + path("leaf.csr") + " -CA " + path("ca.pem") + " -CAkey " +
            path("ca.key") + " -CAcreateserial -CAserial " + path("ca.srl") + " -extfile " +
            path("leaf.ext") + " -out " + path("leaf.pem")) &&
        run("req -x509" + ec + " -days 30 -keyout " + path("self.key") + " -out " +
            path("self.pem") + " -subj '/O=Lumora Self-Signed/CN=localhost'" +
            " -addext 'subjectAltName=DNS:localhost'" + " -addext 'extendedKeyUsage=serverAuth'") &&
        run("x509 -in " + path("ca.pem") + " -outform DER -out " + path("ca.der")) &&
        run("x509 -in " + path("leaf.pem") + " -outform DER -out " + path("leaf.der")) &&
        run("x509 -in " + path("self.pem") + " -outform DER -out " + path("self.der"));
  }

  // False when a command failed; failure() names it.
  bool ok() const { return ok_; }
  const std::string& failure() const { return failure_; }
  double madeAt() const { return madeAt_; }

  // "ca", "leaf" or "self", with ".pem" or ".der".
  std::string path(const std::string& name) const { return dir_ / name; }
  Bytes bytes(const std::string& name) const {
    std::ifstream in(path(name), std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  // What `openssl x509 -inform DER -noout -subject` prints for `der` ("" when it fails).
  std::string subjectOf(const Bytes& der) const {
    const std::string file = path("probe.der");
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(der.data()), static_cast<std::streamsize>(der.size()));
    const std::string out = path("probe.txt");
    if (std::system(
            ("openssl x509 -inform DER -noout -subject -in " + file + " > " + out + " 2>/dev/null")
                .c_str()) != 0)
      return "";
    std::ifstream in(out);
    std::string line;
    std::getline(in, line);
    return line;
  }

 private:
  bool run(const std::string& arguments) {
    const std::string command = "openssl " + arguments + " > " + path("openssl.log") + " 2>&1";
    if (std::system(command.c_str()) == 0) return true;
    std::ifstream log(path("openssl.log"));
    failure_ = command + ": " +
               std::string(std::istreambuf_iterator<char>(log), std::istreambuf_iterator<char>());
    return false;
  }

  ScratchDirForTesting dir_;
  double madeAt_;
  bool ok_ = false;
  std::string failure_;
};

}  // namespace platform
