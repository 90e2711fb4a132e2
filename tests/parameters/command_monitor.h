// Watches the commands the store runs (MONITOR on a connection of its own), so that a test can
// see which commands a call sent, in which order, with which arguments.
#ifndef TOVZELT_TEST_COMMAND_MONITOR_H
#define TOVZELT_TEST_COMMAND_MONITOR_H

#include <hiredis/hiredis.h>

#include <string>
#include <vector>

namespace tovzelt_test {

using Command = std::vector<std::string>;  // the words of one command, binary-safe

class CommandMonitor {
public:
    CommandMonitor();
    ~CommandMonitor();
    CommandMonitor(const CommandMonitor&) = delete;
    CommandMonitor& operator=(const CommandMonitor&) = delete;

    // The commands the store ran since the monitor started (or since the last call) that have
    // one of `names` among their arguments, in the order they ran. Other clients' commands are
    // left out.
    std::vector<Command> commands_naming(const std::vector<std::string>& names);

    // Parses one MONITOR line ("<time> [<db> <addr>] "WORD" "WORD" ...") into its words.
    static Command parse_line(const std::string& line);

private:
    redisContext* context_ = nullptr;
};

}  // namespace tovzelt_test

#endif  // TOVZELT_TEST_COMMAND_MONITOR_H
