// Bad input at every exported function and at zelt_tool's command line: null and empty texts,
// 1 MiB values, names with spaces, glob characters ('*', '?', '['), format characters
// (%s %n %d), control bytes and line breaks. Nothing may crash, every text must travel as it
// stands, and nothing may be written, listed or deleted outside the names given: a name holding
// '*' must not reach the keys that a glob reading of it would match.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "test_support.h"
#include "tool_runner.h"
#include "tovzelt.h"

namespace tz = Tovana::TovZelt;
using tovzelt_test::RawRedis;
using tovzelt_test::unique_name;

namespace {

constexpr size_t kMiB = 1024 * 1024;

std::string pid_text() { return std::to_string(getpid()); }

// 1 MiB of text with spaces, percent signs and every printable character.
std::string big_text() {
    std::string text(kMiB, ' ');
    for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>(' ' + (i * 31) % 95);
    return text;
}

// 1 MiB of bytes, zero bytes included.
std::string big_bytes() {
    std::string bytes(kMiB, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 131) & 0xff);
    return bytes;
}

std::set<std::string> as_set(const std::vector<std::string>& list) {
    return std::set<std::string>(list.begin(), list.end());
}

class BadInputTest : public ::testing::Test {
protected:
    void SetUp() override { tovzelt_test::ensure_server_running(); }
    void TearDown() override {
        for (const std::string& key : keys_) raw_.integer({"DEL", key});
        for (const std::string& base : bases_) raw_.integer({"SREM", "module_sets", base});
    }
    // Keys and base names removed at the end of the test.
    std::string key(const std::string& name) {
        keys_.push_back(name);
        return name;
    }
    void base(const std::string& name) { bases_.push_back(name); }

    RawRedis raw_;
    std::vector<std::string> keys_;
    std::vector<std::string> bases_;
};

TEST_F(BadInputTest, NullAndEmptyTextsAreRefusedAndWriteNothing) {
    // A module name that does not conform to "<name>_<pid>": init_param records nothing in
    // "module_sets" for it either.
    const std::string m = key(unique_name("faultnull"));
    key(m + "_zeltbackup");
    const std::string k = unique_name("k");
    const std::string s = key(unique_name("faultnullset"));
    const char* M = m.c_str();
    const char* K = k.c_str();
    const char* S = s.c_str();
    const char bytes[] = {'a', '\0', 'b'};
    std::string out_key = "untouched";
    std::string out_value = "untouched";

    struct Case {
        const char* what;
        std::function<bool()> refused;
    };
    using TextWrite = int8_t (*)(const char*, const char*, const char*);
    const std::vector<std::pair<const char*, TextWrite>> text_writes = {
        {"init_param", tz::init_param},
        {"add_param", tz::add_param},
        {"update_param", tz::update_param}};
    std::vector<Case> cases;
    for (const auto& entry : text_writes) {
        const TextWrite write = entry.second;
        cases.push_back({entry.first, [=] { return write(nullptr, K, "v") == -1; }});
        cases.push_back({entry.first, [=] { return write("", K, "v") == -1; }});
        cases.push_back({entry.first, [=] { return write(M, nullptr, "v") == -1; }});
        cases.push_back({entry.first, [=] { return write(M, "", "v") == -1; }});
        cases.push_back({entry.first, [=] { return write(M, K, nullptr) == -1; }});
    }
    const std::vector<std::pair<const void*, int32_t>> refused_bytes = {
        {nullptr, 3}, {bytes, 0}, {bytes, -1}, {bytes, INT32_MIN}};
    for (const auto& entry : refused_bytes) {
        const void* value = entry.first;
        const int32_t length = entry.second;
        cases.push_back(
            {"update_param_bin", [=] { return tz::update_param_bin(M, K, value, length) == -1; }});
    }
    cases.push_back(
        {"update_param_bin", [=] { return tz::update_param_bin(nullptr, K, bytes, 3) == -1; }});
    cases.push_back(
        {"update_param_bin", [=] { return tz::update_param_bin("", K, bytes, 3) == -1; }});
    cases.push_back(
        {"update_param_bin", [=] { return tz::update_param_bin(M, nullptr, bytes, 3) == -1; }});
    cases.push_back(
        {"update_param_bin", [=] { return tz::update_param_bin(M, "", bytes, 3) == -1; }});
    const std::vector<std::pair<const char*, const char*>> refused_names = {
        {nullptr, K}, {"", K}, {M, nullptr}, {M, ""}};
    for (const auto& entry : refused_names) {
        const char* module = entry.first;
        const char* field = entry.second;
        cases.push_back({"delete_param", [=] { return tz::delete_param(module, field) == -1; }});
        cases.push_back({"get_param", [=] { return tz::get_param(module, field).empty(); }});
        cases.push_back(
            {"get_param_bin", [=] { return tz::get_param_bin(module, field).empty(); }});
    }
    for (const char* text : {static_cast<const char*>(nullptr), ""}) {
        cases.push_back({"module_clear", [=] { return tz::module_clear(text) == -1; }});
        cases.push_back({"get_modules", [=] { return tz::get_modules(text).empty(); }});
        cases.push_back({"get_sets_l", [=] { return tz::get_sets_l(text).empty(); }});
        cases.push_back({"add_sets_value", [=] { return tz::add_sets_value(text, "m") == -1; }});
        cases.push_back({"add_sets_value", [=] { return tz::add_sets_value(S, text) == -1; }});
        cases.push_back({"get_change_notes", [=, &out_key, &out_value] {
                             return tz::get_change_notes(text, out_key, out_value) == -1;
                         }});
    }
    for (const char* command : {"", "   "}) {
        cases.push_back(
            {"exec_cmd_in_redis", [=] { return tz::exec_cmd_in_redis(command) == -1; }});
        cases.push_back(
            {"query_cmd_in_redis", [=] { return tz::query_cmd_in_redis(command).empty(); }});
    }

    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(std::string(cases[i].what) + " case " + std::to_string(i));
        EXPECT_TRUE(cases[i].refused());
    }
    EXPECT_EQ(out_key, "untouched");
    EXPECT_EQ(out_value, "untouched");
    // Nothing written under the names given, nor under the empty name.
    EXPECT_FALSE(raw_.exists(m));
    EXPECT_FALSE(raw_.exists(m + "_zeltbackup"));
    EXPECT_FALSE(raw_.exists(s));
    EXPECT_EQ(raw_.integer({"HEXISTS", "", k}), 0);
    EXPECT_EQ(raw_.integer({"HEXISTS", "_zeltbackup", k}), 0);
}

