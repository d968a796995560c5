#include "tests/support/TempDir.h"

#include <cstdlib>
#include <stdexcept>
#include <system_error>

namespace corvantis::test {

TempDir::TempDir()
{
    std::string templ = (std::filesystem::temp_directory_path() / "corvantis-test-XXXXXX").string();
    if (!mkdtemp(templ.data()))
        throw std::runtime_error("mkdtemp failed");
    m_path = templ;
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

} // namespace corvantis::test
