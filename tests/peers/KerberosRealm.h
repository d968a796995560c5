#pragma once

#include <string>
#include <utility>
#include <vector>

#include "tests/peers/HttpProxyPeers.h"
#include "tests/peers/PeerProcess.h"
#include "tests/support/TempDir.h"

namespace corvantis::test {

// A throw-away Kerberos realm for Negotiate tests: configuration, database, service keytab and credential
// cache in a temporary folder, and a KDC (krb5kdc) on a free loopback port, stopped by its process id with the
// object. Host names are not canonicalised, so "localhost" names the service host as written. The realm's
// environment (KRB5_CONFIG, KRB5CCNAME, KRB5_KTNAME) is given by env(); the test process installs it with
// useInThisProcess() before its first GSS-API call. Used from one thread.
class KerberosRealm final {
public:
    static constexpr const char* kRealm = "CORVANTIS.TEST";

    // Creates the realm with the service principal "HTTP/<serviceHost>" in the keytab.
    explicit KerberosRealm(const std::string& serviceHost = "localhost");
    ~KerberosRealm();
    KerberosRealm(const KerberosRealm&) = delete;
    KerberosRealm& operator=(const KerberosRealm&) = delete;

    void addUser(const std::string& name, const std::string& password);
    // Gets a ticket-granting ticket for `name` into the realm's credential cache (throws on failure).
    void kinit(const std::string& name, const std::string& password);
    // Empties the credential cache.
    void kdestroy();

    std::vector<std::pair<std::string, std::string>> env() const;
    // setenv of every variable of env() (and restores nothing: the realm's folder outlives the test process's
    // use of it only while the object lives).
    void useInThisProcess() const;

    // squid's options for Negotiate against this realm's service (its keytab, principal and environment).
    SquidOptions squidNegotiate() const
    {
        SquidOptions options;
        options.auth = SquidOptions::Auth::Negotiate;
        options.keytab = keytab();
        options.servicePrincipal = servicePrincipal();
        options.env = env();
        return options;
    }
    std::string keytab() const { return (m_dir / "service.keytab").string(); }
    std::string servicePrincipal() const { return m_servicePrincipal; }
    uint16_t kdcPort() const { return m_kdc->port(); }

private:
    std::string run(const std::vector<std::string>& argv, const std::string& input = {}) const;

    TempDir m_dir;
    std::string m_servicePrincipal;
    PeerProcessPtr m_kdc;
};

} // namespace corvantis::test