TEST_F(BadInputTest, MebibyteValuesTravelWhole) {
    const std::string text = big_text();
    const std::string bytes = big_bytes();
    const std::string module = key(unique_name("faultbig") + "_" + pid_text());
    key(module + "_zeltbackup");
    base(module.substr(0, module.rfind('_')));

    ASSERT_EQ(tz::init_param(module.c_str(), "init", text.c_str()), 0);
    EXPECT_EQ(raw_.str({"HGET", module + "_zeltbackup", "init"}), text);
    EXPECT_EQ(tz::get_param(module.c_str(), "init"), text);

    const std::string changed = text.substr(1) + "!";
    ASSERT_EQ(tz::update_param(module.c_str(), "init", changed.c_str()), 0);
    std::string k;
    std::string v;
    EXPECT_EQ(tz::get_change_notes(module.c_str(), k, v), 1);
    EXPECT_EQ(k, "init");
    EXPECT_EQ(v, changed);
    EXPECT_EQ(raw_.str({"HGET", module + "_zeltbackup", "init"}), changed);

    ASSERT_EQ(tz::update_param_bin(module.c_str(), "bin", bytes.data(),
                                   static_cast<int32_t>(bytes.size())),
              0);
    EXPECT_EQ(tz::get_param_bin(module.c_str(), "bin"), bytes);
    EXPECT_EQ(tz::get_change_notes(module.c_str(), k, v), 3);
    EXPECT_EQ(v, bytes) << "the added bytes are reported whole";

    const std::string set = key(unique_name("faultbigset"));
    EXPECT_EQ(tz::add_sets_value(set.c_str(), text.c_str()), 0);
    EXPECT_EQ(tz::get_sets_l(set.c_str()), std::vector<std::string>{text});

    // Free-form commands: one 1 MiB word (the text without its spaces).
    std::string word = text;
    for (char& c : word) c = c == ' ' ? '_' : c;
    const std::string plain = key(unique_name("faultbigkey"));
    EXPECT_EQ(tz::exec_cmd_in_redis("SET " + plain + " " + word), 0);
    EXPECT_EQ(raw_.str({"GET", plain}), word);
    EXPECT_EQ(tz::query_cmd_in_redis("GET " + plain), word);

    // A 64 KiB module name and key.
    const std::string long_module = key(unique_name(std::string(64 * 1024, 'm')));
    const std::string long_key(64 * 1024, 'k');
    EXPECT_EQ(tz::update_param(long_module.c_str(), long_key.c_str(), "v"), 0);
    EXPECT_EQ(tz::get_param(long_module.c_str(), long_key.c_str()), "v");
}

