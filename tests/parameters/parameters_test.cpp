// The road of a parameter request against the real store: the exported functions, the facade,
// the per-module object and the hash and set commands. What each call wrote is read back with
// a raw connection, and which commands it sent is watched with MONITOR.
#include <gtest/gtest.h>
#include <hiredis/hiredis.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "command_monitor.h"
#include "store_probe.h"
#include "test_support.h"
#include "tovzelt.h"

namespace tz = Tovana::TovZelt;
using tovzelt_test::Command;
using tovzelt_test::CommandMonitor;
using tovzelt_test::LogCapture;
using tovzelt_test::RawRedis;
using tovzelt_test::unique_name;
using Lines = std::vector<std::pair<int, std::string>>;
using Strings = std::vector<std::string>;

namespace {

const char* const kModuleRefused = "Module string is empty or null. Exiting function.";
const char* const kKeyRefused = "Key string is empty or null. Exiting function.";
const char* const kValueRefused = "Value string is null. Exiting function.";
const char* const kBytesRefused = "Value buffer is null or length is zero. Exiting function.";
const char* const kSetKeyRefused = "Input key string is empty or null. Exiting function.";
const char* const kMemberRefused = "Input member string is empty or null. Exiting function.";

std::string mismatch(const std::string& module) {
    return "TovZELT: Input module " + module +
           " doesn't match requirement. Expected name format: <module name>_<process id>";
}

std::string shown(int8_t code) { return std::to_string(code); }
std::string shown(const std::string& text) { return "\"" + text + "\""; }
std::string shown(const Strings& list) {
    std::string out = "[";
    for (const auto& s : list) out += (out.size() > 1 ? "," : "") + shown(s);
    return out + "]";
}

Lines levels_and_texts(const LogCapture& log) {
    Lines out;
    for (const auto& line : log.lines()) out.emplace_back(line.level, line.message);
    return out;
}

Strings sorted(Strings list) {
    std::sort(list.begin(), list.end());
    return list;
}

class ParametersTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        tovzelt_test::ensure_server_running();
        tz::TovZELT::getInstance();  // the facade's start and connect stay out of the tests' logs
    }

    void TearDown() override {
        for (const auto& key : keys_) raw_.integer({"DEL", key});
        for (const auto& base : bases_) raw_.integer({"SREM", "module_sets", base});
    }

    // A key of the test's own, deleted before and after the test. A module also gets its
    // backup hash deleted.
    std::string key(const std::string& prefix) { return track(unique_name(prefix)); }
    std::string track(const std::string& name) {
        for (const std::string& k : {name, name + "_zeltbackup"}) {
            keys_.push_back(k);
            raw_.integer({"DEL", k});
        }
        return name;
    }
    // A base name whose entry in "module_sets" is removed before and after the test.
    void track_base(const std::string& base) {
        bases_.push_back(base);
        raw_.integer({"SREM", "module_sets", base});
    }
    bool in_module_sets(const std::string& base) {
        return raw_.integer({"SISMEMBER", "module_sets", base}) == 1;
    }

    RawRedis raw_;

private:
    Strings keys_;
    Strings bases_;
};

TEST_F(ParametersTest, InitParamRecordsTheBaseNameThenWritesBackupHashThenModuleHash) {
    const std::string base = key("cam");
    const std::string module = track(base + "_42");
    const std::string backup = module + "_zeltbackup";
    track_base(base);

    CommandMonitor monitor;
    ASSERT_EQ(tz::init_param(module.c_str(), "log_level", "info"), 0);
    EXPECT_EQ(monitor.commands_naming({base, module, backup}),
              (std::vector<Command>{{"SADD", "module_sets", base},
                                    {"HSET", backup, "log_level", "info"},
                                    {"HSET", module, "log_level", "info"}}));
    EXPECT_TRUE(in_module_sets(base));
    EXPECT_EQ(raw_.str({"HGET", backup, "log_level"}), "info");
    EXPECT_EQ(raw_.str({"HGET", module, "log_level"}), "info");
    EXPECT_EQ(tz::get_param(module.c_str(), "log_level"), "info");

    // A second init overwrites both hashes.
    ASSERT_EQ(tz::init_param(module.c_str(), "log_level", "debug"), 0);
    EXPECT_EQ(raw_.str({"HGET", backup, "log_level"}), "debug");
    EXPECT_EQ(raw_.str({"HGET", module, "log_level"}), "debug");
}

