// The parts of zelt_tool that need neither the store nor the library: the configuration file,
// process ids taken from key names, liveness of a process, and the level words.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "command_words.h"
#include "config_file.h"
#include "process_ids.h"

namespace {

using zelt_tool::extract_process_id_module1;
using zelt_tool::extract_process_id_module2;

// A configuration file of the test's own, removed at destruction.
class ConfigFile {
public:
    explicit ConfigFile(const std::string& content) {
        char pattern[] = "/tmp/zelt_tool_confXXXXXX";
        const int fd = mkstemp(pattern);
        EXPECT_GE(fd, 0);
        if (fd >= 0) close(fd);
        path_ = pattern;
        std::ofstream(path_, std::ios::binary) << content;
    }
    ~ConfigFile() { std::remove(path_.c_str()); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

TEST(TrimTest, RemovesBlanksAtBothEndsOnly) {
    const struct {
        std::string text;
        std::string trimmed;
    } cases[] = {
        {"", ""},           {" \t\r\n", ""},  {"on", "on"},       {"  on  ", "on"},
        {"\t\ron\n", "on"}, {" a b ", "a b"}, {"\vx\f", "\vx\f"},  // only space, tab, newline and
                                                                   // carriage return are blanks
    };
    for (const auto& c : cases) {
        EXPECT_EQ(zelt_tool::trim(c.text), c.trimmed) << "text: [" << c.text << "]";
    }
}

TEST(ConfigFileTest, ReadsTheFirstEntryOfTheName) {
    const struct {
        const char* what;
        std::string content;
        std::string name;
        std::string value;
    } cases[] = {
        {"no blanks", "log=on\n", "log", "on"},
        {"blanks around =", "  log \t=   on  \n", "log", "on"},
        {"carriage return", "log = on\r\n", "log", "on"},
        {"last line without newline", "a = 1\nlog = on", "log", "on"},
        {"further = in the value", "log = a=b = c\n", "log", "a=b = c"},
        {"empty value", "log =\n", "log", ""},
        {"comment in first column", "#log = on\n", "log", ""},
        {"comment hides only its line", "#log = off\nlog = on\n", "log", "on"},
        {"blanks before # make an entry", "  #log = on\n", "#log", "on"},
        {"entry named with #", "  #log = on\n", "log", ""},
        {"first matching line wins", "log = off\nlog = on\n", "log", "off"},
        {"names are case-sensitive", "LOG = on\nLog = on\n", "log", ""},
        {"value keeps its case", "log = ON\n", "log", "ON"},
        {"line without = skipped", "log\nlog on\nlog = on\n", "log", "on"},
        {"section headers have no meaning", "[other]\nlog = on\n", "log", "on"},
        {"empty lines skipped", "\n\nlog = on\n", "log", "on"},
        {"name must match whole", "logging = on\nlo = on\n", "log", ""},
        {"empty name", "= x\nlog = on\n", "", "x"},
        {"missing entry", "other = on\n", "log", ""},
    };
    for (const auto& c : cases) {
        const ConfigFile file(c.content);
        EXPECT_EQ(zelt_tool::get_value_from_ini(file.path(), c.name), c.value) << c.what;
    }
}

TEST(ConfigFileTest, MissingOrUnreadableFileGivesEmpty) {
    EXPECT_EQ(zelt_tool::get_value_from_ini("/nonexistent/dir/zelt.conf", "log"), "");
    EXPECT_EQ(zelt_tool::get_value_from_ini("/tmp", "log"), "");
}

TEST(ProcessIdTest, KeyFormsYieldTheirDigits) {
    const std::string oversized = "F_99999999999";
    const struct {
        std::string base;
        std::string key;
        int32_t form1;
        int32_t form2;
    } cases[] = {
        {"F", "F_1234_zeltbackup", 1234, -1},
        {"F", "F_1234", -1, 1234},
        {"F", "F_1234_", 1234, -1},  // nothing after the second "_"
        {"F", "F_1234_a_b_5", 1234, -1},
        {"F", "F_0", -1, 0},
        {"F", "F_1_zeltbackup", 1, -1},
        {"F", "F_0001234", -1, 1234},  // leading zeros
        {"F", "F_0001234_zeltbackup", 1234, -1},
        {"F", "F_2147483647", -1, 2147483647},
        {"F", "F_2147483648", -1, -1},  // one past the largest process id
        {"F", oversized, -1, -1},
        {"F", oversized + "_zeltbackup", -1, -1},
        {"F", "F_cam_1234", -1, -1},  // another base name sharing the prefix
        {"F_cam", "F_cam_1234", -1, 1234},
        {"F", "F_7_4242", 7, -1},  // base name F_7 seen from F
        {"F", "F_1234x", -1, -1},  // digits followed by a letter
        {"F", "F_1234x_zeltbackup", -1, -1},
        {"F", "F__1234", -1, -1},
        {"F", "F_", -1, -1},
        {"F", "F", -1, -1},
        {"F", "", -1, -1},
        {"F", "G_1234", -1, -1},
        {"F", "FF_1234", -1, -1},
        {"F", "F-1234", -1, -1},
        {"F", "F_+1234", -1, -1},
        {"F", "F_-1234", -1, -1},
        {"F", "F_ 1234", -1, -1},
        {"F", "xF_1234", -1, -1},
        {"F", "F_1234_line\nbreak", -1, -1},  // line break after the second "_"
        {"F", "F_1234_line\rbreak", -1, -1},
        {"F", "F_1234\n", -1, -1},
        {"F", "F_1234_zeltbackup\n", -1, -1},
        {"a\nb", "a\nb_12_zeltbackup", 12, -1},  // the base name may hold anything
        // Base names with characters that have a meaning in patterns are taken literally.
        {"a.b", "a.b_12", -1, 12},
        {"a.b", "axb_12", -1, -1},
        {"a+", "a+_12_zeltbackup", 12, -1},
        {"a+", "aa_12", -1, -1},
        {"a+", "a+_12", -1, 12},
        {"(x)*", "(x)*_34", -1, 34},
        {"(x)*", "x_34", -1, -1},
        {"[ab]", "[ab]_5_zeltbackup", 5, -1},
        {"[ab]", "a_5_zeltbackup", -1, -1},
        {"^$\\", "^$\\_6", -1, 6},
        {"", "_12", -1, 12},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(extract_process_id_module1(c.base, c.key), c.form1)
            << "form 1, base [" << c.base << "], key [" << c.key << "]";
        EXPECT_EQ(extract_process_id_module2(c.base, c.key), c.form2)
            << "form 2, base [" << c.base << "], key [" << c.key << "]";
    }
}

// A process id that was in use moments ago and is free now.
pid_t reaped_child_pid() {
    const pid_t child = fork();
    if (child == 0) _exit(0);
    EXPECT_GT(child, 0);
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    return child;
}

int pid_max() {
    std::ifstream file("/proc/sys/kernel/pid_max");
    int value = 0;
    file >> value;
    EXPECT_GT(value, 0);
    return value;
}

TEST(ProcessIdTest, RunningProcessesAreTheExistingOnes) {
    EXPECT_TRUE(zelt_tool::is_process_running(getpid()));
    EXPECT_TRUE(zelt_tool::is_process_running(getppid()));
    EXPECT_TRUE(zelt_tool::is_process_running(1));
    // Signal 0 to process 0 goes to the caller's own process group.
    EXPECT_TRUE(zelt_tool::is_process_running(0));
    EXPECT_FALSE(zelt_tool::is_process_running(pid_max() + 1));
    EXPECT_FALSE(zelt_tool::is_process_running(reaped_child_pid()));
}

// Runs `body` in a child process under user `uid` and returns its exit status.
template <typename Body>
int exit_status_as_user(uid_t uid, Body body) {
    const pid_t child = fork();
    if (child == 0) {
        if (setuid(uid) != 0) _exit(2);
        _exit(body());
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

// A child process that runs as another user until the object goes.
class ProcessOfAnotherUser {
public:
    explicit ProcessOfAnotherUser(uid_t uid) {
        int ready[2];
        if (pipe(ready) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            close(ready[0]);
            const char answer = setuid(uid) == 0 ? 'y' : 'n';
            if (write(ready[1], &answer, 1) != 1 || answer != 'y') _exit(1);
            pause();
            _exit(0);
        }
        close(ready[1]);
        char answer = 0;
        running_ = pid_ > 0 && read(ready[0], &answer, 1) == 1 && answer == 'y';
        close(ready[0]);
    }
    ~ProcessOfAnotherUser() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    pid_t pid() const { return pid_; }
    bool running() const { return running_; }

private:
    pid_t pid_ = -1;
    bool running_ = false;
};

TEST(ProcessIdTest, ProcessOfAnotherUserCountsAsRunning) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run processes as other users";
    const ProcessOfAnotherUser other(65534);
    if (!other.running()) GTEST_SKIP() << "cannot change the user of a process here";
    // Ask as a third user, so that the signal is not permitted (EPERM).
    const int status = exit_status_as_user(
        65533, [&] { return zelt_tool::is_process_running(other.pid()) ? 0 : 3; });
    EXPECT_EQ(status, 0) << "2: no user change, 3: reported as not running";
}

TEST(LevelWordTest, LevelKeysTakeOnlyTheLevelWords) {
    const struct {
        std::string key;
        std::string value;
        bool valid;
    } cases[] = {
        {"log_level", "info", true},         {"log_level", "warn", true},
        {"log_level", "err", true},          {"log_level", "debug", true},
        {"log_level", "off", true},          {"console_level", "off", true},
        {"console_level", "debug", true},    {"log_level", "Info", false},
        {"log_level", "OFF", false},         {"console_level", "DEBUG", false},
        {"log_level", "error", false},       {"log_level", "", false},
        {"log_level", " info", false},       {"console_level", "verbose", false},
        {"logger_switch", "anything", true}, {"log_file_path", "", true},
        {"other_key", "Not A Level", true},  {"LOG_LEVEL", "bogus", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(zelt_tool::validate_log_level(c.key, c.value), c.valid)
            << c.key << " = [" << c.value << "]";
    }
}

TEST(LevelWordTest, LevelListHoldsTheFiveWords) {
    EXPECT_EQ(zelt_tool::level_list,
              (std::vector<std::string>{"info", "warn", "err", "debug", "off"}));
    EXPECT_TRUE(zelt_tool::isStringInList("err", zelt_tool::level_list));
    EXPECT_FALSE(zelt_tool::isStringInList("Err", zelt_tool::level_list));
    EXPECT_FALSE(zelt_tool::isStringInList("", {}));
}

TEST(CommandWordTest, SetCommandTakesFourKeys) {
    for (const char* key : {"log_level", "console_level", "logger_switch", "log_file_path"}) {
        EXPECT_TRUE(zelt_tool::is_settable_key(key)) << key;
    }
    for (const char* key : {"Log_level", "log_level ", "other", ""}) {
        EXPECT_FALSE(zelt_tool::is_settable_key(key)) << key;
    }
}

}  // namespace