// A name part, and (when there is one) a part that a glob reading of it would match: keys made
// with the second must never be listed or deleted through names made with the first.
struct OddName {
    const char* what;
    std::string part;
    std::string lookalike;
};

const std::vector<OddName>& odd_names() {
    static const std::vector<OddName> names = {
        {"spaces", "a b  c", ""},
        {"star", "ab*", "abXYZ"},
        {"question mark", "ab?", "abQ"},
        {"bracket class", "a[bc]", "ab"},
        {"lone bracket", "a[", ""},
        {"escaped star", "a\\*", "a*"},
        {"format characters", "%s%n%d%x", ""},
        {"control and high bytes", "\x01\x02\x7f\xfe\xff", ""},
        {"line break", "a\r\nb", ""},
    };
    return names;
}

TEST_F(BadInputTest, OddNamesAreTakenLiterallyByEveryModuleFunction) {
    for (const OddName& odd : odd_names()) {
        SCOPED_TRACE(odd.what);
        const std::string prefix = unique_name("faultodd");
        const std::string base_name = prefix + odd.part;
        const std::string module = key(base_name + "_" + pid_text());
        const std::string backup = key(module + "_zeltbackup");
        base(base_name);
        const std::string field = odd.part + "k";
        const std::string value = "%s%n" + odd.part + "v";
        std::string lookalike;
        if (!odd.lookalike.empty()) {
            lookalike = key(prefix + odd.lookalike + "_" + pid_text());
            key(lookalike + "_zeltbackup");
            raw_.integer({"HSET", lookalike, "keep", "1"});
            raw_.integer({"HSET", lookalike + "_zeltbackup", "keep", "1"});
        }

        ASSERT_EQ(tz::init_param(module.c_str(), field.c_str(), value.c_str()), 0);
        EXPECT_EQ(raw_.str({"HGET", module, field}), value);
        EXPECT_EQ(raw_.str({"HGET", backup, field}), value);
        EXPECT_EQ(tz::get_param(module.c_str(), field.c_str()), value);
        EXPECT_EQ(as_set(tz::get_modules(base_name.c_str())),
                  (std::set<std::string>{module, backup}));

        const std::string newer = value + "2";
        ASSERT_EQ(tz::update_param(module.c_str(), field.c_str(), newer.c_str()), 0);
        std::string k;
        std::string v;
        EXPECT_EQ(tz::get_change_notes(module.c_str(), k, v), 1);
        EXPECT_EQ(k, field);
        EXPECT_EQ(v, newer);
        EXPECT_EQ(tz::get_change_notes(module.c_str(), k, v), 0);

        EXPECT_EQ(tz::delete_param(module.c_str(), field.c_str()), 0);
        EXPECT_EQ(raw_.integer({"HEXISTS", module, field}), 0);
        EXPECT_EQ(tz::get_change_notes(module.c_str(), k, v), 2);
        EXPECT_EQ(k, field);

        // Deleting by a name that only a glob reading would stretch to other keys.
        for (const std::string& name : {base_name, base_name + "_*", prefix + "*"}) {
            EXPECT_EQ(tz::module_clear(name.c_str()), -1) << name;
            EXPECT_EQ(tz::delete_param(name.c_str(), "keep"), -1) << name;
        }
        ASSERT_EQ(tz::init_param(module.c_str(), "x", "1"), 0);
        EXPECT_EQ(tz::module_clear(module.c_str()), 0);
        EXPECT_FALSE(raw_.exists(module));
        EXPECT_TRUE(raw_.exists(backup)) << "module_clear deletes the module hash only";

        if (!lookalike.empty()) {
            EXPECT_TRUE(raw_.exists(lookalike));
            EXPECT_TRUE(raw_.exists(lookalike + "_zeltbackup"));
            EXPECT_EQ(raw_.str({"HGET", lookalike, "keep"}), "1");
        }
    }
}