TEST_F(ParametersTest, InitParamNameCheckRecordsTheBaseOfConformingNamesOnly) {
    const std::string u = unique_name("nm");
    const std::string digits_only =
        "_" + std::to_string(getpid()) + "0" + u.substr(u.rfind('x') + 1);
    struct Row {
        std::string module;
        bool conforms;
        std::string base;
    };
    const std::vector<Row> rows = {
        {u + "_42", true, u},    {u + "_b_7", true, u + "_b"},      {u + "_0012", true, u},
        {u, false, ""},  // ends in "x<digits>": no underscore right before the digits
        {u + "_42x", false, ""}, {u + "_42_zeltbackup", false, ""}, {u + "_", false, ""},
        {u + "_4 2", false, ""}, {u + "_\xd9\xa3", false, ""},  // not an ASCII digit
        {u + "\n_7", false, ""},                                // '.' does not match a line break
        {digits_only, true, ""},                                // conforms, with an empty base name
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(shown(row.module));
        track(row.module);
        // What a wrong name check would take for the base name (only names of this test's own).
        const std::string before_last_underscore = row.module.substr(0, row.module.rfind('_'));
        const bool own_candidate = before_last_underscore.rfind(u, 0) == 0;
        if (own_candidate) track_base(before_last_underscore);
        LogCapture log;
        EXPECT_EQ(tz::init_param(row.module.c_str(), "k", "v"), 0);
        EXPECT_EQ(log.count(0, mismatch(row.module)), row.conforms ? 0 : 1);
        const int adds = log.count_containing("ZeltOp sets_add: key: module_sets");
        if (row.conforms && !row.base.empty()) {
            EXPECT_EQ(adds, 1);
            EXPECT_TRUE(in_module_sets(row.base));
        } else {
            EXPECT_EQ(adds, 0) << "no SADD for this name";
        }
        if (row.conforms && row.base.empty()) {
            EXPECT_TRUE(log.has(1, kMemberRefused));
        }
        if (!row.conforms && own_candidate) {
            EXPECT_FALSE(in_module_sets(before_last_underscore));
        }
        // Conforming or not, both hashes are written.
        EXPECT_EQ(raw_.str({"HGET", row.module + "_zeltbackup", "k"}), "v");
        EXPECT_EQ(raw_.str({"HGET", row.module, "k"}), "v");
    }
}

TEST_F(ParametersTest, AddAndUpdateWriteTheModuleHashOnly) {
    const std::vector<
        std::pair<const char*, std::function<int8_t(const char*, const char*, const char*)>>>
        writers = {{"add_param", tz::add_param}, {"update_param", tz::update_param}};
    for (const auto& [name, write] : writers) {
        SCOPED_TRACE(name);
        const std::string module = key("upd");
        const std::string backup = module + "_zeltbackup";
        ASSERT_EQ(tz::init_param(module.c_str(), "level", "old"), 0);

        CommandMonitor monitor;
        EXPECT_EQ(write(module.c_str(), "level", "new"), 0);
        EXPECT_EQ(write(module.c_str(), "fresh", "1"), 0);
        EXPECT_EQ(monitor.commands_naming({module, backup}),
                  (std::vector<Command>{{"HSET", module, "level", "new"},
                                        {"HSET", module, "fresh", "1"}}));
        EXPECT_EQ(raw_.str({"HGET", module, "level"}), "new");
        EXPECT_EQ(raw_.str({"HGET", backup, "level"}), "old");
        EXPECT_EQ(raw_.str({"HGET", module, "fresh"}), "1");
        EXPECT_EQ(raw_.str({"HGET", backup, "fresh"}), "<nil>");
    }
}

