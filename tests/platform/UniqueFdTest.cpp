#include "platform/UniqueFd.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace corvantis {
namespace {

bool isOpen(int fd)
{
    return fcntl(fd, F_GETFD) != -1;
}

TEST(UniqueFdTest, ClosesOnceAndMovesOwnership)
{
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    {
        UniqueFd a(fds[0]);
        UniqueFd b(std::move(a));
        EXPECT_FALSE(a.valid());
        EXPECT_EQ(b.get(), fds[0]);
        UniqueFd c;
        c = std::move(b);
        EXPECT_TRUE(isOpen(fds[0]));
    }
    EXPECT_FALSE(isOpen(fds[0]));

    UniqueFd w(fds[1]);
    int raw = w.release();
    EXPECT_FALSE(w.valid());
    EXPECT_TRUE(isOpen(raw));
    close(raw);
}

} // namespace
} // namespace corvantis
