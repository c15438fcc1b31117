// The settings file on POSIX systems: where it lives, its format, what survives a write, and that
// no reader ever sees a torn file, even when a writer is killed half-way.
#include <dirent.h>
#include <ftw.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bridge/settings/settings_store.h"
#include "tests/bridge/test_settings_store.h"

// ---- the fixture: a temporary XDG_CONFIG_HOME for every test ----

void SettingsStoreTest::SetUp() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    hadXdg_ = xdg != nullptr;
    if (hadXdg_) savedXdg_ = xdg;
    char pattern[] = "/tmp/tolvane-settings-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    scratch_ = pattern;
    ASSERT_EQ(::setenv("XDG_CONFIG_HOME", scratch_.c_str(), 1), 0);
    keyPath_ = "Software\\Vantor\\Tolvane";
}

void SettingsStoreTest::TearDown() {
    if (hadXdg_) {
        ::setenv("XDG_CONFIG_HOME", savedXdg_.c_str(), 1);
    } else {
        ::unsetenv("XDG_CONFIG_HOME");
    }
    if (!scratch_.empty()) {
        ::chmod(scratch_.c_str(), 0700);
        ::nftw(scratch_.c_str(),
               [](const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }, 16,
               FTW_DEPTH | FTW_PHYS);
    }
}