TEST_F(ParametersTest, TextValuesAndKeysTravelWhole) {
    const std::string module = key("text");
    const Strings values = {"",
                            "two words",
                            "100%s%d%n%%",
                            "tab\tand\nline\r\nbreaks",
                            "ünïcöde ✓",
                            "\"quoted\" \\ back",
                            std::string(100000, 'x'),
                            "\x01\x7f\xff"};
    for (const std::string& value : values) {
        SCOPED_TRACE(shown(value.substr(0, 40)));
        ASSERT_EQ(tz::update_param(module.c_str(), "k", value.c_str()), 0);
        EXPECT_EQ(raw_.str({"HGET", module, "k"}), value);
        EXPECT_EQ(tz::get_param(module.c_str(), "k"), value);
        ASSERT_EQ(tz::init_param(module.c_str(), "i", value.c_str()), 0);
        EXPECT_EQ(raw_.str({"HGET", module + "_zeltbackup", "i"}), value);
        EXPECT_EQ(tz::get_param(module.c_str(), "i"), value);
    }
    for (const char* field : {"my key %s", "k:with:colons", "*"}) {
        SCOPED_TRACE(field);
        ASSERT_EQ(tz::add_param(module.c_str(), field, "x y"), 0);
        EXPECT_EQ(raw_.str({"HGET", module, field}), "x y");
        EXPECT_EQ(tz::get_param(module.c_str(), field), "x y");
    }
}

TEST_F(ParametersTest, EmptyValueIsStoredByEveryTextWrite) {
    const std::vector<
        std::pair<const char*, std::function<int8_t(const char*, const char*, const char*)>>>
        writers = {{"init_param", tz::init_param},
                   {"add_param", tz::add_param},
                   {"update_param", tz::update_param}};
    for (const auto& [name, write] : writers) {
        SCOPED_TRACE(name);
        const std::string module = key("empty");
        LogCapture log;
        ASSERT_EQ(write(module.c_str(), "k", ""), 0);
        EXPECT_EQ(raw_.integer({"HEXISTS", module, "k"}), 1);
        EXPECT_EQ(raw_.str({"HGET", module, "k"}), "");
        EXPECT_EQ(tz::get_param(module.c_str(), "k"), "");
        EXPECT_EQ(log.count_containing("not found"), 0);
    }
}

TEST_F(ParametersTest, ByteValuesWithZeroBytesSurviveUpdateParamBinAndGetParamBin) {
    std::string all_bytes;
    for (int b = 0; b < 256; ++b) all_bytes.push_back(static_cast<char>(b));
    std::string random_mib(1 << 20, '\0');
    std::mt19937 gen(42);
    for (char& c : random_mib) c = static_cast<char>(gen() & 0xff);
    const Strings values = {std::string("\0", 1), std::string("a\0b", 3), std::string("\0\0\0", 3),
                            all_bytes, random_mib};
    for (const std::string& value : values) {
        SCOPED_TRACE(value.size());
        const std::string module = key("bin");
        CommandMonitor monitor;
        ASSERT_EQ(tz::update_param_bin(module.c_str(), "b", value.data(),
                                       static_cast<int32_t>(value.size())),
                  0);
        if (value.size() < 1000) {
            EXPECT_EQ(monitor.commands_naming({module, module + "_zeltbackup"}),
                      (std::vector<Command>{{"HSET", module, "b", value}}));
        }
        EXPECT_EQ(raw_.str({"HGET", module, "b"}), value);
        EXPECT_FALSE(raw_.exists(module + "_zeltbackup"));

        LogCapture log;
        EXPECT_EQ(tz::get_param_bin(module.c_str(), "b"), value);
        const std::string n = std::to_string(value.size());
        EXPECT_TRUE(log.has(4, "get_value_bin: " + n + " bytes"));
        EXPECT_TRUE(log.has(4, "HGET(bin) " + module + " b => " + n + " bytes"));
        EXPECT_EQ(tz::get_param(module.c_str(), "b"), value);
    }
}

