#include "tests/peers/KerberosRealm.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "tests/support/Subprocess.h"

namespace corvantis::test {

namespace {

void writeFile(const std::filesystem::path& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

} // namespace

KerberosRealm::KerberosRealm(const std::string& serviceHost)
    : m_servicePrincipal("HTTP/" + serviceHost + "@" + kRealm)
{
    const std::string d = m_dir.str();
    const std::string realm = kRealm;
    // The KDC's own configuration; ports are filled in when the KDC starts.
    auto kdcConf = [&](uint16_t port) {
        return "[kdcdefaults]\n kdc_listen = 127.0.0.1:" + std::to_string(port)
            + "\n kdc_tcp_listen = 127.0.0.1:" + std::to_string(port) + "\n[realms]\n " + realm
            + " = {\n  database_name = " + d + "/principal\n  key_stash_file = " + d + "/stash\n  acl_file = " + d
            + "/kadm5.acl\n  max_life = 1h\n  supported_enctypes = aes256-cts-hmac-sha1-96:normal\n }\n"
              "[logging]\n kdc = FILE:"
            + d + "/kdc.log\n";
    };
    auto krb5Conf = [&](uint16_t port) {
        return "[libdefaults]\n default_realm = " + realm
            + "\n dns_lookup_kdc = false\n dns_lookup_realm = false\n dns_canonicalize_hostname = false\n"
              " rdns = false\n udp_preference_limit = 1\n ignore_acceptor_hostname = true\n"
              "[realms]\n "
            + realm + " = {\n  kdc = 127.0.0.1:" + std::to_string(port) + "\n }\n[domain_realm]\n localhost = " + realm
            + "\n";
    };
    writeFile(m_dir / "kdc.conf", kdcConf(0));
    writeFile(m_dir / "krb5.conf", krb5Conf(0));
    writeFile(m_dir / "kadm5.acl", "");
    run({ "kdb5_util", "create", "-s", "-r", realm, "-P", "corvantis-master" });
    run({ "kadmin.local", "-r", realm, "-q", "addprinc -randkey " + m_servicePrincipal });
    run({ "kadmin.local", "-r", realm, "-q", "ktadd -k " + keytab() + " " + m_servicePrincipal });
    // The proxy's authentication helper runs as an unprivileged user and must read the keytab.
    std::filesystem::permissions(m_dir.path(), std::filesystem::perms(0755));
    std::filesystem::permissions(keytab(), std::filesystem::perms(0644));

    m_kdc = PeerProcess::start([&](uint16_t port, const std::filesystem::path&) {
        writeFile(m_dir / "kdc.conf", kdcConf(port));
        writeFile(m_dir / "krb5.conf", krb5Conf(port));
        PeerCommand spec;
        spec.name = "krb5kdc";
        spec.env = env();
        spec.argv = { "/usr/sbin/krb5kdc", "-n", "-r", realm, "-P", d + "/kdc.pid" };
        return spec;
    });
}

KerberosRealm::~KerberosRealm()
{
    if (m_kdc)
        m_kdc->stop();
}

std::vector<std::pair<std::string, std::string>> KerberosRealm::env() const
{
    return {
        { "KRB5_CONFIG", (m_dir / "krb5.conf").string() },
        { "KRB5_KDC_PROFILE", (m_dir / "kdc.conf").string() },
        { "KRB5CCNAME", "FILE:" + (m_dir / "ccache").string() },
        { "KRB5_KTNAME", "FILE:" + keytab() },
        { "KRB5RCACHETYPE", "none" },
    };
}

void KerberosRealm::useInThisProcess() const
{
    for (const auto& [key, value] : env())
        setenv(key.c_str(), value.c_str(), 1);
}

std::string KerberosRealm::run(const std::vector<std::string>& argv, const std::string& input) const
{
    const CommandResult result = runCommand(argv, input, env());
    if (result.exitCode != 0)
        throw std::runtime_error(argv[0] + " failed: " + result.out + result.err);
    return result.out;
}

void KerberosRealm::addUser(const std::string& name, const std::string& password)
{
    run({ "kadmin.local", "-r", kRealm, "-q", "addprinc -pw " + password + " " + name });
}

void KerberosRealm::kinit(const std::string& name, const std::string& password)
{
    run({ "kinit", name + "@" + kRealm }, password + "\n");
}

void KerberosRealm::kdestroy()
{
    runCommand({ "kdestroy" }, {}, env());
}

} // namespace corvantis::test
