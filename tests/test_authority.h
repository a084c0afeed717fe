// Certificates made at test time with the openssl command, for TLS servers
// on loopback: two authorities and server certificates of the first.
//
// In `dir`: "ca.pem" (Test CA) and "other-ca.pem" (Other CA) with their keys,
// and, signed by Test CA with one key ("leaf-key.pem"): "good.pem" for
// localhost, 127.0.0.1 and ::1; "expired.pem", the same but expired a day
// ago; "wrong-host.pem", valid but naming only updates.example. Returns
// false when the openssl command failed.
#ifndef UPDATER_TESTS_TEST_AUTHORITY_H_
#define UPDATER_TESTS_TEST_AUTHORITY_H_

#include <cstdlib>
#include <string>

inline bool MakeTestAuthority(const std::string& dir) {
  const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes ";
  const std::string ca = "openssl req -x509" + ec + "-days 2 " +
                         "-addext basicConstraints=critical,CA:TRUE " +
                         "-addext keyUsage=critical,keyCertSign ";
  const std::string sign = "openssl x509 -req -in leaf.csr -CA ca.pem -CAkey ca-key.pem " +
                           std::string("-CAcreateserial -days 2 ");
  const std::string script =
      "cd '" + dir + "' && exec >/dev/null 2>&1 && " + ca +
      "-subj '/CN=Test CA' -keyout ca-key.pem -out ca.pem && " + ca +
      "-subj '/CN=Other CA' -keyout other-key.pem -out other-ca.pem && " + "openssl req" + ec +
      "-subj /CN=localhost -keyout leaf-key.pem -out leaf.csr && " +
      "printf 'basicConstraints=CA:FALSE\\nsubjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1\\n'"
      " >leaf.ext && " +
      "printf 'basicConstraints=CA:FALSE\\nsubjectAltName=DNS:updates.example\\n' >other.ext && " +
      sign + "-extfile leaf.ext -out good.pem && " + sign +
      "-extfile other.ext -out wrong-host.pem && " +
      "openssl x509 -req -in leaf.csr -CA ca.pem -CAkey ca-key.pem -CAcreateserial -days -1 "
      "-extfile leaf.ext -out expired.pem";
  return system(script.c_str()) == 0;
}

#endif  // UPDATER_TESTS_TEST_AUTHORITY_H_
