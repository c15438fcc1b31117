// tolvane-slave refused its objects on Linux: what it tells the user, who must act on it (free
// /dev/shm, remove another user's object), and that it leaves nothing behind.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "link/object_names.h"
#include "link/slave_block.h"
#include "tests/link/small_dev_shm_posix.h"
#include "tests/support/child_program.h"

namespace {

std::int32_t uniqueSlaveNumber(int which) { return 4000000 + (testProcessId() % 100000) * 10 + which; }

std::string objectPath(LinkObject object, std::int32_t number) {
    char name[kObjectNameSize];
    formatObjectName(name, object, number);
    return std::string("/dev/shm/") + name;
}

std::string readFile(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// A container's /dev/shm with room left for less than a block: the slave ends with 1 and says
// how much it needs, for which object and how much is free, instead of dying of SIGBUS.
TEST(SlaveRefusal, FullDevShmIsNamedWithTheBytesNeeded) {
    const std::int32_t n = uniqueSlaveNumber(0);
    char outputPath[] = "/tmp/tolvane-slave-refusal-XXXXXX";
    const int output = mkstemp(outputPath);
    ASSERT_GE(output, 0);
    const SmallShmRun run = runWithSmallDevShm(8, [&] {
        // Another program's 4 MB leave about 4 MB free: enough for the events, not the block.
        const int filler = shm_open("/filler", O_RDWR | O_CREAT | O_EXCL, 0600);
        if (filler < 0 || fallocate(filler, 0, 0, 4 << 20) != 0) return 98;
        alarm(30);  // a slave that serves after all is ended (and fails the test)
        dup2(output, 1);
        dup2(output, 2);
        const std::string number = std::to_string(n);
        execl(TOLVANE_SLAVE_EXE, TOLVANE_SLAVE_EXE, "--slave", number.c_str(), static_cast<char*>(nullptr));
        return 97;
    });
    close(output);
    const std::string printed = readFile(outputPath);
    unlink(outputPath);
    if (run.skipped) GTEST_SKIP() << "no private /dev/shm here (making a mount namespace needs CAP_SYS_ADMIN)";
    ASSERT_TRUE(run.exited) << "killed by signal " << run.signal << ": " << printed;
    EXPECT_EQ(run.code, 1) << printed;
    EXPECT_NE(printed.find("cannot reserve " + std::to_string(kSlaveBlockSize) + " bytes for " +
                           objectPath(LinkObject::Mapping, n) + ": /dev/shm is full ("),
              std::string::npos)
        << printed;
    EXPECT_NE(printed.find(" bytes free)"), std::string::npos) << printed;
}

// Objects planted under the slave's names by someone else: the slave serves none of them and
// names the object and its owner (or that others may open it), and removes nothing of theirs.
TEST(SlaveRefusal, ObjectOfAnotherUserIsNamedWithItsOwner) {
    struct Planted {
        LinkObject object;
        mode_t mode;
        uid_t owner;
        const char* said;
    };
    std::vector<Planted> plantings = {{LinkObject::SlaveLock, 0666, geteuid(), "other users may open it (mode 0666)"}};
    if (geteuid() == 0) {
        plantings.push_back({LinkObject::SlaveEvent, 0600, 65534, "it belongs to "});
        plantings.push_back({LinkObject::Mapping, 0600, 65534, "(uid 65534), not to you"});
    }
    int which = 1;
    for (const Planted& planted : plantings) {
        const std::int32_t n = uniqueSlaveNumber(which++);
        const std::string path = objectPath(planted.object, n);
        SCOPED_TRACE(path);
        const int fd = shm_open(path.c_str() + 8, O_RDWR | O_CREAT | O_EXCL, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(fchmod(fd, planted.mode), 0);
        ASSERT_EQ(fchown(fd, planted.owner, static_cast<gid_t>(-1)), 0);
        close(fd);

        for (const char* mode : {"--slave", "--supervise"}) {
            CChildProgram slave;
            std::vector<std::string> args = {"--slave", std::to_string(n)};
            if (std::string(mode) == "--supervise") args.push_back(mode);
            ASSERT_TRUE(slave.start(TOLVANE_SLAVE_EXE, args));
            int code = -1;
            ASSERT_TRUE(slave.waitExit(20000, code));
            EXPECT_EQ(code, 1) << slave.output();
            EXPECT_NE(slave.output().find("refusing " + path + ": "), std::string::npos) << slave.output();
            EXPECT_NE(slave.output().find(planted.said), std::string::npos) << slave.output();
        }
        struct stat status;
        EXPECT_EQ(stat(path.c_str(), &status), 0) << "the planted object was removed";
        shm_unlink(path.c_str() + 8);
        EXPECT_FALSE(linkObjectsExist(n));
    }
}

}  // namespace
