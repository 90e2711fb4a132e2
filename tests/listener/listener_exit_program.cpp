// A program that starts listeners and ends while they are busy, for the exit tests.
// Usage: listener_exit_program <mode>
//   return    returns from main while the listener waits in its read
//   exit      calls exit(0) at the same point
//   callback  returns from main while the callback is running
//   restart   stops the server and returns from main while the listener is restarting it
// Prints the steady clock (ms) just before the end, so the caller can time the exit.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "event_recorder.h"
#include "test_support.h"
#include "tovzelt.h"

namespace tz = Tovana::TovZelt;
using namespace std::chrono_literals;

namespace {
void print_end_time() {
    std::printf("%lld\n", static_cast<long long>(tz::now_ms()));
    std::fflush(stdout);
}
}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    const std::string mode = argv[1];
    const std::string module = tovzelt_test::unique_name("exitprog") + "_1";
    const std::string probe = tovzelt_test::unique_name("exitprobe");
    auto* recorder = new tovzelt_test::EventRecorder();
    auto* in_callback = new std::atomic<bool>(false);
    tz::zelt_callback(module.c_str(),
                      [recorder, in_callback, module](const std::string& e, const std::string& k,
                                                      const std::string& m) {
                          recorder->record(e, k, m);
                          if (k == module) {
                              in_callback->store(true);
                              std::this_thread::sleep_for(300ms);
                          }
                      });
    // A second module, so that two listeners have to be stopped.
    tz::zelt_callback((module + "0").c_str(), recorder->callback());
    if (!tovzelt_test::wait_until_listening(*recorder, probe)) return 3;

    tovzelt_test::RawRedis raw;
    raw.integer({"DEL", probe});
    if (mode == "callback") {
        std::this_thread::sleep_for(1100ms);
        raw.integer({"HSET", module, "f", "v"});
        if (!tovzelt_test::wait_until([&] { return in_callback->load(); }, 5s)) return 4;
        raw.integer({"DEL", module});
    } else if (mode == "restart") {
        tz::stop_zelt();
        // The listener notices within about a second and runs the startup script.
        std::this_thread::sleep_for(1050ms);
    }
    print_end_time();
    if (mode == "exit") std::exit(0);
    return 0;
}