TEST_F(BadInputTest, FreeFormCommandsSendTheirWordsAsTheyStand) {
    const std::string prefix = unique_name("faultfree");
    const std::string percent = key(prefix + "%s%n");
    EXPECT_EQ(tz::exec_cmd_in_redis("SET " + percent + " 50%s%n%d"), 0);
    EXPECT_EQ(raw_.str({"GET", percent}), "50%s%n%d");
    EXPECT_EQ(tz::query_cmd_in_redis("GET " + percent), "50%s%n%d");

    // Line breaks inside a word stay in the word: no second command is smuggled in.
    const std::string victim = key(prefix + "victim");
    raw_.integer({"SADD", victim, "kept"});
    const std::string smuggler = key(prefix + "smuggler");
    const std::string payload = "a\r\nDEL\r\n" + victim + "\r\n";
    EXPECT_EQ(tz::exec_cmd_in_redis("SET " + smuggler + " " + payload), 0);
    EXPECT_EQ(raw_.str({"GET", smuggler}), payload);
    EXPECT_TRUE(raw_.exists(victim));

    // A key holding '*' is one key, not a pattern.
    EXPECT_EQ(tz::exec_cmd_in_redis("DEL " + prefix + "*"), 0);
    EXPECT_TRUE(raw_.exists(victim));
    EXPECT_TRUE(raw_.exists(smuggler));

    const std::string binary = key(prefix + "\x01\xfe\xff");
    EXPECT_EQ(tz::exec_cmd_in_redis("SET " + binary + " \x02\x03"), 0);
    EXPECT_EQ(raw_.str({"GET", binary}), "\x02\x03");
}

TEST_F(BadInputTest, ZeltToolTakesOddWordsLiterally) {
    const std::string prefix = unique_name("faulttool");
    const int dead = tool_test::surely_dead_pid();
    const std::string dead_pid = std::to_string(dead);

    // The lookalike: keys that a glob reading of "<prefix>vic*_..." would match.
    const std::string lookalike = key(prefix + "victim_" + dead_pid);
    key(lookalike + "_zeltbackup");
    raw_.integer({"HSET", lookalike, "keep", "1"});
    raw_.integer({"HSET", lookalike + "_zeltbackup", "keep", "1"});

    // A module of the glob name does not exist, whatever the lookalike.
    const tovzelt_test::CommandResult query = tool_test::run_tool({"query", prefix + "vic*", "k"});
    EXPECT_NE(query.out.find("Module doesn't exist"), std::string::npos) << query.out;

    // A stale module whose base name holds '*': the cleanup of any run deletes its keys and
    // leaves the lookalike alone.
    const std::string glob_base = prefix + "vic*";
    base(glob_base);
    const std::string stale = key(glob_base + "_" + dead_pid);
    key(stale + "_zeltbackup");
    raw_.integer({"HSET", stale, "k", "v"});
    raw_.integer({"HSET", stale + "_zeltbackup", "k", "v"});
    raw_.integer({"SADD", "module_sets", glob_base});

    // A module of this (running) process, named with format characters and listed for the
    // cleanup.
    const std::string module = key(prefix + "%s%n_" + pid_text());
    key(module + "_zeltbackup");
    base(prefix + "%s%n");
    raw_.integer({"SADD", "module_sets", prefix + "%s%n"});
    raw_.integer({"HSET", module + "_zeltbackup", "f", "v"});
    const tovzelt_test::CommandResult add = tool_test::run_tool({"add", module, "k%d%n", "v%s%x"});
    EXPECT_NE(add.out.find("Add successfully."), std::string::npos) << add.out;
    EXPECT_EQ(raw_.str({"HGET", module, "k%d%n"}), "v%s%x");

    const tovzelt_test::CommandResult refused =
        tool_test::run_tool({"set", module, "log_level", "%s%n%d"});
    EXPECT_NE(refused.out.find("log value: %s%n%d not supported."), std::string::npos)
        << refused.out;

    EXPECT_FALSE(raw_.exists(stale)) << "the stale module of the glob base name was kept";
    EXPECT_FALSE(raw_.exists(stale + "_zeltbackup"));
    EXPECT_TRUE(raw_.exists(lookalike)) << "the cleanup deleted a lookalike of a glob base name";
    EXPECT_TRUE(raw_.exists(lookalike + "_zeltbackup"));
    EXPECT_TRUE(raw_.exists(module + "_zeltbackup")) << "a running process's module was deleted";
}

}  // namespace
