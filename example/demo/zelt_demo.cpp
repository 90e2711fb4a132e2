// zelt_demo: an application that keeps its log settings in the store and hears of changes.
//
// It registers the module "demo_<pid>" with a "log_level" of "info", listens for changes, has
// the operator's tool set "log_level" to "debug", and prints what its callback and
// get_change_notes() report.
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "tovzelt.h"

namespace tz = Tovana::TovZelt;

namespace {
constexpr const char* kTool = "/opt/tovana/hvx/tov-zelt/tools/zelt_tool";

// What the callback thread tells the main thread.
struct Inbox {
    std::mutex mutex;
    std::condition_variable changed;
    bool listening = false;
    bool level_changed = false;
};

void on_change(Inbox& inbox, const std::string& module, const std::string& probe,
               const std::string& event, const std::string& key) {
    if (key == probe) {
        std::lock_guard<std::mutex> lock(inbox.mutex);
        inbox.listening = true;
        inbox.changed.notify_all();
        return;
    }
    if (key != module) return;
    std::printf("[callback] event \"%s\" on %s\n", event.c_str(), key.c_str());
    std::string field, value;
    int8_t type;
    while ((type = tz::get_change_notes(module.c_str(), field, value)) > 0) {
        static const char* const kNames[] = {"none", "update", "delete", "add"};
        std::printf("[change notes] %s: %s = %s\n", kNames[type], field.c_str(), value.c_str());
        if (field == "log_level") {
            std::lock_guard<std::mutex> lock(inbox.mutex);
            inbox.level_changed = true;
            inbox.changed.notify_all();
        }
    }
    std::fflush(stdout);
}

bool wait_for(Inbox& inbox, bool Inbox::*flag, std::chrono::seconds timeout) {
    std::unique_lock<std::mutex> lock(inbox.mutex);
    return inbox.changed.wait_for(lock, timeout, [&] { return inbox.*flag; });
}

int run_tool(const std::string& arguments) {
    const std::string command = std::string(kTool) + " " + arguments;
    std::printf("$ zelt_tool %s\n", arguments.c_str());
    std::fflush(stdout);
    return std::system(command.c_str());
}
}  // namespace

int main() {
    const std::string module = "demo_" + std::to_string(getpid());
    const std::string probe = "demo_probe_" + std::to_string(getpid());
    std::printf("library %s\n", tz::get_library_version().c_str());

    if (tz::init_param(module.c_str(), "log_level", "info") != 0) {
        std::printf("cannot reach the store\n");
        return 1;
    }
    std::printf("module %s registered with log_level = %s\n", module.c_str(),
                tz::get_param(module.c_str(), "log_level").c_str());

    auto* inbox = new Inbox();  // used by the listener thread until the process ends
    tz::zelt_callback(module.c_str(),
                      [inbox, module, probe](const std::string& event, const std::string& key,
                                             const std::string&) {
                          on_change(*inbox, module, probe, event, key);
                      });
    // Wait until the listener hears a write of our own.
    for (int i = 0; i < 50 && !wait_for(*inbox, &Inbox::listening, std::chrono::seconds(0)); ++i) {
        tz::exec_cmd_in_redis("HSET " + probe + " ready " + std::to_string(i));
        wait_for(*inbox, &Inbox::listening, std::chrono::seconds(1));
    }
    tz::exec_cmd_in_redis("DEL " + probe);

    run_tool("set " + module + " log_level debug");
    const bool changed = wait_for(*inbox, &Inbox::level_changed, std::chrono::seconds(10));
    run_tool("query " + module + " log_level");

    std::printf("application now runs with log_level = %s\n",
                tz::get_param(module.c_str(), "log_level").c_str());
    tz::module_clear(module.c_str());
    tz::module_clear((module + "_zeltbackup").c_str());
    std::fflush(stdout);
    return changed ? 0 : 1;
}