bool SettingsStoreTest::storeExists() const {
    struct stat st{};
    return ::stat((scratch_ + "/Vantor/Tolvane.conf").c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

namespace {

constexpr std::int32_t kUntouched = 0x5A5A5A5A;

class SettingsFileTest : public SettingsStoreTest {
protected:
    std::string folder() const { return scratch_ + "/Vantor"; }
    std::string file() const { return folder() + "/Tolvane.conf"; }

    std::string fileText() const {
        std::ifstream in(file(), std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    void putFile(const std::string& text) const {
        ::mkdir(folder().c_str(), 0700);
        std::ofstream(file(), std::ios::binary | std::ios::trunc) << text;
    }
    std::vector<std::string> folderEntries() const { return entriesOf(folder()); }
    static std::vector<std::string> entriesOf(const std::string& path) {
        std::vector<std::string> names;
        if (DIR* dir = ::opendir(path.c_str())) {
            while (const dirent* entry = ::readdir(dir)) {
                const std::string name = entry->d_name;
                if (name != "." && name != "..") names.push_back(name);
            }
            ::closedir(dir);
        }
        return names;
    }
    // Opens the store, reads one name and closes it again.
    bool readOnce(const char* name, std::int32_t* out) const {
        SettingsKey* key = platformOpenSettings(keyPath());
        if (key == nullptr) return false;
        const bool ok = platformReadSetting(key, name, out);
        platformCloseSettings(key);
        return ok;
    }
    bool writeOnce(const char* name, std::int32_t value) const {
        SettingsKey* key = platformOpenSettings(keyPath());
        if (key == nullptr) return false;
        const bool ok = platformWriteSetting(key, name, value);
        platformCloseSettings(key);
        return ok;
    }
};

mode_t modeOf(const std::string& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

mode_t typeOf(const std::string& path) {
    struct stat st{};
    return ::lstat(path.c_str(), &st) == 0 ? (st.st_mode & S_IFMT) : 0;
}

// Creates a store by writing one value to it.
bool create(const char* keyPath) {
    SettingsKey* key = platformOpenSettings(keyPath);
    const bool written = key != nullptr && platformWriteSetting(key, "NumInputs", 2);
    return platformCloseSettings(key) && written;
}

// Runs `body` in a child process and answers its exit code, or -1 when it has not finished
// within 5 s (it is killed then): a bound that catches an open blocking for good.
int exitCodeWithin5s(const std::function<int()>& body) {
    const pid_t child = ::fork();
    if (child < 0) return -2;
    if (child == 0) ::_exit(body());
    int status = 0;
    for (int waited = 0; waited < 5000; waited += 10) {
        if (::waitpid(child, &status, WNOHANG) == child) return WIFEXITED(status) ? WEXITSTATUS(status) : -3;
        ::usleep(10 * 1000);
    }
    ::kill(child, SIGKILL);
    ::waitpid(child, &status, 0);
    return -1;
}

// ---- location ----

TEST_F(SettingsFileTest, ReadingCreatesNothingAndTheFirstWriteCreatesAPrivateFolderAndFile) {
    // A host scanning plug-ins opens and reads the store, and may be killed before any write.
    SettingsKey* key = platformOpenSettings(keyPath());
    ASSERT_NE(key, nullptr);
    std::int32_t value = kUntouched;
    EXPECT_FALSE(platformReadSetting(key, "NumInputs", &value));
    platformCloseSettings(key);
    EXPECT_EQ(entriesOf(scratch_), std::vector<std::string>{});

    ASSERT_TRUE(writeOnce("NumInputs", 1));
    EXPECT_EQ(modeOf(folder()), 0700u);
    EXPECT_EQ(modeOf(file()), 0600u);
    EXPECT_EQ(fileText(), "NumInputs=1\n");
    ASSERT_TRUE(create("Software\\Vantor\\TolvaneI"));  // the instrument's own file
    EXPECT_EQ(modeOf(folder() + "/TolvaneI.conf"), 0600u);
    ASSERT_TRUE(writeOnce("NumInputs", 1));  // a replaced file stays private
    EXPECT_EQ(modeOf(file()), 0600u);
}

TEST_F(SettingsFileTest, HomeConfigIsUsedWhenXdgConfigHomeIsUnsetEmptyOrRelative) {
    const char* home = std::getenv("HOME");
    const std::string savedHome = home != nullptr ? home : "";
    ASSERT_EQ(::setenv("HOME", (scratch_ + "/home").c_str(), 1), 0);
    const std::string homeFile = scratch_ + "/home/.config/Vantor/Tolvane.conf";
    for (const char* xdg : {static_cast<const char*>(nullptr), "", "relative/config"}) {
        xdg == nullptr ? ::unsetenv("XDG_CONFIG_HOME") : ::setenv("XDG_CONFIG_HOME", xdg, 1);
        ::unlink(homeFile.c_str());
        EXPECT_TRUE(create(keyPath())) << (xdg ? xdg : "(unset)");
        EXPECT_EQ(modeOf(homeFile), 0600u) << (xdg ? xdg : "(unset)");
    }
    EXPECT_EQ(modeOf("relative"), 0u);  // nothing made below the working folder
    home != nullptr ? ::setenv("HOME", savedHome.c_str(), 1) : ::unsetenv("HOME");
}

TEST_F(SettingsFileTest, OpenFailsWhenTheRootIsNoFolderOrTheKeyPathLeavesTheRoot) {
    const std::string blocker = scratch_ + "/blocker";  // a regular file as the root
    std::ofstream(blocker) << "x";
    ::setenv("XDG_CONFIG_HOME", blocker.c_str(), 1);
    EXPECT_EQ(platformOpenSettings(keyPath()), nullptr);
    ::setenv("XDG_CONFIG_HOME", scratch_.c_str(), 1);
    for (const char* path : {"Software\\..\\Escape", "Software\\Vantor\\..", "Software\\a/b\\C", "",
                             "Software\\", "Software\\Vantor\\\\X"}) {
        EXPECT_EQ(platformOpenSettings(path), nullptr) << path;
    }
    EXPECT_EQ(modeOf(scratch_ + "/Escape.conf"), 0u);
}

// A FIFO, a socket, a folder or a link to a FIFO in the file's place: the open fails at once
// (the plug-in keeps its defaults), a write through a store opened before it appeared fails, and
// it is left as it was. Opening a FIFO for reading would block the host until a writer came.
TEST_F(SettingsFileTest, AnythingButARegularFileIsNeitherOpenedNorReplaced) {
    ASSERT_EQ(::mkdir(folder().c_str(), 0700), 0);
    const std::string fifo = scratch_ + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const auto makeSocket = [this] {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", file().c_str());
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        return bound;
    };
    const struct {
        const char* what;
        std::function<bool()> make;
        mode_t type;
    } kinds[] = {
        {"FIFO", [this] { return ::mkfifo(file().c_str(), 0600) == 0; }, S_IFIFO},
        {"socket", makeSocket, S_IFSOCK},
        {"folder", [this] { return ::mkdir(file().c_str(), 0700) == 0; }, S_IFDIR},
        {"link to a FIFO", [&] { return ::symlink(fifo.c_str(), file().c_str()) == 0; }, S_IFLNK},
    };
    for (const auto& kind : kinds) {
        SettingsKey* early = platformOpenSettings(keyPath());
        ASSERT_NE(early, nullptr) << kind.what;
        ::unlink(file().c_str());  // the case must not hang on whether the open made a file
        ASSERT_TRUE(kind.make()) << kind.what;
        const int outcome = exitCodeWithin5s([&] {
            if (platformOpenSettings(keyPath()) != nullptr) return 1;
            return platformWriteSetting(early, "NumInputs", 1) ? 2 : 0;
        });
        platformCloseSettings(early);
        EXPECT_EQ(outcome, 0) << kind.what << " (-1: blocked, 1: opened, 2: written)";
        EXPECT_EQ(typeOf(file()), kind.type) << kind.what;
        EXPECT_EQ(folderEntries(), std::vector<std::string>{"Tolvane.conf"}) << kind.what;
        ASSERT_EQ(::remove(file().c_str()), 0) << kind.what;
    }
    EXPECT_EQ(typeOf(fifo), S_IFIFO);
}

// Users keep dotfiles elsewhere and link them in: the link is read through, a write replaces the
// file it leads to and the link stays. A link that leads nowhere is left alone.
TEST_F(SettingsFileTest, ALinkedFileIsReadAndWrittenThroughAndStaysALink) {
    const std::string dotfiles = scratch_ + "/dotfiles";
    const std::string target = dotfiles + "/tolvane.conf";
    ASSERT_EQ(::mkdir(dotfiles.c_str(), 0700), 0);
    ASSERT_EQ(::mkdir(folder().c_str(), 0700), 0);
    std::ofstream(target) << "# mine\nNumInputs=5\n";
    ASSERT_EQ(::symlink("../dotfiles/tolvane.conf", file().c_str()), 0);

    std::int32_t value = kUntouched;
    EXPECT_TRUE(readOnce("NumInputs", &value));
    EXPECT_EQ(value, 5);
    ASSERT_TRUE(writeOnce("NumOutputs", 3));
    EXPECT_EQ(typeOf(file()), S_IFLNK);
    EXPECT_EQ(fileText(), "# mine\nNumInputs=5\nNumOutputs=3\n");
    EXPECT_EQ(entriesOf(dotfiles), std::vector<std::string>{"tolvane.conf"});  // no temporary left

    ASSERT_EQ(::unlink(target.c_str()), 0);
    EXPECT_FALSE(writeOnce("NumOutputs", 4));
    EXPECT_EQ(typeOf(file()), S_IFLNK);
    EXPECT_EQ(entriesOf(dotfiles), std::vector<std::string>{});
}

// ---- format ----

TEST_F(SettingsFileTest, OnlyDecimal32BitIntegersRead) {
    // Blanks (spaces, tabs, a CR of a CRLF line end) around names and values are ignored; a sign
    // is allowed; anything else that is not a decimal in the 32-bit range fails.
    const std::map<std::string, std::int32_t> good = {
        {"7", 7},   {"-7", -7}, {"+7", 7}, {"007", 7}, {" 7", 7}, {"7 ", 7}, {"\t7\r", 7}, {"-0", 0},
        {"2147483647", 2147483647}, {"-2147483648", -2147483647 - 1}, {"00000000000000000000000012", 12},
    };
    for (const auto& [text, expected] : good) {
        putFile("NumInputs=" + text + "\n");
        std::int32_t value = kUntouched;
        EXPECT_TRUE(readOnce("NumInputs", &value)) << '"' << text << '"';
        EXPECT_EQ(value, expected) << '"' << text << '"';
    }
    for (const char* text : {"12x", "", " ", "99999999999", "2147483648", "-2147483649", "0x10", "1e3",
                             "--1", "- 1", "1 2", "+", "1.0", "\xd9\xa3" /* Arabic-Indic three */}) {
        putFile(std::string("NumInputs=") + text + "\n");
        std::int32_t value = kUntouched;
        EXPECT_FALSE(readOnce("NumInputs", &value)) << '"' << text << '"';
        EXPECT_EQ(value, kUntouched) << '"' << text << '"';
    }
}

TEST_F(SettingsFileTest, NamesAreExactAndCaseSensitive) {
    putFile("  NumInputs = 5\r\nnuminputs=3\n#NumOutputs=4\nNumOutputs\n");
    std::int32_t value = kUntouched;
    EXPECT_TRUE(readOnce("NumInputs", &value));
    EXPECT_EQ(value, 5);
    value = kUntouched;
    EXPECT_FALSE(readOnce("NumOutputs", &value));  // only a comment and a line without '='
    EXPECT_FALSE(readOnce("NumInput", &value));
    EXPECT_EQ(value, kUntouched);
    // Names that the file cannot hold as one entry are refused, and the file is not touched.
    const std::string before = fileText();
    for (const char* name : {"A=B", "A\nB", " A", "A ", "#A", ";A"}) {
        EXPECT_FALSE(writeOnce(name, 1)) << name;
        EXPECT_FALSE(readOnce(name, &value)) << name;
    }
    EXPECT_EQ(fileText(), before);
}

TEST_F(SettingsFileTest, WritesChangeOneLineAndKeepEveryOtherLine) {
    putFile("# Tolvane settings\n\n[section]\nNumInputs=2\nSomething else\nFoo=bar\nNumInputs=3\n"
            "; a comment\nnuminputs=7\nLast=1");  // no line break at the end
    std::int32_t value = kUntouched;
    EXPECT_TRUE(readOnce("NumInputs", &value));
    EXPECT_EQ(value, 3);  // the last of repeated names counts
    SettingsKey* key = platformOpenSettings(keyPath());
    ASSERT_NE(key, nullptr);
    ASSERT_TRUE(platformWriteSetting(key, "NumInputs", 4));
    ASSERT_TRUE(platformWriteSetting(key, "TermSlave", -2147483647 - 1));
    ASSERT_TRUE(platformWriteSetting(key, "TermSlave", 0));
    platformCloseSettings(key);
    EXPECT_EQ(fileText(), "# Tolvane settings\n\n[section]\nSomething else\nFoo=bar\nNumInputs=4\n"
                          "; a comment\nnuminputs=7\nLast=1\nTermSlave=0\n");
    EXPECT_EQ(folderEntries(), std::vector<std::string>{"Tolvane.conf"});  // no temporary left
}

// ---- instances sharing the file ----

TEST_F(SettingsFileTest, AWriteKeepsValuesAnotherInstanceWroteSinceTheOpen) {
    SettingsKey* first = platformOpenSettings(keyPath());
    SettingsKey* second = platformOpenSettings(keyPath());
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    ASSERT_TRUE(platformWriteSetting(second, "NumOutputs", 8));
    ASSERT_TRUE(platformWriteSetting(first, "NumInputs", 6));
    platformCloseSettings(first);
    platformCloseSettings(second);
    EXPECT_EQ(fileText(), "NumOutputs=8\nNumInputs=6\n");
}

TEST_F(SettingsFileTest, AnExistingFileThatCannotBeReadIsNotReplaced) {
    SettingsKey* key = platformOpenSettings(keyPath());
    ASSERT_NE(key, nullptr);
    // Grown past what the store loads: replacing it from an empty text would drop its contents.
    const std::string big = "Foo=" + std::string(100 * 1024, 'x') + "\n";
    putFile(big);
    EXPECT_FALSE(platformWriteSetting(key, "NumInputs", 1));
    platformCloseSettings(key);
    EXPECT_EQ(fileText(), big);
    EXPECT_EQ(platformOpenSettings(keyPath()), nullptr);
    EXPECT_EQ(folderEntries(), std::vector<std::string>{"Tolvane.conf"});
}

TEST_F(SettingsFileTest, WritersInTwoProcessesAtOnceLoseNothing) {
    // Neither has the folder or the file yet: the two first writes also create them together.
    constexpr int kWrites = 100;
    pid_t children[2];
    for (int c = 0; c < 2; ++c) {
        children[c] = ::fork();
        ASSERT_GE(children[c], 0);
        if (children[c] == 0) {
            const char* name = c == 0 ? "NumInputs" : "NumOutputs";
            SettingsKey* key = platformOpenSettings(keyPath());
            bool ok = key != nullptr;
            for (int i = 1; i <= kWrites && ok; ++i) ok = platformWriteSetting(key, name, i);
            ::_exit(ok ? 0 : 1);
        }
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    std::int32_t inputs = 0, outputs = 0;
    EXPECT_TRUE(readOnce("NumInputs", &inputs));
    EXPECT_TRUE(readOnce("NumOutputs", &outputs));
    EXPECT_EQ(inputs, kWrites);
    EXPECT_EQ(outputs, kWrites);
}

// A writer killed at random moments, 200 times: after every kill the file parses completely,
// holds every name with a valid value and still carries the lines the store does not know.
TEST_F(SettingsFileTest, AWriterKilledAtRandomMomentsNeverLeavesATornFile) {
    const char* names[] = {"NumInputs", "NumOutputs", "ConfigDlg", "TermSlave", "StereoPins"};
    putFile("# kept\nCustom=abc\nNumInputs=0\nNumOutputs=0\nConfigDlg=0\nTermSlave=0\nStereoPins=0\n");

    std::mt19937 random(12345);
    std::uniform_int_distribution<int> delayUs(0, 4000);
    int killsLeavingATemporary = 0;
    for (int round = 0; round < 200; ++round) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (std::int32_t i = 1;; ++i) {
                SettingsKey* key = platformOpenSettings(keyPath());
                for (const char* name : names) platformWriteSetting(key, name, i * 1000 + round);
                platformCloseSettings(key);
            }
        }
        ::usleep(static_cast<useconds_t>(delayUs(random)));
        ASSERT_EQ(::kill(child, SIGKILL), 0);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);

        const std::string text = fileText();
        EXPECT_EQ(text.rfind("# kept\nCustom=abc\n", 0), 0u) << "round " << round;
        ASSERT_FALSE(text.empty()) << "round " << round;
        EXPECT_EQ(text.back(), '\n') << "round " << round;
        std::istringstream lines(text);
        std::map<std::string, int> seen;
        std::string line;
        while (std::getline(lines, line)) ++seen[line.substr(0, line.find('='))];
        for (const char* name : names) {
            EXPECT_EQ(seen[name], 1) << name << ", round " << round;
            std::int32_t value = -1;
            EXPECT_TRUE(readOnce(name, &value)) << name << ", round " << round;
            EXPECT_GE(value, 0) << name << ", round " << round;
        }
        EXPECT_EQ(seen.size(), 7u) << "round " << round;
        if (folderEntries().size() > 1) ++killsLeavingATemporary;
        if (HasFailure()) break;
    }
    // Temporaries of killed writers are removed by the next write.
    ASSERT_TRUE(writeOnce("NumInputs", 2));
    EXPECT_EQ(folderEntries(), std::vector<std::string>{"Tolvane.conf"});
    RecordProperty("KillsLeavingATemporary", killsLeavingATemporary);
    std::printf("rounds whose kill left a temporary file behind: %d of 200\n", killsLeavingATemporary);
}

}  // namespace