TEST_F(ParametersTest, ReadsOfMissingFieldsModulesAndWrongTypesGiveEmptyText) {
    const std::string hash = key("rd");
    const std::string set = key("rdset");
    raw_.integer({"HSET", hash, "present", "x", "empty", ""});
    raw_.integer({"SADD", set, "m"});
    struct Row {
        std::string module;
        std::string field;
        std::string text_line;  // "" when nothing is logged at level 1
        std::string bin_line;
    };
    const std::string missing = unique_name("nosuchmodule");
    const std::vector<Row> rows = {
        {missing, "k", "HGET not found: module=" + missing + ", key=k",
         "HGET(bin) not found: module=" + missing + ", key=k"},
        {hash, "absent", "HGET not found: module=" + hash + ", key=absent",
         "HGET(bin) not found: module=" + hash + ", key=absent"},
        {hash, "empty", "", ""},
        {set, "k", "HGET unexpected reply type=6 (module=" + set + ", key=k)",
         "HGET(bin) unexpected reply type=6 (module=" + set + ", key=k)"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.module + " " + row.field);
        for (bool bin : {false, true}) {
            LogCapture log;
            const std::string got = bin ? tz::get_param_bin(row.module.c_str(), row.field.c_str())
                                        : tz::get_param(row.module.c_str(), row.field.c_str());
            EXPECT_EQ(got, "");
            Lines warnings;
            for (const auto& line : levels_and_texts(log)) {
                if (line.first <= 2) warnings.push_back(line);
            }
            const std::string& expected = bin ? row.bin_line : row.text_line;
            const Lines wanted = expected.empty() ? Lines{} : Lines{{1, expected}};
            EXPECT_EQ(warnings, wanted);
        }
    }
    EXPECT_EQ(tz::get_param(hash.c_str(), "present"), "x");
}

TEST_F(ParametersTest, DeletesReportWhetherSomethingWasRemoved) {
    const std::string base = key("del");
    const std::string module = track(base + "_9");
    const std::string backup = module + "_zeltbackup";
    const std::string set = key("delset");
    track_base(base);
    ASSERT_EQ(tz::init_param(module.c_str(), "a", "1"), 0);
    ASSERT_EQ(tz::init_param(module.c_str(), "b", "2"), 0);
    raw_.integer({"SADD", set, "m"});
    const std::string removed = "Delete module: " + module + " successfully.";
    auto nothing_removed = [](const std::string& name) {
        return "Delete module failed or no module deleted. The module to be deleted is: " + name;
    };

    struct Row {
        std::string call;
        std::function<int8_t()> run;
        int8_t result;
        std::string line;  // at level 4
    };
    const std::string missing = unique_name("nosuchmodule");
    const std::vector<Row> rows = {
        {"delete_param existing field", [&] { return tz::delete_param(module.c_str(), "a"); }, 0,
         removed},
        {"delete_param same field again", [&] { return tz::delete_param(module.c_str(), "a"); }, -1,
         nothing_removed(module)},
        {"delete_param missing module", [&] { return tz::delete_param(missing.c_str(), "a"); }, -1,
         nothing_removed(missing)},
        {"delete_param on a set", [&] { return tz::delete_param(set.c_str(), "m"); }, -1,
         nothing_removed(set)},
        {"module_clear existing module", [&] { return tz::module_clear(module.c_str()); }, 0,
         removed},
        {"module_clear again", [&] { return tz::module_clear(module.c_str()); }, -1,
         nothing_removed(module)},
        {"module_clear missing module", [&] { return tz::module_clear(missing.c_str()); }, -1,
         nothing_removed(missing)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.call);
        LogCapture log;
        EXPECT_EQ(shown(row.run()), shown(row.result));
        EXPECT_EQ(log.count(4, row.line), 1);
        if (row.call == "delete_param existing field") {
            EXPECT_EQ(raw_.integer({"HEXISTS", module, "a"}), 0);
            EXPECT_EQ(raw_.str({"HGET", module, "b"}), "2");
            EXPECT_EQ(raw_.str({"HGET", backup, "a"}), "1") << "the backup hash keeps it";
        }
    }
    // module_clear deletes the one key it names.
    EXPECT_FALSE(raw_.exists(module));
    EXPECT_EQ(raw_.str({"HGET", backup, "b"}), "2");
    EXPECT_TRUE(in_module_sets(base));
    EXPECT_EQ(raw_.str({"TYPE", set}), "set");
}

