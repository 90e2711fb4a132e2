// zelt_tool: sets, adds, deletes and queries one parameter of one module of the store, after
// removing the keys of modules whose processes have ended.
#include <string>

#include "command_line.h"
#include "command_words.h"
#include "config_file.h"
#include "stale_modules.h"
#include "tovclog.h"

namespace {
constexpr const char* kLogTag = "tovzelt";
constexpr const char* kLogFile = "./tovclog_tovzelt_tool";

// The tool logs only when its configuration file says "log = on".
void turn_on_logging_when_configured() {
    if (zelt_tool::get_value_from_ini(zelt_tool::kConfigFilePath, "log") != "on") return;
    clogger(kLogTag, kLogFile, CLOG_MODE_FILE);
    clog_set_log_level(kLogTag, LOG_LEVEL_DEBUG);
}
}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 2 || zelt_tool::is_help_switch(argv[1])) {
        zelt_tool::print_help();
        return 0;
    }
    zelt_tool::clear_notrunning_modules_of_all_bases();
    turn_on_logging_when_configured();
    return zelt_tool::run_command_line(argc, argv);
}
