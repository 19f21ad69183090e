// The defaults file: every value type survives a restart, unreadable files are set aside, and a
// process killed in the middle of a burst of writes always leaves a readable file holding a
// value it wrote.
#include "tests/Desktop/DesktopTestSupport.h"

#include "Platform/Desktop/Services/DesktopUserDefaults.h"
#include "Platform/Desktop/Services/ValueJson.h"

#include <atomic>
#include <csignal>
#include <dirent.h>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <random>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace desktop {
namespace {

using platform::Value;

std::vector<std::string> filesIn(const std::string& dir) {
    std::vector<std::string> out;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (auto* e = ::readdir(d))
            if (e->d_name[0] != '.')
                out.push_back(e->d_name);
        ::closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

TEST(DesktopUserDefaults, EveryValueTypeSurvivesARestart) {
    test::TempDir dir;
    const Value nested = platform::Dictionary{
        {"list", platform::Array{Value(1), Value(2.5), Value("three"), Value(nullptr)}},
        {"data", platform::Bytes{0, 1, 2, 254, 255}},
        {"flag", false}};
    {
        DesktopUserDefaults d(dir.sub("q"));
        d.set("quillet.isCollapsed", true);
        d.set("quillet.autoRehideSeconds", std::int64_t{15});
        d.set("NSStatusItem Preferred Position quillet.toggle", 0.0);
        d.set("quillet.name", "Quillet «beta»");
        d.set("nested", nested);
        d.set("gone", 1);
        d.removeObject("gone");
    }
    DesktopUserDefaults d(dir.sub("q"));
    EXPECT_EQ(d.object("quillet.isCollapsed"), Value(true));
    EXPECT_EQ(d.object("quillet.autoRehideSeconds"), Value(std::int64_t{15}));
    // A double stays a double even when it is whole.
    EXPECT_EQ(d.object("NSStatusItem Preferred Position quillet.toggle"), Value(0.0));
    EXPECT_EQ(d.stringForKey("quillet.name"), "Quillet «beta»");
    EXPECT_EQ(d.object("nested"), nested);
    EXPECT_FALSE(d.object("gone"));
    EXPECT_TRUE(d.setAsidePath().empty());
    // The directory and file are the user's alone; no temporary file is left behind.
    struct stat st {};
    ASSERT_EQ(::stat(d.filePath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 077, 0u);
    EXPECT_EQ(filesIn(dir.sub("q")), std::vector<std::string>{"defaults.json"});
}

TEST(DesktopUserDefaults, UnreadableFilesAreSetAsideAndDefaultsStartEmpty) {
    for (std::string text :
         {std::string("{\"quillet.isCollapsed\": tru"), std::string("[1, 2]"),
          std::string("\"just a string\""), std::string("{\"x\": {\"$data\": \"not base64!\"}}"),
          std::string("\x00\x01\x02", 3)}) {
        test::TempDir dir;
        ::mkdir(dir.sub("q").c_str(), 0700);
        writeFile(dir.sub("q/defaults.json"), text);
        std::vector<std::string> reports;
        DesktopUserDefaults d(dir.sub("q"), [&](const std::string& m) { reports.push_back(m); });
        EXPECT_TRUE(d.all().empty());
        ASSERT_FALSE(d.setAsidePath().empty()) << text;
        ASSERT_EQ(reports.size(), 1u);
        EXPECT_NE(reports[0].find("unreadable"), std::string::npos);
        // The broken file is kept, byte for byte, for the user to look at.
        std::ifstream kept(d.setAsidePath(), std::ios::binary);
        std::string keptText((std::istreambuf_iterator<char>(kept)), {});
        EXPECT_EQ(keptText, text);
        // And the next write makes a good file again.
        d.set("quillet.isCollapsed", true);
        DesktopUserDefaults again(dir.sub("q"));
        EXPECT_EQ(again.object("quillet.isCollapsed"), Value(true));
    }
}

TEST(DesktopUserDefaults, LeftoverTemporaryFilesAreClearedAndWriteFailuresReported) {
    test::TempDir dir;
    ::mkdir(dir.sub("q").c_str(), 0700);
    writeFile(dir.sub("q/defaults.json"), R"({"a": 1})");
    writeFile(dir.sub("q/defaults.json.tmp-abc123"), R"({"a": 2, "torn)");
    DesktopUserDefaults d(dir.sub("q"));
    EXPECT_EQ(d.integerForKey("a"), 1);
    EXPECT_EQ(filesIn(dir.sub("q")), std::vector<std::string>{"defaults.json"});

    // A directory that cannot be created: the value is kept in memory and the failure told.
    writeFile(dir.sub("blocker"), "a file where a directory should be");
    std::vector<std::string> reports;
    DesktopUserDefaults broken(dir.sub("blocker/q"),
                               [&](const std::string& m) { reports.push_back(m); });
    broken.set("k", 1);
    EXPECT_EQ(broken.integerForKey("k"), 1);
    EXPECT_FALSE(reports.empty());
}

TEST(DesktopUserDefaults, WritersAndReadersOnSeveralThreadsLoseNothing) {
    // The account library reads and stores its defaults from its own thread while the
    // application writes on the main thread.
    test::TempDir dir;
    constexpr int writers = 3;
    constexpr int writes = 40;
    {
        DesktopUserDefaults d(dir.sub("q"));
        std::atomic<bool> done{false};
        std::thread reader([&] {
            while (!done.load()) {
                for (int w = 0; w < writers; ++w) {
                    auto v = d.integerForKey("count." + std::to_string(w));
                    ASSERT_GE(v, 0);
                    ASSERT_LE(v, writes);
                }
                EXPECT_LE(d.all().size(), static_cast<std::size_t>(writers));
            }
        });
        std::vector<std::thread> threads;
        for (int w = 0; w < writers; ++w)
            threads.emplace_back([&d, w] {
                for (int i = 1; i <= writes; ++i)
                    d.set("count." + std::to_string(w), platform::Value(std::int64_t{i}));
            });
        for (auto& t : threads)
            t.join();
        done = true;
        reader.join();
    }
    // The file holds every writer's last value: no write overtook a later one.
    DesktopUserDefaults again(dir.sub("q"));
    for (int w = 0; w < writers; ++w)
        EXPECT_EQ(again.integerForKey("count." + std::to_string(w)), writes) << w;
}

TEST(ValueJson, BytesAndNestingAreCheckedOnTheWayIn) {
    for (auto& bytes : {platform::Bytes{}, platform::Bytes{1}, platform::Bytes{1, 2},
                        platform::Bytes{1, 2, 3}, platform::Bytes{0xff, 0, 0x80, 7}}) {
        Value v(bytes);
        EXPECT_EQ(valueFromJson(jsonFromValue(v)), v);
    }
    EXPECT_THROW(valueFromJson(nlohmann::json{{"$data", "abc"}}), std::invalid_argument);
    EXPECT_THROW(valueFromJson(nlohmann::json{{"$data", "ab=c"}}), std::invalid_argument);
    EXPECT_THROW(valueFromJson(nlohmann::json{{"$data", 12}}), std::invalid_argument);
    nlohmann::json deep = 1;
    for (int i = 0; i < 100; ++i)
        deep = nlohmann::json::array({deep});
    EXPECT_THROW(valueFromJson(deep), std::invalid_argument);
}

// A defaults file may hold a large object with awkward keys (empty, prefixes of each other,
// non-ASCII): every key must read back with its own value, in key order, and write out equal.
TEST(ValueJson, ALargeObjectReadsBackWholeInKeyOrder) {
    std::mt19937 random(7);
    nlohmann::json object = nlohmann::json::object();
    object[""] = 0;
    for (int i = 0; i < 60000; ++i) {
        std::string key = std::to_string(random() % 100000);
        if (i % 3 == 0)
            key += "\xc3\xa9"; // é
        if (i % 5 == 0)
            key = "kCGWindow" + key;
        object[key] = i % 7 == 0 ? nlohmann::json{{"n", i}, {"s", key}} : nlohmann::json(i);
    }
    const Value value = valueFromJson(object);
    const auto* d = value.asDictionary();
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(d->size(), object.size());
    const std::string* previous = nullptr;
    for (const auto& [key, entry] : *d) {
        if (previous) {
            EXPECT_LT(*previous, key);
        }
        previous = &key;
    }
    for (const auto& [key, entry] : object.items()) {
        const Value* found = value.find(key);
        ASSERT_NE(found, nullptr) << key;
        if (entry.is_object()) {
            const Value* text = found->find("s");
            ASSERT_TRUE(text && text->asString()) << key;
            EXPECT_EQ(*text->asString(), key);
        } else {
            EXPECT_EQ(found->asInteger(), entry.get<std::int64_t>());
        }
    }
    EXPECT_EQ(jsonFromValue(value), object);
}

// Starts the burst writer, lets it complete `writes` writes, kills it with SIGKILL and returns
// the last value it reported.
std::int64_t killDuringBurst(const std::string& dir, int writes) {
    int out[2];
    if (::pipe(out) != 0)
        return -1;
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::close(out[0]);
        ::close(out[1]);
        ::execl(QUILLET_DEFAULTS_BURST, QUILLET_DEFAULTS_BURST, dir.c_str(), nullptr);
        ::_exit(127);
    }
    ::close(out[1]);
    std::string text;
    int lines = 0;
    char buf[256];
    while (lines < writes) {
        ssize_t n = ::read(out[0], buf, sizeof buf);
        if (n <= 0)
            break;
        for (ssize_t i = 0; i < n; ++i)
            lines += buf[i] == '\n';
        text.append(buf, static_cast<std::size_t>(n));
    }
    ::kill(pid, SIGKILL);
    // Whatever it reported before dying counts too.
    ssize_t n;
    while ((n = ::read(out[0], buf, sizeof buf)) > 0)
        text.append(buf, static_cast<std::size_t>(n));
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFSIGNALED(status))
        return -1;
    auto lastNl = text.find_last_of('\n');
    auto prevNl = lastNl == 0 || lastNl == std::string::npos ? std::string::npos
                                                             : text.find_last_of('\n', lastNl - 1);
    std::string last = text.substr(prevNl == std::string::npos ? 0 : prevNl + 1,
                                   lastNl - (prevNl == std::string::npos ? 0 : prevNl + 1));
    return last.empty() ? -1 : std::stoll(last);
}

TEST(DesktopUserDefaults, SigkillDuringABurstOfWritesAlwaysLeavesAWrittenValue) {
    test::TempDir dir;
    std::mt19937 random(20261207);
    std::uniform_int_distribution<int> writes(1, 25);
    for (int round = 0; round < 30; ++round) {
        const std::string q = dir.sub("round" + std::to_string(round));
        std::int64_t reported = killDuringBurst(q, writes(random));
        ASSERT_GE(reported, 0) << "round " << round;
        std::vector<std::string> reports;
        DesktopUserDefaults d(q, [&](const std::string& m) { reports.push_back(m); });
        EXPECT_TRUE(reports.empty()) << "round " << round << ": " << reports.front();
        auto value = d.object("burst");
        ASSERT_TRUE(value) << "round " << round;
        ASSERT_TRUE(value->asInteger()) << "round " << round;
        // The file holds the last completed write, or the one in flight when the kill came.
        EXPECT_GE(*value->asInteger(), reported) << "round " << round;
        EXPECT_LE(*value->asInteger(), reported + 1) << "round " << round;
        auto padding = d.stringForKey("padding");
        ASSERT_TRUE(padding);
        EXPECT_EQ(padding->size(), 512u);
    }
}

} // namespace
} // namespace desktop