TEST_F(ParametersTest, GetModulesListsEveryKeyThatBeginsWithTheNameAndAnUnderscore) {
    const std::string base = key("lst");
    for (const std::string& k :
         {base + "_1", base + "_1_zeltbackup", base + "_22", base, base + "x_1", base + "_"}) {
        raw_.integer({"HSET", track(k), "f", "v"});
    }
    raw_.integer({"SADD", track(base + "_set"), "m"});
    EXPECT_EQ(
        sorted(tz::get_modules(base.c_str())),
        sorted({base + "_", base + "_1", base + "_1_zeltbackup", base + "_22", base + "_set"}));

    // Glob characters in the name are taken literally.
    struct Row {
        std::string name;
        Strings keys;
        Strings listed;
    };
    const std::vector<Row> rows = {
        {base + "*", {base + "*_1", base + "Z_1"}, {base + "*_1"}},
        {base + "?", {base + "?_1", base + "Q_1"}, {base + "?_1"}},
        {base + "[ab]", {base + "[ab]_1", base + "a_1", base + "b_1"}, {base + "[ab]_1"}},
        {base + "\\", {base + "\\_1"}, {base + "\\_1"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        for (const auto& k : row.keys) raw_.integer({"HSET", track(k), "f", "v"});
        EXPECT_EQ(sorted(tz::get_modules(row.name.c_str())), sorted(row.listed));
    }

    LogCapture log;
    EXPECT_TRUE(tz::get_modules(unique_name("nothing").c_str()).empty());
    EXPECT_EQ(log.count_containing("Failed to get the key"), 0);
}

TEST_F(ParametersTest, SetsKeepTheirMembers) {
    const std::string set = key("set");
    const Strings members = {"a", "b", "with space", "%s%n", "\xc3\xa9"};
    for (const auto& m : members) EXPECT_EQ(tz::add_sets_value(set.c_str(), m.c_str()), 0);
    EXPECT_EQ(tz::add_sets_value(set.c_str(), "a"), 0) << "a member already there";
    EXPECT_EQ(sorted(tz::get_sets_l(set.c_str())), sorted(members));
    EXPECT_EQ(sorted(raw_.strings({"SMEMBERS", set})), sorted(members));

    LogCapture log;
    EXPECT_TRUE(tz::get_sets_l(unique_name("nosuchset").c_str()).empty());
    EXPECT_EQ(log.count_containing("Failed to get SMEMBERS"), 0);

    const std::string hash = key("notaset");
    raw_.integer({"HSET", hash, "f", "v"});
    EXPECT_TRUE(tz::get_sets_l(hash.c_str()).empty());
    EXPECT_TRUE(log.has(1, "Failed to get SMEMBERS " + hash));
}

TEST_F(ParametersTest, WriteRefusedByTheServerReturnsMinusOne) {
    struct Row {
        std::string what;
        std::string prepare;  // type of the key the write hits: "set", "string", "list", "hash"
        std::function<int8_t(const std::string&)> write;
        int8_t result;
        std::string line;  // level 1, "" for none
    };
    const char bytes[] = {'x', '\0', 'y'};
    const std::vector<Row> rows = {
        {"init_param on a set", "set",
         [](const std::string& m) { return tz::init_param(m.c_str(), "k", "v"); }, -1,
         "HSET unexpected reply type=6"},
        {"add_param on a string", "string",
         [](const std::string& m) { return tz::add_param(m.c_str(), "k", "v"); }, -1,
         "HSET unexpected reply type=6"},
        {"update_param on a list", "list",
         [](const std::string& m) { return tz::update_param(m.c_str(), "k", "v"); }, -1,
         "HSET unexpected reply type=6"},
        {"update_param_bin on a set", "set",
         [&](const std::string& m) { return tz::update_param_bin(m.c_str(), "k", bytes, 3); }, -1,
         "HSET(bin) unexpected reply type=6"},
        {"add_sets_value on a hash", "hash",
         [](const std::string& k) { return tz::add_sets_value(k.c_str(), "m"); }, -1, ""},
        {"add_sets_value on a string", "string",
         [](const std::string& k) { return tz::add_sets_value(k.c_str(), "m"); }, -1, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const std::string target = key("refused");
        if (row.prepare == "set") raw_.integer({"SADD", target, "member"});
        if (row.prepare == "string") raw_.str({"SET", target, "text"});
        if (row.prepare == "list") raw_.integer({"RPUSH", target, "item"});
        if (row.prepare == "hash") raw_.integer({"HSET", target, "f", "v"});
        LogCapture log;
        EXPECT_EQ(shown(row.write(target)), shown(row.result));
        if (!row.line.empty()) {
            EXPECT_EQ(log.count(1, row.line), 1);
        }
        EXPECT_EQ(raw_.str({"TYPE", target}), row.prepare) << "the key is unchanged";
    }

    // init_param: the module hash write decides the result; a refused backup write does not.
    const std::string module = key("backupblocked");
    raw_.str({"SET", module + "_zeltbackup", "text"});
    EXPECT_EQ(tz::init_param(module.c_str(), "k", "v"), 0);
    EXPECT_EQ(raw_.str({"HGET", module, "k"}), "v");
    EXPECT_EQ(raw_.str({"GET", module + "_zeltbackup"}), "text");

    const std::string blocked = key("moduleblocked");
    raw_.integer({"SADD", blocked, "member"});
    EXPECT_EQ(tz::init_param(blocked.c_str(), "k", "v"), -1);
    EXPECT_EQ(raw_.str({"HGET", blocked + "_zeltbackup", "k"}), "v") << "written first";
}

TEST_F(ParametersTest, ArgumentChecksRefuseWithTheirMessageAndSendNothing) {
    const std::string m = key("args");
    const std::string s = key("argset");
    const char* const mc = m.c_str();
    const char* const sc = s.c_str();
    const char bytes[] = {'a', '\0', 'c'};
    struct Row {
        std::string call;
        std::function<std::string()> run;
        std::string result;
        Lines lines;
        std::string file = "src/wrap_zelt_core";
    };
    const std::string minus = shown(int8_t{-1});
    const std::string empty_text = shown(std::string());
    const std::string empty_list = shown(Strings{});
    const std::vector<Row> rows = {
        {"init_param(null, k, v)",
         [&] { return shown(tz::init_param(nullptr, "k", "v")); },
         minus,
         {{1, kModuleRefused}}},
        {"init_param(\"\", k, v)",
         [&] { return shown(tz::init_param("", "k", "v")); },
         minus,
         {{0, mismatch("")}, {1, kModuleRefused}}},
        {"init_param(m, null, v)",
         [&] { return shown(tz::init_param(mc, nullptr, "v")); },
         minus,
         {{0, mismatch(m)}, {1, kKeyRefused}}},
        {"init_param(m, \"\", v)",
         [&] { return shown(tz::init_param(mc, "", "v")); },
         minus,
         {{0, mismatch(m)}, {1, kKeyRefused}}},
        {"init_param(m, k, null)",
         [&] { return shown(tz::init_param(mc, "k", nullptr)); },
         minus,
         {{0, mismatch(m)}, {1, kValueRefused}}},
        {"init_param(null, null, null)",
         [&] { return shown(tz::init_param(nullptr, nullptr, nullptr)); },
         minus,
         {{1, kModuleRefused}}},
        {"add_param(null, k, v)",
         [&] { return shown(tz::add_param(nullptr, "k", "v")); },
         minus,
         {{1, kModuleRefused}}},
        {"add_param(\"\", k, v)",
         [&] { return shown(tz::add_param("", "k", "v")); },
         minus,
         {{1, kModuleRefused}}},
        {"add_param(m, \"\", v)",
         [&] { return shown(tz::add_param(mc, "", "v")); },
         minus,
         {{1, kKeyRefused}}},
        {"add_param(m, null, null)",
         [&] { return shown(tz::add_param(mc, nullptr, nullptr)); },
         minus,
         {{1, kKeyRefused}}},
        {"add_param(m, k, null)",
         [&] { return shown(tz::add_param(mc, "k", nullptr)); },
         minus,
         {{1, kValueRefused}}},
        {"update_param(null, k, v)",
         [&] { return shown(tz::update_param(nullptr, "k", "v")); },
         minus,
         {{1, kModuleRefused}}},
        {"update_param(m, null, v)",
         [&] { return shown(tz::update_param(mc, nullptr, "v")); },
         minus,
         {{1, kKeyRefused}}},
        {"update_param(m, k, null)",
         [&] { return shown(tz::update_param(mc, "k", nullptr)); },
         minus,
         {{1, kValueRefused}}},
        {"update_param_bin(null, k, b, 3)",
         [&] { return shown(tz::update_param_bin(nullptr, "k", bytes, 3)); },
         minus,
         {{1, kModuleRefused}}},
        {"update_param_bin(\"\", k, b, 3)",
         [&] { return shown(tz::update_param_bin("", "k", bytes, 3)); },
         minus,
         {{1, kModuleRefused}}},
        {"update_param_bin(m, null, b, 3)",
         [&] { return shown(tz::update_param_bin(mc, nullptr, bytes, 3)); },
         minus,
         {{1, kKeyRefused}}},
        {"update_param_bin(m, \"\", b, 3)",
         [&] { return shown(tz::update_param_bin(mc, "", bytes, 3)); },
         minus,
         {{1, kKeyRefused}}},
        {"update_param_bin(m, k, null, 3)",
         [&] { return shown(tz::update_param_bin(mc, "k", nullptr, 3)); },
         minus,
         {{1, kBytesRefused}}},
        {"update_param_bin(m, k, b, 0)",
         [&] { return shown(tz::update_param_bin(mc, "k", bytes, 0)); },
         minus,
         {{1, kBytesRefused}}},
        {"update_param_bin(m, k, null, 0)",
         [&] { return shown(tz::update_param_bin(mc, "k", nullptr, 0)); },
         minus,
         {{1, kBytesRefused}}},
        {"update_param_bin(m, k, b, -1)",
         [&] { return shown(tz::update_param_bin(mc, "k", bytes, -1)); },
         minus,
         {{1, "Value length -1 is negative. Exiting function."}},
         "src/tovzelt"},
        {"update_param_bin(m, k, b, INT32_MIN)",
         [&] { return shown(tz::update_param_bin(mc, "k", bytes, INT32_MIN)); },
         minus,
         {{1, "Value length -2147483648 is negative. Exiting function."}},
         "src/tovzelt"},
        {"delete_param(null, k)",
         [&] { return shown(tz::delete_param(nullptr, "k")); },
         minus,
         {{1, kModuleRefused}}},
        {"delete_param(\"\", k)",
         [&] { return shown(tz::delete_param("", "k")); },
         minus,
         {{1, kModuleRefused}}},
        {"delete_param(m, null)",
         [&] { return shown(tz::delete_param(mc, nullptr)); },
         minus,
         {{1, kKeyRefused}}},
        {"delete_param(m, \"\")",
         [&] { return shown(tz::delete_param(mc, "")); },
         minus,
         {{1, kKeyRefused}}},
        {"module_clear(null)",
         [&] { return shown(tz::module_clear(nullptr)); },
         minus,
         {{1, kModuleRefused}}},
        {"module_clear(\"\")",
         [&] { return shown(tz::module_clear("")); },
         minus,
         {{1, kModuleRefused}}},
        {"get_param(null, k)",
         [&] { return shown(tz::get_param(nullptr, "k")); },
         empty_text,
         {{1, kModuleRefused}}},
        {"get_param(m, null)",
         [&] { return shown(tz::get_param(mc, nullptr)); },
         empty_text,
         {{1, kKeyRefused}}},
        {"get_param(m, \"\")",
         [&] { return shown(tz::get_param(mc, "")); },
         empty_text,
         {{1, kKeyRefused}}},
        {"get_param_bin(\"\", k)",
         [&] { return shown(tz::get_param_bin("", "k")); },
         empty_text,
         {{1, kModuleRefused}}},
        {"get_param_bin(m, null)",
         [&] { return shown(tz::get_param_bin(mc, nullptr)); },
         empty_text,
         {{1, kKeyRefused}}},
        {"get_modules(null)",
         [&] { return shown(tz::get_modules(nullptr)); },
         empty_list,
         {{1, kModuleRefused}}},
        {"get_modules(\"\")",
         [&] { return shown(tz::get_modules("")); },
         empty_list,
         {{1, kModuleRefused}}},
        {"add_sets_value(null, x)",
         [&] { return shown(tz::add_sets_value(nullptr, "x")); },
         minus,
         {{1, kSetKeyRefused}}},
        {"add_sets_value(\"\", x)",
         [&] { return shown(tz::add_sets_value("", "x")); },
         minus,
         {{1, kSetKeyRefused}}},
        {"add_sets_value(null, null)",
         [&] { return shown(tz::add_sets_value(nullptr, nullptr)); },
         minus,
         {{1, kSetKeyRefused}}},
        {"add_sets_value(s, null)",
         [&] { return shown(tz::add_sets_value(sc, nullptr)); },
         minus,
         {{1, kMemberRefused}}},
        {"add_sets_value(s, \"\")",
         [&] { return shown(tz::add_sets_value(sc, "")); },
         minus,
         {{1, kMemberRefused}}},
        {"get_sets_l(null)",
         [&] { return shown(tz::get_sets_l(nullptr)); },
         empty_list,
         {{1, kSetKeyRefused}}},
        {"get_sets_l(\"\")",
         [&] { return shown(tz::get_sets_l("")); },
         empty_list,
         {{1, kSetKeyRefused}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.call);
        LogCapture log;
        EXPECT_EQ(row.run(), row.result);
        EXPECT_EQ(levels_and_texts(log), row.lines);
        for (const auto& line : log.lines()) {
            EXPECT_EQ(line.tag, "Tovzelt");
            EXPECT_EQ(line.file, line.level == 0 ? "src/wrap_zelt_core" : row.file);
        }
    }
    EXPECT_FALSE(raw_.exists(m));
    EXPECT_FALSE(raw_.exists(m + "_zeltbackup"));
    EXPECT_FALSE(raw_.exists(s));
}

TEST_F(ParametersTest, ConcurrentCreateZeltInsGivesOneObjectPerName) {
    tz::TovZELT& facade = tz::TovZELT::getInstance();
    Strings names;
    for (int i = 0; i < 5; ++i) names.push_back(unique_name("reg"));
    names.push_back(unique_name("reg") + "_77");
    const size_t sockets_before = tovzelt_test::open_tcp_sockets();

    constexpr int kThreads = 24;
    std::vector<std::pair<tz::TovZeltCore*, tz::TovZeltCore*>> got(kThreads);
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            ++ready;
            while (!go.load()) std::this_thread::yield();
            got[t].first = facade.create_zelt_ins(names[t % names.size()]);
            got[t].second = facade.create_zelt_ins(names[(t + 1) % names.size()]);
        });
    }
    while (ready.load() < kThreads) std::this_thread::yield();
    go = true;
    for (auto& thread : threads) thread.join();

    std::map<std::string, std::set<tz::TovZeltCore*>> by_name;
    for (int t = 0; t < kThreads; ++t) {
        by_name[names[t % names.size()]].insert(got[t].first);
        by_name[names[(t + 1) % names.size()]].insert(got[t].second);
    }
    std::set<tz::TovZeltCore*> objects;
    std::set<int> descriptors;
    for (const auto& [name, cores] : by_name) {
        SCOPED_TRACE(name);
        ASSERT_EQ(cores.size(), 1u) << "one object per name";
        tz::TovZeltCore* core = *cores.begin();
        ASSERT_NE(core, nullptr);
        objects.insert(core);
        redisContext* connection = core->get_redis_context();
        ASSERT_NE(connection, nullptr);
        EXPECT_EQ(connection->err, 0);
        descriptors.insert(connection->fd);
        EXPECT_EQ(facade.create_zelt_ins(name), core) << "a later call gets the same object";
    }
    EXPECT_EQ(objects.size(), names.size());
    EXPECT_EQ(descriptors.size(), names.size()) << "each object has a connection of its own";
    EXPECT_EQ(tovzelt_test::open_tcp_sockets(), sockets_before + names.size())
        << "no connection was opened for an object that was then thrown away";
}

TEST_F(ParametersTest, ManyThreadsWriteAndReadAtOnce) {
    const std::string shared = key("shared");
    constexpr int kThreads = 16;
    constexpr int kRounds = 40;
    Strings own(kThreads);
    for (auto& module : own) module = key("own");
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const char* module = own[t].c_str();
            for (int r = 0; r < kRounds; ++r) {
                const std::string value = std::to_string(t) + ":" + std::to_string(r);
                if (tz::update_param(module, "k", value.c_str()) != 0) ++wrong;
                if (tz::get_param(module, "k") != value) ++wrong;
                if (tz::update_param(shared.c_str(), "k", value.c_str()) != 0) ++wrong;
                if (tz::update_param_bin(module, "b", value.data(),
                                         static_cast<int32_t>(value.size())) != 0) {
                    ++wrong;
                }
                if (tz::get_param_bin(module, "b") != value) ++wrong;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
    const std::string last = raw_.str({"HGET", shared, "k"});
    EXPECT_EQ(last.substr(last.find(':') + 1), std::to_string(kRounds - 1));
    EXPECT_EQ(tz::RedisConnectionPool::getInstance().inUse(), 0u);
}

}  // namespace
